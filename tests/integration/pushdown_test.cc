// Differential tests of extraction pushdown: a corpus of model queries runs on the DuckDB cache
// twice, once over sources copied whole and once over what the optimizer's queries read, for
// DuckDB, SQLite, PostgreSQL and MariaDB sources. The results must be equal.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"
#include "drivers/driver.h"
#include "tests/integration/server_env.h"
#include "zyl/extraction/sling_client.h"
#include "zyl/extraction/watermark_formatter.h"
#include "zyl/federation/optimizer.h"
#include "zyl/runners/internal/rewrite.h"

namespace zyl {
namespace {

namespace optimizer = federation::optimizer;
using drivers::Connection;

const char* const kTables[] = {"orders", "customers", "events"};

// One model of the corpus. {orders}, {customers} and {events} stand for the cache tables.
struct Model {
  Model(std::string n, std::string s, bool any = false, std::string w = "")
      : name(std::move(n)), sql(std::move(s)), any_rows_of_limit(any), watermark(std::move(w)) {}
  std::string name;
  std::string sql;
  bool any_rows_of_limit = false;  // LIMIT without ORDER BY: any n rows of the unlimited result
  std::string watermark;           // incremental: orders are read above this placed_at
};

const std::vector<Model>& corpus() {
  static const std::vector<Model> models = {
      {"join_two",
       "select o.id, c.name from {orders} o join {customers} c on c.id = o.customer_id "
       "where c.region = 'eu' and o.\"Amount\" > 10"},
      {"join_three",
       "select o.id, c.name, e.kind from {orders} o join {customers} c on c.id = o.customer_id "
       "join {events} e on e.order_id = o.id where e.kind in ('ship', 'pay') "
       "and o.placed_on >= date '2024-01-10' and c.id between 3 and 30"},
      {"self_join",
       "select a.id, b.id from {orders} a join {orders} b "
       "on a.customer_id = b.customer_id and a.id < b.id "
       "where a.status = 'open' and b.id <= 50"},
      {"aggregate",
       "select status, count(*), sum(\"Amount\") from {orders} "
       "where placed_at < timestamp '2024-01-20 12:00:00' group by status"},
      {"window",
       "select id, row_number() over (partition by customer_id order by id) "
       "from {orders} where id between 10 and 90"},
      {"cte",
       "with big as (select * from {orders} where \"Amount\" >= 50) "
       "select customer_id, max(\"MixedCase\"), count(*) from big group by customer_id"},
      {"select_star", "select * from {customers}"},
      {"select_star_filtered", "select * from {orders} where customer_id = 4"},
      {"mixed_case",
       "select \"MixedCase\", \"Amount\" from {orders} "
       "where \"MixedCase\" is not null and \"MixedCase\" > 3"},
      {"is_null", "select id from {orders} where note is null"},
      {"not_in",
       "select id, region from {customers} where region is not null "
       "and region not in ('eu', 'us')"},
      {"not_in_nulls", "select id from {orders} where note not in ('x', 'n5')"},
      {"dates",
       "select id from {orders} where placed_on = date '2024-01-15' "
       "or placed_on = date '2024-01-16'"},
      {"timestamps",
       "select id, placed_at from {orders} where placed_at >= "
       "timestamp '2024-01-10 06:30:00' and placed_at < timestamp '2024-01-12 00:00:00'"},
      {"like", "select id, status from {orders} where status like 'op%'"},
      {"like_upper", "select id, status from {orders} where status like 'Op%' or status like 'Ö%'"},
      {"string_range", "select id, status from {orders} where status > 'o' and status <= 'p'"},
      {"string_equal", "select id from {orders} where status = 'open'"},
      {"or_across_sources",
       "select o.id from {orders} o join {customers} c on c.id = o.customer_id "
       "where o.id < 5 or c.region = 'us'"},
      {"limit_order", "select id from {orders} order by id desc limit 5"},
      {"limit_order_two_keys", "select id, status from {orders} order by placed_at, id limit 7"},
      {"limit_order_text", "select id, status from {orders} order by status desc, id limit 9"},
      {"limit_order_nulls", "select id, note from {orders} order by note nulls first, id limit 6"},
      {"limit_bare", "select id, status from {orders} limit 8", true},
      {"limit_over_filter", "select id from {orders} where status = 'closed' order by id limit 4"},
      {"incremental", "select id, placed_at, \"Amount\" from {orders} where \"Amount\" > 5", false,
       "2024-01-18 00:00:00"},
      {"incremental_top", "select id, placed_at from {orders} order by placed_at desc, id limit 3",
       false, "2024-01-18 00:00:00"},
  };
  return models;
}

// The statements creating and filling the three tables on `conn`. Values exercise case, blanks,
// non-ASCII text and NULLs, on which engines disagree.
std::vector<std::string> fill_statements(const Connection& conn, const std::string& prefix,
                                         const std::map<std::string, std::string>& types) {
  auto q = [&](const std::string& name) { return conn.quote_identifier(name); };
  std::vector<std::string> out;
  out.push_back("CREATE TABLE " + prefix + "orders (id " + types.at("bigint") + ", customer_id " +
                types.at("bigint") + ", " + q("Amount") + " " + types.at("decimal") + ", status " +
                types.at("text") + ", placed_on " + types.at("date") + ", placed_at " +
                types.at("timestamp") + ", note " + types.at("text") + ", " + q("MixedCase") + " " +
                types.at("int") + ")");
  out.push_back("CREATE TABLE " + prefix + "customers (id " + types.at("bigint") + ", name " +
                types.at("text") + ", region " + types.at("text") + ")");
  out.push_back("CREATE TABLE " + prefix + "events (id " + types.at("bigint") + ", order_id " +
                types.at("bigint") + ", kind " + types.at("text") + ")");
  const char* statuses[] = {"open", "Open", "closed", "op en", "ÖPEN", "open ", "pending", "p"};
  std::vector<std::string> rows;
  for (int i = 1; i <= 120; ++i) {
    std::string amount = std::to_string(i * 37 % 100) + "." + std::to_string(i % 10) + "5";
    std::string day = std::to_string(1 + i % 28);
    if (day.size() == 1) day = "0" + day;
    std::string hour = std::to_string(i % 24);
    if (hour.size() == 1) hour = "0" + hour;
    rows.push_back("(" + std::to_string(i) + ", " + std::to_string(1 + i % 37) + ", " + amount +
                   ", '" + statuses[i % 8] + "', '2024-01-" + day + "', '2024-01-" + day + " " +
                   hour + ":30:00', " + (i % 3 == 0 ? "NULL" : "'n" + std::to_string(i % 7) + "'") +
                   ", " + (i % 4 == 0 ? "NULL" : std::to_string(i % 11)) + ")");
  }
  out.push_back("INSERT INTO " + prefix + "orders VALUES " + text::join(rows, ", "));
  rows.clear();
  const char* regions[] = {"'eu'", "'us'", "NULL", "'apac'", "NULL", "'EU'"};
  for (int i = 1; i <= 40; ++i) {
    rows.push_back("(" + std::to_string(i) + ", 'customer " + std::to_string(i) + "', " +
                   regions[i % 6] + ")");
  }
  out.push_back("INSERT INTO " + prefix + "customers VALUES " + text::join(rows, ", "));
  rows.clear();
  const char* kinds[] = {"ship", "pay", "Ship", "refund"};
  for (int i = 1; i <= 200; ++i) {
    rows.push_back("(" + std::to_string(i) + ", " + std::to_string(1 + i % 130) + ", '" +
                   kinds[i % 4] + "')");
  }
  out.push_back("INSERT INTO " + prefix + "events VALUES " + text::join(rows, ", "));
  return out;
}

// Every cell of `sql` on the cache file as text, rows sorted.
std::vector<std::string> rows_of(const std::string& cache_path, const std::string& sql) {
  std::unique_ptr<Connection> cache =
      drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache_path}});
  std::vector<drivers::Column> columns;
  drivers::RowBatch batch = integration::read_all(*cache, sql, &columns);
  std::vector<std::string> rows;
  for (std::size_t r = 0; r < batch.rows(); ++r) {
    std::string row;
    for (std::size_t c = 0; c < batch.column_count; ++c) {
      row += drivers::cell_to_value(batch.at(r, c), columns[c].type).dump() + "|";
    }
    rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

class PushdownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("zyl_pushdown_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Runs the corpus against tables in `schema` of the source `config`; returns how many
  // extraction queries read less than the whole table.
  int run_corpus(const Value& config, const std::string& schema) {
    std::unique_ptr<Connection> source = drivers::open_connection(config, dir_);
    optimizer::SourceColumns columns;
    OrderedMap<std::string, std::string> tables;
    for (const char* table : kTables) {
      std::string cache_table = std::string("src__") + table;
      tables.set(cache_table, cache_table);
      columns[cache_table] = optimizer::probe_columns(*source, schema, table);
    }
    // Held open for the whole corpus, so that the registry keeps one instance of each file
    // instead of opening (and checkpointing) it again for every copy.
    std::unique_ptr<Connection> plain_cache = drivers::open_connection(
        Value{{"type", "duckdb"}, {"path", (dir_ / "plain.duckdb").string()}});
    std::unique_ptr<Connection> optimized_cache = drivers::open_connection(
        Value{{"type", "duckdb"}, {"path", (dir_ / "optimized.duckdb").string()}});
    if (get_text(config, "type") != "duckdb") source.reset();
    int narrowed = 0;
    for (const Model& model : corpus()) {
      SCOPED_TRACE(model.name);
      narrowed += check_model(model, config, schema, tables, columns);
    }
    return narrowed;
  }

  int check_model(const Model& model, const Value& config, const std::string& schema,
                  const OrderedMap<std::string, std::string>& tables,
                  const optimizer::SourceColumns& columns) {
    std::string sql = model.sql;
    for (const char* table : kTables) {
      sql = text::replace_all(sql, std::string("{") + table + "}", std::string("src__") + table);
    }
    optimizer::Optimizations found = optimizer::optimize_extractions(sql, tables, columns);
    // Every model replaces the tables it reads, in one pair of cache files.
    std::string plain_cache = (dir_ / "plain.duckdb").string();
    std::string optimized_cache = (dir_ / "optimized.duckdb").string();
    extraction::sling_client::NativeSlingClient sling(dir_);
    int narrowed = 0;
    for (const char* table : kTables) {
      std::string cache_table = std::string("src__") + table;
      if (sql.find(cache_table) == std::string::npos) continue;
      std::optional<std::string> watermark;
      if (!model.watermark.empty() && cache_table == "src__orders") {
        watermark =
            "placed_at > " + extraction::watermark_formatter::format_watermark(
                                 Value(model.watermark), get_text(config, "type"), "timestamp");
      }
      auto it = found.find(cache_table);
      const optimizer::Optimization* opt = it != found.end() && it->second ? &*it->second : nullptr;
      runners::internal::ExtractionQuery plain = runners::internal::extraction_query(
          model.name, schema, table, cache_table, config, nullptr, watermark);
      runners::internal::ExtractionQuery optimized = runners::internal::extraction_query(
          model.name, schema, table, cache_table, config, opt, watermark);
      if (optimized.query != plain.query) {
        ++narrowed;
        std::cout << "  " << get_text(config, "type") << " " << model.name << ": "
                  << optimized.query << "\n";
      }
      sling.extract_to_duckdb(config, plain_cache, plain.query, cache_table);
      sling.extract_to_duckdb(config, optimized_cache, optimized.query, cache_table);
    }
    std::vector<std::string> expected = rows_of(plain_cache, sql);
    std::vector<std::string> actual = rows_of(optimized_cache, sql);
    if (!model.any_rows_of_limit) {
      EXPECT_EQ(actual, expected);
    } else {
      // Any n rows will do: as many as without pushdown, each a row of the unlimited query.
      std::string unlimited = sql.substr(0, sql.rfind(" limit "));
      std::vector<std::string> all = rows_of(plain_cache, unlimited);
      EXPECT_EQ(actual.size(), expected.size());
      for (const auto& row : actual) {
        EXPECT_TRUE(std::binary_search(all.begin(), all.end(), row)) << row;
      }
    }
    EXPECT_FALSE(expected.empty()) << "the corpus model should select rows";
    return narrowed;
  }

  std::filesystem::path dir_;
};

const std::map<std::string, std::string> kDuckdbTypes = {
    {"bigint", "BIGINT"}, {"int", "INTEGER"}, {"decimal", "DECIMAL(12,2)"},
    {"text", "VARCHAR"},  {"date", "DATE"},   {"timestamp", "TIMESTAMP"}};

TEST_F(PushdownTest, DuckdbSourcesGiveTheSameResults) {
  Value config = {{"type", "duckdb"}, {"path", (dir_ / "source.duckdb").string()}};
  {
    std::unique_ptr<Connection> conn = drivers::open_connection(config);
    for (const auto& sql : fill_statements(*conn, "", kDuckdbTypes)) conn->execute(sql);
  }
  EXPECT_GE(run_corpus(config, "main"), 25);
}

TEST_F(PushdownTest, SqliteSourcesGiveTheSameResults) {
  Value config = {{"type", "sqlite"}, {"path", (dir_ / "source.sqlite").string()}};
  {
    std::unique_ptr<Connection> conn = drivers::open_connection(config);
    std::map<std::string, std::string> types = {
        {"bigint", "INTEGER"}, {"int", "INTEGER"}, {"decimal", "NUMERIC(12,2)"},
        {"text", "TEXT"},      {"date", "DATE"},   {"timestamp", "TIMESTAMP"}};
    for (const auto& sql : fill_statements(*conn, "", types)) conn->execute(sql);
  }
  EXPECT_GE(run_corpus(config, ""), 20);
}

TEST_F(PushdownTest, PostgresSourcesGiveTheSameResults) {
  Value config;
  ZYL_REQUIRE_SERVER(config, "ZYL_TEST_PG", "postgres");
  std::unique_ptr<Connection> conn = drivers::open_connection(config);
  integration::read_all(*conn, "SELECT pg_advisory_lock(4718)");
  conn->execute("DROP SCHEMA IF EXISTS zyl_pd CASCADE; CREATE SCHEMA zyl_pd");
  std::map<std::string, std::string> types = {
      {"bigint", "bigint"},    {"int", "integer"}, {"decimal", "numeric(12,2)"},
      {"text", "varchar(40)"}, {"date", "date"},   {"timestamp", "timestamp"}};
  for (const auto& sql : fill_statements(*conn, "zyl_pd.", types)) conn->execute(sql);
  // A linguistic collation orders 'Open' and 'open' unlike byte order.
  conn->execute(
      "ALTER TABLE zyl_pd.orders ALTER COLUMN status TYPE varchar(40) COLLATE \"und-x-icu\"");
  EXPECT_GE(run_corpus(config, "zyl_pd"), 25);
  conn->execute("DROP SCHEMA IF EXISTS zyl_pd CASCADE");
}

TEST_F(PushdownTest, MariadbSourcesGiveTheSameResults) {
  Value config;
  ZYL_REQUIRE_SERVER(config, "ZYL_TEST_MYSQL", "mariadb");
  std::unique_ptr<Connection> conn = drivers::open_connection(config);
  conn->execute("DROP DATABASE IF EXISTS zyl_pd; CREATE DATABASE zyl_pd");
  std::map<std::string, std::string> types = {
      {"bigint", "BIGINT"},    {"int", "INT"},   {"decimal", "DECIMAL(12,2)"},
      {"text", "VARCHAR(40)"}, {"date", "DATE"}, {"timestamp", "DATETIME(6)"}};
  for (const auto& sql : fill_statements(*conn, "zyl_pd.", types)) conn->execute(sql);
  EXPECT_GE(run_corpus(config, "zyl_pd"), 15);
  conn->execute("DROP DATABASE IF EXISTS zyl_pd");
}

}  // namespace
}  // namespace zyl
