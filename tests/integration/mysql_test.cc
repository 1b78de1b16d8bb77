// The MySQL / MariaDB driver against a real server: every type both ways, streaming, INSERT
// batches, errors, transactions and the catalog.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drivers/driver.h"
#include "drivers/temporal.h"
#include "drivers/test_support/interrupt.h"
#include "tests/integration/server_env.h"

namespace zyl {
namespace {

using drivers::Cell;
using drivers::Column;
using drivers::ColumnType;
using drivers::Connection;
using drivers::RowBatch;
using drivers::TypeId;

std::int64_t ts(const char* text) { return *drivers::temporal::parse_timestamp(text); }

class MySqlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZYL_REQUIRE_SERVER(config_, "ZYL_TEST_MYSQL", "mariadb");
    conn_ = drivers::open_connection(config_);
    // ctest runs the cases of this file as parallel processes sharing one database: take turns.
    integration::read_all(*conn_, "SELECT GET_LOCK('zyl_it', 600)");
    conn_->execute("DROP DATABASE IF EXISTS zyl_it; CREATE DATABASE zyl_it");
  }
  void TearDown() override {
    if (conn_) conn_->execute("DROP DATABASE IF EXISTS zyl_it");
  }

  Value config_;
  std::unique_ptr<Connection> conn_;
};

struct TypeCase {
  std::string sql_type;
  std::string literal;
  TypeId id;
  Cell expected;
};

TEST_F(MySqlTest, EveryTypeRoundTripsThroughTheLogicalTypes) {
  const std::vector<TypeCase> cases = {
      {"tinyint", "-128", TypeId::Int8, std::int64_t{-128}},
      {"boolean", "TRUE", TypeId::Int8, std::int64_t{1}},  // BOOLEAN is TINYINT(1)
      {"tinyint unsigned", "255", TypeId::UInt8, std::int64_t{255}},
      {"smallint", "-32768", TypeId::Int16, std::int64_t{-32768}},
      {"smallint unsigned", "65535", TypeId::UInt16, std::int64_t{65535}},
      {"mediumint", "-8388608", TypeId::Int32, std::int64_t{-8388608}},
      {"int", "-2147483648", TypeId::Int32, std::int64_t{-2147483648}},
      {"int unsigned", "4294967295", TypeId::UInt32, std::int64_t{4294967295}},
      {"bigint", "-9223372036854775808", TypeId::Int64, INT64_MIN},
      {"bigint unsigned", "18446744073709551615", TypeId::UInt64,
       std::uint64_t{18446744073709551615u}},
      {"year", "2024", TypeId::Int16, std::int64_t{2024}},
      {"bit(12)", "b'101000000001'", TypeId::UInt64, std::uint64_t{0xA01}},
      {"decimal(12,3)", "-123456789.125", TypeId::Decimal, std::string("-123456789.125")},
      {"decimal", "9999999999", TypeId::Decimal, std::string("9999999999")},  // decimal(10,0)
      {"decimal(65,30)", "'12345678901234567890.000000000000000000000000000001'", TypeId::Decimal,
       std::string("12345678901234567890.000000000000000000000000000001")},
      {"float", "1.5", TypeId::Float32, 1.5},
      {"double", "-2.5e-300", TypeId::Float64, -2.5e-300},
      {"text", "'line\\nnext\\ttab\\\\ \"q\" \u00fcn\u00ef \U0001F600'", TypeId::String,
       std::string("line\nnext\ttab\\ \"q\" \u00fcn\u00ef \U0001F600")},
      {"varchar(5)", "'abcd\U0001F600'", TypeId::String, std::string("abcd\U0001F600")},
      {"char(3)", "'ab'", TypeId::String, std::string("ab")},  // the server strips the padding
      {"blob", "X'00ff0a5c27'", TypeId::Blob, std::string("\x00\xff\x0a\x5c\x27", 5)},
      {"varbinary(8)", "X'0001'", TypeId::Blob, std::string("\x00\x01", 2)},
      {"date", "'2024-02-29'", TypeId::Date, *drivers::temporal::parse_date("2024-02-29")},
      {"time(6)", "'23:59:59.999999'", TypeId::Time,
       *drivers::temporal::parse_time("23:59:59.999999")},
      {"datetime(6)", "'1969-12-31 23:59:59.5'", TypeId::Timestamp, std::int64_t{-500000}},
      {"timestamp(6)", "'2024-01-31 11:45:00.25'", TypeId::TimestampTz,
       ts("2024-01-31 11:45:00.25")},
      {"json", "'{\"b\": null, \"a\": [1, 2]}'", TypeId::Json,
       std::string("{\"b\": null, \"a\": [1, 2]}")},
      {"uuid", "'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'", TypeId::Uuid,
       std::string("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")},
      {"enum('sad','happy')", "'happy'", TypeId::String, std::string("happy")},
      {"set('a','b','c')", "'a,c'", TypeId::String, std::string("a,c")},
  };
  // One wide table (DDL is slow on InnoDB): column i holds case i, row 2 is all NULL.
  std::string ddl, values, nulls;
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string& type = cases[i].sql_type;
    // TIMESTAMP columns default to the current time unless told they may be null.
    std::string nullable = type.rfind("timestamp", 0) == 0 ? " NULL" : "";
    ddl += (i ? ", v" : "v") + std::to_string(i) + " " + type + nullable;
    values += (i ? ", " : "") + cases[i].literal;
    nulls += i ? ", NULL" : "NULL";
  }
  conn_->execute("CREATE TABLE zyl_it.src (k int, " + ddl + ")");
  conn_->execute("INSERT INTO zyl_it.src VALUES (1, " + values + "), (2, " + nulls + ")");

  std::vector<Column> columns;
  RowBatch rows = integration::read_all(*conn_, "SELECT * FROM zyl_it.src ORDER BY k", &columns);
  integration::copy_table(*conn_, "zyl_it", "src", "back");
  RowBatch again = integration::read_all(*conn_, "SELECT * FROM zyl_it.back ORDER BY k");
  ASSERT_EQ(rows.rows(), 2u);
  ASSERT_EQ(again.rows(), 2u);
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.sql_type);
    EXPECT_EQ(columns[i + 1].type.id, c.id) << columns[i + 1].type.native;
    EXPECT_EQ(rows.at(0, i + 1), c.expected);
    EXPECT_EQ(rows.at(1, i + 1), Cell{});
    // Back into the server through the driver's own DDL and INSERT batches: same cells again.
    EXPECT_EQ(again.at(0, i + 1), c.expected);
    EXPECT_EQ(again.at(1, i + 1), Cell{});
  }
  conn_->execute("CREATE TABLE zyl_it.sized (d decimal(12,3), v varchar(5), c char(3))");
  auto sized = conn_->table_columns({"zyl_it", "sized"});
  ASSERT_EQ(sized.size(), 3u);
  EXPECT_EQ(conn_->type_sql(sized[0].type), "decimal(12,3)");
  EXPECT_EQ(conn_->type_sql(sized[1].type), "varchar(5)");
  EXPECT_EQ(conn_->type_sql(sized[2].type), "char(3)");
}

