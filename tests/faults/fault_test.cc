// Faults during a cross-engine run, against the real engines: a row the target refuses, the
// brek process killed during the extraction or the load, the target's server connection cut
// mid-copy, a full disk under the cache, Ctrl-C during a copy. After each, the target table
// holds exactly its old rows or exactly the new result, the cache file opens, and the next run
// delivers exactly what a clean run would and leaves no staging table behind.
//
// ClickHouse has no transactions: its loads build tables aside and swap them in, so the same
// cases check that no half-built table ever takes the target's place.
//
// The moments are hit exactly through the fault points of test builds (core/fault_point.h):
// the brek process stops, fails or kills itself at a named point; nothing here sleeps to race it.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/value.h"
#include "drivers/driver.h"
#include "drivers/duckdb/duckdb_driver.h"
#include "tests/integration/server_env.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using zyl::Value;
using Env = std::map<std::string, std::string>;

constexpr int kOld = 3000;  // rows of the first run
constexpr int kNew = 6000;  // rows once the source has grown: several batches of a copy

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What a table holds, in a form cheap to compare: rows, distinct ids, smallest and largest id.
struct Shape {
  long long rows = 0, ids = 0, low = 0, high = 0;
  bool operator==(const Shape&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Shape& s) {
  return out << "{rows " << s.rows << ", ids " << s.ids << ", " << s.low << ".." << s.high << "}";
}
const Shape kOldShape{kOld, kOld, 1, kOld};
const Shape kNewShape{kNew, kNew, 1, kNew};

struct Brek {
  int status = -1;   // exit status, or -1 when killed by a signal
  int signal = 0;    // the signal that ended it
  std::string out, err;
};

// One brek process, started with extra environment and, optionally, a file-size limit.
class BrekProcess {
 public:
  BrekProcess(const fs::path& dir, const std::vector<std::string>& args, const Env& env,
              rlim_t file_size_limit = RLIM_INFINITY)
      : dir_(dir) {
    pid_ = fork();
    if (pid_ == 0) child(args, env, file_size_limit);
  }

  Brek wait() {
    int raw = 0;
    waitpid(pid_, &raw, 0);
    Brek result;
    if (WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) result.signal = WTERMSIG(raw);
    result.out = read_file(dir_ / "stdout.txt");
    result.err = read_file(dir_ / "stderr.txt");
    return result;
  }

