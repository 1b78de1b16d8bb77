#include "brek/parser/project.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "brek/parser/template.h"

namespace brek::parser {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

fs::path fixture_dir() {
  const char* root = std::getenv("ZYL_SOURCE_DIR");
  return fs::path(root ? root : ".") / "brek" / "parser" / "testdata" / "shop";
}

zyl::Value shop_profiles() {
  return zyl::Value::parse(R"({"shop": {"target": "dev", "outputs": {
    "dev": {"type": "duckdb", "path": "/data/dev.duckdb", "schema": "analytics"},
    "warehouse": {"type": "postgres", "dbname": "wh", "schema": "mart"},
    "pg_crm": {"type": "postgres", "dbname": "crm"},
    "mysql_erp": {"type": "mysql", "database": "erp"}}}})");
}

CompileContext shop_context(const Project& project) {
  CompileContext c;
  c.profiles = shop_profiles();
  c.default_target = "dev";
  c.vars = project.vars;
  c.source_connections.set("crm", "pg_crm");
  c.source_connections.set("erp", "mysql_erp");
  return c;
}

const Node& node(const Project& p, const std::string& name) {
  const Node* n = p.manifest.find_node("model.shop." + name);
  if (n == nullptr) throw std::runtime_error("no model " + name);
  return *n;
}

TEST(ProjectTest, LoadsTheFixtureProject) {
  Project p = load_project({.project_dir = fixture_dir()});
  EXPECT_EQ(p.name, "shop");
  EXPECT_EQ(p.profile, "shop");
  std::vector<std::string> ids;
  for (const auto& [id, _] : p.manifest.nodes) ids.push_back(id);
  EXPECT_THAT(ids, ElementsAre("model.shop.clicks_daily", "model.shop.customer_orders",
                               "model.shop.stg_active", "model.shop.stg_customers",
                               "model.shop.stg_orders"));

  const Node& orders = node(p, "customer_orders");
  // Direct references first, then what the inlined ephemeral models read.
  EXPECT_THAT(orders.depends_on->nodes,
              ElementsAre("model.shop.stg_orders", "model.shop.stg_active",
                          "model.shop.stg_customers", "source.shop.erp.customers"));
  EXPECT_EQ(orders.path, "marts/customer_orders.sql");
  EXPECT_EQ(orders.original_file_path, "models/marts/customer_orders.sql");
  EXPECT_THAT(orders.fqn, ElementsAre("shop", "marts", "customer_orders"));
  EXPECT_EQ(orders.description, "Orders with their customer");
  ASSERT_EQ(orders.columns.size(), 1u);
  EXPECT_THAT(orders.columns[0].tags, ElementsAre("pk"));
  // folder config < property file < config() in the model
  EXPECT_EQ(orders.get_materialization(), "incremental");
  EXPECT_EQ(orders.config.get("unique_key"), zyl::Value::parse(R"(["id"])"));
  EXPECT_EQ(orders.config.get("incremental_strategy"), "delete+insert");
  EXPECT_EQ(orders.config.get("schema"), "marts");
  EXPECT_EQ(orders.config.target, "warehouse");
  EXPECT_FALSE(orders.config._extra.contains("target"));
  EXPECT_THAT(orders.tags, ElementsAre("shop", "finance"));

  const Node& stg = node(p, "stg_orders");
  EXPECT_EQ(stg.get_materialization(), "table");
  EXPECT_THAT(stg.tags, ElementsAre("shop", "staging", "daily"));
  EXPECT_EQ(stg.config._extra.dump(), R"({"owner":"ops"})");
  EXPECT_THAT(stg.depends_on->nodes, ElementsAre("source.shop.crm.orders"));
  EXPECT_THAT(node(p, "clicks_daily").depends_on->nodes,
              ElementsAre("source.shop.events.clicks", "model.shop.stg_customers",
                          "source.shop.erp.customers"));
  EXPECT_EQ(node(p, "clicks_daily").get_materialization(), "view");

  const SourceNode* crm = p.manifest.find_source("source.shop.crm.orders");
  ASSERT_NE(crm, nullptr);
  EXPECT_EQ(crm->identifier, "raw_orders");
  EXPECT_EQ(crm->schema, "crm");  // defaults to the source name
  EXPECT_EQ(crm->loader, "sling");
  EXPECT_EQ(crm->source_description, "The CRM database");
  EXPECT_EQ(crm->description, "One row per order");
  EXPECT_EQ(crm->loaded_at_field, "updated_at");
  EXPECT_EQ(crm->source_meta.dump(), R"({"owner":"sales"})");
  EXPECT_EQ(p.manifest.find_source("source.shop.erp.customers")->identifier, "customers");
  EXPECT_THAT(p.manifest.find_source("source.shop.events.clicks")->tags, ElementsAre("web"));

  const auto* x = p.manifest.exposures.get("exposure.shop.revenue_dashboard");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ((*x)->type, "dashboard");
  EXPECT_THAT((*x)->depends_on.nodes,
              ElementsAre("model.shop.customer_orders", "source.shop.crm.orders"));
}

