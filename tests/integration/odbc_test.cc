// The ODBC driver through Debian's real ODBC drivers: PostgreSQL Unicode and MariaDB Unicode
// against the test servers, SQLite3 on a file. Each engine reads, writes and reports itself
// through ODBC as the loads need; the missing-driver and bad-password paths say the right thing.
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "drivers/driver.h"
#include "tests/integration/server_env.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using zyl::Value;
using zyl::drivers::Cell;
using zyl::drivers::Column;
using zyl::drivers::ColumnType;
using zyl::drivers::Connection;
using zyl::drivers::DriverError;
using zyl::drivers::RowBatch;
using zyl::drivers::TableRef;
using zyl::drivers::TypeId;

struct Engine {
  const char* type;
  const char* driver;
  const char* server;  // the server variables' prefix, "" for SQLite
  bool transactional_ddl;
  const char* quote;
};

ColumnType of(TypeId id, int precision = 0, int scale = 0) {
  ColumnType t;
  t.id = id;
  t.precision = precision;
  t.scale = scale;
  return t;
}

class OdbcTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zyl_odbc_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    if (GetParam().server[0] != '\0') {
      ZYL_REQUIRE_SERVER(config_, GetParam().server, GetParam().type);
    } else {
      config_ = {{"type", "sqlite"}, {"path", (dir_ / "odbc.sqlite").string()}};
    }
    config_["odbc_driver"] = GetParam().driver;
    conn_ = zyl::drivers::open_connection(config_, dir_);
    table_ = {"", "zyl_odbc_" + std::to_string(getpid())};
    conn_->execute("DROP TABLE IF EXISTS " + conn_->quote_table(table_));
  }
  void TearDown() override {
    if (conn_) conn_->execute("DROP TABLE IF EXISTS " + conn_->quote_table(table_));
    fs::remove_all(dir_);
  }

  // A table made from the driver's own type names, as a load makes one.
  void create(const std::vector<Column>& columns) {
    std::string defs;
    for (const Column& c : columns) {
      defs += (defs.empty() ? "" : ", ") + conn_->quote_identifier(c.name) + " " +
              conn_->type_sql(c.type);
    }
    conn_->execute("CREATE TABLE " + conn_->quote_table(table_) + " (" + defs + ")");
  }

  fs::path dir_;
  Value config_;
  std::unique_ptr<Connection> conn_;
  TableRef table_;
};

TEST_P(OdbcTest, ReportsWhatTheDriverSaysOfItself) {
  EXPECT_EQ(conn_->engine(), GetParam().type);
  EXPECT_EQ(conn_->route(), std::string("ODBC driver '") + GetParam().driver + "'");
  EXPECT_EQ(conn_->transactional_ddl(), GetParam().transactional_ddl);
  EXPECT_EQ(conn_->quote_identifier("a" + std::string(GetParam().quote) + "b"),
            std::string(GetParam().quote) + "a" + GetParam().quote + GetParam().quote + "b" +
                GetParam().quote);
}

