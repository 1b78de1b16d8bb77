#include "zyl/components.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace zyl::components {
namespace {

namespace fs = std::filesystem;

// The defaults are the real components: a cache that opens its file, a client, connections.
TEST(Components, DefaultsAreTheRealImplementations) {
  char pattern[] = "/tmp/zyl_components_XXXXXX";
  fs::path dir = mkdtemp(pattern);
  Registry& r = registry();
  auto cache = obtain(r.cache, "cache")(federation::zyl_cache::CacheLocation::for_project(dir));
  EXPECT_EQ(cache->save_model_result("m", "SELECT 1 AS id", false), 1);
  cache->commit_model_result("m", false);
  EXPECT_TRUE(cache->has_model_result("m"));
  cache.reset();
  EXPECT_NE(obtain(r.sling_client, "sling_client")(), nullptr);
  EXPECT_NE(obtain(r.get_connection, "get_connection")(
                "duckdb", Value{{"path", (dir / "t.duckdb").string()}}),
            nullptr);
  EXPECT_EQ(obtain(r.get_connection, "get_connection")("duckdb", Value()), nullptr);
  EXPECT_FALSE(obtain(r.default_profiles_dir, "default_profiles_dir")().empty());
  EXPECT_THROW(obtain(r.read_profiles_yml, "read_profiles_yml")(dir.string()),
               std::runtime_error);
  {
    ScopedOverride guard;
    guard->cache = nullptr;
    EXPECT_THROW(obtain(registry().cache, "cache"), std::runtime_error);
  }
  EXPECT_TRUE(static_cast<bool>(registry().cache));
  fs::remove_all(dir);
}

// After use_project, relative file paths mean files of the project, wherever the process runs.
TEST(Components, UseProjectTakesRelativePathsAgainstTheProject) {
  char pattern[] = "/tmp/zyl_components_XXXXXX";
  fs::path dir = mkdtemp(pattern);
  fs::create_directories(dir / "profiles");
  {
    std::ofstream out(dir / "profiles" / "profiles.yml");
    out << "shop:\n  outputs:\n    lake: {type: sqlite, path: data/lake.db}\n"
           "    mem: {type: duckdb, path: ':memory:'}\n";
  }
  ScopedOverride guard;
  bool tracked = false;
  guard->track_zyl_extraction = [&](const Value&) { tracked = true; };
  use_project(dir);
  obtain(registry().track_zyl_extraction, "track_zyl_extraction")(Value());
  EXPECT_TRUE(tracked);  // entries that do not depend on the project are kept
  Value profiles =
      obtain(registry().read_profiles_yml, "read_profiles_yml")((dir / "profiles").string());
  EXPECT_EQ(profiles["shop"]["outputs"]["lake"]["path"], (dir / "data" / "lake.db").string());
  EXPECT_EQ(profiles["shop"]["outputs"]["mem"]["path"], ":memory:");
  EXPECT_NE(
      obtain(registry().get_connection, "get_connection")("duckdb", Value{{"path", "rel.duckdb"}}),
      nullptr);
  EXPECT_TRUE(fs::exists(dir / "rel.duckdb"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zyl::components
