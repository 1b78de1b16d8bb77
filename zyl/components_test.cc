#include "zyl/components.h"

#include <stdlib.h>

#include <filesystem>

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

}  // namespace
}  // namespace zyl::components
