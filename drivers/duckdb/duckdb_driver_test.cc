#include "drivers/duckdb/duckdb_driver.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/test_support/command.h"
#include "core/test_support/temp_dir.h"
#include "drivers/test_support/interrupt.h"
#include "drivers/duckdb/database_registry.h"
#include "drivers/temporal.h"

namespace zyl::drivers {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

using zyl::test_support::TempDir;

std::vector<std::vector<Value>> rows_of(Connection& conn, const std::string& sql) {
  auto result = conn.query(sql);
  std::vector<std::vector<Value>> rows;
  RowBatch batch;
  while (result->next(batch)) {
    for (size_t r = 0; r < batch.rows(); ++r) {
      std::vector<Value> row;
      for (size_t c = 0; c < batch.column_count; ++c) {
        row.push_back(cell_to_value(batch.at(r, c), result->columns()[c].type));
      }
      rows.push_back(row);
    }
  }
  return rows;
}

TEST(DuckDBDriver, ReadsEveryTypeItMaps) {
  auto conn = duckdb::open_file(":memory:");
  auto result = conn->query(
      "SELECT true AS b, -5::TINYINT AS i8, 70000::INTEGER AS i32, 9000000000::BIGINT AS i64, "
      "18446744073709551615::UBIGINT AS u64, 170141183460469231731687303715884105727::HUGEINT "
      "AS h, 1.5::FLOAT AS f, -12.30::DECIMAL(10,2) AS d, 0.05::DECIMAL(4,3) AS small, "
      "-123456789012345678901234.5678::DECIMAL(38,4) AS wide, 'x' AS s, ''::VARCHAR AS empty, "
      "NULL::VARCHAR AS n, '\\x00\\xFF'::BLOB AS bl, DATE '1969-12-31' AS dt, TIME '13:45:00.25' "
      "AS t, TIMESTAMP '2024-01-31 13:45:00' AS ts, TIMESTAMPTZ '2024-01-31 13:45:00+02' AS tz, "
      "INTERVAL '1 year 2 days 03:00:00' AS iv, '6ba7b810-9dad-11d1-80b4-00c04fd430c8'::UUID AS "
      "u, '{\"a\":1}'::JSON AS j, [1,2] AS l, {'k': 1} AS st, 'a'::ENUM('a','b') AS e");
  std::vector<TypeId> expected = {
      TypeId::Boolean, TypeId::Int8,      TypeId::Int32,       TypeId::Int64,    TypeId::UInt64,
      TypeId::HugeInt, TypeId::Float32,   TypeId::Decimal,     TypeId::Decimal,  TypeId::Decimal,
      TypeId::String,  TypeId::String,    TypeId::String,      TypeId::Blob,     TypeId::Date,
      TypeId::Time,    TypeId::Timestamp, TypeId::TimestampTz, TypeId::Interval, TypeId::Uuid,
      TypeId::Json,    TypeId::List,      TypeId::Json,        TypeId::String};
  ASSERT_EQ(result->columns().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(result->columns()[i].type.id, expected[i]) << result->columns()[i].name;
  }
  EXPECT_EQ(result->columns()[7].type.precision, 10);
  EXPECT_EQ(result->columns()[7].type.scale, 2);

  RowBatch batch;
  ASSERT_TRUE(result->next(batch));
  ASSERT_EQ(batch.rows(), 1u);
  EXPECT_EQ(std::get<bool>(batch.at(0, 0)), true);
  EXPECT_EQ(std::get<std::int64_t>(batch.at(0, 1)), -5);
  EXPECT_EQ(std::get<std::int64_t>(batch.at(0, 3)), 9000000000LL);
  EXPECT_EQ(std::get<std::uint64_t>(batch.at(0, 4)), 18446744073709551615ULL);
  EXPECT_EQ(std::get<std::string>(batch.at(0, 5)), "170141183460469231731687303715884105727");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 7)), "-12.30");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 8)), "0.050");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 9)), "-123456789012345678901234.5678");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 11)), "");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(batch.at(0, 12)));
  EXPECT_EQ(std::get<std::string>(batch.at(0, 13)), std::string("\0\xff", 2));
  EXPECT_EQ(std::get<std::int64_t>(batch.at(0, 14)), -1);
  EXPECT_EQ(temporal::format_time(std::get<std::int64_t>(batch.at(0, 15))), "13:45:00.250000");
  EXPECT_EQ(temporal::format_timestamptz(std::get<std::int64_t>(batch.at(0, 17))),
            "2024-01-31 11:45:00+00");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 18)), "1 year 2 days 03:00:00");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 19)), "6ba7b810-9dad-11d1-80b4-00c04fd430c8");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 20)), "{\"a\":1}");
  // Nested values read as JSON; a list keeps its element type.
  EXPECT_EQ(std::get<std::string>(batch.at(0, 21)), "[1,2]");
  ASSERT_EQ(result->columns()[21].type.element.size(), 1u);
  EXPECT_EQ(result->columns()[21].type.element[0].id, TypeId::Int32);
  EXPECT_EQ(std::get<std::string>(batch.at(0, 22)), "{\"k\":1}");
  EXPECT_EQ(std::get<std::string>(batch.at(0, 23)), "a");
  EXPECT_FALSE(result->next(batch));

  // A query that ends in a line comment still reads when its columns need a cast around it.
  result.reset();
  RowBatch commented;
  ASSERT_TRUE(conn->query("SELECT [1, 2] AS l -- the pair")->next(commented));
  EXPECT_EQ(std::get<std::string>(commented.at(0, 0)), "[1,2]");
}