TEST(ProjectTest, CompilesTheFixtureToKnownSql) {
  ::setenv("BREK_FIXTURE_REGION", "us", 1);
  Project p = load_project({.project_dir = fixture_dir()});
  CompileContext c = shop_context(p);
  compile_manifest(p.manifest, c);

  const char* stg_customers_cte =
      "__brek_ephemeral_stg_customers as (\nselect id, name from `erp_main`.`customers`\n)";
  EXPECT_EQ(*node(p, "stg_orders").compiled_code,
            "\nselect id, customer_id, amount, updated_at\n"
            "from \"crm\".\"crm\".\"raw_orders\"\n"
            "where created_at >= '2024-01-01' \n");
  EXPECT_EQ(*node(p, "stg_active").compiled_code,
            std::string("with ") + stg_customers_cte +
                "\nselect * from __brek_ephemeral_stg_customers where name is not null\n");
  const std::string orders_ctes =
      std::string("with ") + stg_customers_cte +
      ",\n__brek_ephemeral_stg_active as (\n"
      "select * from __brek_ephemeral_stg_customers where name is not null\n)\n";
  const std::string orders_body =
      "\nselect o.id, c.name, o.amount, o.updated_at\n"
      "from \"dev\".\"analytics\".\"stg_orders\" o\n"
      "join __brek_ephemeral_stg_active c on c.id = o.customer_id\n"
      "where o.amount >= 10";
  EXPECT_EQ(*node(p, "customer_orders").compiled_code, orders_ctes + orders_body + "\n");
  EXPECT_EQ(*node(p, "clicks_daily").compiled_code,
            std::string("-- daily clicks\nwith ") + stg_customers_cte +
                ",\ndays as (\n"
                "  select cast(ts as date) as day, user_id from \"lake\".\"events\".\"clicks\"\n"
                ")\n"
                "select day, count(*) as clicks, 'us' as region\n"
                "from days join __brek_ephemeral_stg_customers c on c.id = days.user_id\n"
                "group by day\n");

  // Relations land on the nodes in the form they were rendered.
  const Node& orders = node(p, "customer_orders");
  EXPECT_EQ(orders.database, "wh");
  EXPECT_EQ(orders.schema, "marts");
  EXPECT_EQ(orders.relation_name, "\"wh\".\"marts\".\"customer_orders\"");
  EXPECT_EQ(node(p, "stg_customers").relation_name, std::nullopt);
  const SourceNode* erp = p.manifest.find_source("source.shop.erp.customers");
  EXPECT_EQ(erp->database, std::nullopt);
  EXPECT_EQ(erp->schema, "erp_main");

  // Incremental: the relation exists and no --full-refresh.
  std::vector<std::string> asked;
  c.relation_exists = [&](const Node& n) {
    asked.push_back(n.name);
    return true;
  };
  compile_manifest(p.manifest, c);
  EXPECT_EQ(*orders.compiled_code, orders_ctes + orders_body +
                                       "\n  and o.updated_at > (select max(updated_at) from "
                                       "\"wh\".\"marts\".\"customer_orders\")\n");
  EXPECT_THAT(asked, ElementsAre("customer_orders"));

  c.full_refresh = true;
  compile_manifest(p.manifest, c);
  EXPECT_EQ(*orders.compiled_code, orders_ctes + orders_body + "\n");

  c.full_refresh = false;
  c.vars["backfill"] = true;
  compile_manifest(p.manifest, c);
  EXPECT_EQ(*orders.compiled_code, orders_ctes + orders_body + "\n");

  // --target moves every model and every source without a connection.
  c.cli_target = "warehouse";
  compile_manifest(p.manifest, c);
  EXPECT_THAT(*node(p, "stg_orders").compiled_code, HasSubstr("\"crm\".\"crm\".\"raw_orders\""));
  EXPECT_THAT(*node(p, "clicks_daily").compiled_code, HasSubstr("\"lake\".\"events\".\"clicks\""));
  EXPECT_EQ(node(p, "stg_orders").relation_name, "\"wh\".\"mart\".\"stg_orders\"");
}

