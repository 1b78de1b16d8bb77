#include "drivers/sqlite/sqlite_driver.h"

#include <stdlib.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/test_support/temp_dir.h"
#include "drivers/test_support/interrupt.h"
#include "drivers/temporal.h"

namespace zyl::drivers {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

using zyl::test_support::TempDir;

std::vector<Cell> all_rows(QueryResult& result) {
  std::vector<Cell> cells;
  RowBatch batch;
  while (result.next(batch)) cells.insert(cells.end(), batch.cells.begin(), batch.cells.end());
  return cells;
}

ColumnType type(TypeId id, int precision = 0, int scale = 0) {
  ColumnType t;
  t.id = id;
  t.precision = precision;
  t.scale = scale;
  return t;
}

void create_table(Connection& conn, const TableRef& table, const std::vector<Column>& columns) {
  std::string sql = "CREATE TABLE " + conn.quote_table(table) + " (";
  for (size_t i = 0; i < columns.size(); ++i) {
    sql += (i ? ", " : "") + conn.quote_identifier(columns[i].name) + " " +
           conn.type_sql(columns[i].type);
  }
  conn.execute(sql + ")");
}

TEST(SQLiteDriver, EveryLogicalTypeSurvivesAWriteAndARead) {
  struct Case {
    ColumnType type;
    Cell value;
    TypeId read_back;  // what the declared type reads back as
    Cell expected;     // the cell read back
  };
  std::int64_t instant = *temporal::parse_timestamp("2024-01-31 13:45:00.25+02:00");
  std::vector<Case> cases = {
      {type(TypeId::Boolean), true, TypeId::Boolean, true},
      {type(TypeId::Int8), std::int64_t{-5}, TypeId::Int8, std::int64_t{-5}},
      {type(TypeId::Int64), std::int64_t{9000000000}, TypeId::Int64, std::int64_t{9000000000}},
      {type(TypeId::UInt64), std::numeric_limits<std::uint64_t>::max(), TypeId::Decimal,
       std::string("18446744073709551615")},
      {type(TypeId::HugeInt), std::string("-170141183460469231731687303715884105728"),
       TypeId::Decimal, std::string("-170141183460469231731687303715884105728")},
      {type(TypeId::Float64), 0.1, TypeId::Float64, 0.1},
      {type(TypeId::Decimal, 10, 2), std::string("-12.30"), TypeId::Decimal, std::string("-12.30")},
      {type(TypeId::Decimal, 38, 4), std::string("12345678901234567890123456789012.3400"),
       TypeId::Decimal, std::string("12345678901234567890123456789012.3400")},
      {type(TypeId::String), std::string(""), TypeId::String, std::string("")},
      {type(TypeId::String), std::string("007"), TypeId::String, std::string("007")},
      {type(TypeId::String), Cell{}, TypeId::String, Cell{}},
      {type(TypeId::Blob), std::string("\0\xff", 2), TypeId::Blob, std::string("\0\xff", 2)},
      {type(TypeId::Date), std::int64_t{-1}, TypeId::Date, std::int64_t{-1}},
      {type(TypeId::Time), std::int64_t{49500250000}, TypeId::Time, std::int64_t{49500250000}},
      {type(TypeId::Timestamp), instant, TypeId::Timestamp, instant},
      {type(TypeId::TimestampTz), instant, TypeId::TimestampTz, instant},
      {type(TypeId::Interval), std::string("3 days"), TypeId::Interval, std::string("3 days")},
      {type(TypeId::Uuid), std::string("6ba7b810-9dad-11d1-80b4-00c04fd430c8"), TypeId::Uuid,
       std::string("6ba7b810-9dad-11d1-80b4-00c04fd430c8")},
      {type(TypeId::Json), std::string("1"), TypeId::Json, std::string("1")},
  };
  auto conn = sqlite::open_file(":memory:");
  std::vector<Column> columns;
  RowBatch batch;
  for (size_t i = 0; i < cases.size(); ++i) {
    columns.push_back({"c" + std::to_string(i), cases[i].type});
    batch.cells.push_back(cases[i].value);
  }
  batch.column_count = columns.size();
  create_table(*conn, {"", "t"}, columns);
  auto writer = conn->bulk_writer({"", "t"}, columns);
  writer->write(batch);
  writer->finish();

  auto result = conn->query("SELECT * FROM t");
  std::vector<Cell> cells = all_rows(*result);
  ASSERT_EQ(cells.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(result->columns()[i].type.id, cases[i].read_back) << "case " << i;
    EXPECT_EQ(cells[i], cases[i].expected) << "case " << i;
  }
  EXPECT_EQ(result->columns()[6].type.precision, 10);
  EXPECT_EQ(result->columns()[6].type.scale, 2);
  // NULL stays distinct from the empty string in the file itself.
  auto check = conn->query("SELECT c8 IS NULL, c10 IS NULL, typeof(c6) FROM t");
  EXPECT_EQ(all_rows(*check), (std::vector<Cell>{std::int64_t{0}, std::int64_t{1},
                                                  std::string("text")}));
}

TEST(SQLiteDriver, ReadsTablesWrittenByOtherTools) {
  auto conn = sqlite::open_file(":memory:");
  conn->execute(
      "CREATE TABLE legacy (id INTEGER PRIMARY KEY, price DECIMAL(10,2), seen DATETIME, "
      "stamp TIMESTAMP, ok BOOL, note);"
      "INSERT INTO legacy VALUES (1, 12.3, '2024-01-31T13:45:00Z', 1706708700, 'true', 4.5);");
  auto result = conn->query("SELECT *, id * 2 AS twice, 'x' || note AS label FROM legacy");
  std::vector<Cell> cells = all_rows(*result);
  const auto& cols = result->columns();
  EXPECT_EQ(cols[1].type.id, TypeId::Decimal);
  EXPECT_EQ(cells[1], Cell(std::string("12.30")));
  EXPECT_EQ(cols[2].type.id, TypeId::Timestamp);
  EXPECT_EQ(temporal::format_timestamp(std::get<std::int64_t>(cells[2])), "2024-01-31 13:45:00");
  EXPECT_EQ(temporal::format_timestamp(std::get<std::int64_t>(cells[3])), "2024-01-31 13:45:00");
  EXPECT_EQ(cells[4], Cell(true));
  EXPECT_EQ(cols[5].type.id, TypeId::Float64);  // no declared type: the first row's class
  EXPECT_EQ(cols[6].type.id, TypeId::Int64);
  EXPECT_EQ(cols[7].type.id, TypeId::String);
  EXPECT_EQ(cells[7], Cell(std::string("x4.5")));

  conn->execute("INSERT INTO legacy (id, seen) VALUES (2, 'last tuesday')");
  auto bad = conn->query("SELECT seen FROM legacy ORDER BY id");
  EXPECT_THAT([&] { all_rows(*bad); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("\"seen\" holds 'last tuesday'")));
}

TEST(SQLiteDriver, StreamsInBatches) {
  auto conn = sqlite::open_file(":memory:");
  auto result = conn->query(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2500) "
      "SELECT i FROM n");
  RowBatch batch;
  size_t total = 0, batches = 0;
  while (result->next(batch, 1000)) {
    EXPECT_LE(batch.rows(), 1000u);
    total += batch.rows();
    ++batches;
  }
  EXPECT_EQ(total, 2500u);
  EXPECT_EQ(batches, 3u);
}

