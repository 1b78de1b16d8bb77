// Test doubles for the runner's collaborators: a journal that records every call in order, and
// fakes of the adapter, the cache (with its lock), the Sling client and a target connection.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "brek/adapter.h"
#include "core/text.h"
#include "drivers/driver.h"
#include "zyl/extraction/sling_client.h"
#include "zyl/federation/zyl_cache.h"
#include "zyl/runners/ferry.h"

namespace zyl::runners::testing {

// Every recorded call, in order. A fake fails the call whose journal entry equals `fail_on`
// (or starts with it) by throwing `failure`.
struct Journal {
  std::vector<std::string> calls;
  std::string fail_on;
  std::string failure = "boom";

  void record(const std::string& call) {
    calls.push_back(call);
    if (!fail_on.empty() && text::starts_with(call, fail_on)) throw std::runtime_error(failure);
  }
};

// The runner with the host's materialisation replaced by a counter.
class TestRunner final : public ferry::ZylModelRunner {
 public:
  using ZylModelRunner::ZylModelRunner;
  int pushdowns = 0;

 protected:
  brek::RunResult run_on_default_target(brek::Node&, brek::Manifest&) override {
    ++pushdowns;
    return ferry::_make_run_result(node_, brek::RunStatus::Success, "OK", 0.0);
  }
};

class FakeAdapter final : public brek::Adapter {
 public:
  std::vector<std::string> queries;
  brek::Table table;
  bool fail = false;

  std::string type() const override { return "postgres"; }
  std::pair<brek::AdapterResponse, brek::Table> execute(const std::string& sql,
                                                        bool fetch) override {
    queries.push_back(sql + (fetch ? "" : " (no fetch)"));
    if (fail) throw std::runtime_error("relation does not exist");
    return {brek::AdapterResponse{"SELECT 1", 1}, table};
  }
  void begin() override {}
  void commit() override {}
  void rollback() noexcept override {}
  bool transactional_ddl() const override { return true; }
};

class FakeLock final : public federation::zyl_cache::FileLock {
 public:
  explicit FakeLock(Journal& journal) : journal_(journal) {}
  int acquired = 0;
  int released = 0;
  bool held() const { return acquired > released; }
  void acquire() override {
    ++acquired;
    journal_.record("acquire");
  }
  void release() override {
    ++released;
    journal_.record("release");
  }

 private:
  Journal& journal_;
};

class FakeCache final : public federation::zyl_cache::Cache {
 public:
  explicit FakeCache(Journal& journal, std::string path = "/proj/.zyl/cache.duckdb")
      : journal_(journal), lock_(journal), path_(std::move(path)) {}

  bool open = true;
  std::map<std::string, bool> results;  // model name -> has a cached result
  std::optional<std::int64_t> rows = 7;
  std::vector<std::string> saved_sql;

  FakeLock& lock() { return lock_; }
  federation::zyl_cache::FileLock& _file_lock() override { return lock_; }
  void ensure_created() override {
    journal_.record("ensure_created");
    open = true;
  }
  std::string db_path() const override { return path_; }
  void close_and_release() override {
    journal_.record("close");
    open = false;
  }
  void reopen() override {
    journal_.record("reopen");
    open = true;
  }
  std::string source_table_name(const std::string& src, const std::string& tbl) const override {
    return "src_" + src + "__" + tbl;
  }
  std::string model_table_name(const std::string& model) const override {
    return "__model__" + model;
  }
  bool has_model_result(const std::string& model) override {
    journal_.record("has_model_result " + model);
    return results[model];
  }
  std::optional<std::int64_t> save_model_result(const std::string& model, const std::string& sql,
                                                bool append) override {
    journal_.record("save " + model + (append ? " append" : " replace") +
                    (open ? "" : " ON A CLOSED CACHE"));
    saved_sql.push_back(sql);
    return rows;
  }
  std::string model_result_query(const std::string& model, bool append) override {
    return "SELECT * FROM __pending__" + model + (append ? " (after the stored rows)" : "");
  }
  void commit_model_result(const std::string& model, bool append) override {
    journal_.record("commit " + model + (append ? " append" : " replace") +
                    (open ? "" : " ON A CLOSED CACHE"));
    results[model] = true;
  }
  std::vector<std::string> list_tables() override { return {}; }
  void drop_table(const std::string&) override {}
  void note_subset(const std::string& table, const std::string& query) override {
    subsets[table] = query + (open ? "" : " ON A CLOSED CACHE");
  }

