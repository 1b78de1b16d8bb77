#include "zyl/tasks/docs_site.h"

#include <stdexcept>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/test_support/temp_dir.h"

namespace zyl::tasks::docs_site {
namespace {

using config::compass::ExecutionPath;
using config::compass::RemoteSource;
using config::compass::ResolvedModel;
using ::testing::HasSubstr;
using ::testing::Not;

class DocsSiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto source = std::make_shared<brek::SourceNode>();
    source->unique_id = "source.shop.crm.customers";
    source->source_name = "crm";
    source->name = "customers";
    source->schema = "main";
    source->columns = {{"id", "customer id", "integer", Value::object(), {}}};
    manifest_.sources.set(source->unique_id, source);

    auto seed = node("seed.shop.countries", "countries", "seed", {});
    auto staged = node("model.shop.stg_customers", "stg_customers", "model",
                       {"source.shop.crm.customers", "seed.shop.countries"});
    staged->compiled_code = "select * from \"main\".\"customers\" -- </script><script>alert(1)";
    auto mart = node("model.shop.revenue", "revenue", "model", {"model.shop.stg_customers"});
    auto test = node("test.shop.not_null", "not_null", "test", {"model.shop.revenue"});
    for (const auto& n : {seed, staged, mart, test}) manifest_.nodes.set(n->unique_id, n);

    auto exposure = std::make_shared<brek::ExposureNode>();
    exposure->unique_id = "exposure.shop.board";
    exposure->name = "board";
    exposure->depends_on.nodes = {"model.shop.revenue"};
    manifest_.exposures.set(exposure->unique_id, exposure);

    ResolvedModel compute{"model.shop.stg_customers",
                          "stg_customers",
                          "dev",
                          ExecutionPath::DUCKDB_COMPUTE,
                          {RemoteSource{"source.shop.crm.customers", "crm", "customers", "crm",
                                        "main", std::nullopt}},
                          {}};
    ResolvedModel pushdown{
        "model.shop.revenue", "revenue", "dev", ExecutionPath::DEFAULT_PUSHDOWN, {}, {}};
    resolutions_.set(compute.model_unique_id, compute);
    resolutions_.set(pushdown.model_unique_id, pushdown);
    tether_.set("crm", "crm");

    input_.manifest = &manifest_;
    input_.resolutions = &resolutions_;
    input_.tether = &tether_;
    input_.profiles = Value::parse(R"({"shop": {"target": "dev", "outputs": {
        "dev": {"type": "duckdb", "path": "w.duckdb"},
        "crm": {"type": "sqlite", "path": "crm.sqlite", "password": "hunter2"}}}})");
    input_.project_name = "shop";
    input_.default_target = "dev";
    input_.project_dir = dir_.path();
    // As the extraction path plans it; the app asks the runner.
    input_.source_extractions = [](const brek::Node& model) {
      if (model.name != "stg_customers") throw std::runtime_error("asked for " + model.name);
      return std::vector<Value>{{{"source", "crm.customers"},
                                 {"connection", "crm"},
                                 {"engine", "sqlite"},
                                 {"query", R"(SELECT * FROM "main"."customers")"}}};
    };
  }

  std::shared_ptr<brek::Node> node(const std::string& id, const std::string& name,
                                   const std::string& kind, std::vector<std::string> upstream) {
    auto n = std::make_shared<brek::Node>();
    n->unique_id = id;
    n->name = name;
    n->resource_type = kind;
    n->raw_code = "select 1";
    n->depends_on = brek::DependsOn{std::move(upstream), {}};
    n->config["materialized"] = "table";
    return n;
  }

  const Value& entry(const Value& data, const std::string& id) {
    for (const auto& n : data["nodes"]) {
      if (n["id"] == id) return n;
    }
    static const Value none;
    ADD_FAILURE() << "no node " << id;
    return none;
  }

  test_support::TempDir dir_;
  brek::Manifest manifest_;
  config::compass::Resolutions resolutions_;
  config::tether::SourceConnectionMap tether_;
  SiteInput input_;
};

TEST_F(DocsSiteTest, DataHoldsTheLineageWithPathsConnectionsAndExtractionQueries) {
  Value data = site_data(input_);
  std::vector<std::string> ids;
  for (const auto& n : data["nodes"]) ids.push_back(n["id"]);
  // Tests are no part of the lineage; every other kind is.
  EXPECT_EQ(ids, (std::vector<std::string>{"source.shop.crm.customers", "seed.shop.countries",
                                           "model.shop.stg_customers", "model.shop.revenue",
                                           "exposure.shop.board"}));
  EXPECT_EQ(data["edges"], Value::parse(R"([
      ["source.shop.crm.customers", "model.shop.stg_customers"],
      ["seed.shop.countries", "model.shop.stg_customers"],
      ["model.shop.stg_customers", "model.shop.revenue"],
      ["model.shop.revenue", "exposure.shop.board"]])"));

  const Value& source = entry(data, "source.shop.crm.customers");
  EXPECT_EQ(source["name"], "crm.customers");
  EXPECT_EQ(source["connection"], "crm");
  EXPECT_EQ(source["engine"], "sqlite");
  EXPECT_EQ(source["columns"][0]["type"], "integer");

  const Value& staged = entry(data, "model.shop.stg_customers");
  EXPECT_EQ(staged["path"], "duckdb_compute");
  EXPECT_EQ(staged["target"], "dev");
  EXPECT_EQ(staged["engine"], "duckdb");
  ASSERT_EQ(staged["extractions"].size(), 1u);
  EXPECT_EQ(staged["extractions"][0]["source"], "crm.customers");
  EXPECT_EQ(staged["extractions"][0]["engine"], "sqlite");
  EXPECT_EQ(staged["extractions"][0]["query"], R"(SELECT * FROM "main"."customers")");

  const Value& pushed = entry(data, "model.shop.revenue");
  EXPECT_EQ(pushed["path"], "default_pushdown");
  EXPECT_TRUE(pushed["extractions"].empty());  // runs where its data is: nothing is read
  EXPECT_THAT(data.dump(), Not(HasSubstr("hunter2")));
}

TEST_F(DocsSiteTest, PageIsOneFileWithTheLibraryAndNoTextOfTheProjectCanBreakOut) {
  std::filesystem::path path = write_site(input_, dir_.path() / "target");
  EXPECT_EQ(path, dir_.path() / "target" / "index.html");
  std::string html = site_html(site_data(input_));
  EXPECT_THAT(html, HasSubstr("cytoscape"));
  EXPECT_THAT(html, Not(HasSubstr("/*ZYL_")));
  // Nothing is fetched: no external script, style or image, and the page's policy forbids it.
  EXPECT_THAT(html, Not(HasSubstr("<script src")));
  EXPECT_THAT(html, Not(HasSubstr("<link")));
  EXPECT_THAT(html, HasSubstr("default-src 'none'"));
  // The compiled SQL's "</script>" stays inside its JSON string.
  EXPECT_THAT(html, Not(HasSubstr("</script><script>alert(1)")));
  EXPECT_THAT(html, HasSubstr("\\u003c/script>\\u003cscript>alert(1)"));
}

}  // namespace
}  // namespace zyl::tasks::docs_site
