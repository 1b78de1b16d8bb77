#include "zyl/config/tether.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "core/log.h"

namespace zyl::config::tether {
namespace {

namespace fs = std::filesystem;

class TempProject : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("zyl_tether_" + std::to_string(rd()));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    // Restore permissions a test may have taken away before removing the tree.
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory() && !it->is_symlink()) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
      }
    }
    fs::remove_all(root_, ec);
  }

  void write(const fs::path& rel, const std::string& text) {
    fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }

  static std::vector<std::pair<std::string, std::string>> entries(const SourceConnectionMap& m) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [k, v] : m) out.emplace_back(k, text_form(v));
    return out;
  }

  using Entries = std::vector<std::pair<std::string, std::string>>;

  fs::path root_;
};

using LoadTetherTest = TempProject;
using ExtractTest = TempProject;

TEST_F(ExtractTest, ConnectionPlacesAndPrecedence) {
  write("s.yml", R"(
sources:
  - name: own
    connection: pg_a
    meta: {connection: pg_b}
    config: {connection: pg_c}
  - name: meta_only
    meta: {connection: pg_meta}
  - name: config_only
    config: {connection: pg_cfg}
  - name: empty_own
    connection: ""
    config: {connection: pg_crm}
  - name: meta_null
    meta: null
    config: {connection: pg_cfg2}
  - name: meta_not_map
    meta: [connection]
    connection: 0
  - name: none
    tables: [{name: t, connection: ignored}]
  - name: ""
    connection: pg_x
  - connection: pg_y
  - just a string
  - [a, list]
  - name: 42
    connection: pg_num
  - name: [nested]
    connection: pg_z
)");
  SourceConnectionMap m;
  _extract_connections_from_file(root_ / "s.yml", m);
  EXPECT_EQ(entries(m), (Entries{{"own", "pg_a"},
                                 {"meta_only", "pg_meta"},
                                 {"config_only", "pg_cfg"},
                                 {"empty_own", "pg_crm"},
                                 {"meta_null", "pg_cfg2"},
                                 {"42", "pg_num"}}));
}

