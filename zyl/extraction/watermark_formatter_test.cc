#include "zyl/extraction/watermark_formatter.h"

#include <duckdb.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace zyl::extraction::watermark_formatter {
namespace {

TEST(FormatWatermarkTest, TimestampLiteralPerDialect) {
  struct Case {
    const char* type;
    const char* expected;
  };
  const Case cases[] = {
      {"duckdb", "'2024-01-31 13:45:00'"},
      {"postgres", "'2024-01-31 13:45:00'"},
      {"mysql", "'2024-01-31 13:45:00'"},
      {"sqlite", "'2024-01-31 13:45:00'"},
      {"sqlserver", "CAST('2024-01-31 13:45:00' AS DATETIME2)"},
      {"oracle", "TIMESTAMP '2024-01-31 13:45:00'"},
      {"trino", "TIMESTAMP '2024-01-31 13:45:00'"},
      {"clickhouse", "toDateTime64('2024-01-31 13:45:00', 6, 'UTC')"},
      {"", "'2024-01-31 13:45:00'"},
      {"no_such_engine", "'2024-01-31 13:45:00'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_watermark("2024-01-31 13:45:00", c.type, "timestamp"), c.expected) << c.type;
  }
  // The "T" form is written with a blank; fractions are kept.
  EXPECT_EQ(format_watermark("2024-01-31T13:45:00.250000", "duckdb", "timestamp"),
            "'2024-01-31 13:45:00.250000'");
}

TEST(FormatWatermarkTest, OffsetsKeptOrConvertedToUtc) {
  EXPECT_EQ(format_watermark("2024-01-31 13:45:00+00", "postgres", "timestamp"),
            "'2024-01-31 13:45:00+00'");
  EXPECT_EQ(format_watermark("2024-01-31 01:30:00+02:00", "duckdb", "timestamp"),
            "'2024-01-30 23:30:00+00'");
  EXPECT_EQ(format_watermark("2024-01-31 01:30:00+02:00", "mysql", "timestamp"),
            "'2024-01-30 23:30:00'");
  EXPECT_EQ(format_watermark("2024-01-31T22:00:00-05:00", "sqlserver", "timestamp"),
            "CAST('2024-02-01 03:00:00' AS DATETIME2)");
  EXPECT_EQ(format_watermark("2024-01-31T22:00:00Z", "trino", "timestamp"),
            "TIMESTAMP '2024-01-31 22:00:00'");
}

TEST(FormatWatermarkTest, DatesNumbersBooleansAndNull) {
  EXPECT_EQ(format_watermark("2024-01-31", "postgres", "timestamp"), "'2024-01-31'");
  EXPECT_EQ(format_watermark("2024-01-31", "trino", "timestamp"), "DATE '2024-01-31'");
  EXPECT_EQ(format_watermark("2024-01-31", "sqlserver", "date"), "CAST('2024-01-31' AS DATE)");
  EXPECT_EQ(format_watermark("2024-01-31 23:30:00-02:00", "oracle", "date"), "DATE '2024-02-01'");
  EXPECT_EQ(format_watermark("1969-12-31 23:00:00", "duckdb", "date"), "'1969-12-31'");

  EXPECT_EQ(format_watermark(1706708700, "postgres", "timestamp"), "1706708700");
  EXPECT_EQ(format_watermark(-3, "mysql", "number"), "-3");
  EXPECT_EQ(format_watermark(2.5, "sqlite", "timestamp"), "2.5");
  EXPECT_EQ(format_watermark(2.0, "duckdb", "number"), "2.0");
  EXPECT_EQ(format_watermark("1.5e3", "duckdb", "number"), "1.5e3");
  EXPECT_EQ(format_watermark(true, "postgres", "timestamp"), "TRUE");
  EXPECT_EQ(format_watermark(false, "sqlserver", "timestamp"), "0");
  EXPECT_EQ(format_watermark(nullptr, "postgres", "timestamp"), "NULL");
}

TEST(FormatWatermarkTest, StringsAreQuotedAndEscaped) {
  EXPECT_EQ(format_watermark("batch-7", "postgres", "timestamp"), "'batch-7'");
  EXPECT_EQ(format_watermark("it's", "duckdb", "timestamp"), "'it''s'");
  EXPECT_EQ(format_watermark("a\\' OR 1=1 --", "postgres", "string"), "'a\\'' OR 1=1 --'");
  // Where the backslash escapes, it is doubled too, so the quote cannot be smuggled out.
  EXPECT_EQ(format_watermark("a\\' OR 1=1 --", "mysql", "string"), "'a\\\\'' OR 1=1 --'");
  EXPECT_EQ(format_watermark(42, "mysql", "string"), "'42'");
  EXPECT_EQ(format_watermark("2024-01-31", "trino", "string"), "'2024-01-31'");
  // Not quite a timestamp: stays a string.
  EXPECT_EQ(format_watermark("2024-13-01 00:00:00", "trino", "timestamp"), "'2024-13-01 00:00:00'");
}

TEST(FormatWatermarkTest, RejectsWhatCannotBeWritten) {
  EXPECT_THROW(format_watermark(Value::array({1}), "postgres", "timestamp"), std::invalid_argument);
  EXPECT_THROW(format_watermark(Value{{"a", 1}}, "postgres", "timestamp"), std::invalid_argument);
  EXPECT_THROW(format_watermark(std::nan(""), "postgres", "number"), std::invalid_argument);
  EXPECT_THROW(format_watermark("12; drop table x", "postgres", "number"), std::invalid_argument);
  EXPECT_THROW(format_watermark("2024-01-31", "postgres", "datetime"), std::invalid_argument);
}

// Counts the rows of a three-row table with a timestamp column that lie after `literal`.
class DuckDbEngine {
 public:
  DuckDbEngine() {
    if (duckdb_open(nullptr, &db_) != DuckDBSuccess) throw std::runtime_error("duckdb_open");
    if (duckdb_connect(db_, &conn_) != DuckDBSuccess) throw std::runtime_error("duckdb_connect");
  }
  ~DuckDbEngine() {
    duckdb_disconnect(&conn_);
    duckdb_close(&db_);
  }
  long long count(const std::string& sql) {
    duckdb_result result;
    if (duckdb_query(conn_, sql.c_str(), &result) != DuckDBSuccess) {
      std::string error = duckdb_result_error(&result);
      duckdb_destroy_result(&result);
      throw std::runtime_error(error + " in: " + sql);
    }
    long long n = duckdb_value_int64(&result, 0, 0);
    duckdb_destroy_result(&result);
    return n;
  }

 private:
  duckdb_database db_ = nullptr;
  duckdb_connection conn_ = nullptr;
};

class SqliteEngine {
 public:
  SqliteEngine() {
    if (sqlite3_open(":memory:", &db_) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
  }
  ~SqliteEngine() { sqlite3_close(db_); }
  long long count(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
    }
    long long n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
  }
  void exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db_));
    }
  }

 private:
  sqlite3* db_ = nullptr;
};