TEST(DuckDBDriver, WritesWhatItReadsWithoutLoss) {
  TempDir dir;
  auto conn = duckdb::open_file(dir.path() / "db.duckdb");
  auto reader = duckdb::open_file(dir.path() / "db.duckdb");
  conn->execute(
      "CREATE TABLE src AS SELECT * FROM (VALUES "
      "(1, -12.30::DECIMAL(10,2), 'a', TIMESTAMPTZ '2024-01-31 13:45:00+02', '\\x01'::BLOB, "
      "INTERVAL '3 days', '6ba7b810-9dad-11d1-80b4-00c04fd430c8'::UUID, "
      "99999999999999999999::HUGEINT, DATE '2024-02-29'), "
      "(2, NULL, '', NULL, NULL, NULL, NULL, NULL, NULL)) t(id, amount, name, happened, raw, span, "
      "uid, big, day)");
  auto source = reader->query("SELECT * FROM src ORDER BY id");
  std::vector<Column> columns = source->columns();
  conn->ensure_schema("copy");
  std::string create = "CREATE TABLE copy.dst (";
  for (size_t i = 0; i < columns.size(); ++i) {
    create += (i ? ", " : "") + conn->quote_identifier(columns[i].name) + " " +
              conn->type_sql(columns[i].type);
  }
  conn->execute(create + ")");
  EXPECT_TRUE(conn->table_exists(TableRef{"copy", "dst"}));
  EXPECT_FALSE(conn->table_exists(TableRef{"", "dst"}));
  EXPECT_EQ(conn->table_columns(TableRef{"copy", "dst"})[1].type, columns[1].type);

  auto writer = conn->bulk_writer(TableRef{"copy", "dst"}, columns);
  RowBatch batch;
  while (source->next(batch)) writer->write(batch);
  writer->finish();
  // The reading connection is busy until its result is gone.
  EXPECT_THAT([&] { reader->execute("SELECT 1"); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("still open")));
  source.reset();
  reader->execute("SELECT 1");

  auto diff = rows_of(*conn,
                      "SELECT count(*) FROM (SELECT * FROM src EXCEPT SELECT * FROM copy.dst)");
  EXPECT_EQ(diff[0][0], 0);
  auto copied = rows_of(*conn, "SELECT amount::VARCHAR, name, name IS NULL FROM copy.dst ORDER BY id");
  EXPECT_EQ(copied[0][0], "-12.30");
  EXPECT_EQ(copied[1][1], "");
  EXPECT_EQ(copied[1][2], false);
}

