// The ClickHouse driver against a real server over HTTP: every type both ways, streaming, bulk
// writes, time zones, errors (and no password in them) and the catalog.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "drivers/clickhouse/http.h"
#include "drivers/driver.h"
#include "drivers/relation.h"
#include "drivers/temporal.h"
#include "drivers/test_support/interrupt.h"
#include "tests/integration/server_env.h"

namespace zyl {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using drivers::Cell;
using drivers::Column;
using drivers::ColumnType;
using drivers::Connection;
using drivers::RowBatch;
using drivers::TypeId;

std::int64_t ts(const char* text) { return *drivers::temporal::parse_timestamp(text); }

ColumnType of(TypeId id, int precision = 0, int scale = 0) {
  ColumnType type;
  type.id = id;
  type.precision = precision;
  type.scale = scale;
  return type;
}

class ClickHouseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZYL_REQUIRE_SERVER(config_, "ZYL_TEST_CLICKHOUSE", "clickhouse");
    // Each test process has a database of its own: ctest runs the cases in parallel.
    db_ = "zyl_it_" + std::to_string(::getpid());
    conn_ = drivers::open_connection(config_);
    conn_->execute("DROP DATABASE IF EXISTS " + db_ + "; CREATE DATABASE " + db_);
  }
  void TearDown() override {
    if (conn_) conn_->execute("DROP DATABASE IF EXISTS " + db_);
  }

  Value config_;
  std::string db_;
  std::unique_ptr<Connection> conn_;
};

struct TypeCase {
  std::string expression;
  TypeId id;
  Cell expected;
};