 private:
  [[noreturn]] void child(const std::vector<std::string>& args, const Env& env, rlim_t limit) {
    if (chdir(dir_.c_str()) != 0) _exit(126);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    if (limit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG, as on a full disk
      rlimit r{limit, limit};
      setrlimit(RLIMIT_FSIZE, &r);
    }
    FILE* out = freopen((dir_ / "stdout.txt").c_str(), "w", stdout);
    FILE* err = freopen((dir_ / "stderr.txt").c_str(), "w", stderr);
    if (!out || !err) _exit(126);
    std::vector<char*> argv{const_cast<char*>(BREK_BINARY)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(BREK_BINARY, argv.data());
    _exit(127);
  }

  fs::path dir_;
  pid_t pid_ = -1;
};

struct Engine {
  const char* name;
  const char* server;            // "" for the embedded engines, else the server variables' prefix
  const char* odbc = nullptr;    // the ODBC driver the target is reached through, if any
};

class FaultTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    static int counter = 0;
    unique_ = "zyl_fault_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    dir_ = fs::temp_directory_path() / unique_;
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "models");
    if (GetParam().server[0] != '\0') ZYL_REQUIRE_SERVER(admin_, GetParam().server, GetParam().name);
    target_ = target_config();
    write_project();
    source("CREATE TABLE items (id INTEGER, v TEXT)");
    grow_source(1, kOld);
  }

  void TearDown() override {
    if (admin_.is_object() && target_.is_object()) {
      try {
        auto admin = zyl::drivers::open_connection(admin_config());
        admin->execute(by_database() ? "DROP DATABASE IF EXISTS `" + unique_ + "`"
                                  : "DROP SCHEMA IF EXISTS \"" + unique_ + "\" CASCADE");
      } catch (const std::exception&) {
      }
    }
    fs::remove_all(dir_);
  }

  bool is_mysql() const { return std::string(GetParam().name) == "mariadb"; }
  bool is_clickhouse() const { return std::string(GetParam().name) == "clickhouse"; }
  // Engines whose schemas are databases, named in backticks.
  bool by_database() const { return is_mysql() || is_clickhouse(); }

  // The test server's own output (its default database), for setting up and cleaning up.
  const Value& admin_config() const { return admin_; }

  // The output the models load into: a file of the project, or a schema (database) of its own
  // on the test server, reached under an application name of its own.
  Value target_config() {
    std::string engine = GetParam().name;
    if (engine == "duckdb") return {{"type", "duckdb"}, {"path", "target.duckdb"}};
    if (engine == "sqlite") {
      Value config{{"type", "sqlite"}, {"path", "target.sqlite"}};
      if (GetParam().odbc) config["odbc_driver"] = GetParam().odbc;
      return config;
    }
    Value config = admin_;
    config["schema"] = unique_;
    if (!by_database()) config["application_name"] = unique_;
    if (GetParam().odbc) config["odbc_driver"] = GetParam().odbc;
    if (by_database()) {
      auto admin = zyl::drivers::open_connection(admin_config());
      admin->execute("CREATE DATABASE IF NOT EXISTS `" + unique_ + "`");
      config["database"] = unique_;
    }
    return config;
  }

  void write_project() {
    std::ofstream(dir_ / "brek_project.yml")
        << "name: faults\nprofile: faults\nmodel-paths: [\"models\"]\n";
    std::ofstream(dir_ / "profiles.yml")
        << "faults:\n  target: dev\n  outputs:\n"
        << "    dev: {type: duckdb, path: warehouse.duckdb}\n"
        << "    src: {type: sqlite, path: source.sqlite}\n"
        << "    tgt: " << target_.dump() << "\n";
    std::ofstream(dir_ / "models" / "sources.yml")
        << "sources:\n  - name: src\n    connection: src\n    schema: main\n"
        << "    tables:\n      - name: items\n";
    const std::string since = "\n{% if is_incremental() %} where id > (select max(id) from "
                              "{{ this }}) {% endif %}\n";
    std::ofstream(dir_ / "models" / "as_table.sql")
        << "{{ config(materialized='table', target='tgt') }}\n"
        << "select id, v from {{ source('src', 'items') }}\n";
    std::ofstream(dir_ / "models" / "merged.sql")
        << "{{ config(materialized='incremental', unique_key='id', "
           "incremental_strategy='merge', target='tgt') }}\n"
        << "select id, v from {{ source('src', 'items') }}" << since;
    std::ofstream(dir_ / "models" / "appended.sql")
        << "{{ config(materialized='incremental', incremental_strategy='append', "
           "target='tgt') }}\n"
        << "select id, v from {{ source('src', 'items') }}" << since;
  }

  void source(const std::string& sql) {
    zyl::drivers::open_connection({{"type", "sqlite"}, {"path", (dir_ / "source.sqlite").string()}})
        ->execute(sql);
  }
  void grow_source(int from, int to) {
    source("WITH RECURSIVE n(i) AS (SELECT " + std::to_string(from) +
           " UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(to) +
           ") INSERT INTO items SELECT i, 'value ' || i || ' ' || hex(randomblob(48)) FROM n");
  }

  Brek run(const std::string& model, const Env& env = {}, const std::string& extra = "") {
    return BrekProcess(dir_, args(model, extra), env).wait();
  }
  std::vector<std::string> args(const std::string& model, const std::string& extra = "") {
    std::vector<std::string> a = {"run",       "--project-dir", dir_.string(), "--profiles-dir",
                                  dir_.string(), "--select",    model};
    if (!extra.empty()) a.push_back(extra);
    return a;
  }

  // A connection to the target, as the test sees it (paths of the embedded engines are taken
  // against the project directory).
  // Always the native driver, so that what the target holds is read independently of the
  // driver that loaded it.
  std::unique_ptr<zyl::drivers::Connection> target() {
    Value native = target_;
    native.erase("odbc_driver");
    return zyl::drivers::open_connection(native, dir_);
  }
  std::string relation(const std::string& model) {
    if (GetParam().server[0] == '\0') return model;
    return by_database() ? "`" + unique_ + "`.`" + model + "`" : "\"" + unique_ + "\"." + model;
  }
  Shape shape(const std::string& model) {
    auto conn = target();
    auto result = conn->query("SELECT count(*), count(DISTINCT id), min(id), max(id) FROM " +
                              relation(model));
    zyl::drivers::RowBatch batch;
    Shape s;
    if (result->next(batch) && batch.rows() == 1) {
      auto number = [&](size_t c) {
        Value v = zyl::drivers::cell_to_value(batch.at(0, c), result->columns()[c].type);
        return v.is_null() ? 0LL : v.is_string() ? std::stoll(v.get<std::string>())
                                                 : v.get<long long>();
      };
      s = {number(0), number(1), number(2), number(3)};
    }
    result.reset();
    conn->close();
    return s;
  }
  std::vector<std::string> staging_tables() {
    auto conn = target();
    std::vector<std::string> left;
    for (const auto& name : conn->table_names(GetParam().server[0] ? unique_ : "")) {
      if (name.find("_zyl_stage_") != std::string::npos ||
          name.find("_zyl_old_") != std::string::npos) {
        left.push_back(name);
      }
    }
    conn->close();
    return left;
  }
  void expect_cache_opens() {
    auto cache = zyl::drivers::duckdb::open_file(dir_ / ".zyl" / "cache.duckdb");
    auto result = cache->query("SELECT count(*) FROM information_schema.tables");
    zyl::drivers::RowBatch batch;
    EXPECT_TRUE(result->next(batch));
  }

  // Run 1 builds `model` cleanly; the source then grows; `fault` runs it again and must leave the
  // old rows or the whole new result; the run after it must deliver exactly the new result.
  void survive(const std::string& model, const std::function<Brek()>& fault,
               bool must_keep_old = true) {
    SCOPED_TRACE(model);
    // A full refresh, so that a model an earlier case left with the new rows starts over.
    Brek first = run(model, {}, "--full-refresh");
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    ASSERT_EQ(shape(model), kOldShape);
    grow_source(kOld + 1, kNew);

    Brek faulty = fault();
    EXPECT_NE(faulty.status, 0) << faulty.out << faulty.err;
    Shape after = shape(model);
    if (must_keep_old) {
      EXPECT_EQ(after, kOldShape) << faulty.out << faulty.err;
    } else {
      EXPECT_TRUE(after == kOldShape || after == kNewShape) << after;
    }
    expect_cache_opens();

    Brek next = run(model);
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_EQ(shape(model), kNewShape) << next.out;
    EXPECT_THAT(staging_tables(), ::testing::IsEmpty());
    reset_source();
  }

  // Back to the first run's source, and no trace of the model, for the next case.
  void reset_source() {
    source("DELETE FROM items WHERE id > " + std::to_string(kOld));
  }

  Env fault_at(const std::string& point, const std::string& action, int hit = 1) {
    return {{"ZYL_FAULT_POINT", point},
            {"ZYL_FAULT_ACTION", action},
            {"ZYL_FAULT_HIT", std::to_string(hit)},
            {"ZYL_FAULT_DIR", dir_.string()}};
  }

  // Runs `model` with the cache directory on a small file system of its own, the cache files
  // copied onto it and back again afterwards.
  Brek run_on_full_cache_disk(const std::string& model) {
    fs::path cache_dir = dir_ / ".zyl", saved = dir_ / "cache_saved";
    fs::rename(cache_dir, saved);
    fs::create_directory(cache_dir);
    std::uintmax_t used = 0;
    for (const auto& entry : fs::directory_iterator(saved)) used += fs::file_size(entry.path());
    std::string options = "size=" + std::to_string((used / 4096 + 16) * 4096);
    if (mount("tmpfs", cache_dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      fs::remove(cache_dir);
      fs::rename(saved, cache_dir);
      rlim_t limit = static_cast<rlim_t>(fs::file_size(cache_dir / "cache.duckdb"));
      return BrekProcess(dir_, args(model), {}, limit).wait();
    }
    for (const auto& entry : fs::directory_iterator(saved)) {
      fs::copy_file(entry.path(), cache_dir / entry.path().filename());
    }
    Brek outcome = run(model);
    fs::remove_all(saved);
    fs::create_directory(saved);
    for (const auto& entry : fs::directory_iterator(cache_dir)) {
      fs::copy_file(entry.path(), saved / entry.path().filename());
    }
    umount(cache_dir.c_str());
    fs::remove(cache_dir);
    fs::rename(saved, cache_dir);
    return outcome;
  }

  const std::vector<std::string> models_ = {"as_table", "merged", "appended"};
  std::string unique_;
  fs::path dir_;
  Value admin_;
  Value target_;
};