// Batches larger than one data chunk, NULLs, and cells in another form than their column's type
// (text in a decimal column, a number in a text column) all arrive; bad values are refused.
TEST(DuckDBDriver, BulkWritesWholeChunksAndConvertsOtherCellForms) {
  auto conn = duckdb::open_file(":memory:");
  conn->execute("CREATE TABLE t (id INTEGER, label VARCHAR, amount DECIMAL(10,2), day DATE)");
  ColumnType int32, text, decimal, date;
  int32.id = TypeId::Int32;
  text.id = TypeId::String;
  decimal.id = TypeId::Decimal;
  decimal.precision = 10;
  decimal.scale = 2;
  date.id = TypeId::Date;
  std::vector<Column> columns{{"id", int32}, {"label", text}, {"amount", decimal}, {"day", date}};
  RowBatch batch;
  batch.column_count = 4;
  const std::int64_t n = 5000;
  for (std::int64_t i = 0; i < n; ++i) {
    batch.cells.push_back(i);
    batch.cells.push_back(i % 2 ? Cell{i} : Cell{"r" + std::to_string(i)});
    batch.cells.push_back(std::string("1.25"));
    batch.cells.push_back(i % 3 ? Cell{std::int64_t{19782}} : Cell{});
  }
  auto writer = conn->bulk_writer(TableRef{"", "t"}, columns);
  writer->write(batch);
  writer->finish();
  writer.reset();
  auto summary = rows_of(*conn,
                         "SELECT count(*), sum(id)::BIGINT, count(day), min(day)::VARCHAR, "
                         "sum(amount)::VARCHAR FROM t");
  EXPECT_EQ(summary[0][0], n);
  EXPECT_EQ(summary[0][1], n * (n - 1) / 2);
  EXPECT_EQ(summary[0][2], n - (n + 2) / 3);
  EXPECT_EQ(summary[0][3], "2024-02-29");
  EXPECT_EQ(summary[0][4], "6250.00");
  auto labels = rows_of(*conn, "SELECT label FROM t WHERE id IN (0, 1, 4097) ORDER BY id");
  EXPECT_EQ(labels[0][0], "r0");
  EXPECT_EQ(labels[1][0], "1");
  EXPECT_EQ(labels[2][0], "4097");

  auto refused = [&](Cell id, Cell label) {
    auto w = conn->bulk_writer(TableRef{"", "t"}, columns);
    RowBatch one{4, {std::move(id), std::move(label), Cell{}, Cell{}}};
    w->write(one);
    w->finish();
  };
  EXPECT_THAT([&] { refused(Cell{std::int64_t{1} << 40}, Cell{}); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("DuckDB")));
  EXPECT_THAT([&] { refused(Cell{}, Cell{std::string("bad \xff text")}); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("UTF-8")));
  EXPECT_EQ(rows_of(*conn, "SELECT count(*) FROM t")[0][0], n);
}

// Decimals of every storage width arrive exactly; text that needs rounding or is no plain
// decimal goes through DuckDB's own cast, and an out-of-range value is refused.
TEST(DuckDBDriver, BulkWritesDecimalsOfEveryWidth) {
  auto conn = duckdb::open_file(":memory:");
  conn->execute(
      "CREATE TABLE d (s DECIMAL(4,1), i DECIMAL(9,3), b DECIMAL(18,2), h DECIMAL(38,9))");
  std::vector<Column> columns;
  for (auto [name, p, sc] : {std::tuple{"s", 4, 1}, {"i", 9, 3}, {"b", 18, 2}, {"h", 38, 9}}) {
    ColumnType t;
    t.id = TypeId::Decimal;
    t.precision = p;
    t.scale = sc;
    columns.push_back({name, t});
  }
  auto text = [](const char* v) { return Cell{std::string(v)}; };
  RowBatch batch{
      4,
      {text("-999.9"), text("123456.789"), text("-0.5"), text("12345678901234567890.123456789"),
       text("0"), text("+1"), text("1e2"), text("-0.000000001"), Cell{}, text("0.1240"),
       text("42."), text("99999999999999999999999999999.999999999")}};
  auto writer = conn->bulk_writer(TableRef{"", "d"}, columns);
  writer->write(batch);
  writer->finish();
  writer.reset();
  auto rows =
      rows_of(*conn, "SELECT s::VARCHAR, i::VARCHAR, b::VARCHAR, h::VARCHAR FROM d ORDER BY rowid");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<Value>{"-999.9", "123456.789", "-0.50",
                                         "12345678901234567890.123456789"}));
  EXPECT_EQ(rows[1], (std::vector<Value>{"0.0", "1.000", "100.00", "-0.000000001"}));
  EXPECT_EQ(rows[2], (std::vector<Value>{nullptr, "0.124", "42.00",
                                         "99999999999999999999999999999.999999999"}));

  // A value the column would have to round or cut is refused, naming column and value.
  for (RowBatch refused : {RowBatch{4, {text("1000.0"), Cell{}, Cell{}, Cell{}}},
                           RowBatch{4, {Cell{}, text("0.1235"), Cell{}, Cell{}}},
                           RowBatch{4, {Cell{}, Cell{}, Cell{}, text("-0.0000000005")}}}) {
    auto w = conn->bulk_writer(TableRef{"", "d"}, columns);
    EXPECT_THROW(w->write(refused), DriverError);
  }
  try {
    auto w = conn->bulk_writer(TableRef{"", "d"}, columns);
    w->write(RowBatch{4, {Cell{}, text("0.1235"), Cell{}, Cell{}}});
    ADD_FAILURE() << "rounded";
  } catch (const DriverError& e) {
    EXPECT_THAT(e.what(), HasSubstr("column \"i\": the value 0.1235 does not fit DECIMAL(9,3)"));
  }
}