TEST_F(ExtractTest, KeysSpelledWithEscapesOrInUtf16) {
  write("escaped.yml", "\"sour\\x63es\": [{name: escaped, \"conn\\u0065ction\": e}]\n");
  std::string utf16 = "\xFF\xFE";  // little-endian byte-order mark
  for (char c : std::string("sources: [{name: wide, connection: w}]\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  write("wide.yml", utf16);
  SourceConnectionMap m;
  _extract_connections_from_file(root_ / "escaped.yml", m);
  _extract_connections_from_file(root_ / "wide.yml", m);
  EXPECT_EQ(entries(m), (Entries{{"escaped", "e"}, {"wide", "w"}}));
}

TEST_F(ExtractTest, DocumentsThatAddNothing) {
  write("list.yml", "- sources: [{name: a, connection: x}]\n");
  write("map_sources.yml", "sources:\n  a: {name: a, connection: x}\n");
  write("syntax.yml", "sources: [ {name: a, connection: x\n");
  write("empty.yml", "");
  const char binary[] = "\x00\x01\xff\xfe{[\x80garbage";
  write("binary.yml", std::string(binary, sizeof binary - 1));
  write("scalar.yml", "just text\n");
  SourceConnectionMap m;
  for (const char* f : {"list.yml", "map_sources.yml", "syntax.yml", "empty.yml", "binary.yml",
                        "scalar.yml", "missing.yml"}) {
    _extract_connections_from_file(root_ / f, m);
  }
  EXPECT_TRUE(m.empty());
}

TEST_F(LoadTetherTest, DefaultModelsDirNestedFoldersAndSuffixes) {
  write("models/a/b/c/deep.yml", "sources: [{name: deep, connection: d}]\n");
  write("models/schema.yaml", "sources: [{name: yaml, connection: y}]\n");
  write("models/sources.YML", "sources: [{name: upper, connection: u}]\n");
  write("models/sources.json", "sources: [{name: json, connection: j}]\n");
  write("models/notes.yml.bak", "sources: [{name: bak, connection: b}]\n");
  write("other/s.yml", "sources: [{name: other, connection: o}]\n");
  write("models/broken.yml", "sources: [ {name: broken\n  : : :\n");
  write("models/binary.yml", std::string("\x00\xff\x00\xfe\x01", 5));
  auto m = load_tether(root_);
  std::vector<std::string> names;
  for (const auto& [k, v] : m) names.push_back(k);
  std::sort(names.begin(), names.end());  // file-system order is not fixed
  EXPECT_EQ(names, (std::vector<std::string>{"deep", "yaml"}));
}

TEST_F(LoadTetherTest, ModelPathsInOrderAndTheirShapes) {
  write("a/s.yml", "sources: [{name: crm, connection: from_a}, {name: a, connection: x}]\n");
  write("b/sub/s.yml", "sources: [{name: crm, connection: from_b}, {name: b, connection: y}]\n");
  write("models/s.yml", "sources: [{name: m, connection: z}]\n");
  struct Case {
    std::string project;
    Entries expected;
  };
  std::vector<Case> cases = {
      {"model-paths: [a, b]\n", {{"crm", "from_b"}, {"a", "x"}, {"b", "y"}}},
      {"model-paths: [b, a]\n", {{"crm", "from_a"}, {"b", "y"}, {"a", "x"}}},
      {"model-paths: b\n", {{"crm", "from_b"}, {"b", "y"}}},
      {"model-paths: [1, b, {x: 1}, null]\n", {{"crm", "from_b"}, {"b", "y"}}},
      {"model-paths: [missing, " + (root_ / "a").string() + "]\n", {{"crm", "from_a"}, {"a", "x"}}},
      {"model-paths: []\n", {}},
      {"model-paths: null\n", {{"m", "z"}}},
      {"model-paths: {a: 1}\n", {{"m", "z"}}},
      {"name: p\n", {{"m", "z"}}},
      {"", {{"m", "z"}}},
      {"- model-paths\n", {{"m", "z"}}},
      {"model-paths: [a\n", {{"m", "z"}}},
  };
  for (const auto& c : cases) {
    write("brek_project.yml", c.project);
    EXPECT_EQ(entries(load_tether(root_)), c.expected) << c.project;
  }
  write("brek_project.yml", "model-paths: [a]\n");
  auto m = load_tether(root_);
  EXPECT_EQ(get_source_connection("crm", m), Value("from_a"));
  EXPECT_EQ(get_source_connection("nope", m), std::nullopt);
}

TEST_F(LoadTetherTest, WalkVisitsFilesBeforeSubdirectories) {
  // Whatever the listing order, a directory's own files come before its subdirectories'.
  write("models/s.yml", "sources: [{name: crm, connection: top}]\n");
  write("models/z/s.yml", "sources: [{name: crm, connection: nested}]\n");
  write("models/a/s.yml", "sources: [{name: crm, connection: nested}]\n");
  EXPECT_EQ(entries(load_tether(root_)), (Entries{{"crm", "nested"}}));
}

TEST_F(LoadTetherTest, SymlinksSpecialFilesAndUnreadableDirectories) {
  write("outside/s.yml", "sources: [{name: linked_dir, connection: x}]\n");
  write("real/s.yml", "sources: [{name: linked_file, connection: f}]\n");
  write("models/ok.yml", "sources: [{name: ok, connection: o}]\n");
  write("models/locked/s.yml", "sources: [{name: locked, connection: l}]\n");
  fs::create_directories(root_ / "models");
  fs::create_directory_symlink(root_ / "outside", root_ / "models" / "link");
  fs::create_directory_symlink(root_ / "models", root_ / "models" / "loop");  // a cycle
  fs::create_directory_symlink(root_ / "outside", root_ / "models" / "dir_link.yml");
  fs::create_symlink(root_ / "real" / "s.yml", root_ / "models" / "file_link.yml");
  fs::create_symlink(root_ / "nowhere.yml", root_ / "models" / "dangling.yml");
  ASSERT_EQ(::mkfifo((root_ / "models" / "pipe.yml").c_str(), 0600), 0);  // would block a read
  fs::create_directories(root_ / "models" / "empty.yml");  // a directory with a YAML name
  fs::permissions(root_ / "models" / "locked", fs::perms::none);

  auto m = load_tether(root_);
  EXPECT_TRUE(m.contains("ok"));
  EXPECT_TRUE(m.contains("linked_file"));
  EXPECT_FALSE(m.contains("linked_dir"));
  if (::geteuid() != 0) {
    EXPECT_FALSE(m.contains("locked"));  // root can list it anyway
  }
}

TEST_F(LoadTetherTest, LargeFileAmongGoodOnes) {
  std::string big = "sources:\n";
  for (int i = 0; i < 4000; ++i) {
    big += "  - name: s" + std::to_string(i) + "\n    connection: c" + std::to_string(i % 7) +
           "\n    description: \"" + std::string(1100, 'x') + "\"\n";
  }
  ASSERT_GT(big.size(), 4u << 20);
  write("models/big.yml", big);
  write("models/small.yml", "sources: [{name: small, connection: s}]\n");
  auto m = load_tether(root_);
  EXPECT_EQ(m.size(), 4001u);
  EXPECT_EQ(text_form(m.at("s3999")), "c2");
}

TEST_F(LoadTetherTest, LogLine) {
  write("models/s.yml",
        "sources:\n  - {name: crm, connection: pg_crm}\n  - {name: erp, connection: mysql_erp}\n");
  {
    log::Capture capture;
    auto m = load_tether(root_);
    EXPECT_EQ(capture.messages("zyl.config.tether", spdlog::level::info),
              (std::vector<std::string>{
                  "ZYL: Found 2 source connections: crm=pg_crm, erp=mysql_erp"}));
  }
  fs::remove(root_ / "models" / "s.yml");
  log::Capture capture;
  EXPECT_TRUE(load_tether(root_).empty());
  EXPECT_TRUE(capture.messages("zyl.config.tether").empty());
}

// --- validate_tether -------------------------------------------------------------------------

Value profiles_fixture() {
  return Value::parse(R"({
    "not_a_profile": "x",
    "shop": {"outputs": {
      "dev": {"type": "postgres", "host": "db1", "port": 5432},
      "pg_other_host": {"type": "postgres", "host": "db2", "port": 5432},
      "pg_other_port": {"type": "postgres", "host": "db1", "port": 5433},
      "pg_same": {"type": "postgres", "host": "db1", "port": 5432, "dbname": "crm"},
      "my_same_host": {"type": "mysql", "host": "db1", "port": 5432},
      "sf": {"type": "snowflake", "account": "xy1", "warehouse": "w1"},
      "sf_same": {"type": "snowflake", "account": "xy1", "warehouse": "w2", "database": "d"},
      "duck_a": {"type": "duckdb"},
      "duck_b": {"type": "duckdb"},
      "empty": {},
      "untyped": {"host": "db1"}
    }},
    "second": {"outputs": {
      "dev": {"type": "mysql", "host": "db1"},
      "only_here": {"type": "postgres", "host": "db1", "port": 5432}
    }},
    "broken": {"outputs": ["dev"]}
  })");
}

TEST(ValidateTetherTest, FlagsOnlySameTypeAndSameHost) {
  Value profiles = profiles_fixture();
  struct Case {
    std::string default_target;
    std::string connection;
    bool flagged;
  };
  std::vector<Case> cases = {
      {"dev", "dev", true},
      {"dev", "pg_same", true},
      {"dev", "only_here", true},       // found in a later profile
      {"dev", "pg_other_host", false},  // another instance
      {"dev", "pg_other_port", false},  // the port is part of the postgres hostname
      {"dev", "my_same_host", false},   // types differ
      {"dev", "undefined_output", false},
      {"dev", "empty", false},
      {"dev", "untyped", false},
      {"sf", "sf_same", true},  // whatever the warehouse or database
      {"duck_a", "duck_b", true},  // two empty hostnames are equal
      {"untyped", "dev", false},   // default without a type: nothing to check
      {"empty", "dev", false},
      {"nowhere", "dev", false},
  };
  for (const auto& c : cases) {
    SourceConnectionMap tether;
    tether.set("crm", c.connection);
    auto errors = validate_tether(tether, profiles, c.default_target);
    EXPECT_EQ(errors.size(), c.flagged ? 1u : 0u) << c.default_target << " / " << c.connection;
  }
}

// Output names are the project's own profile's first: an earlier profile with the same names
// neither hides the project's outputs nor adds messages of its own.
TEST(ValidateTetherTest, OwnProfileOutputsComeFirst) {
  Value profiles = {{"other",
                     {{"outputs",
                       {{"dev", {{"type", "postgres"}, {"host", "db1"}}},
                        {"crm", {{"type", "postgres"}, {"host", "db1"}}}}}}},
                    {"shop",
                     {{"outputs",
                       {{"dev", {{"type", "postgres"}, {"host", "db2"}}},
                        {"crm", {{"type", "postgres"}, {"host", "db1"}}}}}}}};
  SourceConnectionMap tether;
  tether.set("crm", "crm");
  EXPECT_TRUE(validate_tether(tether, profiles, "dev", "shop").empty());  // db1 is not db2
  EXPECT_EQ(validate_tether(tether, profiles, "dev").size(), 1u);         // file order: db1
  tether.set("crm", "dev");
  EXPECT_EQ(validate_tether(tether, profiles, "dev", "shop").size(), 1u);
}

TEST(ValidateTetherTest, MessageTextAndOrder) {
  SourceConnectionMap tether;
  tether.set("erp", "pg_same");
  tether.set("crm", "dev");
  tether.set("ok", "pg_other_host");
  tether.set("numeric", 5);
  auto errors = validate_tether(tether, profiles_fixture(), "dev");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0],
            "ZYL113: Source 'erp' has connection 'pg_same' which uses the same adapter type "
            "'postgres' as the default target. Remove the connection: property \xE2\x80\x94 "
            "sources on the default adapter type follow --target automatically.");
  EXPECT_EQ(errors[1].substr(0, 42), "ZYL113: Source 'crm' has connection 'dev' ");
  EXPECT_TRUE(validate_tether({}, profiles_fixture(), "dev").empty());
  EXPECT_TRUE(validate_tether(tether, Value("not a map"), "dev").empty());
}

}  // namespace
}  // namespace zyl::config::tether