TEST(ProjectTest, CliVarsOverrideProjectVars) {
  Project p = load_project({.project_dir = fixture_dir(), .vars = {{"start_date", "2025-06-01"}}});
  compile_manifest(p.manifest, shop_context(p));
  EXPECT_THAT(*node(p, "stg_orders").compiled_code, HasSubstr("'2025-06-01'"));
  EXPECT_EQ(p.vars["min_amount"], 10);
}

// One model and one source on each kind of output: the text written and the node fields that
// the cross-engine layer builds its search candidates from.
TEST(ProjectTest, RelationFormsFollowTheAdapterType) {
  struct Case {
    const char* output;
    const char* model_relation;
    std::optional<std::string> database;
    std::string schema;
    const char* source_relation;
  } cases[] = {
      {R"({"type": "duckdb", "path": "dir/warehouse.duckdb"})", R"("warehouse"."main"."m")",
       "warehouse", "main", R"("warehouse"."src"."t")"},
      {R"({"type": "duckdb", "path": ":memory:", "schema": "s1"})", R"("memory"."s1"."m")",
       "memory", "s1", R"("memory"."src"."t")"},
      {R"({"type": "duckdb"})", R"("memory"."main"."m")", "memory", "main",
       R"("memory"."src"."t")"},
      {R"({"type": "postgres", "dbname": "db1"})", R"("db1"."public"."m")", "db1", "public",
       R"("db1"."src"."t")"},
      {R"({"type": "postgres", "database": "db2", "schema": "an"})", R"("db2"."an"."m")", "db2",
       "an", R"("db2"."src"."t")"},
      {R"({"type": "mysql", "database": "shop"})", "`shop`.`m`", std::nullopt, "shop", "`src`.`t`"},
      {R"({"type": "mariadb", "schema": "s", "database": "d"})", "`s`.`m`", std::nullopt, "s",
       "`src`.`t`"},
      {R"({"type": "sqlite", "path": "x.db", "schema": "ignored"})", R"("main"."m")", std::nullopt,
       "main", R"("main"."t")"},
      {R"({"type": "snowflake", "database": "DB", "schema": "S"})", R"("DB"."S"."m")", "DB", "S",
       R"("DB"."src"."t")"},
  };
  for (const Case& k : cases) {
    Manifest m;
    auto model = std::make_shared<Node>();
    model->unique_id = "model.p.m";
    model->name = "m";
    model->resource_type = "model";
    model->package_name = "p";
    model->raw_code = "select * from {{ source('src', 't') }} union all select * from {{ this }}";
    m.nodes.set(model->unique_id, model);
    auto source = std::make_shared<SourceNode>();
    source->unique_id = "source.p.src.t";
    source->source_name = "src";
    source->name = "t";
    source->identifier = "t";
    source->unrendered_schema = "src";
    m.sources.set(source->unique_id, source);
    CompileContext c;
    c.profiles = {{"p", {{"outputs", {{"out", zyl::Value::parse(k.output)}}}}}};
    c.default_target = "out";
    compile_manifest(m, c);
    EXPECT_EQ(model->relation_name, k.model_relation) << k.output;
    EXPECT_EQ(model->database, k.database) << k.output;
    EXPECT_EQ(model->schema, k.schema) << k.output;
    EXPECT_EQ(source->relation_name, k.source_relation) << k.output;
    EXPECT_EQ(*model->compiled_code, std::string("select * from ") + k.source_relation +
                                         " union all select * from " + k.model_relation)
        << k.output;
  }
}

// ---- errors -----------------------------------------------------------------------------------