// Between two DuckDB databases rows move as whole chunks, cast to the table's types; a result
// that has been read from, or a writer of another engine, is left to the cell path.
TEST(DuckDBDriver, AppendAllMovesChunksBetweenDatabases) {
  TempDir dir;
  auto source = duckdb::open_file(dir.path() / "src.duckdb");
  auto target = duckdb::open_file(dir.path() / "dst.duckdb");
  source->execute(
      "CREATE TYPE mood AS ENUM ('sad', 'ok'); CREATE TABLE s AS SELECT range AS id, "
      "CASE WHEN range % 5 = 0 THEN NULL WHEN range % 2 = 0 THEN 'sad' ELSE 'ok' END::mood AS m, "
      "[range, range + 1] AS pair, (range / 8)::DECIMAL(20,3) AS d FROM range(5000)");
  auto rows = source->query("SELECT * FROM s ORDER BY id");
  std::vector<Column> columns = rows->columns();
  ASSERT_EQ(columns.size(), 4u);
  std::string create = "CREATE TABLE t (";
  for (size_t i = 0; i < columns.size(); ++i) {
    create += (i ? ", " : "") + target->quote_identifier(columns[i].name) + " " +
              target->type_sql(columns[i].type);
  }
  target->execute(create + ")");
  auto writer = target->bulk_writer(TableRef{"", "t"}, columns);
  std::vector<std::int64_t> seen;
  auto moved = duckdb::append_all(*rows, *writer, [&](std::int64_t n) { seen.push_back(n); });
  writer->finish();
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(*moved, 5000);
  EXPECT_GE(seen.size(), 2u);
  EXPECT_EQ(seen.back(), 5000);
  rows.reset();
  auto check =
      rows_of(*target,
              "SELECT count(*), count(m), max(pair) FILTER (WHERE id = 4999), sum(d)::VARCHAR, "
              "min(m) FROM t");
  EXPECT_EQ(check[0][0], 5000);
  EXPECT_EQ(check[0][1], 4000);
  EXPECT_EQ(check[0][2], "[4999,5000]");
  EXPECT_EQ(check[0][3], rows_of(*source, "SELECT sum(d)::VARCHAR FROM s")[0][0]);
  EXPECT_EQ(check[0][4], "ok");

  auto partly = source->query("SELECT id FROM s");
  RowBatch batch;
  ASSERT_TRUE(partly->next(batch, 10));
  ColumnType int64;
  int64.id = TypeId::Int64;
  target->execute("CREATE TABLE ids (id BIGINT)");
  auto ids = target->bulk_writer(TableRef{"", "ids"}, {{"id", int64}});
  EXPECT_FALSE(duckdb::append_all(*partly, *ids).has_value());
}

ColumnType logical(TypeId id, int precision = 0, int scale = 0) {
  ColumnType type;
  type.id = id;
  type.precision = precision;
  type.scale = scale;
  return type;
}

void write_rows(Connection& conn, const std::string& table, const Column& column,
                const std::vector<std::vector<std::string>>& batches) {
  auto writer = conn.bulk_writer(TableRef{"", table}, {column});
  for (const auto& texts : batches) {
    RowBatch batch;
    batch.column_count = 1;
    for (const std::string& t : texts) batch.cells.emplace_back(t);
    writer->write(batch);
  }
  writer->finish();
}

TEST(DuckDBDriver, DecimalsWithoutAPrecisionTakeTheScaleTheirValuesNeed) {
  auto conn = duckdb::open_file(":memory:");
  Column unbounded{"v", logical(TypeId::Decimal)};
  conn->execute("CREATE TABLE t (v " + conn->type_sql(unbounded.type) + ")");
  conn->begin();
  // A division result needs 20 digits after the point; a later value 18 before it still fits
  // beside them. Nothing is rounded.
  write_rows(*conn, "t", unbounded, {{"1.5", "0.14285714285714285714"}, {"-123456789012345678.5"}});
  conn->commit();
  EXPECT_EQ(rows_of(*conn, "SELECT typeof(v) FROM t LIMIT 1")[0][0], "DECIMAL(38,20)");
  auto exact = rows_of(*conn, "SELECT v::VARCHAR FROM t ORDER BY rowid");
  EXPECT_EQ(exact[0][0], "1.50000000000000000000");
  EXPECT_EQ(exact[1][0], "0.14285714285714285714");
  EXPECT_EQ(exact[2][0], "-123456789012345678.50000000000000000000");

  // MySQL's decimal(65,30) writes trailing zeros: they do not count as digits needed. A value
  // no DECIMAL(38,s) holds turns the column into its exact text.
  Column wide{"w", logical(TypeId::Decimal, 65, 30)};
  conn->execute("CREATE TABLE w (w " + conn->type_sql(wide.type) + ")");
  write_rows(*conn, "w", wide,
             {{"2.500000000000000000000000000000"},
              {"12345678901234567890123456789012345.000000000000000000000000000001"}});
  EXPECT_EQ(rows_of(*conn, "SELECT typeof(w) FROM w LIMIT 1")[0][0], "VARCHAR");
  auto texts = rows_of(*conn, "SELECT w FROM w ORDER BY rowid");
  EXPECT_EQ(texts[0][0].get<std::string>().rfind("2.5", 0), 0u);
  EXPECT_EQ(texts[1][0], "12345678901234567890123456789012345.000000000000000000000000000001");

  // A decimal with a precision DuckDB holds keeps it, and refuses a value that does not fit
  // rather than rounding it.
  Column bounded{"b", logical(TypeId::Decimal, 5, 2)};
  conn->execute("CREATE TABLE b (b " + conn->type_sql(bounded.type) + ")");
  EXPECT_THROW(write_rows(*conn, "b", bounded, {{"1.234"}}), DriverError);
}