constexpr const char* kRows =
    "('2024-01-31 13:44:59'), ('2024-01-31 13:45:00'), ('2024-01-31 13:45:00.5')";

TEST(FormatWatermarkEngineTest, DuckDbComparesItsLiteralsWithTimestampsAndDates) {
  DuckDbEngine duck;
  duck.count("SET TimeZone = 'UTC'");
  duck.count(
      "CREATE TABLE t AS SELECT CAST(v AS TIMESTAMP) AS ts, CAST(v AS TIMESTAMPTZ) AS tz, "
      "CAST(CAST(v AS TIMESTAMP) AS DATE) AS d FROM (VALUES " +
      std::string(kRows) + ") AS r(v)");
  auto after = [&](const char* column, const Value& value) {
    return duck.count(std::string("SELECT count(*) FROM t WHERE ") + column + " > " +
                      format_watermark(value, "duckdb", "timestamp"));
  };
  EXPECT_EQ(after("ts", "2024-01-31 13:45:00"), 1);
  EXPECT_EQ(after("ts", "2024-01-31T13:44:59.999999"), 2);
  EXPECT_EQ(after("tz", "2024-01-31 13:45:00+00"), 1);
  EXPECT_EQ(after("d", "2024-01-30"), 3);
  EXPECT_EQ(after("ts", "2024-01-31"), 3);
}

TEST(FormatWatermarkEngineTest, SqliteComparesItsLiteralsWithStoredTimestamps) {
  SqliteEngine lite;
  lite.exec("CREATE TABLE t (ts TEXT); INSERT INTO t VALUES " + std::string(kRows) +
            ", ('2024-01-31T13:46:00')");
  auto after = [&](const Value& value) {
    return lite.count("SELECT count(*) FROM t WHERE ts > " +
                      format_watermark(value, "sqlite", "timestamp"));
  };
  EXPECT_EQ(after("2024-01-31 13:45:00"), 2);
  // An offset is applied, not compared as text.
  EXPECT_EQ(after("2024-01-31 15:45:00+02:00"), 2);
  // Rows stored in the "T" form are read again rather than skipped.
  EXPECT_EQ(after("2024-01-31T13:47:00"), 1);
}

}  // namespace
}  // namespace zyl::extraction::watermark_formatter