TEST_F(MySqlTest, LogicalTypesWithoutAServerTwinKeepTheirValues) {
  struct Case {
    TypeId id;
    Cell cell;
    Cell read_back;
  };
  const std::vector<Case> cases = {
      {TypeId::Boolean, true, std::int64_t{1}},
      {TypeId::HugeInt, std::string("-170141183460469231731687303715884105728"),
       std::string("-170141183460469231731687303715884105728")},
      {TypeId::Decimal, std::string("-0.5"), std::string("-0.500000000000000000000000000000")},
      {TypeId::Interval, std::string("1 day"), std::string("1 day")},
      {TypeId::TimestampTz, ts("2100-01-01 00:00:00"), ts("2100-01-01 00:00:00")},
  };
  std::string ddl;
  std::vector<Column> columns;
  RowBatch batch{cases.size(), {}};
  for (size_t i = 0; i < cases.size(); ++i) {
    ColumnType type;
    type.id = cases[i].id;
    columns.push_back({"v" + std::to_string(i), type});
    ddl += (i ? ", v" : "v") + std::to_string(i) + " " + conn_->type_sql(type);
    batch.cells.push_back(cases[i].cell);
  }
  conn_->execute("CREATE TABLE zyl_it.wide (" + ddl + ")");
  auto wide = conn_->bulk_writer({"zyl_it", "wide"}, columns);
  wide->write(batch);
  wide->finish();
  RowBatch rows = integration::read_all(*conn_, "SELECT * FROM zyl_it.wide");
  ASSERT_EQ(rows.rows(), 1u);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(std::string(drivers::type_name(cases[i].id)));
    EXPECT_EQ(rows.at(0, i), cases[i].read_back);
  }
  // Values the server cannot hold are refused, not stored as something else.
  ColumnType real;
  real.id = TypeId::Float64;
  conn_->execute("CREATE TABLE zyl_it.reals (v double)");
  auto writer = conn_->bulk_writer({"zyl_it", "reals"}, {{"v", real}});
  EXPECT_THROW(writer->write(RowBatch{1, {1.0 / 0.0}}), drivers::DriverError);
}