TEST(DuckDBDriver, NativeResultsKeepEveryDuckDBTypeIntoDuckDBTables) {
  TempDir dir;
  auto source = duckdb::open_file(dir.path() / "src.duckdb");
  auto target = duckdb::open_file(dir.path() / "dst.duckdb");
  source->execute(
      "CREATE TYPE mood AS ENUM ('sad', 'ok'); CREATE TABLE s AS SELECT "
      "[1, NULL, 3] AS l, {'a': 1, 'b c': 'x'} AS st, MAP {'k': 1.5} AS m, "
      "[1, 2, 3]::INTEGER[3] AS arr, union_value(n := 7)::UNION(n INTEGER, s VARCHAR) AS u, "
      "'12:00:00+02'::TIMETZ AS tz, '0101'::BIT AS bits, "
      "'2024-01-01 00:00:00.123456789'::TIMESTAMP_NS AS ns, "
      "340282366920938463463374607431768211455::UHUGEINT AS uh, 'ok'::mood AS e, "
      "1.25::DECIMAL(38,30) AS d, INTERVAL '14 months 3 days 25 hours' AS iv");
  auto rows = duckdb::query_native(*source, "SELECT * FROM s");
  std::vector<Column> columns = rows->columns();
  std::string create = "CREATE TABLE t (";
  for (size_t i = 0; i < columns.size(); ++i) {
    create += (i ? ", " : "") + target->quote_identifier(columns[i].name) + " " +
              target->type_sql(columns[i].type);
  }
  target->execute(create + ")");
  auto writer = target->bulk_writer(TableRef{"", "t"}, columns);
  ASSERT_EQ(duckdb::append_all(*rows, *writer).value_or(-1), 1);
  writer->finish();
  rows.reset();
  std::string types =
      "SELECT " +
      std::string(
          "typeof(l), typeof(st), typeof(m), typeof(arr), typeof(u), typeof(tz), typeof(bits), "
          "typeof(ns), typeof(uh), typeof(e), typeof(d), typeof(iv)");
  std::string values =
      "SELECT l::VARCHAR, st::VARCHAR, m::VARCHAR, arr::VARCHAR, u::VARCHAR, tz::VARCHAR, "
      "bits::VARCHAR, ns::VARCHAR, uh::VARCHAR, e::VARCHAR, d::VARCHAR, iv::VARCHAR";
  EXPECT_EQ(rows_of(*target, types + " FROM t"), rows_of(*source, types + " FROM s"));
  EXPECT_EQ(rows_of(*target, values + " FROM t"), rows_of(*source, values + " FROM s"));
  EXPECT_EQ(rows_of(*target, "SELECT ns::VARCHAR FROM t")[0][0], "2024-01-01 00:00:00.123456789");

  // Cells are refused for values that have no cell form, and a nanosecond part that a cell
  // would cut is an error naming the column and the value.
  RowBatch batch;
  EXPECT_THROW(duckdb::query_native(*source, "SELECT st FROM s")->next(batch), DriverError);
  try {
    source->query("SELECT ns FROM s")->next(batch);
    ADD_FAILURE() << "nanoseconds were cut";
  } catch (const DriverError& e) {
    EXPECT_THAT(e.what(), HasSubstr("\"ns\""));
    EXPECT_THAT(e.what(), HasSubstr("2024-01-01 00:00:00.123456789"));
  }
  ASSERT_TRUE(source
                  ->query("SELECT ns::TIMESTAMP_NS AS whole FROM (SELECT "
                          "'2024-01-01 00:00:01'::TIMESTAMP_NS AS ns)")
                  ->next(batch));
  EXPECT_EQ(temporal::format_timestamp(std::get<std::int64_t>(batch.at(0, 0))),
            "2024-01-01 00:00:01");
}