  std::map<std::string, std::string> subsets;  // table -> query noted

 private:
  Journal& journal_;
  FakeLock lock_;
  std::string path_;
};

// Records each call with its arguments, and whether the cache was closed and locked then.
class FakeSlingClient final : public extraction::sling_client::SlingClient {
 public:
  struct Call {
    Value config;
    std::string duckdb_path;
    std::string query;
    std::string table;  // duckdb_table or target_table
    std::string mode;
    std::optional<std::vector<std::string>> primary_key;
    std::optional<std::vector<std::string>> update_key;
  };

  // `cache` gives the cache the pipeline uses (it may be opened after the client is made).
  FakeSlingClient(Journal& journal, std::function<FakeCache*()> cache, std::vector<Call>& calls)
      : journal_(journal), cache_(std::move(cache)), calls_(calls) {}

  void extract_to_duckdb(const Value& source_config, const std::string& duckdb_path,
                         const std::string& source_query,
                         const std::string& duckdb_table) override {
    calls_.push_back({source_config, duckdb_path, source_query, duckdb_table, "", {}, {}});
    journal_.record("extract " + duckdb_table + state());
  }
  void load_from_duckdb(const std::string& duckdb_path, const Value& target_config,
                        const std::string& source_query, const std::string& target_table,
                        const std::string& mode,
                        const std::optional<std::vector<std::string>>& primary_key,
                        const std::optional<std::vector<std::string>>& update_key) override {
    calls_.push_back(
        {target_config, duckdb_path, source_query, target_table, mode, primary_key, update_key});
    journal_.record("load " + target_table + state());
  }

 private:
  // Sling may only touch the file while the cache is closed and the lock is held.
  std::string state() const {
    std::string out;
    FakeCache* cache = cache_();
    if (cache == nullptr) return " WITHOUT CACHE";
    if (cache->open) out += " WHILE OPEN";
    if (!cache->lock().held()) out += " WITHOUT LOCK";
    return out;
  }
  Journal& journal_;
  std::function<FakeCache*()> cache_;
  std::vector<Call>& calls_;
};

inline drivers::ColumnType timestamp_type() {
  drivers::ColumnType type;
  type.id = drivers::TypeId::Timestamp;
  return type;
}

// A connection answering every query with one column holding `cell`.
class FakeConnection final : public drivers::Connection {
 public:
  FakeConnection(std::vector<std::string>& queries, bool& closed)
      : queries_(queries), closed_(closed) {}
  drivers::Cell cell = std::monostate{};
  drivers::ColumnType column_type = timestamp_type();
  bool fail = false;

  std::string engine() const override { return "duckdb"; }
  void execute(const std::string& sql) override { queries_.push_back(sql); }
  std::unique_ptr<drivers::QueryResult> query(const std::string& sql) override {
    queries_.push_back(sql);
    if (fail) throw drivers::DriverError("Catalog Error: Table does not exist");
    return std::make_unique<Result>(cell, column_type);
  }
  void begin() override {}
  void commit() override {}
  void rollback() override {}
  std::string quote_identifier(std::string_view name) const override {
    return "\"" + std::string(name) + "\"";
  }
  std::string type_sql(const drivers::ColumnType&) const override { return "VARCHAR"; }
  bool table_exists(const drivers::TableRef&) override { return true; }
  std::vector<drivers::Column> table_columns(const drivers::TableRef&) override { return {}; }
  std::vector<std::string> table_names(const std::string&) override { return {}; }
  void ensure_schema(const std::string&) override {}
  std::unique_ptr<drivers::BulkWriter> bulk_writer(const drivers::TableRef&,
                                                   const std::vector<drivers::Column>&) override {
    throw drivers::DriverError("not supported");
  }
  void close() override { closed_ = true; }

 private:
  class Result final : public drivers::QueryResult {
   public:
    Result(drivers::Cell cell, drivers::ColumnType type)
        : cell_(std::move(cell)), columns_{{"max", type}} {}
    const std::vector<drivers::Column>& columns() const override { return columns_; }
    bool next(drivers::RowBatch& batch, size_t) override {
      if (done_) return false;
      done_ = true;
      batch.column_count = 1;
      batch.cells = {cell_};
      return true;
    }

   private:
    drivers::Cell cell_;
    std::vector<drivers::Column> columns_;
    bool done_ = false;
  };
  std::vector<std::string>& queries_;
  bool& closed_;
};

}  // namespace zyl::runners::testing