class TempProject {
 public:
  TempProject() {
    dir_ = fs::temp_directory_path() /
           ("brek_parser_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write("brek_project.yml", "name: p\n");
  }
  ~TempProject() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void write(const std::string& rel, const std::string& text) {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel) << text;
  }
  const fs::path& dir() const { return dir_; }

  // The message of the CompilationError that loading (and compiling) throws, or "" if none.
  std::string error(const CompileContext* context = nullptr) const {
    try {
      Project p = load_project({.project_dir = dir_});
      if (context != nullptr) compile_manifest(p.manifest, *context);
    } catch (const brek_common::CompilationError& e) {
      return e.what();
    }
    return "";
  }

 private:
  static inline int counter_ = 0;
  fs::path dir_;
};

TEST(ProjectErrorTest, EachBadProjectGetsAMessageToActOn) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    const char* message;
  } cases[] = {
      {"duplicate model names name both files",
       {{"models/a/orders.sql", "select 1"}, {"models/b/orders.sql", "select 2"}},
       "two models are named 'orders': models/a/orders.sql and models/b/orders.sql"},
      {"names that differ only in case share a table on case-insensitive engines",
       {{"models/Orders.sql", "select 1"}, {"seeds/orders.csv", "id\n1\n"}},
       "'orders' (seeds/orders.csv) and a model or seed of models/Orders.sql differ only in case"},
      {"a malformed data test names its file and column",
       {{"models/o.sql", "select 1 as id"},
        {"models/o.yml", "models:\n  - name: o\n    columns:\n      - name: id\n"
                         "        data_tests: [not_nul]\n"}},
       "models/o.yml, model 'o', column 'id': unknown test 'not_nul'"},
      {"unknown ref with a close match",
       {{"models/customers.sql", "select 1"},
        {"models/report.sql", "select *\nfrom {{ ref('custmers') }}"}},
       "model 'report' (models/report.sql:2:9) refers to model 'custmers', which does not exist. "
       "Did you mean 'customers'?"},
      {"unknown ref without a close match",
       {{"models/report.sql", "select * from {{ ref('inventory') }}"}},
       "refers to model 'inventory', which does not exist"},
      {"unknown source with a close match",
       {{"models/s.yml", "sources:\n  - name: crm\n    tables:\n      - name: orders\n"},
        {"models/report.sql", "select * from {{ source('crm', 'order') }}"}},
       "model 'report' (models/report.sql:1:18) refers to source 'crm.order', which does not "
       "exist. Did you mean 'crm.orders'?"},
      {"ref to a disabled model",
       {{"models/old.sql", "{{ config(enabled=false) }}select 1"},
        {"models/report.sql", "select * from {{ ref('old') }}"}},
       "refers to model 'old', which is disabled"},
      {"a cycle is printed",
       {{"models/a.sql", "select * from {{ ref('b') }}"},
        {"models/b.sql", "select * from {{ ref('c') }}"},
        {"models/c.sql", "select * from {{ ref('a') }}"}},
       "dependency cycle: model.p.a -> model.p.b -> model.p.c -> model.p.a"},
      {"a model reading itself is a cycle",
       {{"models/a.sql", "select * from {{ ref('a') }}"}},
       "dependency cycle: model.p.a -> model.p.a"},
      {"template fault while loading",
       {{"models/a.sql", "select 1\n{% for x in y %}"}},
       "models/a.sql:2:4: unknown tag 'for'"},
      {"bad materialization",
       {{"models/a.sql", "{{ config(materialized='tabel') }}select 1"}},
       "models/a.sql:1:4: materialized must be one of view, table, incremental, ephemeral; got "
       "tabel"},
      {"malformed property file",
       {{"models/s.yml", "sources: [\n"}},
       "models/s.yml: malformed YAML"},
      {"source without a name",
       {{"models/s.yml", "sources:\n  - tables: []\n"}},
       "models/s.yml: a source without a name"},
      {"duplicate source table",
       {{"models/s.yml", "sources:\n  - name: crm\n    tables: [{name: a}, {name: a}]\n"}},
       "source 'crm.a' is defined twice"},
      {"model described twice",
       {{"models/a.sql", "select 1"},
        {"models/x.yml", "models: [{name: a}]"},
        {"models/y.yml", "models: [{name: a}]"}},
       "model 'a' is described twice: in models/x.yml and in models/y.yml"},
      {"exposure with an unknown ref",
       {{"models/orders.sql", "select 1"},
        {"models/x.yml",
         "exposures:\n  - name: d\n    type: dashboard\n    owner: {name: me}\n"
         "    depends_on: [\"ref('ordrs')\"]\n"}},
       "exposure 'd' (models/x.yml) refers to model 'ordrs', which does not exist. Did you mean "
       "'orders'?"},
      {"exposure with a bad type",
       {{"models/x.yml", "exposures:\n  - name: d\n    type: report\n    owner: {name: me}\n"}},
       "models/x.yml, exposure 'd': 'type' must be one of dashboard"},
  };
  for (const Case& k : cases) {
    TempProject project;
    for (const auto& [rel, text] : k.files) project.write(rel, text);
    EXPECT_THAT(project.error(), HasSubstr(k.message)) << k.name;
  }
}