TEST(DuckDBDriver, ListCellsAreJsonArraysBothWays) {
  auto conn = duckdb::open_file(":memory:");
  ColumnType strings = logical(TypeId::List);
  strings.element.push_back(logical(TypeId::String));
  EXPECT_EQ(conn->type_sql(strings), "VARCHAR[]");
  ColumnType numbers = logical(TypeId::List);
  numbers.element.push_back(logical(TypeId::Decimal));
  EXPECT_EQ(conn->type_sql(numbers), "VARCHAR[]");  // exact text: no writer sees inside
  conn->execute("CREATE TABLE t (v VARCHAR[])");
  // JSON escapes (a newline, a quote, a backslash) and objects arrive as the characters.
  write_rows(*conn, "t", Column{"v", strings},
             {{R"(["a\nb", {"k": 1}, null, "q\"x", "back\\slash", "null"])", "[]"}});
  auto got = rows_of(*conn,
                     "SELECT v[1] = 'a' || chr(10) || 'b', v[2], v[3] IS NULL, v[4], v[5], v[6], "
                     "len(v) FROM t ORDER BY rowid LIMIT 1");
  EXPECT_EQ(got[0][0], true);
  EXPECT_EQ(got[0][1], "{\"k\": 1}");
  EXPECT_EQ(got[0][2], true);
  EXPECT_EQ(got[0][3], "q\"x");
  EXPECT_EQ(got[0][4], "back\\slash");
  EXPECT_EQ(got[0][5], "null");
  EXPECT_EQ(got[0][6], 6);
  // Read back, the list is the JSON array again.
  EXPECT_EQ(rows_of(*conn, "SELECT v FROM t ORDER BY rowid")[1][0], "[]");
  EXPECT_EQ(rows_of(*conn, "SELECT v[4:5] AS v FROM t ORDER BY rowid LIMIT 1")[0][0],
            R"(["q\"x","back\\slash"])");
}

TEST(DuckDBDriver, StreamsInBatchesOfTheRequestedSize) {
  auto conn = duckdb::open_file(":memory:");
  auto result = conn->query("SELECT range AS n FROM range(5000)");
  RowBatch batch;
  std::int64_t expected = 0;
  size_t batches = 0;
  while (result->next(batch, 700)) {
    EXPECT_LE(batch.rows(), 700u);
    for (size_t r = 0; r < batch.rows(); ++r) {
      EXPECT_EQ(std::get<std::int64_t>(batch.at(r, 0)), expected++);
    }
    ++batches;
  }
  EXPECT_EQ(expected, 5000);
  EXPECT_GE(batches, 8u);
}

TEST(DuckDBDriver, ErrorsCarryTheEngineMessage) {
  auto conn = duckdb::open_file(":memory:");
  // A failure after some rows were produced ends the stream with an error (when the query
  // starts or while reading), never with a quiet early end.
  EXPECT_THAT([&] {
    auto failing = conn->query(
        "SELECT CASE WHEN range < 5000 THEN range ELSE error('boom at ' || range) END AS v "
        "FROM range(100000)");
    RowBatch rows;
    while (failing->next(rows)) {
    }
  }, ::testing::ThrowsMessage<DriverError>(HasSubstr("boom at")));
  EXPECT_THAT([&] { conn->execute("SELEC 1"); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("syntax error")));
  EXPECT_THROW(conn->query("SELECT * FROM missing"), DriverError);
  conn->execute("CREATE TABLE t (id INTEGER NOT NULL)");
  RowBatch batch{1, {Cell{}}};
  ColumnType int32;
  int32.id = TypeId::Int32;
  auto writer = conn->bulk_writer(TableRef{"", "t"}, {{"id", int32}});
  writer->write(batch);
  EXPECT_THROW(writer->finish(), DriverError);
  EXPECT_THROW(conn->bulk_writer(TableRef{"", "t"}, {{"nope", int32}}), DriverError);
}

TEST(DuckDBDriver, RollbackUndoesWritesAndDdl) {
  auto conn = duckdb::open_file(":memory:");
  conn->execute("CREATE TABLE t AS SELECT 1 AS id");
  conn->begin();
  conn->execute("DROP TABLE t; CREATE TABLE t AS SELECT 2 AS id");
  conn->rollback();
  EXPECT_EQ(rows_of(*conn, "SELECT id FROM t")[0][0], 1);
  conn->rollback();  // outside a transaction: harmless
  conn->execute("DROP TABLE t");
  conn->commit();  // likewise: the drop stays done
  EXPECT_FALSE(conn->table_exists(TableRef{"", "t"}));
}

