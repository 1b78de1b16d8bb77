// Values and types through the whole road of `brek run`: source -> cache -> target, on the real
// engines. A PostgreSQL table comes back to PostgreSQL with equal values and the same column
// types; a DuckDB table comes back to DuckDB with every DuckDB type as it was; engines without a
// type get its documented text form.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/test_support/command.h"
#include "core/value.h"
#include "drivers/driver.h"
#include "tests/integration/server_env.h"

namespace {

// The shell words that start the brek program of this build (under the emulator of a cross
// build), ending in a space.
std::string brek_program() {
  return zyl::test_support::shell_line(zyl::test_support::command(BREK_BINARY));
}

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using zyl::Value;

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every row of `sql` as text cells ("NULL" for NULL), in order.
std::vector<std::vector<std::string>> text_rows(zyl::drivers::Connection& conn,
                                                const std::string& sql) {
  zyl::drivers::RowBatch all = zyl::integration::read_all(conn, sql);
  std::vector<std::vector<std::string>> rows;
  for (size_t r = 0; r < all.rows(); ++r) {
    std::vector<std::string> row;
    for (size_t c = 0; c < all.column_count; ++c) {
      const auto& cell = all.at(r, c);
      if (std::holds_alternative<std::monostate>(cell)) {
        row.push_back("NULL");
      } else if (const auto* s = std::get_if<std::string>(&cell)) {
        row.push_back(*s);
      } else {
        zyl::drivers::ColumnType type;
        type.id = zyl::drivers::TypeId::Int64;
        row.push_back(zyl::text_form(zyl::drivers::cell_to_value(cell, type)));
      }
    }
    rows.push_back(row);
  }
  return rows;
}

class TypeRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("brek_types_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "models");
    fs::create_directories(root_ / "data");
    std::ofstream(root_ / "brek_project.yml")
        << "name: rt\nprofile: rt\nmodel-paths: [\"models\"]\nmodels:\n  rt:\n"
           "    +materialized: table\n";
    outputs_ = Value::object();
    outputs_["warehouse"] = {
        {"type", "duckdb"}, {"path", "data/warehouse.duckdb"}, {"schema", "main"}};
    outputs_["lake"] = {{"type", "duckdb"}, {"path", "data/lake.duckdb"}, {"schema", "main"}};
  }
  void TearDown() override { fs::remove_all(root_); }

  // profiles.yml (JSON is YAML) and sources.yml from what the test set up.
  void write_project(const std::string& sources_yaml) {
    Value profiles = {{"rt", {{"target", default_target_}, {"outputs", outputs_}}}};
    std::ofstream(root_ / "profiles.yml") << profiles.dump(2) << "\n";
    std::ofstream(root_ / "models" / "sources.yml") << sources_yaml;
  }
  void write_model(const std::string& name, const std::string& sql) {
    std::ofstream(root_ / "models" / (name + ".sql")) << sql;
  }

