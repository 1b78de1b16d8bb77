// Ctrl-C during `brek run`, on each engine a model can be loaded into: the brek binary is paused
// mid-copy by its test-build pause point (which signals through a pipe), interrupted, and the
// target and the cache are checked afterwards. No timing is involved.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/value.h"
#include "drivers/driver.h"
#include "tests/integration/server_env.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using zyl::Value;

constexpr int kOldRows = 5000;  // a few batches of the mover, so a copy pauses half-way

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

long long first_number(zyl::drivers::Connection& conn, const std::string& sql) {
  auto result = conn.query(sql);
  zyl::drivers::RowBatch batch;
  long long value = -1;
  while (result->next(batch)) {
    if (batch.rows() > 0)
      value =
          zyl::drivers::cell_to_value(batch.at(0, 0), result->columns()[0].type).get<long long>();
  }
  return value;
}

struct Child {
  pid_t pid = -1;
  int err_fd = -1;  // the child's standard error
};

// Reads the child's standard error until `text` has appeared (or it closed).
std::string read_until(int fd, const std::string& text, std::string& seen) {
  char buffer[512];
  while (seen.find(text) == std::string::npos) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

struct Case {
  std::string name;   // of the target engine
  std::string point;  // where the copy pauses: "load" (into the target) or "extract"
};

class CtrlC : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    const Case& c = GetParam();
    root_ = fs::temp_directory_path() /
            ("brek_ctrl_c_" + std::to_string(::getpid()) + "_" + c.name + "_" + c.point);
    fs::remove_all(root_);
    fs::create_directories(root_ / "models");
    fs::create_directories(root_ / "data");
    if (c.name == "postgres") {
      ZYL_REQUIRE_SERVER(target_, "ZYL_TEST_PG", "postgres");
      target_["schema"] = "zyl_halt";
    } else if (c.name == "mariadb") {
      ZYL_REQUIRE_SERVER(target_, "ZYL_TEST_MYSQL", "mariadb");
      target_["schema"] = target_["database"];
    } else if (c.name == "duckdb") {
      target_ = {{"type", "duckdb"},
                 {"path", (root_ / "data" / "out.duckdb").string()},
                 {"schema", "main"}};
    } else {
      target_ = {{"type", "sqlite"},
                 {"path", (root_ / "data" / "out.sqlite").string()},
                 {"schema", "main"}};
    }
    write_project();
    {
      auto target = zyl::drivers::open_connection(target_);
      target->execute("DROP TABLE IF EXISTS " + table_on(*target));
    }
    auto source = source_connection();
    source->execute("CREATE TABLE items (id INTEGER, label TEXT)");
    source->execute(
        "INSERT INTO items WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
        "WHERE x < " +
        std::to_string(kOldRows) + ") SELECT x, 'old' FROM c");
  }
  void TearDown() override {
    if (!target_.is_null()) {
      try {
        auto target = zyl::drivers::open_connection(target_);
        target->execute("DROP TABLE IF EXISTS " + table_on(*target));
      } catch (const std::exception&) {
      }
    }
    fs::remove_all(root_);
  }

  std::unique_ptr<zyl::drivers::Connection> source_connection() {
    return zyl::drivers::open_connection(
        Value{{"type", "sqlite"}, {"path", (root_ / "data" / "src.sqlite").string()}});
  }

  std::string table_on(zyl::drivers::Connection& conn) {
    return conn.quote_table({zyl::get_text(target_, "schema"), "halt_items"});
  }

  void write_project() {
    std::ofstream(root_ / "brek_project.yml")
        << "name: halt\nprofile: halt\nmodel-paths: [\"models\"]\n"
           "models:\n  halt:\n    +materialized: table\n";
    Value source = {{"type", "sqlite"}, {"path", "data/src.sqlite"}, {"schema", "main"}};
    std::ofstream(root_ / "profiles.yml")
        << "halt:\n  target: dev\n  outputs:\n"
        << "    dev: {type: duckdb, path: data/warehouse.duckdb, schema: main}\n"
        << "    src: " << source.dump() << "\n"
        << "    out: " << target_.dump() << "\n";
    std::ofstream(root_ / "models" / "sources.yml")
        << "sources:\n  - name: raw\n    connection: src\n    schema: main\n"
           "    tables:\n      - name: items\n";
    std::ofstream(root_ / "models" / "halt_items.sql")
        << "{{ config(target='out') }}\nselect * from {{ source('raw', 'items') }}\n";
    // Independent of the copy: with one thread it either ran before it or must not start.
    std::ofstream(root_ / "models" / "halt_other.sql") << "select 1 as x\n";
  }

  // Starts `brek run` with BREK_TEST_PAUSE=<point>:<fd><suffix>; returns once the copy is paused.
  Child start_paused(const std::string& suffix = "") {
    int ready[2], err[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(err), 0);
    std::string pause = GetParam().point + ":" + std::to_string(ready[1]) + suffix;
    std::string out = (root_ / "stdout.txt").string();
    std::string project = root_.string();
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      ::close(err[0]);
      ::dup2(err[1], STDERR_FILENO);
      if (std::freopen(out.c_str(), "w", stdout) == nullptr) ::_exit(99);
      ::setenv("BREK_TEST_PAUSE", pause.c_str(), 1);
      ::execl(BREK_BINARY, BREK_BINARY, "run", "--project-dir", project.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(98);
    }
    ::close(ready[1]);
    ::close(err[1]);
    char byte = 0;
    ssize_t n = ::read(ready[0], &byte, 1);  // 0 when brek ended without pausing
    ::close(ready[0]);
    EXPECT_EQ(n, 1) << "brek never reached the pause point: " << read_file(out);
    return Child{pid, err[0]};
  }

  int wait_for(const Child& child) {
    int raw = 0;
    EXPECT_EQ(::waitpid(child.pid, &raw, 0), child.pid);
    ::close(child.err_fd);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  int run_brek() {
    std::string command =
        "cd '" + root_.string() + "' && '" + BREK_BINARY + "' run >stdout.txt 2>stderr.txt";
    int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  // The source gets new rows and new labels, so a load that went through would show.
  void change_source() {
    auto source = source_connection();
    source->execute("UPDATE items SET label = 'new'");
    source->execute("INSERT INTO items SELECT id + " + std::to_string(kOldRows) +
                    ", 'new' FROM items");
  }

  void expect_target_holds_the_old_rows() {
    auto target = zyl::drivers::open_connection(target_);
    EXPECT_EQ(first_number(*target, "SELECT COUNT(*) FROM " + table_on(*target)), kOldRows);
    EXPECT_EQ(
        first_number(*target, "SELECT COUNT(*) FROM " + table_on(*target) + " WHERE label = 'old'"),
        kOldRows);
    std::string staging_tables =
        target->engine() == "sqlite"
            ? "SELECT COUNT(*) FROM sqlite_master WHERE name LIKE '%zyl_stage%'"
            : "SELECT COUNT(*) FROM information_schema.tables WHERE table_name LIKE "
              "'%zyl_stage%'";
    EXPECT_EQ(first_number(*target, staging_tables), 0);
    target->close();
    auto cache = zyl::drivers::open_connection(
        Value{{"type", "duckdb"}, {"path", (root_ / ".zyl" / "cache.duckdb").string()}});
    EXPECT_EQ(first_number(*cache,
                           "SELECT COUNT(*) FROM information_schema.tables WHERE "
                           "table_name LIKE '%zyl_stage%'"),
              0);
  }

  fs::path root_;
  Value target_;
};

TEST_P(CtrlC, TheFirstInterruptCancelsTheCopyAndTheTargetKeepsItsRows) {
  ASSERT_EQ(run_brek(), 0) << read_file(root_ / "stdout.txt") << read_file(root_ / "stderr.txt");
  change_source();

  Child child = start_paused();
  ASSERT_EQ(::kill(child.pid, SIGINT), 0);
  std::string err;
  read_until(child.err_fd, "\x01", err);  // everything, until brek closes it
  EXPECT_EQ(wait_for(child), 130) << err << read_file(root_ / "stdout.txt");

  std::string out = read_file(root_ / "stdout.txt");
  EXPECT_THAT(out, HasSubstr("ERROR  halt_items"));
  size_t cancelled = out.find("ERROR  halt_items");
  EXPECT_EQ(out.find(" START  ", cancelled), std::string::npos) << "a model started after Ctrl-C\n"
                                                                << out;
  EXPECT_THAT(out, HasSubstr("cancelled by Ctrl-C"));
  EXPECT_THAT(out, testing::ContainsRegex("ERROR=1 SKIP=0 (NOT_STARTED=1 )?TOTAL=2"));
  EXPECT_THAT(read_file(root_ / "logs" / "zyl.log"),
              HasSubstr("cancelled by Ctrl-C: model halt_items"));
  expect_target_holds_the_old_rows();
}

INSTANTIATE_TEST_SUITE_P(Targets, CtrlC,
                         ::testing::Values(Case{"duckdb", "load"}, Case{"sqlite", "load"},
                                           Case{"postgres", "load"}, Case{"mariadb", "load"},
                                           Case{"duckdb", "extract"}),
                         [](const auto& info) { return info.param.name + "_" + info.param.point; });

class SecondCtrlC : public CtrlC {};

TEST_P(SecondCtrlC, ExitsAtOnceWhileTheFirstIsStillWaiting) {
  ASSERT_EQ(run_brek(), 0) << read_file(root_ / "stdout.txt") << read_file(root_ / "stderr.txt");
  change_source();
  Child child = start_paused(":hold");  // the first interrupt cannot end this copy
  ASSERT_EQ(::kill(child.pid, SIGINT), 0);
  std::string err;
  read_until(child.err_fd, "Ctrl-C again to exit at once", err);
  ASSERT_THAT(err, HasSubstr("Ctrl-C again"));
  ASSERT_EQ(::kill(child.pid, SIGINT), 0);
  EXPECT_EQ(wait_for(child), 130);
  auto target = zyl::drivers::open_connection(target_);
  EXPECT_EQ(
      first_number(*target, "SELECT COUNT(*) FROM " + table_on(*target) + " WHERE label = 'old'"),
      kOldRows);
}

INSTANTIATE_TEST_SUITE_P(Targets, SecondCtrlC, ::testing::Values(Case{"duckdb", "load"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
