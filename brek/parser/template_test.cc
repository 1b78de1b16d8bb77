#include "brek/parser/template.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace brek::parser {
namespace {

using ::testing::HasSubstr;

// Renders references as tagged text so that tests can see what was called with what.
class FakeContext final : public TemplateContext {
 public:
  std::string ref(const std::string& name, Location) override {
    calls.push_back("ref:" + name);
    return "R(" + name + ")";
  }
  std::string source(const std::string& s, const std::string& t, Location) override {
    calls.push_back("source:" + s + "." + t);
    return "S(" + s + "." + t + ")";
  }
  std::string this_relation(Location) override { return "THIS"; }
  void config(const zyl::Value& keywords, Location) override { configs.push_back(keywords); }
  bool is_incremental() override { return incremental; }
  const zyl::Value* var(const std::string& name) override { return zyl::find(vars, name); }

  bool incremental = false;
  zyl::Value vars = zyl::Value::object();
  std::vector<std::string> calls;
  std::vector<zyl::Value> configs;
};

std::string render(const std::string& text, FakeContext& context) {
  return Template::parse(text, "m.sql").render(context);
}

TEST(TemplateTest, RendersReferencesLiteralsAndComments) {
  FakeContext c;
  c.vars = {{"days", 3}, {"flag", true}};
  ::setenv("BREK_TEMPLATE_TEST_VAR", "from-env", 1);
  ::unsetenv("BREK_TEMPLATE_TEST_MISSING");
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"select * from {{ ref('orders') }}", "select * from R(orders)"},
      {"{{ ref(\"pkg\", \"orders\") }}", "R(orders)"},
      {"{{source('crm','customers')}} x", "S(crm.customers) x"},
      {"{{ this }}", "THIS"},
      {"a{# {{ ref('hidden') }} #}b", "ab"},
      {"{{ var('days') }} {{ var('missing', 'dflt') }} {{ var('flag') }}", "3 dflt True"},
      {"{{ env_var('BREK_TEMPLATE_TEST_VAR') }}", "from-env"},
      {"{{ env_var('BREK_TEMPLATE_TEST_MISSING', 'fallback') }}", "fallback"},
      {"{{ 'it\\'s' }} {{ 1.5 }} {{ -2 }} {{ none }} {{ [1, 'a'] }}", "it's 1.5 -2 None [1, 'a']"},
      {"x{{ config(materialized='table') }}y", "xy"},
      {"no tags at all { } %", "no tags at all { } %"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(render(k.text, c), k.expected) << k.text;
  }
}

TEST(TemplateTest, ConditionsWithNotAndOrAndElif) {
  const std::string text =
      "{% if is_incremental() %}INC{% elif var('alt', false) %}ALT{% else %}FULL{% endif %}";
  FakeContext c;
  EXPECT_EQ(render(text, c), "FULL");
  c.vars["alt"] = "yes";
  EXPECT_EQ(render(text, c), "ALT");
  c.incremental = true;
  EXPECT_EQ(render(text, c), "INC");

  struct Case {
    const char* condition;
    bool incremental;
    bool expected;
  } cases[] = {
      {"not is_incremental()", false, true},     {"not is_incremental()", true, false},
      {"is_incremental() and true", true, true}, {"is_incremental() and false", true, false},
      {"is_incremental() or 1", false, true},    {"not (false or 0)", false, true},
      {"not not is_incremental()", true, true},  {"'' or []", false, false},
  };
  for (const Case& k : cases) {
    FakeContext d;
    d.incremental = k.incremental;
    std::string t = std::string("{% if ") + k.condition + " %}Y{% else %}N{% endif %}";
    EXPECT_EQ(render(t, d), k.expected ? "Y" : "N") << k.condition;
  }
}

TEST(TemplateTest, WhitespaceControlTrimsOnlyTheMarkedSide) {
  FakeContext c;
  EXPECT_EQ(render("a  \n  {%- if true -%}  \n b \n {%- endif %}\nc", c), "ab\nc");
  EXPECT_EQ(render("a \n{{- ref('x') -}}\n b", c), "aR(x)b");
  EXPECT_EQ(render("a \n{#- note -#}\n b", c), "ab");
  EXPECT_EQ(render("a \n{% if true %}\nb{% endif %}", c), "a \n\nb");
}