  // `brek run` on the project; returns its exit status, with its output in out_.
  int run(const std::string& arguments = "") {
    fs::path out = root_ / "out.txt";
    std::string command = "cd '" + root_.string() + "' && " + brek_program() +
                          "run --project-dir . --profiles-dir . " + arguments + " >'" +
                          out.string() + "' 2>&1";
    int raw = std::system(command.c_str());
    out_ = slurp(out);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  std::unique_ptr<zyl::drivers::Connection> duckdb_file(const std::string& name) {
    return zyl::drivers::open_connection(
        Value{{"type", "duckdb"}, {"path", (root_ / "data" / name).string()}});
  }

  fs::path root_;
  Value outputs_;
  std::string default_target_ = "warehouse";
  std::string out_;
};

// DuckDB -> cache -> DuckDB: nested, nanosecond, unsigned 128-bit, time-zone and bit types stay
// what they were, values and all.
TEST_F(TypeRoundTrip, DuckDBToCacheToDuckDBKeepsEveryType) {
  {
    auto lake = duckdb_file("lake.duckdb");
    lake->execute(
        "CREATE TYPE mood AS ENUM ('sad', 'ok'); CREATE TABLE events AS SELECT * FROM (VALUES "
        "(1, [1, NULL, 3], {'a': 1, 'b c': 'x'}, MAP {'k': 1.5}, [1, 2, 3]::INTEGER[3], "
        "union_value(n := 7)::UNION(n INTEGER, s VARCHAR), '12:00:00+02'::TIMETZ, "
        "'0101'::BIT, '2024-01-01 00:00:00.123456789'::TIMESTAMP_NS, "
        "340282366920938463463374607431768211455::UHUGEINT, 'ok'::mood, "
        "0.142857142857142857142857::DECIMAL(38,30), INTERVAL '14 months 3 days 25 hours', "
        "[{'x': [1.5::DECIMAL(4,2)]}]), "
        "(2, [], NULL, MAP {}, NULL, union_value(s := 'a')::UNION(n INTEGER, s VARCHAR), NULL, "
        "NULL, NULL, 0::UHUGEINT, NULL, NULL, NULL, NULL)) "
        "t(id, l, st, m, arr, u, tz, bits, ns, uh, e, d, iv, deep)");
    lake->close();
  }
  write_project(
      "sources:\n  - name: lake\n    connection: lake\n    schema: main\n    tables:\n"
      "      - name: events\n");
  write_model("events_copy", "select * from {{ source('lake', 'events') }}\n");
  ASSERT_EQ(run(), 0) << out_;

  const std::string columns = "l, st, m, arr, u, tz, bits, ns, uh, e, d, iv, deep";
  std::string types = "SELECT ", values = "SELECT id";
  for (const char* c :
       {"l", "st", "m", "arr", "u", "tz", "bits", "ns", "uh", "e", "d", "iv", "deep"}) {
    types += std::string(types.size() > 7 ? ", " : "") + "typeof(" + c + ")";
    values += std::string(", ") + c + "::VARCHAR";
  }
  auto lake = duckdb_file("lake.duckdb");
  auto expected_types = text_rows(*lake, types + " FROM events LIMIT 1");
  auto expected_values = text_rows(*lake, values + " FROM events ORDER BY id");
  lake->close();
  auto warehouse = duckdb_file("warehouse.duckdb");
  EXPECT_EQ(text_rows(*warehouse, types + " FROM main.events_copy LIMIT 1"), expected_types);
  EXPECT_EQ(text_rows(*warehouse, values + " FROM main.events_copy ORDER BY id"), expected_values);
  EXPECT_EQ(expected_types[0][7], "TIMESTAMP_NS");
  EXPECT_EQ(expected_types[0][8], "UHUGEINT");
}

class PostgresRoundTrip : public TypeRoundTrip {
 protected:
  void SetUp() override {
    TypeRoundTrip::SetUp();
    ZYL_REQUIRE_SERVER(pg_, "ZYL_TEST_PG", "postgres");
    schema_ = "zyl_rt_" + std::to_string(::getpid());
    pg_["schema"] = schema_;
    outputs_["pg"] = pg_;
    server_ = zyl::drivers::open_connection(pg_);
    server_->execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE; CREATE SCHEMA " + schema_);
  }
  void TearDown() override {
    if (server_) server_->execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    TypeRoundTrip::TearDown();
  }

  std::vector<std::vector<std::string>> column_types(const std::string& table) {
    return text_rows(*server_,
                     "SELECT attname::text, format_type(atttypid, atttypmod) FROM pg_attribute "
                     "WHERE attrelid = '" +
                         schema_ + "." + table +
                         "'::regclass AND attnum > 0 AND NOT attisdropped ORDER BY attnum");
  }
  long long rows_missing(const std::string& from, const std::string& in,
                         const std::string& columns) {
    auto rows = text_rows(*server_, "SELECT count(*) FROM (SELECT " + columns + " FROM " + schema_ +
                                        "." + from + " EXCEPT SELECT " + columns + " FROM " +
                                        schema_ + "." + in + ") AS missing");
    return std::stoll(rows.at(0).at(0));
  }