// Statements that make the target refuse the last new row, and accept it again. The source's
// last row gets a NULL `v` for the engines that take a NOT NULL added to a column.
struct Refusal {
  std::string refuse, accept;
  bool null_last_row = false;
};
Refusal refusal_on(const std::string& engine, const std::string& relation) {
  if (engine == "sqlite") {
    return {"CREATE TRIGGER refuse_new BEFORE INSERT ON " + relation + " WHEN NEW.id = " +
                std::to_string(kNew) + " BEGIN SELECT RAISE(ABORT, 'refused'); END",
            "DROP TRIGGER refuse_new"};
  }
  if (engine == "duckdb") {
    return {"ALTER TABLE " + relation + " ALTER COLUMN v SET NOT NULL",
            "ALTER TABLE " + relation + " ALTER COLUMN v DROP NOT NULL", true};
  }
  if (engine == "clickhouse") {  // no constraints in 18.16; a NULL is refused by the type
    return {"ALTER TABLE " + relation + " MODIFY COLUMN v String",
            "ALTER TABLE " + relation + " MODIFY COLUMN v Nullable(String)", true};
  }
  return {"ALTER TABLE " + relation + " ADD CONSTRAINT refuse_new CHECK (id < " +
              std::to_string(kNew) + ")",
          "ALTER TABLE " + relation + " DROP CONSTRAINT refuse_new"};
}

