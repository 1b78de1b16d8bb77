// The PostgreSQL driver against a real server: every type both ways, streaming, bulk writes,
// errors, transactions, and the Redshift code paths (single-row reads, INSERT writes), which run
// unchanged on PostgreSQL.
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
using drivers::TableRef;
using drivers::TypeId;

std::int64_t ts(const char* text) { return *drivers::temporal::parse_timestamp(text); }

class PostgresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZYL_REQUIRE_SERVER(config_, "ZYL_TEST_PG", "postgres");
    conn_ = drivers::open_connection(config_);
    // ctest runs the cases of this file as parallel processes sharing one schema: take turns.
    integration::read_all(*conn_, "SELECT pg_advisory_lock(4711)");
    conn_->execute(
        "DROP SCHEMA IF EXISTS zyl_it CASCADE; CREATE SCHEMA zyl_it;"
        "CREATE TYPE zyl_it.mood AS ENUM ('sad', 'happy')");
  }
  void TearDown() override {
    if (conn_) conn_->execute("DROP SCHEMA IF EXISTS zyl_it CASCADE");
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

TEST_F(PostgresTest, EveryTypeRoundTripsThroughTheLogicalTypes) {
  const std::vector<TypeCase> cases = {
      {"smallint", "-32768", TypeId::Int16, std::int64_t{-32768}},
      {"integer", "2147483647", TypeId::Int32, std::int64_t{2147483647}},
      {"bigint", "-9223372036854775808", TypeId::Int64, INT64_MIN},
      {"numeric(12,3)", "-123456789.125", TypeId::Decimal, std::string("-123456789.125")},
      {"numeric", "12345678901234567890.000000000001", TypeId::Decimal,
       std::string("12345678901234567890.000000000001")},
      {"real", "1.5", TypeId::Float32, 1.5},
      {"double precision", "-2.5e-300", TypeId::Float64, -2.5e-300},
      {"boolean", "true", TypeId::Boolean, true},
      {"text", "E'line\\nnext\\ttab\\\\ \"q\" \u00fcn\u00ef \U0001F600'", TypeId::String,
       std::string("line\nnext\ttab\\ \"q\" \u00fcn\u00ef \U0001F600")},
      {"varchar(5)", "'abcde'", TypeId::String, std::string("abcde")},
      {"char(3)", "'ab'", TypeId::String, std::string("ab ")},
      {"bytea", "'\\x00ff0a5c'", TypeId::Blob, std::string("\x00\xff\x0a\x5c", 4)},
      {"date", "'2024-02-29'", TypeId::Date, *drivers::temporal::parse_date("2024-02-29")},
      {"time", "'23:59:59.999999'", TypeId::Time, *drivers::temporal::parse_time("23:59:59.999999")},
      {"timestamp", "'1969-12-31 23:59:59.5'", TypeId::Timestamp, std::int64_t{-500000}},
      {"timestamptz", "'2024-01-31 13:45:00+02'", TypeId::TimestampTz, ts("2024-01-31 11:45:00")},
      {"jsonb", "'{\"b\": null, \"a\": [1, 2]}'", TypeId::Json,
       std::string("{\"a\": [1, 2], \"b\": null}")},
      {"uuid", "'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'", TypeId::Uuid,
       std::string("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")},
      {"integer[]", "'{1,NULL,3}'", TypeId::List, std::string("[1, null, 3]")},
      {"text[]", "'{\"a b\",c}'", TypeId::List, std::string("[\"a b\", \"c\"]")},
      {"zyl_it.mood", "'happy'", TypeId::String, std::string("happy")},
      {"interval", "'1 day 02:00:00'", TypeId::Interval, std::string("1 day 02:00:00")},
      {"interval", "'-1 year -2 mons +3 days -25:00:00.5'", TypeId::Interval,
       std::string("-1 year -2 months 3 days -25:00:00.500000")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql_type);
    conn_->execute("DROP TABLE IF EXISTS zyl_it.src, zyl_it.back");
    conn_->execute("CREATE TABLE zyl_it.src (v " + c.sql_type + ", n " + c.sql_type + ")");
    conn_->execute("INSERT INTO zyl_it.src VALUES (" + c.literal + ", NULL)");

    std::vector<Column> columns;
    RowBatch rows = integration::read_all(*conn_, "SELECT * FROM zyl_it.src", &columns);
    ASSERT_EQ(rows.rows(), 1u);
    EXPECT_EQ(columns[0].type.id, c.id);
    EXPECT_EQ(rows.at(0, 0), c.expected);
    EXPECT_EQ(rows.at(0, 1), Cell{});

    // Back into PostgreSQL through the driver's own DDL and COPY writer: same cells again.
    integration::copy_table(*conn_, "zyl_it", "src", "back");
    RowBatch again = integration::read_all(*conn_, "SELECT * FROM zyl_it.back");
    ASSERT_EQ(again.rows(), 1u);
    EXPECT_EQ(again.at(0, 0), c.expected);
    EXPECT_EQ(again.at(0, 1), Cell{});
  }
  // Declared sizes survive into the DDL.
  conn_->execute("CREATE TABLE zyl_it.sized (d numeric(12,3), v varchar(5), c char(3))");
  auto columns = conn_->table_columns({"zyl_it", "sized"});
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(conn_->type_sql(columns[0].type), "numeric(12,3)");
  EXPECT_EQ(conn_->type_sql(columns[1].type), "varchar(5)");
  EXPECT_EQ(conn_->type_sql(columns[2].type), "char(3)");
}

TEST_F(PostgresTest, LogicalTypesWithoutAServerTwinKeepTheirValues) {
  // Types another engine hands over (unsigned, 8-bit, 128-bit) widen without losing a digit.
  struct Case {
    TypeId id;
    Cell cell;
    Cell read_back;
  };
  const std::vector<Case> cases = {
      {TypeId::Int8, std::int64_t{-128}, std::int64_t{-128}},
      {TypeId::UInt8, std::int64_t{255}, std::int64_t{255}},
      {TypeId::UInt16, std::int64_t{65535}, std::int64_t{65535}},
      {TypeId::UInt32, std::int64_t{4294967295}, std::int64_t{4294967295}},
      {TypeId::UInt64, std::uint64_t{18446744073709551615u},
       std::string("18446744073709551615")},
      {TypeId::HugeInt, std::string("-170141183460469231731687303715884105728"),
       std::string("-170141183460469231731687303715884105728")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(drivers::type_name(c.id)));
    ColumnType type;
    type.id = c.id;
    conn_->execute("DROP TABLE IF EXISTS zyl_it.wide");
    conn_->execute("CREATE TABLE zyl_it.wide (v " + conn_->type_sql(type) + ")");
    auto writer = conn_->bulk_writer({"zyl_it", "wide"}, {{"v", type}});
    RowBatch batch{1, {c.cell}};
    writer->write(batch);
    writer->finish();
    RowBatch rows = integration::read_all(*conn_, "SELECT v FROM zyl_it.wide");
    ASSERT_EQ(rows.rows(), 1u);
    EXPECT_EQ(rows.at(0, 0), c.read_back);
  }
}

// Decimal and UUID cells go into numeric and uuid columns in COPY's binary format; every
// spelling the server's text input takes arrives as that input would have stored it.
TEST_F(PostgresTest, BinaryCopyStoresWhatTheTextInputWould) {
  const std::vector<std::string> decimals = {
      "0", "-0.00", "007.50", ".5", "5.", " 12 ", "1.5e3", "1.50E1", "15e-1", "1e-5", "-2.5e+2",
      "inf", "-Infinity", "NaN", "0.00000012",
      "123456789012345678901234567890.123456789012345678901234567890"};
  const std::vector<std::string> uuids = {"A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11",
                                          "a0eebc999c0b4ef8bb6d6bb9bd380a11",
                                          "{a0eebc99-9c0b4ef8-bb6d6bb9-bd380a11}"};
  ColumnType decimal;
  decimal.id = TypeId::Decimal;
  ColumnType uuid;
  uuid.id = TypeId::Uuid;
  ColumnType integer;
  integer.id = TypeId::Int32;
  conn_->execute("CREATE TABLE zyl_it.spelled (i integer, d numeric, u uuid)");
  auto writer =
      conn_->bulk_writer({"zyl_it", "spelled"}, {{"i", integer}, {"d", decimal}, {"u", uuid}});
  RowBatch batch;
  batch.column_count = 3;
  for (size_t i = 0; i < decimals.size(); ++i) {
    batch.cells.push_back(std::int64_t(i));
    batch.cells.push_back(decimals[i]);
    batch.cells.push_back(i < uuids.size() ? Cell{uuids[i]} : Cell{});
  }
  writer->write(batch);
  writer->finish();
  RowBatch rows =
      integration::read_all(*conn_, "SELECT d::text, u::text FROM zyl_it.spelled ORDER BY i");
  ASSERT_EQ(rows.rows(), decimals.size());
  for (size_t i = 0; i < decimals.size(); ++i) {
    RowBatch text_input = integration::read_all(
        *conn_, "SELECT " + drivers::sql_string_literal(decimals[i]) + "::numeric::text");
    EXPECT_EQ(rows.at(i, 0), text_input.at(0, 0)) << decimals[i];
    if (i < uuids.size()) {
      EXPECT_EQ(rows.at(i, 1), Cell{std::string("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")});
    }
  }
}

TEST_F(PostgresTest, StreamsLargeResultsAndStaysUsableAfterAnAbandonedOne) {
  auto result = conn_->query("SELECT g, 'row ' || g FROM generate_series(1, 200000) g");
  RowBatch batch;
  size_t rows = 0;
  std::int64_t sum = 0;
  while (result->next(batch, 5000)) {
    EXPECT_LE(batch.rows(), 5000u + 64);
    for (size_t r = 0; r < batch.rows(); ++r) sum += std::get<std::int64_t>(batch.at(r, 0));
    rows += batch.rows();
  }
  EXPECT_EQ(rows, 200000u);
  EXPECT_EQ(sum, std::int64_t{200000} * 200001 / 2);

  // A result dropped half-way is cancelled; the connection answers the next query.
  auto abandoned = conn_->query("SELECT g FROM generate_series(1, 5000000) g");
  ASSERT_TRUE(abandoned->next(batch, 10));
  EXPECT_THROW(conn_->execute("SELECT 1"), drivers::DriverError);  // still busy
  abandoned.reset();
  RowBatch one = integration::read_all(*conn_, "SELECT 41 + 1");
  EXPECT_EQ(one.at(0, 0), Cell{std::int64_t{42}});

  // A query ending in a line comment, read through COPY, with and without casts around it.
  EXPECT_EQ(integration::read_all(*conn_, "SELECT 7 AS n -- seven").at(0, 0),
            Cell{std::int64_t{7}});
  EXPECT_EQ(integration::read_all(*conn_, "SELECT '{\"a\": 1}'::jsonb AS j -- json").rows(), 1u);

  // Statements COPY cannot wrap still return their rows.
  RowBatch shown = integration::read_all(*conn_, "SHOW TimeZone");
  ASSERT_EQ(shown.rows(), 1u);
  EXPECT_EQ(shown.at(0, 0), Cell{std::string("UTC")});
}

TEST_F(PostgresTest, ErrorsCarrySqlstateButNeverThePassword) {
  try {
    conn_->query("SELECT * FROM zyl_it.no_such_table");
    FAIL() << "no error";
  } catch (const drivers::DriverError& e) {
    EXPECT_NE(std::string(e.what()).find("SQLSTATE 42P01"), std::string::npos) << e.what();
  }
  // A failing COPY stream reports the server's error at the row where it happens.
  auto result = conn_->query("SELECT 1 / (g - 3) FROM generate_series(1, 5) g");
  RowBatch batch;
  try {
    while (result->next(batch)) {
    }
    FAIL() << "no error";
  } catch (const drivers::DriverError& e) {
    EXPECT_NE(std::string(e.what()).find("SQLSTATE 22012"), std::string::npos) << e.what();
  }
  result.reset();

  Value wrong = config_;
  wrong["password"] = "Secret-Pw-4711";
  try {
    drivers::open_connection(wrong);
    FAIL() << "no error";
  } catch (const drivers::DriverError& e) {
    std::string message = e.what();
    EXPECT_EQ(message.find("Secret-Pw-4711"), std::string::npos) << message;
    EXPECT_NE(message.find("postgres"), std::string::npos) << message;
  }
  // The same failure with the password in the user name (echoed by the server) is redacted.
  Value echoed = config_;
  echoed["user"] = "Secret-Pw-4711";
  echoed["password"] = "Secret-Pw-4711";
  try {
    drivers::open_connection(echoed);
    FAIL() << "no error";
  } catch (const drivers::DriverError& e) {
    EXPECT_EQ(std::string(e.what()).find("Secret-Pw-4711"), std::string::npos) << e.what();
  }
}

TEST_F(PostgresTest, SchemaTransactionsAndCatalog) {
  Value scoped = config_;
  scoped["schema"] = "zyl_it";
  auto conn = drivers::open_connection(scoped);
  EXPECT_EQ(conn->engine(), "postgres");
  conn->execute("CREATE TABLE \"Mixed Case\" (\"a\"\"b\" int)");  // lands in the search path
  EXPECT_TRUE(conn->table_exists({"", "Mixed Case"}));
  EXPECT_TRUE(conn_->table_exists({"zyl_it", "Mixed Case"}));
  EXPECT_FALSE(conn_->table_exists({"zyl_it", "mixed case"}));
  auto columns = conn->table_columns(TableRef::parse("zyl_it.\"Mixed Case\""));
  ASSERT_EQ(columns.size(), 1u);
  EXPECT_EQ(columns[0].name, "a\"b");
  EXPECT_TRUE(conn->table_columns({"zyl_it", "absent"}).empty());

  conn->begin();
  auto writer = conn->bulk_writer({"", "Mixed Case"}, columns);
  writer->write(RowBatch{1, {std::int64_t{1}, std::int64_t{2}}});
  writer->finish();
  conn->rollback();
  EXPECT_EQ(integration::read_all(*conn, "SELECT * FROM \"Mixed Case\"").rows(), 0u);

  conn->ensure_schema("zyl_it_other");
  conn->ensure_schema("zyl_it_other");
  EXPECT_TRUE(integration::read_all(*conn,
                                    "SELECT 1 FROM pg_namespace WHERE nspname = 'zyl_it_other'")
                  .rows() == 1);
  conn->execute("DROP SCHEMA zyl_it_other");

  // An abandoned writer leaves nothing behind and the connection usable.
  {
    auto dropped = conn->bulk_writer({"", "Mixed Case"}, columns);
    dropped->write(RowBatch{1, {std::int64_t{7}}});
  }
  EXPECT_EQ(integration::read_all(*conn, "SELECT * FROM \"Mixed Case\"").rows(), 0u);
}

TEST_F(PostgresTest, RedshiftPathsReadAndWriteTheSameCells) {
  Value redshift = config_;
  redshift["type"] = "redshift";
  redshift["sslmode"] = "disable";
  auto conn = drivers::open_connection(redshift);
  EXPECT_EQ(conn->engine(), "redshift");
  conn_->execute(
      "CREATE TABLE zyl_it.mixed (i bigint, d numeric(10,2), s text, t timestamptz, b boolean,"
      " a int[]);"
      "INSERT INTO zyl_it.mixed SELECT g, g / 4.0, 'it''s ' || g, '2024-01-01'::timestamptz +"
      " g * interval '1 hour', g % 2 = 0, ARRAY[g] FROM generate_series(1, 3000) g;"
      "INSERT INTO zyl_it.mixed VALUES (NULL, NULL, NULL, NULL, NULL, NULL)");
  std::vector<Column> columns;
  RowBatch via_copy = integration::read_all(*conn_, "SELECT * FROM zyl_it.mixed ORDER BY i",
                                            &columns);
  RowBatch via_rows = integration::read_all(*conn, "SELECT * FROM zyl_it.mixed ORDER BY i");
  EXPECT_EQ(via_rows.rows(), 3001u);
  EXPECT_EQ(via_rows.cells, via_copy.cells);

  // The INSERT writer renders literals; the table read back holds the same cells.
  conn_->execute("CREATE TABLE zyl_it.mixed_back (LIKE zyl_it.mixed)");
  conn_->execute("ALTER TABLE zyl_it.mixed_back ALTER COLUMN a TYPE jsonb USING NULL");
  auto writer = conn->bulk_writer({"zyl_it", "mixed_back"}, columns);
  writer->write(via_copy);
  writer->finish();
  EXPECT_EQ(integration::read_all(*conn_, "SELECT * FROM zyl_it.mixed_back ORDER BY i").cells,
            via_copy.cells);
}

TEST_F(PostgresTest, InterruptCancelsTheRunningQueryAndTheConnectionGoesOn) {
  auto busy = drivers::open_connection(config_);
  drivers::test_support::Interrupted outcome = drivers::test_support::interrupt_while_running(
      [&] { drivers::test_support::read_through(*busy, "SELECT pg_sleep(600)"); });
  EXPECT_TRUE(outcome.threw);
  EXPECT_NE(outcome.message.find("57014"), std::string::npos) << outcome.message;  // query_canceled
  RowBatch rows = integration::read_all(*busy, "SELECT 42");
  ASSERT_EQ(rows.rows(), 1u);
}

}  // namespace
}  // namespace zyl
