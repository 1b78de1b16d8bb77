#include "brek/graph/graph.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace brek {
namespace {

using ::testing::HasSubstr;
using Ids = std::set<std::string>;

//   crm.orders ─> a ─┐
//              └─> f  ├─> c ─> d ─> e
//   erp.customers ─> b ┘
class SelectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    add_source("crm", "orders", {"raw"});
    add_source("erp", "customers", {});
    add_model("a", "staging", "table", {"daily"}, {"source.p.crm.orders"});
    add_model("b", "staging", "view", {}, {"source.p.erp.customers"});
    add_model("c", "marts", "incremental", {"daily", "finance"}, {"model.p.a", "model.p.b"});
    add_model("d", "marts", "view", {}, {"model.p.c"});
    add_model("e", "marts", "table", {}, {"model.p.d"});
    add_model("f", "other", "ephemeral", {}, {"source.p.crm.orders"});
    manifest_.find_node("model.p.e")->config.target = "warehouse";
  }

  void add_source(const std::string& source, const std::string& table,
                  std::vector<std::string> tags) {
    auto s = std::make_shared<SourceNode>();
    s->unique_id = "source.p." + source + "." + table;
    s->source_name = source;
    s->name = table;
    s->original_file_path = "models/sources.yml";
    s->tags = std::move(tags);
    manifest_.sources.set(s->unique_id, s);
  }

  void add_model(const std::string& name, const std::string& folder, const std::string& mat,
                 std::vector<std::string> tags, std::vector<std::string> deps) {
    auto n = std::make_shared<Node>();
    n->unique_id = "model.p." + name;
    n->name = name;
    n->resource_type = "model";
    n->original_file_path = "models/" + folder + "/" + name + ".sql";
    n->fqn = {"p", folder, name};
    n->tags = std::move(tags);
    n->config["materialized"] = mat;
    n->depends_on = DependsOn{std::move(deps), {}};
    manifest_.nodes.set(n->unique_id, n);
  }

  Ids select(std::vector<std::string> select, std::vector<std::string> exclude = {},
             std::vector<NodeType> types = {NodeType::Model}) {
    Graph graph = Graph::from_manifest(manifest_);
    ResourceTypeSelector selector(graph, manifest_, nullptr, std::move(types));
    Ids out;
    for (const std::string& id : selector.get_selected({std::move(select), std::move(exclude)})) {
      out.insert(id.substr(id.rfind('.') + 1));  // short names keep the table readable
    }
    return out;
  }

  Manifest manifest_;
};

TEST_F(SelectorTest, SelectsTheExpectedSets) {
  struct Case {
    std::vector<std::string> select;
    Ids expected;
  } cases[] = {
      {{}, {"a", "b", "c", "d", "e", "f"}},
      {{"c"}, {"c"}},
      {{"+c"}, {"a", "b", "c"}},
      {{"c+"}, {"c", "d", "e"}},
      {{"+c+"}, {"a", "b", "c", "d", "e"}},
      {{"1+d"}, {"c", "d"}},
      {{"2+e"}, {"c", "d", "e"}},
      {{"c+1"}, {"c", "d"}},
      {{"a b"}, {"a", "b"}},
      {{"a", "f"}, {"a", "f"}},
      {{"tag:daily"}, {"a", "c"}},
      {{"tag:fin*"}, {"c"}},
      {{"tag:daily,config.materialized:table"}, {"a"}},
      {{"tag:daily,c+"}, {"c"}},
      {{"path:models/marts"}, {"c", "d", "e"}},
      {{"path:models/marts/"}, {"c", "d", "e"}},
      {{"path:models/marts/d.sql"}, {"d"}},
      {{"models/staging"}, {"a", "b"}},
      {{"staging"}, {"a", "b"}},
      {{"p.marts.c"}, {"c"}},
      {{"[ab]"}, {"a", "b"}},
      {{"source:crm"}, {"a", "f"}},
      {{"source:crm.orders+"}, {"a", "c", "d", "e", "f"}},
      {{"source:erp"}, {"b"}},
      {{"source:nothing"}, {}},
      {{"config.materialized:incremental"}, {"c"}},
      {{"config.materialized:view"}, {"b", "d"}},
      {{"config.target:warehouse"}, {"e"}},
      {{"@b"}, {"a", "b", "c", "d", "e"}},
      {{"no_such_model"}, {}},
  };
  for (const Case& k : cases) {
    std::string shown = ::testing::PrintToString(k.select);
    EXPECT_EQ(select(k.select), k.expected) << shown;
  }
}

TEST_F(SelectorTest, ExcludeAndResourceTypes) {
  EXPECT_EQ(select({"+e"}, {"b"}), (Ids{"a", "c", "d", "e"}));
  EXPECT_EQ(select({}, {"c+"}), (Ids{"a", "b", "f"}));
  EXPECT_EQ(select({}, {"tag:daily config.materialized:ephemeral"}), (Ids{"b", "d", "e"}));
  EXPECT_EQ(select({"+a"}, {}, {NodeType::Model, NodeType::Source}), (Ids{"orders", "a"}));
  EXPECT_EQ(select({"tag:raw"}, {}, {NodeType::Source}), (Ids{"orders"}));
  EXPECT_EQ(select({"+c"}, {}, {NodeType::Source}), (Ids{"orders", "customers"}));
}

TEST_F(SelectorTest, UnreadableSelectorsAreRejected) {
  struct Case {
    const char* word;
    const char* message;
  } cases[] = {
      {"tag:", "nothing to select"},
      {"bogus:x", "unknown method 'bogus'"},
      {"++a", "misplaced '+' or '@'"},
      {"a++", "misplaced '+' or '@'"},
      {"a,,b", "empty part between commas"},
      {"@a+", "'@' cannot be combined with '+'"},
      {"state:modified", "state-based selection is not supported"},
      {":x", "a method name is missing"},
  };
  for (const Case& k : cases) {
    try {
      select({k.word});
      ADD_FAILURE() << "accepted: " << k.word;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr(k.message)) << k.word;
      EXPECT_THAT(e.what(), HasSubstr(std::string("'") + k.word + "'")) << k.word;
    }
  }
}

}  // namespace
}  // namespace brek