TEST_F(MySqlTest, StreamsManyRowsAndWritesThemInBatches) {
  conn_->execute(
      "CREATE TABLE zyl_it.big (i bigint PRIMARY KEY, s varchar(40), d datetime(6));"
      "INSERT INTO zyl_it.big SELECT seq, CONCAT('it''s ', seq),"
      " '2024-01-01' + INTERVAL seq SECOND FROM seq_1_to_60000");
  conn_->execute("CREATE TABLE zyl_it.big_copy LIKE zyl_it.big");
  auto result = conn_->query("SELECT * FROM zyl_it.big ORDER BY i");
  auto writer = conn_->bulk_writer({"zyl_it", "big_copy"}, result->columns());
  RowBatch batch;
  size_t rows = 0;
  EXPECT_THROW(conn_->execute("SELECT 1"), drivers::DriverError);  // busy while streaming
  std::vector<RowBatch> kept;
  while (result->next(batch, 4096)) {
    rows += batch.rows();
    kept.push_back(batch);
  }
  EXPECT_EQ(rows, 60000u);
  for (const auto& b : kept) writer->write(b);
  writer->finish();
  RowBatch diff = integration::read_all(
      *conn_,
      "SELECT COUNT(*) FROM zyl_it.big a JOIN zyl_it.big_copy b USING (i) "
      "WHERE a.s = b.s AND a.d = b.d");
  EXPECT_EQ(diff.at(0, 0), Cell{std::int64_t{60000}});

  // An abandoned result leaves the connection usable.
  auto abandoned = conn_->query("SELECT * FROM zyl_it.big");
  ASSERT_TRUE(abandoned->next(batch, 10));
  abandoned.reset();
  EXPECT_EQ(integration::read_all(*conn_, "SELECT 41 + 1").at(0, 0), Cell{std::int64_t{42}});
}

TEST_F(MySqlTest, ErrorsTransactionsAndCatalog) {
  try {
    conn_->query("SELECT * FROM zyl_it.no_such_table");
    FAIL() << "no error";
  } catch (const drivers::DriverError& e) {
    EXPECT_NE(std::string(e.what()).find("42S02"), std::string::npos) << e.what();
  }
  Value wrong = config_;
  wrong["password"] = "Secret-Pw-4711";
  wrong["user"] = "Secret-Pw-4711";  // the server echoes the user name
  try {
    drivers::open_connection(wrong);
    FAIL() << "no error";
  } catch (const drivers::DriverError& e) {
    EXPECT_EQ(std::string(e.what()).find("Secret-Pw-4711"), std::string::npos) << e.what();
  }

  Value scoped = config_;
  scoped["database"] = "zyl_it";
  auto conn = drivers::open_connection(scoped);
  EXPECT_EQ(conn->engine(), "mariadb");
  conn->execute("CREATE TABLE `Mixed Case` (`a``b` int) ENGINE=InnoDB");
  EXPECT_TRUE(conn->table_exists({"", "Mixed Case"}));
  EXPECT_TRUE(conn_->table_exists({"zyl_it", "Mixed Case"}));
  EXPECT_FALSE(conn_->table_exists({"zyl_it", "absent"}));
  auto columns = conn->table_columns({"", "Mixed Case"});
  ASSERT_EQ(columns.size(), 1u);
  EXPECT_EQ(columns[0].name, "a`b");
  EXPECT_TRUE(conn->table_columns({"zyl_it", "absent"}).empty());

  conn->begin();
  auto writer = conn->bulk_writer({"", "Mixed Case"}, columns);
  writer->write(RowBatch{1, {std::int64_t{1}}});
  writer->finish();
  conn->rollback();
  EXPECT_EQ(integration::read_all(*conn, "SELECT * FROM `Mixed Case`").rows(), 0u);

  conn->ensure_schema("zyl_it_other");
  conn->ensure_schema("zyl_it_other");
  EXPECT_TRUE(conn->table_exists({"information_schema", "SCHEMATA"}));
  conn->execute("DROP DATABASE zyl_it_other");
}

TEST_F(MySqlTest, InterruptKillsTheRunningQueryAndTheConnectionGoesOn) {
  auto busy = drivers::open_connection(config_);
  drivers::test_support::Interrupted outcome = drivers::test_support::interrupt_while_running([&] {
    // (A killed BENCHMARK() or SLEEP() just returns early, with no error to see.)
    drivers::test_support::read_through(
        *busy, "SELECT COUNT(*) FROM seq_1_to_100000000000 WHERE MD5(seq) = 'zyl'");
  });
  EXPECT_TRUE(outcome.threw);
  EXPECT_NE(outcome.message.find("1317"), std::string::npos) << outcome.message;  // interrupted
  RowBatch rows = integration::read_all(*busy, "SELECT 42");
  ASSERT_EQ(rows.rows(), 1u);
}

}  // namespace
}  // namespace zyl