// The last row of the load is refused by the target: the table keeps its old rows, and the
// cache keeps its old result, so the next run delivers the rows instead of skipping them. An
// incremental model without a key is loaded by recreating its table (no constraint of the old
// table applies), so there the refusal is a failure at the end of the load.
TEST_P(FaultTest, ARowRefusedAtTheEndOfTheLoadLeavesTheOldRows) {
  std::string engine = GetParam().name;
  for (const auto& model : models_) {
    SCOPED_TRACE(model);
    Brek first = run(model);
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    Refusal refusal = refusal_on(engine, relation(model));
    bool by_constraint = model != "appended";
    if (by_constraint) target()->execute(refusal.refuse);
    grow_source(kOld + 1, kNew);
    std::string last = std::to_string(kNew);
    if (by_constraint && refusal.null_last_row) source("UPDATE items SET v = NULL WHERE id = " + last);

    Brek refused = run(model, by_constraint ? Env{} : fault_at("load.before_commit", "fail"));
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_EQ(shape(model), kOldShape);
    EXPECT_THAT(staging_tables(), ::testing::IsEmpty());

    if (by_constraint) target()->execute(refusal.accept);
    source("UPDATE items SET v = 'value ' || id WHERE id = " + last);  // accepted everywhere
    Brek next = run(model);
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_EQ(shape(model), kNewShape) << next.out;
    reset_source();
  }
}

// A failure at the last step of a full refresh (the swap) keeps the old table.
TEST_P(FaultTest, AFailedFullRefreshKeepsTheOldTable) {
  for (const auto& model : models_) {
    survive(model, [&] {
      return BrekProcess(dir_, args(model, "--full-refresh"),
                         fault_at("load.before_commit", "fail")).wait();
    });
  }
}

// New rows of a merge that repeat a key fail the model, naming the key and the value, before
// anything is written.
TEST_P(FaultTest, RepeatedMergeKeysFailTheModelAndLeaveTheTarget) {
  Brek first = run("merged");
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  source("INSERT INTO items VALUES (" + std::to_string(kOld + 1) + ", 'x'), (" +
         std::to_string(kOld + 1) + ", 'y')");
  Brek repeated = run("merged");
  EXPECT_EQ(repeated.status, 1);
  EXPECT_THAT(repeated.out + repeated.err,
              HasSubstr("merge key (id) = (" + std::to_string(kOld + 1) + ") 2 times"));
  EXPECT_EQ(shape("merged"), kOldShape);
}