// Rows written through parameter arrays read back the same through block cursors, over several
// arrays each way, with NULLs, non-ASCII text and long text read in parts.
TEST_P(OdbcTest, RowsRoundTripInBulk) {
  std::vector<Column> columns{{"id", of(TypeId::Int64)},
                              {"Name", of(TypeId::String)},
                              {"amount", of(TypeId::Decimal, 18, 2)},
                              {"ratio", of(TypeId::Float64)},
                              {"flag", of(TypeId::Boolean)},
                              {"day", of(TypeId::Date)},
                              {"at", of(TypeId::Timestamp)},
                              {"raw", of(TypeId::Blob)}};
  create(columns);
  const std::string long_text(100000, 'x');
  constexpr int kRows = 2500;
  RowBatch batch{columns.size(), {}};
  for (int i = 1; i <= kRows; ++i) {
    bool blank = i % 7 == 0;
    batch.cells.push_back(std::int64_t{i});
    batch.cells.push_back(blank ? Cell{} : Cell{i == 5 ? long_text : "Grüße ✓ " + std::to_string(i)});
    batch.cells.push_back(blank ? Cell{} : Cell{std::to_string(i) + ".25"});
    batch.cells.push_back(blank ? Cell{} : Cell{i / 4.0});
    batch.cells.push_back(blank ? Cell{} : Cell{i % 2 == 0});
    batch.cells.push_back(blank ? Cell{} : Cell{std::int64_t{19000 + i}});
    batch.cells.push_back(blank ? Cell{} : Cell{std::int64_t{1700000000123456} + i});
    // Binary values of every length from 0 to 9 bytes, zero bytes among them.
    batch.cells.push_back(blank ? Cell{} : Cell{std::string(i % 10, static_cast<char>(i % 3))});
  }
  conn_->begin();  // as a load writes (SQLite commits each row to disk otherwise)
  auto writer = conn_->bulk_writer(table_, columns);
  writer->write(batch);
  writer->finish();
  conn_->commit();
  EXPECT_EQ(writer->rows_written(), kRows);

  std::vector<Column> read;
  RowBatch rows = zyl::integration::read_all(
      *conn_, "SELECT * FROM " + conn_->quote_table(table_) + " ORDER BY id", &read);
  ASSERT_EQ(rows.rows(), static_cast<size_t>(kRows));
  ASSERT_EQ(read.size(), columns.size());
  EXPECT_EQ(read[1].name, "Name");
  EXPECT_EQ(std::get<std::string>(rows.at(0, 1)), "Grüße ✓ 1");
  EXPECT_EQ(std::get<std::string>(rows.at(4, 1)), long_text);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(rows.at(6, 1)));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(rows.at(6, 6)));
  EXPECT_EQ(zyl::text_form(zyl::drivers::cell_to_value(rows.at(2, 2), read[2].type)), "3.25");
  EXPECT_DOUBLE_EQ(std::get<double>(rows.at(2, 3)), 0.75);
  EXPECT_EQ(zyl::drivers::cell_to_value(rows.at(1, 4), read[4].type), Value(true));
  for (int i : {1, 2, 9, 10, 11, 19}) {
    EXPECT_EQ(std::get<std::string>(rows.at(i - 1, 7)), std::string(i % 10, static_cast<char>(i % 3)))
        << i;
  }
  if (std::string(GetParam().type) != "sqlite") {  // SQLite keeps these as it was given them
    EXPECT_EQ(read[0].type.id, TypeId::Int64);
    EXPECT_EQ(read[5].type.id, TypeId::Date);
    EXPECT_EQ(std::get<std::int64_t>(rows.at(kRows - 1, 5)), 19000 + kRows);
    EXPECT_EQ(std::get<std::int64_t>(rows.at(kRows - 1, 6)), 1700000000123456 + kRows);
  }
}

TEST_P(OdbcTest, ATransactionRollsBackAndTablesAreListed) {
  create({{"id", of(TypeId::Int32)}});
  conn_->begin();
  conn_->execute("INSERT INTO " + conn_->quote_table(table_) + " VALUES (1)");
  conn_->rollback();
  EXPECT_EQ(zyl::integration::read_all(*conn_, "SELECT id FROM " + conn_->quote_table(table_))
                .rows(),
            0u);
  conn_->begin();
  EXPECT_EQ(conn_->execute_counted("INSERT INTO " + conn_->quote_table(table_) +
                                   " VALUES (1), (2)"),
            2);
  conn_->commit();
  EXPECT_EQ(conn_->execute_counted("UPDATE " + conn_->quote_table(table_) + " SET id = 3"), 2);
  // Rows already as they should be still count as matched.
  EXPECT_EQ(conn_->execute_counted("UPDATE " + conn_->quote_table(table_) + " SET id = 3"), 2);
  EXPECT_TRUE(conn_->table_exists(table_));
  auto names = conn_->table_names("");
  EXPECT_NE(std::find(names.begin(), names.end(), table_.name), names.end());
  EXPECT_EQ(conn_->table_columns(table_).size(), 1u);
  // Several statements in one call; a failing later one fails it. (The SQLite driver takes one
  // statement a call and says so.)
  if (std::string(GetParam().type) == "sqlite") return;
  // A value the column cannot hold is an error, never a zero (MariaDB's session is strict).
  EXPECT_THROW(conn_->execute("INSERT INTO " + conn_->quote_table(table_) + " VALUES ('seven')"),
               DriverError);
  conn_->execute("UPDATE " + conn_->quote_table(table_) + " SET id = 4; UPDATE " +
                 conn_->quote_table(table_) + " SET id = 5");
  EXPECT_EQ(zyl::integration::read_all(*conn_, "SELECT id FROM " + conn_->quote_table(table_) +
                                                    " WHERE id = 5")
                .rows(),
            2u);
  EXPECT_THROW(conn_->execute("UPDATE " + conn_->quote_table(table_) +
                              " SET id = 6; SELECT * FROM zyl_no_such_table"),
               DriverError);
}