TEST(SQLiteDriver, AnAbandonedOrFailingWriteLeavesTheTableAsItWas) {
  auto conn = sqlite::open_file(":memory:");
  conn->execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT); INSERT INTO t VALUES (1, 'a')");
  std::vector<Column> columns = {{"id", type(TypeId::Int64)}, {"name", type(TypeId::String)}};
  {
    auto writer = conn->bulk_writer({"", "t"}, columns);
    writer->write(RowBatch{2, {std::int64_t{2}, std::string("b")}});
  }  // never finished
  {
    auto writer = conn->bulk_writer({"", "t"}, columns);
    writer->write(RowBatch{2, {std::int64_t{3}, std::string("c")}});
    EXPECT_THAT([&] { writer->write(RowBatch{2, {std::int64_t{1}, std::string("dup")}}); },
                ::testing::ThrowsMessage<DriverError>(HasSubstr("UNIQUE")));
  }
  auto result = conn->query("SELECT count(*) FROM t");
  EXPECT_EQ(all_rows(*result), std::vector<Cell>{std::int64_t{1}});
  EXPECT_THROW(conn->bulk_writer({"", "t"}, {{"nope", type(TypeId::Int64)}}), DriverError);
}

TEST(SQLiteDriver, SchemasNameAttachedFilesOrFallBackToMain) {
  TempDir dir;
  Value config = {{"type", "sqlite"},
                  {"path", "main.db"},
                  {"schemas_and_paths", {{"main", "main.db"}, {"sales", "sales.db"}}}};
  auto conn = open_connection(config, dir.path());
  EXPECT_EQ(conn->engine(), "sqlite");
  EXPECT_EQ(conn->quote_table({"sales", "orders"}), "\"sales\".\"orders\"");
  EXPECT_EQ(conn->quote_table({"analytics", "orders"}), "\"orders\"");
  conn->execute("CREATE TABLE sales.orders (id INTEGER)");
  EXPECT_TRUE(conn->table_exists({"sales", "orders"}));
  EXPECT_FALSE(conn->table_exists({"", "orders"}));
  EXPECT_EQ(conn->table_columns({"sales", "orders"}).size(), 1u);
  EXPECT_TRUE(fs::exists(dir.path() / "sales.db"));

  conn->begin();
  conn->execute("CREATE TABLE gone (id INTEGER)");
  conn->rollback();
  EXPECT_FALSE(conn->table_exists({"", "gone"}));
  conn->execute("CREATE TABLE kept (id INTEGER)");
  conn->commit();  // nothing open: nothing to do, the table stays
  EXPECT_TRUE(conn->table_exists({"", "kept"}));

  EXPECT_THAT([] { open_connection(Value{{"type", "sqlite"}}); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("no 'path' or 'database'")));
  EXPECT_THAT([&] { conn->query("SELECT 1; SELECT 2"); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("single statement")));
}

TEST(OpenConnection, UnknownTypesNameTheTypeAndTheSupportedOnes) {
  EXPECT_THAT([] { open_connection(Value{{"type", "vertica"}}); },
              ::testing::ThrowsMessage<DriverError>(
                  ::testing::AllOf(HasSubstr("'vertica'"), HasSubstr("duckdb"),
                                   HasSubstr("sqlite"))));
}

TEST(SQLiteDriver, InterruptStopsTheRunningQueryAndTheConnectionGoesOn) {
  auto conn = sqlite::open_file(":memory:");
  test_support::Interrupted outcome = test_support::interrupt_while_running([&] {
    test_support::read_through(*conn,
                               "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                               "SELECT count(*) FROM c");
  });
  EXPECT_TRUE(outcome.threw);
  EXPECT_THAT(outcome.message, HasSubstr("interrupt"));
  conn->execute("CREATE TABLE t (x INTEGER)");
  EXPECT_TRUE(conn->table_exists({"", "t"}));
}

}  // namespace
}  // namespace zyl::drivers