TEST(DuckDBRegistry, OneInstancePerFileSharedAndClosedWithTheLastUser) {
  TempDir dir;
  fs::path file = dir.path() / "db.duckdb";
  auto first = duckdb::open_file(file);
  // Another spelling of the same file joins the same instance.
  auto second = duckdb::open_file(dir.path() / "." / "db.duckdb");
  EXPECT_EQ(duckdb::share_count(file), 2u);
  first->execute("CREATE TABLE t AS SELECT 42 AS v");
  EXPECT_EQ(rows_of(*second, "SELECT v FROM t")[0][0], 42);
  first->close();
  EXPECT_EQ(duckdb::share_count(file), 1u);
  second.reset();
  EXPECT_EQ(duckdb::share_count(file), 0u);
  // Reopened later, the file holds what was written.
  auto third = duckdb::open_file(file);
  EXPECT_EQ(rows_of(*third, "SELECT v FROM t")[0][0], 42);
}

// Files live side by side in one instance, so a statement of one file's connection can read
// another's; each connection still starts in its own file and writes land there.
TEST(DuckDBRegistry, FilesShareOneInstanceAndEachConnectionStartsInItsOwnFile) {
  TempDir dir;
  auto cache = duckdb::open_file(dir.path() / "cache.duckdb");
  auto warehouse = duckdb::open_file(dir.path() / "warehouse.duckdb");
  EXPECT_TRUE(duckdb::share_instance(*cache, *warehouse));
  cache->execute("CREATE TABLE r AS SELECT range AS id FROM range(5)");
  EXPECT_EQ(rows_of(*warehouse, "SELECT current_database()")[0][0], "warehouse");
  EXPECT_FALSE(warehouse->table_exists(TableRef{"", "r"}));

  warehouse->execute("CREATE TABLE t (id BIGINT)");
  warehouse->begin();
  EXPECT_EQ(duckdb::insert_from(*warehouse, *cache, "SELECT id FROM r WHERE id < 3",
                                TableRef{"main", "t"}, {"id"}),
            3);
  EXPECT_EQ(rows_of(*warehouse, "SELECT current_database()")[0][0], "warehouse");
  warehouse->commit();
  EXPECT_EQ(duckdb::create_table_from(*cache, *warehouse, "SELECT * FROM t", TableRef{"", "back"}),
            3);
  EXPECT_EQ(rows_of(*cache, "SELECT count(*) FROM back")[0][0], 3);

  // A failed statement rolls back and leaves the connection in its own file.
  warehouse->begin();
  EXPECT_THROW(duckdb::insert_from(*warehouse, *cache, "SELECT no_such FROM r",
                                   TableRef{"main", "t"}, {"id"}),
               DriverError);
  EXPECT_EQ(rows_of(*warehouse, "SELECT current_database()")[0][0], "warehouse");
  EXPECT_EQ(rows_of(*warehouse, "SELECT count(*) FROM t")[0][0], 3);

  // Let go, the file is closed: its data are on disk, and it opens again as usual.
  warehouse.reset();
  EXPECT_EQ(duckdb::share_count(dir.path() / "warehouse.duckdb"), 0u);
  auto again = duckdb::open_file(dir.path() / "warehouse.duckdb");
  EXPECT_EQ(rows_of(*again, "SELECT count(*) FROM t")[0][0], 3);
}

// A transaction that read information_schema touches every catalog, and DuckDB keeps a file it
// touched open, though let go, until that transaction ends. Opening the file again then waits
// for it instead of failing.
TEST(DuckDBRegistry, AFileLetGoWhileATransactionHoldsItOpensOnceThatEnds) {
  TempDir dir;
  auto warehouse = duckdb::open_file(dir.path() / "warehouse.duckdb");
  {
    auto cache = duckdb::open_file(dir.path() / "cache.duckdb");
    cache->execute("CREATE TABLE r AS SELECT 7 AS v");
  }
  auto cache = duckdb::open_file(dir.path() / "cache.duckdb");
  warehouse->begin();
  rows_of(*warehouse, "SELECT count(*) FROM information_schema.tables");
  cache.reset();
  std::unique_ptr<Connection> reopened;
  std::thread opener([&] { reopened = duckdb::open_file(dir.path() / "cache.duckdb"); });
  warehouse->commit();
  opener.join();
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(rows_of(*reopened, "SELECT v FROM r")[0][0], 7);
}