TEST_F(ClickHouseTest, EveryServerTypeReadsAsItsLogicalType) {
  const std::vector<TypeCase> cases = {
      {"toInt8(-128)", TypeId::Int8, std::int64_t{-128}},
      {"toUInt8(255)", TypeId::UInt8, std::int64_t{255}},
      {"toInt16(-32768)", TypeId::Int16, std::int64_t{-32768}},
      {"toUInt32(4294967295)", TypeId::UInt32, std::int64_t{4294967295}},
      {"toInt64('-9223372036854775808')", TypeId::Int64, INT64_MIN},
      {"toUInt64('18446744073709551615')", TypeId::UInt64, std::uint64_t{18446744073709551615u}},
      {"toFloat32(1.5)", TypeId::Float32, 1.5},
      {"toFloat64(-2.5e-300)", TypeId::Float64, -2.5e-300},
      {"toDecimal64('-123456789.125', 3)", TypeId::Decimal, std::string("-123456789.125")},
      {"toDecimal128('1.5', 20)", TypeId::Decimal, std::string("1.50000000000000000000")},
      {"'tab\\there\\nnew \\\\ \\'q\\' \u00fcn\u00ef \U0001F600'", TypeId::String,
       std::string("tab\there\nnew \\ 'q' \u00fcn\u00ef \U0001F600")},
      {"toFixedString('ab', 3)", TypeId::String, std::string("ab\0", 3)},
      {"toNullable('x')", TypeId::String, std::string("x")},
      {"CAST(NULL AS Nullable(Int32))", TypeId::Int32, std::monostate{}},
      {"CAST('b' AS Enum8('a' = 1, 'b' = 2))", TypeId::String, std::string("b")},
      {"toDate('2105-12-31')", TypeId::Date, *drivers::temporal::parse_date("2105-12-31")},
      {"toDate(0)", TypeId::Date, std::int64_t{0}},  // 18.16 prints it as 0000-00-00
      {"toDateTime(0, 'UTC')", TypeId::TimestampTz, std::int64_t{0}},
      {"toDateTime('2024-01-31 11:45:00', 'UTC')", TypeId::TimestampTz,
       ts("2024-01-31 11:45:00")},
      {"toDateTime('2024-01-31 11:45:00')", TypeId::Timestamp, ts("2024-01-31 11:45:00")},
      {"toUUID('61f0c404-5cb3-11e7-907b-a6006ad3dba0')", TypeId::Uuid,
       std::string("61f0c404-5cb3-11e7-907b-a6006ad3dba0")},
      {"['a\\'b', NULL, 'c\\\\d']", TypeId::List, std::string(R"(["a'b",null,"c\\d"])")},
      {"[[1, 2], []]", TypeId::List, std::string("[[1,2],[]]")},
  };
  for (const TypeCase& c : cases) {
    std::vector<Column> columns;
    RowBatch rows = integration::read_all(*conn_, "SELECT " + c.expression + " AS v", &columns);
    ASSERT_EQ(rows.rows(), 1u) << c.expression;
    EXPECT_EQ(columns[0].type.id, c.id) << c.expression << " is " << columns[0].type.native;
    EXPECT_EQ(rows.at(0, 0), c.expected) << c.expression;
  }
}

// A wall clock of another zone is ambiguous when the clocks go back; the cell is the instant.
TEST_F(ClickHouseTest, DateTimesOfOtherZonesReadAsTheirInstant) {
  conn_->execute("CREATE TABLE " + db_ + ".z (t DateTime('Europe/Berlin'), n Int32) "
                 "ENGINE = MergeTree ORDER BY n");
  // 00:30 and 01:30 UTC on 2024-10-27 are both 02:30 in Berlin.
  conn_->execute("INSERT INTO " + db_ + ".z VALUES (1729989000, 1), (1729992600, 2)");
  std::vector<Column> columns;
  RowBatch rows =
      integration::read_all(*conn_, "SELECT t, n FROM " + db_ + ".z ORDER BY n", &columns);
  ASSERT_EQ(rows.rows(), 2u);
  EXPECT_EQ(columns[0].type.id, TypeId::TimestampTz);
  EXPECT_EQ(columns[0].name, "t");
  EXPECT_EQ(rows.at(0, 0), Cell(ts("2024-10-27 00:30:00")));
  EXPECT_EQ(rows.at(1, 0), Cell(ts("2024-10-27 01:30:00")));
  EXPECT_EQ(rows.at(1, 1), Cell(std::int64_t{2}));
}

TEST_F(ClickHouseTest, BulkWritesKeepEveryValue) {
  std::vector<Column> columns = {
      {"id", of(TypeId::Int64)},          {"flag", of(TypeId::Boolean)},
      {"u64", of(TypeId::UInt64)},        {"price", of(TypeId::Decimal, 12, 3)},
      {"ratio", of(TypeId::Float64)},     {"name", of(TypeId::String)},
      {"raw", of(TypeId::Blob)},          {"day", of(TypeId::Date)},
      {"at", of(TypeId::TimestampTz)},    {"key", of(TypeId::Uuid)},
      {"huge", of(TypeId::HugeInt)},      {"clock", of(TypeId::Time)},
  };
  ColumnType list = of(TypeId::List);
  list.element.push_back(of(TypeId::String));
  columns.push_back({"tags", list});
  drivers::TableRef table{db_, "w"};
  conn_->execute(conn_->create_table_sql(table, columns, {"id"}));
  RowBatch batch;
  batch.column_count = columns.size();
  const std::vector<Cell> full = {
      std::int64_t{1}, true, std::uint64_t{18446744073709551615u}, std::string("-9.125"), 0.1,
      std::string("a\tb\nc\\N\r\x01 \u00fc"), std::string("\x00\xff\\", 3),
      *drivers::temporal::parse_date("2105-12-31"), ts("2105-12-31 23:59:59"),
      std::string("61f0c404-5cb3-11e7-907b-a6006ad3dba0"),
      std::string("170141183460469231731687303715884105727"),
      std::int64_t{49530250000}, std::string(R"(["x'y", null, "\\n"])")};
  batch.cells = full;
  for (size_t c = 1; c + 1 < columns.size(); ++c) batch.cells.emplace_back();  // NULLs
  batch.cells.insert(batch.cells.begin() + static_cast<long>(columns.size()), std::int64_t{2});
  batch.cells.push_back(std::string("[]"));
  auto writer = conn_->bulk_writer(table, columns);
  writer->write(batch);
  writer->finish();

  std::vector<Column> read_columns;
  RowBatch rows = integration::read_all(*conn_, "SELECT * FROM " + conn_->quote_table(table) +
                                                    " ORDER BY id", &read_columns);
  ASSERT_EQ(rows.rows(), 2u);
  std::vector<Cell> expected = full;
  expected[1] = std::int64_t{1};  // Boolean is UInt8 on 18.16
  expected[11] = std::string("13:45:30.250000");
  expected[12] = std::string(R"(["x'y",null,"\\n"])");
  for (size_t c = 0; c < columns.size(); ++c) {
    EXPECT_EQ(rows.at(0, c), expected[c]) << columns[c].name << " " << read_columns[c].type.native;
    if (c > 0 && c + 1 < columns.size()) {
      EXPECT_EQ(rows.at(1, c), Cell(std::monostate{})) << columns[c].name;
    }
  }
  EXPECT_EQ(rows.at(1, columns.size() - 1), Cell(std::string("[]")));
  EXPECT_EQ(read_columns[0].type.native, "Int64");  // the sorting key is not Nullable
}

TEST_F(ClickHouseTest, ValuesTheColumnCannotHoldAreRefusedNotClipped) {
  drivers::TableRef table{db_, "r"};
  std::vector<Column> columns = {{"at", of(TypeId::Timestamp)}};
  conn_->execute(conn_->create_table_sql(table, columns, {}));
  for (const char* value : {"1969-12-31 23:59:59", "2024-01-01 00:00:00.5"}) {
    RowBatch batch;
    batch.column_count = 1;
    batch.cells = {ts(value)};
    auto writer = conn_->bulk_writer(table, columns);
    EXPECT_THROW(
        {
          writer->write(batch);
          writer->finish();
        },
        drivers::DriverError)
        << value;
  }
  EXPECT_EQ(integration::read_all(*conn_, "SELECT * FROM " + conn_->quote_table(table)).rows(),
            0u);
}

TEST_F(ClickHouseTest, LargeResultsStreamInBatches) {
  auto result = conn_->query("SELECT number, toString(number) AS s FROM system.numbers "
                             "LIMIT 300000");
  RowBatch batch;
  std::uint64_t rows = 0, sum = 0;
  int batches = 0;
  while (result->next(batch, 4096)) {
    ++batches;
    EXPECT_LE(batch.rows(), 4096u);
    for (size_t r = 0; r < batch.rows(); ++r) {
      sum += std::get<std::uint64_t>(batch.at(r, 0));
      ASSERT_EQ(std::get<std::string>(batch.at(r, 1)),
                std::to_string(std::get<std::uint64_t>(batch.at(r, 0))));
    }
    rows += batch.rows();
  }
  EXPECT_EQ(rows, 300000u);
  EXPECT_EQ(sum, 300000ull * 299999 / 2);
  EXPECT_GE(batches, 73);
}

TEST_F(ClickHouseTest, ErrorsCarryTheServersMessageAndNoPassword) {
  try {
    conn_->query("SELECT * FROM " + db_ + ".missing");
    FAIL() << "no error";
  } catch (const drivers::DriverError& e) {
    EXPECT_THAT(e.what(), HasSubstr("missing"));
    EXPECT_THAT(e.what(), HasSubstr("Code: 60"));
  }
  // An error after the first rows have been sent arrives in the body, also in a one-column text
  // result, where it must not pass for a row.
  for (const char* select : {"throwIf(number = 2000000)", "toString(throwIf(number = 2000000))"}) {
    auto result = conn_->query(std::string("SELECT ") + select + " FROM system.numbers "
                               "LIMIT 3000000");
    RowBatch batch;
    size_t rows = 0;
    try {
      while (result->next(batch)) rows += batch.rows();
      ADD_FAILURE() << "no error for " << select;
    } catch (const drivers::DriverError& e) {
      EXPECT_THAT(e.what(), HasSubstr("while sending rows: Code: 395")) << select;
    }
    EXPECT_GT(rows, 0u) << select;  // the first rows came before the error
    EXPECT_LT(rows, 2000001u) << select;
  }

  Value wrong = config_;
  wrong["password"] = "n0t-the-Passw0rd";
  try {
    drivers::open_connection(wrong);
    FAIL() << "connected with a wrong password";
  } catch (const drivers::DriverError& e) {
    EXPECT_THAT(e.what(), Not(HasSubstr("n0t-the-Passw0rd")));
    EXPECT_THAT(e.what(), HasSubstr("could not connect"));
  }
  Value nowhere = config_;
  nowhere["port"] = 1;
  EXPECT_THROW(drivers::open_connection(nowhere), drivers::DriverError);
}

// Ctrl-C stops a statement still waiting for its answer and one streaming rows; the server no
// longer runs either, and the connection takes the next statement.
TEST_F(ClickHouseTest, InterruptStopsTheStatementOnBothSidesAndTheConnectionGoesOn) {
  auto busy = drivers::open_connection(config_);
  // The marker tells this test's queries from those of tests running beside it.
  const std::string marker = "'zyl_interrupt_" + std::to_string(::getpid()) + "'";
  for (const std::string& endless :
       {"SELECT count(), " + marker + " FROM system.numbers WHERE number % 7 = 100",
        "SELECT number, " + marker + " FROM system.numbers"}) {
    SCOPED_TRACE(endless);
    drivers::test_support::Interrupted outcome = drivers::test_support::interrupt_while_running(
        [&] { drivers::test_support::read_through(*busy, endless); });
    EXPECT_TRUE(outcome.threw);
    EXPECT_THAT(outcome.message, HasSubstr("cancelled"));
    RowBatch running = integration::read_all(
        *conn_, "SELECT query FROM system.processes WHERE query LIKE '%zyl_interrupt_" +
                    std::to_string(::getpid()) + "%' AND query NOT LIKE '%system.processes%'");
    EXPECT_EQ(running.rows(), 0u);
  }
  RowBatch rows = integration::read_all(*busy, "SELECT 42");
  ASSERT_EQ(rows.rows(), 1u);
}

// A KILL sent beside a cancelled request can come before the server has started its query, which
// would then run on unread. Here no KILL comes from elsewhere at all: the request cancelled after
// it reached the server ends its query there by itself before it reports the cancellation.
TEST_F(ClickHouseTest, ACancelledRequestEndsItsQueryOnTheServerBeforeItReturns) {
  drivers::clickhouse::Endpoint endpoint;
  endpoint.base_url =
      "http://" + get_text(config_, "host") + ":" + get_text(config_, "port") + "/";
  endpoint.user = get_text(config_, "user");
  endpoint.password = get_text(config_, "password");
  const std::string id = "zyl_self_kill_" + std::to_string(::getpid());
  const std::string running_sql =
      "SELECT query_id FROM system.processes WHERE query_id = '" + id + "'";
  drivers::clickhouse::HttpRequest request(
      endpoint, "", "SELECT count() FROM system.numbers WHERE number % 7 = 100", id);
  std::string message;
  std::thread reader([&] {
    try {
      request.status();
    } catch (const drivers::DriverError& e) {
      message = e.what();
    }
  });
  // The count never answers before it is stopped; wait until the server runs it.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool started = false;
  while (!started && std::chrono::steady_clock::now() < deadline) {
    started = integration::read_all(*conn_, running_sql).rows() == 1;
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  request.canceller()->cancel();
  reader.join();
  ASSERT_TRUE(started) << "the query never started";
  EXPECT_THAT(message, HasSubstr("cancelled"));
  EXPECT_EQ(integration::read_all(*conn_, running_sql).rows(), 0u);
}

TEST_F(ClickHouseTest, TheCatalogTellsTablesViewsAndColumns) {
  conn_->execute("CREATE TABLE " + db_ + ".`Orders` (id Int32, note Nullable(String)) "
                 "ENGINE = MergeTree ORDER BY id;\n"
                 "CREATE VIEW " + db_ + ".v AS SELECT 1 AS id; -- two statements");
  EXPECT_TRUE(conn_->table_exists({db_, "Orders"}));
  EXPECT_FALSE(conn_->table_exists({db_, "orders"}));
  EXPECT_EQ(conn_->table_names(db_), std::vector<std::string>{"Orders"});
  std::vector<Column> columns = conn_->table_columns({db_, "Orders"});
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[1].name, "note");
  EXPECT_EQ(columns[1].type.id, TypeId::String);
  EXPECT_TRUE(conn_->table_columns({db_, "none"}).empty());
  EXPECT_EQ(drivers::relation_kind(*conn_, db_, "Orders"), drivers::RelationKind::Table);
  EXPECT_EQ(drivers::relation_kind(*conn_, db_, "v"), drivers::RelationKind::View);
  EXPECT_EQ(drivers::relation_kind(*conn_, db_, "w"), drivers::RelationKind::None);
  conn_->ensure_schema(db_ + "_more");
  EXPECT_TRUE(conn_->table_names(db_ + "_more").empty());
  conn_->execute("DROP DATABASE " + db_ + "_more");
}

}  // namespace
}  // namespace zyl