TEST_P(OdbcTest, ARefusedRowFailsTheWholeWrite) {
  create({{"id", of(TypeId::Int32)}});
  conn_->execute("CREATE UNIQUE INDEX " + conn_->quote_identifier(table_.name + "_u") + " ON " +
                 conn_->quote_table(table_) + " (id)");
  RowBatch batch{1, {Cell{std::int64_t{1}}, Cell{std::int64_t{1}}}};
  conn_->begin();
  auto writer = conn_->bulk_writer(table_, {{"id", of(TypeId::Int32)}});
  EXPECT_THROW(writer->write(batch), DriverError);
  conn_->rollback();
  EXPECT_EQ(zyl::integration::read_all(*conn_, "SELECT id FROM " + conn_->quote_table(table_))
                .rows(),
            0u);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, OdbcTest,
    ::testing::Values(Engine{"postgres", "PostgreSQL Unicode", "ZYL_TEST_PG", true, "\""},
                      Engine{"mariadb", "MariaDB Unicode", "ZYL_TEST_MYSQL", false, "`"},
                      Engine{"sqlite", "SQLite3", "", true, "\""}),
    [](const auto& info) { return std::string(info.param.type); });

TEST(OdbcErrors, AMissingDriverIsNamedWithHowToInstallOne) {
  try {
    zyl::drivers::open_connection({{"type", "snowflake"}, {"account", "a"}, {"password", "pw"}});
    FAIL() << "connected without a driver";
  } catch (const DriverError& e) {
    EXPECT_THAT(e.what(), HasSubstr("the ODBC driver 'SnowflakeDSIIDriver' is not installed"));
    EXPECT_THAT(e.what(), HasSubstr("odbcinst.ini"));
    EXPECT_THAT(e.what(), HasSubstr("odbc_driver"));
    EXPECT_THAT(e.what(), HasSubstr("PostgreSQL Unicode"));  // what is installed
  }
  try {
    zyl::drivers::open_connection({{"type", "sqlserver"}});
    FAIL() << "connected without a driver";
  } catch (const DriverError& e) {
    EXPECT_THAT(e.what(), HasSubstr("none of the ODBC drivers 'ODBC Driver 18 for SQL Server', "
                                    "'ODBC Driver 17 for SQL Server', 'FreeTDS' is installed"));
  }
}

TEST(OdbcErrors, AWrongPasswordNeverShowsInTheMessage) {
  Value config;
  ZYL_REQUIRE_SERVER(config, "ZYL_TEST_PG", "postgres");
  config["odbc_driver"] = "PostgreSQL Unicode";
  config["password"] = "wrong;pw{x}";
  try {
    zyl::drivers::open_connection(config);
    FAIL() << "connected with a wrong password";
  } catch (const DriverError& e) {
    EXPECT_THAT(e.what(), HasSubstr("could not connect"));
    EXPECT_THAT(e.what(), HasSubstr("PostgreSQL Unicode"));
    EXPECT_THAT(e.what(), Not(HasSubstr("wrong;pw")));
  }
}

}  // namespace