TEST(ProjectErrorTest, ProjectFileProblems) {
  TempProject project;
  fs::remove(project.dir() / "brek_project.yml");
  EXPECT_THAT(project.error(), HasSubstr("no brek_project.yml in"));
  project.write("brek_project.yml", "profile: x\n");
  EXPECT_THAT(project.error(), HasSubstr("brek_project.yml: 'name' is required"));
  project.write("brek_project.yml", "name: p\nmodel-paths: {a: 1}\n");
  EXPECT_THAT(project.error(), HasSubstr("'model-paths' must be a string or a list of strings"));
}

TEST(ProjectErrorTest, OutputsMissingFromTheProfiles) {
  TempProject project;
  project.write("models/a.sql", "{{ config(target='nowhere') }}select 1");
  CompileContext c;
  c.profiles = {{"p", {{"outputs", {{"dev", {{"type", "duckdb"}}}}}}}};
  c.default_target = "dev";
  EXPECT_THAT(project.error(&c),
              HasSubstr("model 'a' (models/a.sql) runs on target 'nowhere', which is not an "
                        "output in profiles.yml"));

  TempProject sources;
  sources.write("models/s.yml", "sources: [{name: crm, tables: [{name: t}]}]");
  c.source_connections.set("crm", "pg_gone");
  EXPECT_THAT(sources.error(&c),
              HasSubstr("source 'crm' (models/s.yml) lives on output 'pg_gone', which is not in "
                        "profiles.yml"));
}

TEST(ProjectTest, ReferencesAreListedOnceInOrderOfFirstUse) {
  TempProject project;
  project.write("models/s.yml", "sources: [{name: crm, tables: [{name: t}]}]");
  project.write("models/a.sql", "select 1");
  project.write("models/b.sql",
                "select * from {{ source('crm', 't') }} join {{ ref('a') }}\n"
                "union all select * from {{ source('crm', 't') }}");
  Project p = load_project({.project_dir = project.dir()});
  EXPECT_THAT(p.manifest.find_node("model.p.b")->depends_on->nodes,
              ElementsAre("source.p.crm.t", "model.p.a"));
}

TEST(ProjectTest, EphemeralModelsJoinALeadingWithClause) {
  TempProject project;
  project.write("models/e.sql", "{{ config(materialized='ephemeral') }}select 1 as n;\n");
  project.write(
      "models/r.sql",
      "/* header */ WITH RECURSIVE t(n) AS (select n from {{ ref('e') }}) select * from t");
  project.write("models/plain.sql", "select * from {{ ref('e') }} x");
  Project p = load_project({.project_dir = project.dir()});
  CompileContext c;
  c.profiles = {{"p", {{"outputs", {{"dev", {{"type", "duckdb"}}}}}}}};
  c.default_target = "dev";
  compile_manifest(p.manifest, c);
  EXPECT_EQ(*p.manifest.find_node("model.p.r")->compiled_code,
            "/* header */ WITH RECURSIVE __brek_ephemeral_e as (\nselect 1 as n\n),\n"
            "t(n) AS (select n from __brek_ephemeral_e) select * from t");
  EXPECT_EQ(*p.manifest.find_node("model.p.plain")->compiled_code,
            "with __brek_ephemeral_e as (\nselect 1 as n\n)\nselect * from __brek_ephemeral_e x");
}