// Two files of one name (in two folders), and a file named like the shared instance's own
// catalog, each keep their own data and their usual catalog name.
TEST(DuckDBRegistry, AFileWhoseNameIsTakenGetsAnInstanceOfItsOwn) {
  TempDir dir;
  fs::create_directories(dir.path() / "a");
  fs::create_directories(dir.path() / "b");
  auto first = duckdb::open_file(dir.path() / "a" / "warehouse.duckdb");
  auto second = duckdb::open_file(dir.path() / "b" / "warehouse.duckdb");
  auto memory = duckdb::open_file(dir.path() / "memory.duckdb");
  EXPECT_FALSE(duckdb::share_instance(*first, *second));
  first->execute("CREATE TABLE t AS SELECT 1 AS v");
  second->execute("CREATE TABLE t AS SELECT 2 AS v");
  memory->execute("CREATE TABLE t AS SELECT 3 AS v");
  EXPECT_EQ(rows_of(*second, "SELECT current_database()")[0][0], "warehouse");
  EXPECT_EQ(rows_of(*memory, "SELECT current_database()")[0][0], "memory");
  EXPECT_EQ(duckdb::insert_from(*second, *first, "SELECT v FROM t", TableRef{"", "t"}, {"v"}),
            std::nullopt);
  first.reset();
  second.reset();
  memory.reset();
  EXPECT_EQ(rows_of(*duckdb::open_file(dir.path() / "a" / "warehouse.duckdb"), "SELECT v FROM t")[0][0], 1);
  EXPECT_EQ(rows_of(*duckdb::open_file(dir.path() / "b" / "warehouse.duckdb"), "SELECT v FROM t")[0][0], 2);
  EXPECT_EQ(rows_of(*duckdb::open_file(dir.path() / "memory.duckdb"), "SELECT v FROM t")[0][0], 3);
}

TEST(DuckDBRegistry, AResultOutlivingItsConnectionStillReads) {
  TempDir dir;
  auto conn = duckdb::open_file(dir.path() / "db.duckdb");
  auto result = conn->query("SELECT range FROM range(3000)");
  conn.reset();
  RowBatch batch;
  size_t rows = 0;
  while (result->next(batch)) rows += batch.rows();
  EXPECT_EQ(rows, 3000u);
  result.reset();
  EXPECT_EQ(duckdb::share_count(dir.path() / "db.duckdb"), 0u);
}

TEST(DuckDBRegistry, RelativePathsResolveAgainstTheBaseDirectory) {
  TempDir dir;
  Value config = {{"type", "duckdb"}, {"path", "data/x.duckdb"}};
  fs::create_directories(dir.path() / "data");
  auto conn = open_connection(config, dir.path());
  EXPECT_EQ(conn->engine(), "duckdb");
  EXPECT_EQ(duckdb::share_count(dir.path() / "data" / "x.duckdb"), 1u);
}

// Run only as a child process: holds the DuckDB file named by ZYL_HOLD_DUCKDB until its
// standard input closes.
TEST(DuckDBRegistry, DISABLED_HoldFileForOtherProcess) {
  const char* path = std::getenv("ZYL_HOLD_DUCKDB");
  ASSERT_NE(path, nullptr);
  auto conn = duckdb::open_file(path);
  conn->execute("CREATE TABLE IF NOT EXISTS held AS SELECT 1 AS x");
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
}

TEST(DuckDBRegistry, FileHeldByAnotherProcessGivesAClearError) {
  TempDir dir;
  fs::path file = dir.path() / "held.duckdb";
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  setenv("ZYL_HOLD_DUCKDB", file.c_str(), 1);
  zyl::test_support::Argv child(zyl::test_support::self_command(
      {"--gtest_also_run_disabled_tests",
       "--gtest_filter=DuckDBRegistry.DISABLED_HoldFileForOtherProcess"}));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[1]);
    close(from_child[0]);
    child.exec();
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  unsetenv("ZYL_HOLD_DUCKDB");
  std::string out;
  char buf[256];
  ssize_t n;
  while (out.find("ready") == std::string::npos && (n = read(from_child[0], buf, sizeof buf)) > 0) {
    out.append(buf, static_cast<size_t>(n));
  }
  ASSERT_THAT(out, HasSubstr("ready"));
  EXPECT_THAT([&] { duckdb::open_file(file); },
              ::testing::ThrowsMessage<DriverError>(HasSubstr("in use by another process")));
  EXPECT_EQ(duckdb::share_count(file), 0u);
  close(to_child[1]);
  while (read(from_child[0], buf, sizeof buf) > 0) {
  }
  close(from_child[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Once the other process is gone the file opens.
  EXPECT_NO_THROW(duckdb::open_file(file));
}

TEST(DuckDBDriver, InterruptStopsTheRunningQueryAndTheConnectionGoesOn) {
  auto conn = duckdb::open_file(":memory:");
  test_support::Interrupted outcome = test_support::interrupt_while_running(
      [&] { test_support::read_through(*conn, "SELECT count(*) FROM range(10000000000000)"); });
  EXPECT_TRUE(outcome.threw);
  EXPECT_THAT(outcome.message, HasSubstr("nterrupt"));
  EXPECT_EQ(rows_of(*conn, "SELECT 41 + 1"), (std::vector<std::vector<Value>>{{42}}));
  // A closed connection is out of reach: interrupting it later touches no freed handle.
  size_t before = interrupt_all();
  conn->close();
  EXPECT_EQ(interrupt_all(), before - 1);
}

}  // namespace
}  // namespace zyl::drivers