  Value pg_;
  std::string schema_;
  std::unique_ptr<zyl::drivers::Connection> server_;
};

// PostgreSQL -> cache -> PostgreSQL: an unbounded numeric of division results stays exact and
// unbounded; arrays stay arrays of their element type; intervals keep months, days and
// microseconds apart (a day is not 24 hours here).
TEST_F(PostgresRoundTrip, ValuesAndColumnTypesComeBackUnchanged) {
  server_->execute(
      "CREATE TABLE " + schema_ +
      ".typed (id integer, amount numeric, price numeric(12,2), "
      "tags text[], scores integer[], prices numeric(10,2)[], span interval, "
      "happened timestamptz, day date, flag boolean, big bigint, ratio double precision, "
      "note text, doc jsonb, uid uuid, raw bytea);"
      "INSERT INTO " +
      schema_ +
      ".typed SELECT g, (g * 1234.56)::numeric(12,2) / 7, "
      "(g * 1234.56)::numeric(12,2), "
      "CASE WHEN g % 3 = 0 THEN NULL ELSE ARRAY['a,b', 'q\"x', NULL, E'back\\\\slash', "
      "E'two\\nlines', 'NULL', ''] END, ARRAY[g, NULL, -g], ARRAY[1.50, g / 8.0]::numeric(10,2)[], "
      "make_interval(months => g % 14, days => -(g % 3)) + (g % 30) * interval '1 hour', "
      "'2024-03-10 01:30:00+00'::timestamptz + g * interval '1 minute', "
      "'2024-01-01'::date + g, g % 2 = 0, g::bigint * 1000000007, g / 3.0::float8, 'row ' || g, "
      "jsonb_build_object('g', g, 'deep', jsonb_build_array(1.10, 'x')), "
      "md5(g::text)::uuid, decode(md5(g::text), 'hex') FROM generate_series(1, 3000) AS g;"
      "INSERT INTO " +
      schema_ +
      ".typed (id, amount, tags, scores, span) VALUES "
      "(0, 1.00 / 7, '{}', '{}', '1 day 25:00:00'), "
      "(-1, -123456789012345678.1234567890123456789, NULL, NULL, '-1 mon 1 day -00:00:00.000001')");
  write_project("sources:\n  - name: app\n    connection: pg\n    schema: " + schema_ +
                "\n    tables:\n      - name: typed\n");
  write_model("typed_back",
              "{{ config(target='pg') }}\nselect * from {{ source('app', 'typed') }}\n");
  ASSERT_EQ(run(), 0) << out_;
  EXPECT_THAT(out_, HasSubstr("[3002 rows"));

  EXPECT_EQ(column_types("typed_back"), column_types("typed"));
  // Intervals compare by their text: interval '1 day' = interval '24 hours' in PostgreSQL.
  const std::string columns =
      "id, amount, price, tags, scores, prices, span::text, happened, day, flag, big, ratio, "
      "note, doc, uid, raw";
  EXPECT_EQ(rows_missing("typed", "typed_back", columns), 0);
  EXPECT_EQ(rows_missing("typed_back", "typed", columns), 0);
  auto exact = text_rows(*server_, "SELECT amount::text, span::text FROM " + schema_ +
                                       ".typed_back WHERE id IN (0, -1) ORDER BY id");
  EXPECT_EQ(exact[0][0].rfind("-123456789012345678.1234567890123456789", 0), 0u);
  EXPECT_EQ(exact[0][1], "-1 mons +1 day -00:00:00.000001");
  EXPECT_EQ(exact[1][0].rfind("0.14285714285714285714", 0), 0u);
  EXPECT_EQ(exact[1][1], "1 day 25:00:00");
}

// MariaDB's decimal(65,30) keeps its exact value; PostgreSQL's arrays and intervals reach a
// MariaDB target in their documented text forms (JSON arrays, the interval text).
TEST_F(PostgresRoundTrip, EnginesWithoutATypeGetItsDocumentedTextForm) {
  Value my;
  ZYL_REQUIRE_SERVER(my, "ZYL_TEST_MYSQL", "mariadb");
  outputs_["my"] = my;
  auto mariadb = zyl::drivers::open_connection(my);
  const std::string table = "zyl_rt_wide_" + std::to_string(::getpid());
  mariadb->execute("DROP TABLE IF EXISTS " + table);
  mariadb->execute("CREATE TABLE " + table + " (id int, v decimal(65,30))");
  mariadb->execute("INSERT INTO " + table +
                   " VALUES (1, '0.142857142857142857142857142857'), "
                   "(2, '-12345678.5'), (3, NULL)");
  server_->execute("CREATE TABLE " + schema_ +
                   ".bits (id integer, tags text[], span interval);"
                   "INSERT INTO " +
                   schema_ +
                   ".bits VALUES (1, ARRAY['a', NULL, 'q\"x'], "
                   "'1 year 2 mons -3 days 04:05:06.5')");
  write_project("sources:\n  - name: shop\n    connection: my\n    schema: " +
                my["database"].get<std::string>() + "\n    tables:\n      - name: " + table +
                "\n  - name: app\n    connection: pg\n    schema: " + schema_ +
                "\n    tables:\n      - name: bits\n");
  write_model("wide_copy", "select * from {{ source('shop', '" + table + "') }}\n");
  write_model("bits_in_mariadb",
              "{{ config(target='my') }}\nselect * from {{ source('app', 'bits') }}\n");
  int status = run();
  mariadb->execute("DROP TABLE IF EXISTS " + table);
  ASSERT_EQ(status, 0) << out_;

  auto warehouse = duckdb_file("warehouse.duckdb");
  auto wide = text_rows(*warehouse, "SELECT v::VARCHAR FROM main.wide_copy ORDER BY id");
  EXPECT_EQ(wide[0][0], "0.142857142857142857142857142857");
  EXPECT_EQ(wide[1][0], "-12345678.500000000000000000000000000000");
  EXPECT_EQ(wide[2][0], "NULL");
  warehouse->close();

  auto texts = text_rows(*mariadb, "SELECT CAST(tags AS char), span FROM bits_in_mariadb");
  mariadb->execute("DROP TABLE IF EXISTS bits_in_mariadb");
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(Value::parse(texts[0][0]), Value::parse(R"(["a", null, "q\"x"])"));
  EXPECT_EQ(texts[0][1], "1 year 2 months -3 days 04:05:06.500000");
}


// Through ODBC both ways: a table read through the engine's Debian ODBC driver into the cache
// and loaded back through it comes back with equal values, and the run's log names the driver.
struct OdbcEngine {
  const char* type;
  const char* driver;
  const char* server;  // "" for SQLite
  const char* table;   // the CREATE TABLE body and the rows
  const char* rows;
};

class OdbcRoundTrip : public TypeRoundTrip, public ::testing::WithParamInterface<OdbcEngine> {
 protected:
  void SetUp() override {
    TypeRoundTrip::SetUp();
    const OdbcEngine& engine = GetParam();
    if (engine.server[0] != '\0') {
      ZYL_REQUIRE_SERVER(native_, engine.server, engine.type);
    } else {
      native_ = {{"type", "sqlite"}, {"path", (root_ / "data" / "app.sqlite").string()}};
    }
    name_ = "zyl_ort_" + std::to_string(::getpid());
    conn_ = zyl::drivers::open_connection(native_, root_);
    drop();
    schema_ = engine.server[0] == '\0'                 ? "main"
              : std::string(engine.type) == "mariadb" ? zyl::get_text(native_, "database")
                                                      : "public";
    Value odbc = native_;
    odbc["odbc_driver"] = engine.driver;
    odbc["schema"] = schema_;
    outputs_["app"] = odbc;
  }
  void TearDown() override {
    if (conn_) drop();
    TypeRoundTrip::TearDown();
  }
  void drop() {
    conn_->execute("DROP TABLE IF EXISTS " + name_);
    conn_->execute("DROP TABLE IF EXISTS " + name_ + "_back");
  }
  long long missing(const std::string& from, const std::string& in) {
    auto rows = text_rows(*conn_, "SELECT count(*) FROM (SELECT * FROM " + from +
                                      " EXCEPT SELECT * FROM " + in + ") AS missing");
    return std::stoll(rows.at(0).at(0));
  }

