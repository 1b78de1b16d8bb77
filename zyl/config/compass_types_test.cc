#include <gtest/gtest.h>

#include "zyl/config/compass.h"

namespace zyl::config::compass {
namespace {

TEST(ExecutionPathTest, ValuesNamesAndLookup) {
  EXPECT_EQ(value(ExecutionPath::SLING_DIRECT), "sling_direct");
  EXPECT_EQ(name(ExecutionPath::SLING_DIRECT), "SLING_DIRECT");
  EXPECT_EQ(from_value("duckdb_compute"), ExecutionPath::DUCKDB_COMPUTE);
  EXPECT_EQ(from_value("DUCKDB_COMPUTE"), std::nullopt);  // names are not values
  EXPECT_EQ(from_value("default_pushdown"), ExecutionPath::DEFAULT_PUSHDOWN);
  EXPECT_EQ(from_value("non_default_pushdown"), ExecutionPath::NON_DEFAULT_PUSHDOWN);
}

TEST(ResolvedModelTest, DefaultsEqualityAndTextForm) {
  ResolvedModel a{"model.p.a", "a", "dev", ExecutionPath::DEFAULT_PUSHDOWN, {}, {}};
  ResolvedModel b{"model.p.a", "a", "dev", ExecutionPath::DEFAULT_PUSHDOWN, {}, {}};
  a.remote_refs.push_back("model.p.x");
  EXPECT_TRUE(b.remote_refs.empty());  // each record has its own list
  EXPECT_NE(a, b);
  b.remote_refs.push_back("model.p.x");
  EXPECT_EQ(a, b);
  a.remote_refs = {"model.p.x", "model.p.y"};
  b.remote_refs = {"model.p.y", "model.p.x"};
  EXPECT_NE(a, b);

  RemoteSource s{"source.p.crm.c", "crm", "c", "pg", std::nullopt, std::nullopt};
  EXPECT_FALSE(s.schema.has_value());
  EXPECT_FALSE(s.identifier.has_value());
  EXPECT_EQ(to_string(s),
            "RemoteSource(source_unique_id='source.p.crm.c', source_name='crm', table_name='c', "
            "connection='pg', schema=None, identifier=None)");
  ResolvedModel m{"model.p.m", "m", "wh", ExecutionPath::SLING_DIRECT, {s}, {}};
  EXPECT_NE(to_string(m).find("execution_path=ExecutionPath.SLING_DIRECT"), std::string::npos);
  EXPECT_NE(to_string(m).find("remote_sources=[RemoteSource("), std::string::npos);
}

}  // namespace
}  // namespace zyl::config::compass