TEST(ProjectTest, WritesTheManifestAndCompiledFiles) {
  Project p = load_project({.project_dir = fixture_dir()});
  compile_manifest(p.manifest, shop_context(p));
  TempProject out;
  write_manifest(p.manifest, out.dir() / "target" / "manifest.json", p.name);
  write_compiled_sql(p.manifest, p.name, out.dir() / "target");

  std::ifstream in(out.dir() / "target" / "manifest.json");
  zyl::Value doc = zyl::Value::parse(in);
  EXPECT_EQ(doc["metadata"]["project_name"], "shop");
  const zyl::Value& orders = doc["nodes"]["model.shop.customer_orders"];
  EXPECT_EQ(orders["relation_name"], "\"wh\".\"marts\".\"customer_orders\"");
  EXPECT_EQ(orders["config"]["target"], "warehouse");
  EXPECT_EQ(orders["config"]["materialized"], "incremental");
  EXPECT_EQ(orders["depends_on"]["nodes"],
            zyl::Value::parse(R"(["model.shop.stg_orders", "model.shop.stg_active",
                                   "model.shop.stg_customers", "source.shop.erp.customers"])"));
  const zyl::Value& crm = doc["sources"]["source.shop.crm.orders"];
  EXPECT_EQ(crm["relation_name"], "\"crm\".\"crm\".\"raw_orders\"");
  EXPECT_EQ(crm["identifier"], "raw_orders");
  EXPECT_EQ(crm["resource_type"], "source");
  EXPECT_EQ(crm["source_meta"]["owner"], "sales");
  EXPECT_EQ(crm["columns"]["id"]["data_type"], "integer");
  const zyl::Value& dashboard = doc["exposures"]["exposure.shop.revenue_dashboard"];
  EXPECT_EQ(dashboard["type"], "dashboard");
  EXPECT_EQ(dashboard["maturity"], "high");
  EXPECT_EQ(dashboard["owner"]["email"], "finance@example.invalid");
  EXPECT_EQ(dashboard["refs"][0]["name"], "customer_orders");
  EXPECT_EQ(dashboard["sources"], zyl::Value::parse(R"([["crm", "orders"]])"));
  EXPECT_EQ(doc["child_map"]["source.shop.crm.orders"],
            zyl::Value::parse(R"(["model.shop.stg_orders", "exposure.shop.revenue_dashboard"])"));

  std::ifstream sql(out.dir() / "target" / "compiled" / "shop" / "models" / "staging" /
                    "stg_orders.sql");
  std::stringstream ss;
  ss << sql.rdbuf();
  EXPECT_EQ(ss.str(), *node(p, "stg_orders").compiled_code);
}

// Two profiles that share output names, the other one first in the file: the project's own
// outputs place the models; a configured schema holds on a non-default target.
TEST(ProjectTest, OwnProfileOutputsAndConfiguredSchemaPlaceModels) {
  Manifest m;
  auto add = [&](const std::string& name, const std::string& raw) {
    auto model = std::make_shared<Node>();
    model->unique_id = "model.p." + name;
    model->name = name;
    model->resource_type = "model";
    model->package_name = "p";
    model->raw_code = raw;
    m.nodes.set(model->unique_id, model);
    return model;
  };
  auto custom = add("Orders", "select 1");
  custom->config.target = "pg";
  custom->config["schema"] = "rt_reporting";
  auto plain = add("order", "select * from {{ ref('Orders') }}");
  plain->config.target = "pg";
  CompileContext c;
  c.profiles = zyl::Value::parse(R"({
    "other": {"outputs": {"pg": {"type": "postgres", "dbname": "theirs", "schema": "them"}}},
    "p": {"outputs": {"pg": {"type": "postgres", "dbname": "ours", "schema": "us"},
                      "dev": {"type": "duckdb"}}}})");
  c.own_profile = "p";
  c.default_target = "dev";
  compile_manifest(m, c);
  EXPECT_EQ(custom->relation_name, R"("ours"."rt_reporting"."Orders")");
  EXPECT_EQ(plain->relation_name, R"("ours"."us"."order")");
  EXPECT_EQ(*plain->compiled_code, R"(select * from "ours"."rt_reporting"."Orders")");
}

}  // namespace
}  // namespace brek::parser