// Killed in the middle of copying a source into the cache, or just before that copy commits;
// then in the middle of a load into the target, or just before it commits or swaps. The
// extraction is the same for every kind of model, so one model stands for all there.
TEST_P(FaultTest, KilledDuringTheExtractionOrTheLoad) {
  for (const char* point : {"extract.batch", "extract.before_commit"}) {
    SCOPED_TRACE(point);
    survive("merged", [&] { return run("merged", fault_at(point, "kill")); });
  }
  // A DuckDB target takes the cache's rows in one INSERT inside DuckDB: its one batch is the
  // middle of that load (the rows written, not committed).
  const int middle = std::string(GetParam().name) == "duckdb" ? 1 : 2;
  const std::vector<std::pair<std::string, int>> load_points = {{"load.batch", middle},
                                                                {"load.before_commit", 1}};
  for (const auto& [point, hit] : load_points) {
    SCOPED_TRACE(point);
    for (const auto& model : models_) {
      survive(model, [&] { return run(model, fault_at(point, "kill", hit)); });
      if (HasFatalFailure()) return;
    }
  }
}

// Killed after the target took the rows but before the cache recorded them: the next run must
// neither lose nor double rows.
TEST_P(FaultTest, KilledBetweenTheLoadAndTheCacheCommit) {
  for (const auto& model : models_) {
    survive(model, [&] { return run(model, fault_at("model.loaded", "kill")); },
            /*must_keep_old=*/false);
  }
}

// The target's server ends the connection in the middle of the copy.
TEST_P(FaultTest, TheServerConnectionDropsMidCopy) {
  if (GetParam().server[0] == '\0') GTEST_SKIP() << "an embedded engine has no connection to drop";
  if (is_clickhouse()) {
    GTEST_SKIP() << "over HTTP every request is a connection of its own: there is no session "
                    "to drop between two requests";
  }
  for (const auto& model : models_) {
    survive(model, [&] {
      fs::remove(dir_ / "reached");
      fs::remove(dir_ / "go");
      BrekProcess process(dir_, args(model), fault_at("load.batch", "wait", 2));
      for (int i = 0; i < 12000 && !fs::exists(dir_ / "reached"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      EXPECT_TRUE(fs::exists(dir_ / "reached"));
      auto admin = zyl::drivers::open_connection(admin_config());
      if (is_mysql()) {
        auto ids = zyl::integration::read_all(
            *admin, "SELECT CAST(ID AS CHAR) FROM information_schema.PROCESSLIST WHERE DB = '" +
                        unique_ + "'");
        for (size_t r = 0; r < ids.rows(); ++r) {
          admin->execute("KILL CONNECTION " + std::get<std::string>(ids.at(r, 0)));
        }
        EXPECT_GT(ids.rows(), 0u);
      } else {
        auto killed = zyl::integration::read_all(
            *admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                    "application_name = '" + unique_ + "'");
        EXPECT_GT(killed.rows(), 0u);
      }
      admin->close();
      std::ofstream(dir_ / "go") << "go\n";
      return process.wait();
    });
  }
}

// The disk under the cache fills during the extraction: the cache directory becomes a file
// system with little more room than the cache takes (a file-size limit on the process where
// no file system can be mounted).
TEST_P(FaultTest, AFullDiskUnderTheCache) {
  for (const char* model : {"as_table", "appended"}) {
    survive(model, [&] { return run_on_full_cache_disk(model); });
  }
}

// Ctrl-C in the middle of a copy: the run ends with 130 and the target is whole (old or new).
TEST_P(FaultTest, CtrlCDuringACopy) {
  auto interrupted = [&](const std::string& model, const char* point) {
    SCOPED_TRACE(point);
    survive(model, [&] {
      Brek b = run(model, fault_at(point, "sigint"));
      EXPECT_EQ(b.status, 130) << b.out << b.err;
      return b;
    }, /*must_keep_old=*/false);
  };
  interrupted("merged", "extract.batch");
  for (const auto& model : models_) interrupted(model, "load.batch");
}

INSTANTIATE_TEST_SUITE_P(Engines, FaultTest,
                         ::testing::Values(Engine{"duckdb", ""}, Engine{"sqlite", ""},
                                           Engine{"postgres", "ZYL_TEST_PG"},
                                           Engine{"mariadb", "ZYL_TEST_MYSQL"},
                                           Engine{"sqlite", "", "SQLite3"},
                                           Engine{"postgres", "ZYL_TEST_PG", "PostgreSQL Unicode"},
                                           Engine{"mariadb", "ZYL_TEST_MYSQL", "MariaDB Unicode"},
                                           Engine{"clickhouse", "ZYL_TEST_CLICKHOUSE"}),
                         [](const auto& info) {
                           return std::string(info.param.name) + (info.param.odbc ? "_odbc" : "");
                         });

}  // namespace