  Value native_;
  std::string name_, schema_;
  std::unique_ptr<zyl::drivers::Connection> conn_;
};

TEST_P(OdbcRoundTrip, ValuesComeBackEqualThroughTheDriver) {
  conn_->execute("CREATE TABLE " + name_ + " (" + GetParam().table + ")");
  conn_->execute("INSERT INTO " + name_ + " VALUES " + GetParam().rows);
  write_project("sources:\n  - name: app\n    connection: app\n    schema: " + schema_ +
                "\n    tables:\n      - name: " + name_ + "\n");
  write_model(name_ + "_back",
              "{{ config(target='app') }}\nselect * from {{ source('app', '" + name_ + "') }}\n");
  ASSERT_EQ(run(), 0) << out_;
  std::string through = std::string("through ODBC driver '") + GetParam().driver + "'";
  EXPECT_THAT(out_ + slurp(root_ / "logs" / "zyl.log"), HasSubstr("loaded 3 rows into"));
  EXPECT_THAT(slurp(root_ / "logs" / "zyl.log"), HasSubstr(through));
  EXPECT_EQ(missing(name_, name_ + "_back"), 0);
  EXPECT_EQ(missing(name_ + "_back", name_), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, OdbcRoundTrip,
    ::testing::Values(
        OdbcEngine{"postgres", "PostgreSQL Unicode", "ZYL_TEST_PG",
                   "id integer, amount numeric(12,2), note text, code varchar(20), day date, "
                   "happened timestamptz, flag boolean, ratio double precision, raw bytea, "
                   "uid uuid, big bigint",
                   "(1, 12.30, 'Grüße ✓', 'a', '2024-02-29', '2024-03-10 01:30:00.123456+00', "
                   "true, 0.1, '\\x00ff', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', "
                   "9007199254740993), (2, -0.05, '', 'b''c', '1969-12-31', "
                   "'1900-01-01 00:00:00+00', false, -1e300, '\\x', NULL, -1), "
                   "(3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)"},
        OdbcEngine{"mariadb", "MariaDB Unicode", "ZYL_TEST_MYSQL",
                   "id int, amount decimal(12,2), note text, code varchar(20), day date, "
                   "at datetime(6), ratio double, raw blob, big bigint, small tinyint",
                   "(1, 12.30, 'Grüße ✓', 'a', '2024-02-29', '2024-03-10 01:30:00.123456', 0.1, "
                   "x'00ff', 9007199254740993, -128), (2, -0.05, '', 'b''c', '1969-12-31', "
                   "'2100-01-01 00:00:00', -1e300, x'', -1, 127), "
                   "(3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)"},
        // The SQLite ODBC driver moves values as SQLite's text; on 32-bit ARM SQLite's own
        // text conversions of doubles round at extreme magnitudes (no long double there), so
        // the doubles here stay moderate. 0.1 + 0.2 needs all 17 digits.
        OdbcEngine{"sqlite", "SQLite3", "",
                   "id integer, note text, code varchar(20), ratio double, raw blob, big bigint",
                   "(1, 'Grüße ✓', 'a', 0.1 + 0.2, x'00ff', 9007199254740993), "
                   "(2, '', 'b''c', -1.5e20, x'', -1), (3, NULL, NULL, NULL, NULL, NULL)"}),
    [](const auto& info) { return std::string(info.param.type); });

class ClickHouseRoundTrip : public TypeRoundTrip {
 protected:
  void SetUp() override {
    TypeRoundTrip::SetUp();
    ZYL_REQUIRE_SERVER(ch_, "ZYL_TEST_CLICKHOUSE", "clickhouse");
    database_ = "zyl_rt_" + std::to_string(::getpid());
    server_ = zyl::drivers::open_connection(ch_);
    ch_["schema"] = database_;
    outputs_["ch"] = ch_;
    server_->execute("DROP DATABASE IF EXISTS " + database_ + "; CREATE DATABASE " + database_);
  }
  void TearDown() override {
    if (server_) server_->execute("DROP DATABASE IF EXISTS " + database_);
    TypeRoundTrip::TearDown();
  }

  Value ch_;
  std::string database_;
  std::unique_ptr<zyl::drivers::Connection> server_;
};

// ClickHouse -> cache -> DuckDB and ClickHouse -> cache -> ClickHouse: every value arrives as
// it was; a DateTime of another zone arrives as its instant, in UTC.
TEST_F(ClickHouseRoundTrip, ValuesArriveInTheCacheAndBackInClickHouse) {
  server_->execute(
      "CREATE TABLE " + database_ +
      ".events (id Int32, small Int8, wide UInt64, amount Decimal(18, 4), name String, "
      "code FixedString(3), kind Enum8('in' = 1, 'out' = 2), day Date, "
      "happened DateTime('Europe/Berlin'), uid UUID, tags Array(String), "
      "scores Array(Nullable(Int32)), note Nullable(String), ratio Float64) "
      "ENGINE = MergeTree ORDER BY id");
  server_->execute(
      "INSERT INTO " + database_ +
      ".events SELECT toInt32(number), toInt8(number % 200 - 100), "
      "18446744073709551615 - number, toDecimal64(number / 8, 4), "
      "concat('n\\t\\\\ \\'', toString(number)), toFixedString('abc', 3), "
      "if(number % 2 = 0, 'in', 'out'), toDate('2024-01-01') + number, "
      "toDateTime('2024-10-27 00:00:00', 'UTC') + number * 60, "
      "toUUID('61f0c404-5cb3-11e7-907b-a6006ad3dba0'), ['a\\'b', toString(number)], "
      "[toNullable(toInt32(number)), NULL], if(number % 3 = 0, NULL, 'x'), number / 3 "
      "FROM system.numbers LIMIT 500");
  write_project("sources:\n  - name: events\n    connection: ch\n    schema: " + database_ +
                "\n    tables:\n      - name: events\n");
  write_model("events_copy", "select * from {{ source('events', 'events') }}\n");
  write_model("events_back",
              "{{ config(target='ch') }}\nselect * from {{ source('events', 'events') }}\n");
  ASSERT_EQ(run(), 0) << out_;

  auto warehouse = duckdb_file("warehouse.duckdb");
  auto copied = text_rows(*warehouse,
                          "SELECT id::VARCHAR, small::VARCHAR, wide::VARCHAR, amount::VARCHAR, "
                          "name, code, kind, day::VARCHAR, happened::VARCHAR, uid::VARCHAR, "
                          "tags::VARCHAR, scores::VARCHAR, note, ratio::VARCHAR "
                          "FROM main.events_copy WHERE id IN (0, 499) ORDER BY id");
  warehouse->close();
  ASSERT_EQ(copied.size(), 2u);
  EXPECT_EQ(copied[1], (std::vector<std::string>{
                           "499", "-1", "18446744073709551116", "62.3750", "n\t\\ '499", "abc",
                           "out", "2025-05-14", "2024-10-27 08:19:00+00",
                           "61f0c404-5cb3-11e7-907b-a6006ad3dba0", R"(['a\'b', 499])",
                           "[499, NULL]", "x", "166.33333333333334"}));
  EXPECT_EQ(copied[0][12], "NULL");

  std::vector<zyl::drivers::Column> original_columns, back_columns;
  std::string order = " ORDER BY id";
  auto original = zyl::integration::read_all(
      *server_, "SELECT * FROM " + database_ + ".events" + order, &original_columns);
  auto back = zyl::integration::read_all(
      *server_, "SELECT * FROM " + database_ + ".events_back" + order, &back_columns);
  ASSERT_EQ(back.rows(), 500u);
  EXPECT_EQ(back.cells, original.cells);
  std::vector<std::string> back_types;
  for (const auto& c : back_columns) back_types.push_back(c.type.native);
  EXPECT_EQ(back_types,
            (std::vector<std::string>{
                "Nullable(Int32)", "Nullable(Int8)", "Nullable(UInt64)",
                "Nullable(Decimal(18, 4))", "Nullable(String)", "Nullable(String)",
                "Nullable(String)", "Nullable(Date)", "Nullable(DateTime('UTC'))",
                "Nullable(UUID)", "Array(Nullable(String))", "Array(Nullable(Int32))",
                "Nullable(String)", "Nullable(Float64)"}));
}

// ClickHouse as the default target: models over its own tables run there in its own dialect
// (uniqExact is ClickHouse's), as a table, a view and a merge without UPDATE; a model on DuckDB
// reads them through the cache, and retract drops what the run built, the view included.
TEST_F(ClickHouseRoundTrip, ClickHouseAsTheDefaultTargetRunsModelsInPlace) {
  default_target_ = "ch";
  server_->execute("CREATE TABLE " + database_ +
                   ".visits (id UInt32, page String, at DateTime) ENGINE = MergeTree ORDER BY id;"
                   "INSERT INTO " + database_ +
                   ".visits SELECT number, concat('/p', toString(number % 3)), "
                   "toDateTime('2024-01-01 00:00:00') + number * 3600 FROM system.numbers "
                   "LIMIT 100");
  write_project("sources:\n  - name: web\n    schema: " + database_ +
                "\n    tables:\n      - name: visits\n");
  write_model("pages", "select page, uniqExact(id) as hits from {{ source('web', 'visits') }} "
                       "group by page\n");
  write_model("pages_v", "{{ config(materialized='view') }}\nselect page, hits from "
                         "{{ ref('pages') }} where hits > 33\n");
  write_model("latest",
              "{{ config(materialized='incremental', unique_key='page') }}\n"
              "select page, max(at) as last_at, count() as n from {{ source('web', 'visits') }}"
              "{% if is_incremental() %} where id >= 100 {% endif %} group by page\n");
  write_model("pages_local", "{{ config(target='warehouse') }}\n"
                             "select page, hits from {{ ref('pages') }}\n");
  ASSERT_EQ(run(), 0) << out_;
  auto rows = [&](const std::string& sql) { return text_rows(*server_, sql); };
  const std::string db = database_ + ".";
  EXPECT_EQ(rows("SELECT page, toString(hits) FROM " + db + "pages ORDER BY page"),
            (std::vector<std::vector<std::string>>{{"/p0", "34"}, {"/p1", "33"}, {"/p2", "33"}}));
  EXPECT_EQ(rows("SELECT page FROM " + db + "pages_v"),
            (std::vector<std::vector<std::string>>{{"/p0"}}));
  EXPECT_EQ(rows("SELECT engine FROM system.tables WHERE database = '" + database_ +
                 "' AND name = 'pages_v'"),
            (std::vector<std::vector<std::string>>{{"View"}}));

  // New visits of one page: the merge replaces that page's row and keeps the others.
  server_->execute("INSERT INTO " + db + "visits VALUES (100, '/p1', '2024-02-01 00:00:00'), "
                   "(101, '/p9', '2024-02-02 00:00:00')");
  ASSERT_EQ(run(), 0) << out_;
  EXPECT_EQ(rows("SELECT page, toString(last_at), toString(n) FROM " + db +
                 "latest ORDER BY page"),
            (std::vector<std::vector<std::string>>{{"/p0", "2024-01-05 03:00:00", "34"},
                                                   {"/p1", "2024-02-01 00:00:00", "1"},
                                                   {"/p2", "2024-01-05 02:00:00", "33"},
                                                   {"/p9", "2024-02-02 00:00:00", "1"}}));
  EXPECT_EQ(rows("SELECT page, toString(hits) FROM " + db + "pages WHERE page = '/p1'"),
            (std::vector<std::vector<std::string>>{{"/p1", "34"}}));
  auto warehouse = duckdb_file("warehouse.duckdb");
  EXPECT_EQ(text_rows(*warehouse, "SELECT page, hits::VARCHAR FROM main.pages_local "
                                  "ORDER BY page")
                .size(),
            4u);
  warehouse->close();
  EXPECT_THAT(rows("SELECT name FROM system.tables WHERE database = '" + database_ +
                   "' AND name LIKE '%brek%'"),
              ::testing::IsEmpty());

  fs::path debug_out = root_ / "debug.txt";
  std::string debug = "cd '" + root_.string() + "' && " + brek_program() +
                      "debug --project-dir . --profiles-dir . >'" + debug_out.string() + "' 2>&1";
  EXPECT_EQ(std::system(debug.c_str()), 0) << slurp(debug_out);
  EXPECT_THAT(slurp(debug_out),
              ::testing::ContainsRegex("ch \\(default\\) +clickhouse +HTTP +clickhouse://.* +"
                                       "pushdown.* +yes +18\\.16"));
  EXPECT_THAT(slurp(debug_out), ::testing::Not(HasSubstr(ch_["password"].get<std::string>())));

  fs::path out = root_ / "retract.txt";
  std::string retract = "cd '" + root_.string() + "' && " + brek_program() +
                        "retract --project-dir . --profiles-dir . >'" + out.string() + "' 2>&1";
  EXPECT_EQ(std::system(retract.c_str()), 0) << slurp(out);
  EXPECT_EQ(rows("SELECT name FROM system.tables WHERE database = '" + database_ +
                 "' ORDER BY name"),
            (std::vector<std::vector<std::string>>{{"visits"}}));
}

}  // namespace
