#include "zyl/config/compass.h"

#include <gtest/gtest.h>

#include "core/log.h"

namespace zyl::config::compass {
namespace {

using tether::SourceConnectionMap;

// A manifest built by hand: models with their config targets and dependencies, and sources.
class ManifestBuilder {
 public:
  brek::Node& model(const std::string& name, std::vector<std::string> deps = {},
                    std::optional<std::string> target = std::nullopt) {
    auto node = std::make_shared<brek::Node>();
    node->unique_id = "model.shop." + name;
    node->name = name;
    node->resource_type = "model";
    node->depends_on = brek::DependsOn{std::move(deps), {}};
    node->config.target = std::move(target);
    manifest_.nodes.set(node->unique_id, node);
    return *node;
  }
  void source(const std::string& source_name, const std::string& table) {
    auto node = std::make_shared<brek::SourceNode>();
    node->unique_id = "source.shop." + source_name + "." + table;
    node->source_name = source_name;
    node->name = table;
    node->schema = "raw";
    manifest_.sources.set(node->unique_id, node);
  }
  const brek::Manifest& manifest() const { return manifest_; }
  const brek::Node& node(const std::string& name) const {
    return *manifest_.find_node("model.shop." + name);
  }

 private:
  brek::Manifest manifest_;
};

SourceConnectionMap tether_of(std::initializer_list<std::pair<std::string, Value>> entries) {
  SourceConnectionMap m;
  for (const auto& [k, v] : entries) m.set(k, v);
  return m;
}

TEST(ResolveModelPathTest, TargetPrecedence) {
  ManifestBuilder b;
  b.model("cfg", {}, "warehouse");
  b.model("empty_cfg", {}, "");
  b.model("extra", {}, std::nullopt).config._extra["target"] = "warehouse";
  b.model("both", {}, "cfg_target").config._extra["target"] = "extra_target";
  b.model("empty_both", {}, "").config._extra["target"] = "";
  b.model("plain");
  b.model("extra_not_map").config._extra = Value::array({"target"});
  struct Case {
    std::string model;
    std::optional<std::string> cli;
    std::string target;
    ExecutionPath path;
  };
  std::vector<Case> cases = {
      {"cfg", std::nullopt, "warehouse", ExecutionPath::NON_DEFAULT_PUSHDOWN},
      {"cfg", "dev", "dev", ExecutionPath::DEFAULT_PUSHDOWN},
      {"cfg", "prod", "prod", ExecutionPath::NON_DEFAULT_PUSHDOWN},
      {"cfg", "", "warehouse", ExecutionPath::NON_DEFAULT_PUSHDOWN},  // empty cli is not set
      {"extra", std::nullopt, "warehouse", ExecutionPath::NON_DEFAULT_PUSHDOWN},
      {"both", std::nullopt, "cfg_target", ExecutionPath::NON_DEFAULT_PUSHDOWN},
      {"empty_cfg", std::nullopt, "dev", ExecutionPath::DEFAULT_PUSHDOWN},
      {"empty_both", std::nullopt, "dev", ExecutionPath::DEFAULT_PUSHDOWN},
      {"plain", std::nullopt, "dev", ExecutionPath::DEFAULT_PUSHDOWN},
      {"extra_not_map", std::nullopt, "dev", ExecutionPath::DEFAULT_PUSHDOWN},
  };
  for (const auto& c : cases) {
    ResolvedModel r = resolve_model_path(b.node(c.model), b.manifest(), "dev", {}, c.cli);
    EXPECT_EQ(r.target, c.target) << c.model;
    EXPECT_EQ(r.execution_path, c.path) << c.model;
    EXPECT_EQ(r.model_unique_id, "model.shop." + c.model);
    EXPECT_EQ(r.model_name, c.model);
  }
}

TEST(ResolveModelPathTest, RemoteSources) {
  ManifestBuilder b;
  b.source("crm", "customers");
  b.source("erp", "orders");
  b.source("local", "events");
  b.source("numeric", "t");
  b.model("m", {"source.shop.crm.customers", "source.shop.local.events", "source.shop.erp.orders",
                "source.shop.unknown.x", "seed.shop.countries", "test.shop.t1"});
  b.model("n", {"source.shop.numeric.t"});
  auto tether = tether_of({{"crm", "pg_crm"}, {"erp", "dev"}, {"local", ""}, {"numeric", 5}});

  // On dev: only crm is remote (erp lives on dev; local has an empty connection; unknown ids and
  // other kinds are ignored).
  ResolvedModel on_dev = resolve_model_path(b.node("m"), b.manifest(), "dev", tether);
  EXPECT_EQ(on_dev.execution_path, ExecutionPath::SLING_DIRECT);
  ASSERT_EQ(on_dev.remote_sources.size(), 1u);
  EXPECT_EQ(on_dev.remote_sources[0],
            (RemoteSource{"source.shop.crm.customers", "crm", "customers", "pg_crm", "raw",
                          std::nullopt}));

  // With --target prod, erp becomes remote too.
  ResolvedModel on_prod = resolve_model_path(b.node("m"), b.manifest(), "dev", tether, "prod");
  EXPECT_EQ(on_prod.execution_path, ExecutionPath::DUCKDB_COMPUTE);
  ASSERT_EQ(on_prod.remote_sources.size(), 2u);
  EXPECT_EQ(on_prod.remote_sources[1].source_name, "erp");
  EXPECT_EQ(on_prod.remote_sources[1].connection, "dev");

  // On pg_crm itself, crm is local and erp is remote.
  ResolvedModel on_crm = resolve_model_path(b.node("m"), b.manifest(), "dev", tether, "pg_crm");
  ASSERT_EQ(on_crm.remote_sources.size(), 1u);
  EXPECT_EQ(on_crm.remote_sources[0].source_name, "erp");

  // A connection that is not a string never equals a target, even one spelled the same.
  ResolvedModel numeric = resolve_model_path(b.node("n"), b.manifest(), "5", tether);
  ASSERT_EQ(numeric.remote_sources.size(), 1u);
  EXPECT_EQ(numeric.remote_sources[0].connection, "5");
}

TEST(ResolveModelPathTest, RemoteUpstreamModels) {
  ManifestBuilder b;
  b.source("crm", "customers");
  b.model("on_wh", {}, "warehouse");
  b.model("on_dev");
  b.model("extra_only").config._extra["target"] = "warehouse";
  b.model("m", {"model.shop.on_wh", "model.shop.on_dev", "model.shop.extra_only",
                "model.shop.missing"});
  b.model("m_wh", {"model.shop.on_wh", "model.shop.on_dev", "model.shop.extra_only"},
          "warehouse");
  b.model("one_each", {"source.shop.crm.customers", "model.shop.on_wh"});
  b.model("twice", {"model.shop.on_wh", "model.shop.on_wh"});
  auto tether = tether_of({{"crm", "pg_crm"}});

  // The upstream model's _extra target is not consulted: extra_only counts as running on dev.
  ResolvedModel r = resolve_model_path(b.node("m"), b.manifest(), "dev", tether);
  EXPECT_EQ(r.remote_refs, (std::vector<std::string>{"model.shop.on_wh"}));
  EXPECT_EQ(r.execution_path, ExecutionPath::SLING_DIRECT);

  ResolvedModel from_wh = resolve_model_path(b.node("m_wh"), b.manifest(), "dev", tether);
  EXPECT_EQ(from_wh.remote_refs,
            (std::vector<std::string>{"model.shop.on_dev", "model.shop.extra_only"}));

  // With --target no upstream model is remote, whatever the targets.
  for (const char* cli : {"dev", "warehouse", "other"}) {
    EXPECT_TRUE(resolve_model_path(b.node("m"), b.manifest(), "dev", tether, cli)
                    .remote_refs.empty())
        << cli;
  }

  EXPECT_EQ(resolve_model_path(b.node("one_each"), b.manifest(), "dev", tether).execution_path,
            ExecutionPath::DUCKDB_COMPUTE);
  // No de-duplication: the same id twice is two remote dependencies.
  ResolvedModel twice = resolve_model_path(b.node("twice"), b.manifest(), "dev", tether);
  EXPECT_EQ(twice.remote_refs.size(), 2u);
  EXPECT_EQ(twice.execution_path, ExecutionPath::DUCKDB_COMPUTE);
}

TEST(ResolveModelPathTest, NodeWithoutDependsOnOrIdentity) {
  brek::Manifest manifest;
  brek::Node node;
  node.name = "bare";
  ResolvedModel r = resolve_model_path(node, manifest, "dev", {});
  EXPECT_EQ(r.model_unique_id, "bare");
  EXPECT_EQ(r.execution_path, ExecutionPath::DEFAULT_PUSHDOWN);
  EXPECT_TRUE(r.remote_sources.empty());
  EXPECT_TRUE(r.remote_refs.empty());
}

TEST(ResolveAllModelsTest, SelectsModelsAndLogsCounts) {
  ManifestBuilder b;
  b.source("a", "t");
  b.source("c", "t");
  b.model("p1");
  b.model("two_remote", {"source.shop.a.t", "source.shop.c.t"});
  b.model("p2");
  b.model("p3").resource_type = "ModelNode";
  b.model("seed_like").resource_type = "seed";
  b.model("test_like").resource_type = "test";
  b.model("no_type").resource_type = std::nullopt;
  b.model("empty_type").resource_type = "";
  auto tether = tether_of({{"a", "pg_a"}, {"c", "pg_c"}});

  log::Capture capture;
  Resolutions all = resolve_all_models(b.manifest(), "dev", tether);
  std::vector<std::string> keys;
  for (const auto& [uid, r] : all) keys.push_back(uid);
  EXPECT_EQ(keys, (std::vector<std::string>{"model.shop.p1", "model.shop.two_remote",
                                            "model.shop.p2", "model.shop.p3"}));
  EXPECT_EQ(all.at("model.shop.two_remote").execution_path, ExecutionPath::DUCKDB_COMPUTE);
  EXPECT_EQ(capture.messages("zyl.config.compass", spdlog::level::info),
            (std::vector<std::string>{
                "ZYL resolved 4 models: {'default_pushdown': 3, 'duckdb_compute': 1}"}));

  capture.clear();
  EXPECT_TRUE(resolve_all_models(brek::Manifest{}, "dev", tether).empty());
  EXPECT_EQ(capture.messages("zyl.config.compass", spdlog::level::info),
            (std::vector<std::string>{"ZYL resolved 0 models: {}"}));
}

}  // namespace
}  // namespace zyl::config::compass