TEST(TemplateTest, ConfigCallsCarryTypedKeywordArguments) {
  FakeContext c;
  c.vars["strategy"] = "merge";
  render(
      "{{ config(materialized='incremental', unique_key=['id', 'day'], enabled=true, "
      "threads=4, ratio=0.5, incremental_strategy=var('strategy')) }}",
      c);
  ASSERT_EQ(c.configs.size(), 1u);
  EXPECT_EQ(c.configs[0].dump(),
            R"({"materialized":"incremental","unique_key":["id","day"],"enabled":true,)"
            R"("threads":4,"ratio":0.5,"incremental_strategy":"merge"})");
}

TEST(TemplateTest, VisitAllSeesEveryBranchInTextOrder) {
  FakeContext c;
  c.incremental = true;  // must not matter
  Template::parse(
      "{{ ref('a') }}{% if is_incremental() %}{{ source('s', 't') }}{% else %}{{ ref('b') }}"
      "{% endif %}{% if var('never', false) and ref('c') %}{% endif %}",
      "m.sql")
      .visit_all(c);
  EXPECT_EQ(c.calls, (std::vector<std::string>{"ref:a", "source:s.t", "ref:b", "ref:c"}));
}

TEST(TemplateTest, FaultsNameFileLineAndColumn) {
  struct Case {
    const char* text;
    int line;
    int column;
    const char* message;
  } cases[] = {
      {"select\n  {{ foo }}", 2, 6, "unknown name 'foo'"},
      {"{{ macro_x() }}", 1, 4, "unknown function 'macro_x'"},
      {"x\n{% for i in y %}{% endfor %}", 2, 4, "unknown tag 'for'"},
      {"{{ ref('a') | upper }}", 1, 13, "filters ('|') are not supported"},
      {"{{ this.schema }}", 1, 8, "attribute access ('.') is not supported"},
      {"{% if x == 1 %}{% endif %}", 1, 9, "operator '==' is not supported"},
      {"ab {{ ref('a')", 1, 4, "tag is not closed: expected '}}'"},
      {"{# never closed", 1, 1, "comment is not closed"},
      {"\n\n   {% if true %}open", 3, 4, "'if' is not closed: expected 'endif'"},
      {"{% endif %}", 1, 1, "unexpected 'endif'"},
      {"{% if true %}{% else %}{% elif true %}{% endif %}", 1, 24, "'elif' after 'else'"},
      {"{{ ref(1) }}", 1, 8, "the model name of ref() must be a string"},
      {"{{ source('only') }}", 1, 4, "usage: source('source_name', 'table_name')"},
      {"{{ config('table') }}", 1, 4, "config() takes keyword arguments only"},
      {"{{ ref }}", 1, 4, "'ref' must be called"},
      {"{{ }}", 1, 1, "empty expression"},
      {"{{ ref('a') ref('b') }}", 1, 13, "unexpected 'ref' after expression"},
      {"{{ 'open }}", 1, 4, "string is not closed"},
      {"{{ var('undefined') }}", 1, 4, "required variable 'undefined' is not defined"},
      {"{{ env_var('BREK_TEMPLATE_TEST_MISSING') }}", 1, 4,
       "environment variable 'BREK_TEMPLATE_TEST_MISSING' is not set"},
  };
  ::unsetenv("BREK_TEMPLATE_TEST_MISSING");
  for (const Case& k : cases) {
    FakeContext c;
    try {
      render(k.text, c);
      ADD_FAILURE() << "no error for: " << k.text;
    } catch (const TemplateError& e) {
      EXPECT_EQ(e.file(), "m.sql");
      EXPECT_EQ(e.where().line, k.line) << k.text;
      EXPECT_EQ(e.where().column, k.column) << k.text;
      EXPECT_THAT(e.detail(), HasSubstr(k.message)) << k.text;
      EXPECT_THAT(std::string(e.what()),
                  HasSubstr("m.sql:" + std::to_string(k.line) + ":" + std::to_string(k.column)));
    }
  }
}

TEST(TemplateTest, ClosestMatchSuggestsOnlyNearNames) {
  std::vector<std::string> names = {"customers", "orders", "stg_payments"};
  EXPECT_EQ(closest_match("custmers", names), "customers");
  EXPECT_EQ(closest_match("order", names), "orders");
  EXPECT_EQ(closest_match("stg_paymnets", names), "stg_payments");
  EXPECT_EQ(closest_match("inventory", names), std::nullopt);
  EXPECT_EQ(edit_distance("kitten", "sitting"), 3u);
  EXPECT_EQ(edit_distance("", "abc"), 3u);
}

}  // namespace
}  // namespace brek::parser
