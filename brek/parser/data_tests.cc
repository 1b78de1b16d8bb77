#include "brek/parser/data_tests.h"

#include <cctype>
#include <set>

#include "brek_common/exceptions.h"
#include "core/text.h"
#include "drivers/relation.h"

namespace brek::parser {
namespace {

using zyl::Value;

[[noreturn]] void fail(const std::string& message) { throw brek_common::CompilationError(message); }

const std::set<std::string> kKinds = {"not_null", "unique", "accepted_values", "relationships"};

std::string text_of(const Value& v) {
  return v.is_string() ? v.get<std::string>() : zyl::text_form(v);
}

// ref('name') or ref("name") -> name (blanks allowed around the parts); anything else as it is.
std::string ref_name(const std::string& text) {
  size_t i = 0;
  auto skip_blanks = [&] {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  };
  skip_blanks();
  if (text.compare(i, 3, "ref") != 0) return text;
  i += 3;
  skip_blanks();
  if (i >= text.size() || text[i] != '(') return text;
  ++i;
  skip_blanks();
  if (i >= text.size() || (text[i] != '\'' && text[i] != '"')) return text;
  char quote = text[i++];
  size_t close = text.find(quote, i);
  if (close == std::string::npos) return text;
  std::string name = text.substr(i, close - i);
  i = close + 1;
  skip_blanks();
  if (i >= text.size() || text[i] != ')') return text;
  ++i;
  skip_blanks();
  return i == text.size() ? name : text;
}

// The test's settings: those in its `config:` win over those written beside its arguments.
void read_settings(const Value& arguments, GenericTest& test, const std::string& where) {
  for (const Value* from : {&arguments, zyl::find(arguments, "config")}) {
    if (from == nullptr || !from->is_object()) continue;
    if (const Value* s = zyl::find(*from, "severity"); zyl::is_set(s)) {
      test.severity = zyl::text::to_lower(text_of(*s));
      if (test.severity != "error" && test.severity != "warn")
        fail(where + ": severity must be error or warn");
    }
    if (const Value* w = zyl::find(*from, "where"); zyl::is_set(w)) test.where = text_of(*w);
  }
}

GenericTest read_test(const Value& entry, const std::string& column, const std::string& where) {
  GenericTest test;
  test.column = column;
  Value arguments = Value::object();
  if (entry.is_string()) {
    test.kind = entry.get<std::string>();
  } else if (entry.is_object() && entry.size() == 1) {
    test.kind = entry.items().begin().key();
    arguments = entry.items().begin().value();
    if (!arguments.is_object() && !arguments.is_null())
      fail(where + ": test '" + test.kind + "' takes a map");
    if (const Value* nested = zyl::find(arguments, "arguments"); nested && nested->is_object()) {
      for (const auto& [k, v] : nested->items()) arguments[k] = v;
    }
  } else {
    fail(where + ": a test is a name or a map with one test name");
  }
  if (!kKinds.contains(test.kind)) {
    fail(where + ": unknown test '" + test.kind +
         "' (known: not_null, unique, accepted_values, relationships)");
  }
  std::string at = where + ", test " + test.kind;
  if (test.kind == "accepted_values") {
    const Value* values = zyl::find(arguments, "values");
    if (values == nullptr || !values->is_array() || values->empty())
      fail(at + ": 'values' must be a non-empty list");
    for (const Value& v : *values) test.values.push_back(text_of(v));
  }
  if (test.kind == "relationships") {
    const Value* to = zyl::find(arguments, "to");
    const Value* field = zyl::find(arguments, "field");
    if (!zyl::is_set(to) || !zyl::is_set(field)) fail(at + ": 'to' and 'field' are required");
    test.to = ref_name(text_of(*to));
    test.field = text_of(*field);
  }
  read_settings(arguments, test, at);
  return test;
}

std::string word(const std::string& text) {
  std::string out;
  for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

// `relation`, or only its rows matching `where`.
std::string rows_of(const std::string& relation, const std::optional<std::string>& where) {
  return where ? "(select * from " + relation + " where " + *where + ")" : relation;
}

}  // namespace

std::vector<GenericTest> column_tests(const Value& column, const std::string& where) {
  std::vector<GenericTest> out;
  std::string name = zyl::get_text(column, "name");
  for (const char* key : {"data_tests", "tests"}) {
    const Value* list = zyl::find(column, key);
    if (!zyl::is_set(list)) continue;
    if (!list->is_array()) fail(where + ", column '" + name + "': '" + key + "' must be a list");
    for (const Value& entry : *list)
      out.push_back(read_test(entry, name, where + ", column '" + name + "'"));
  }
  return out;
}

std::string test_name(const GenericTest& test, const std::string& model) {
  std::string name = test.kind + "_" + model + "_" + test.column;
  if (test.kind == "accepted_values") {
    for (const auto& v : test.values) name += "__" + v;
  }
  if (test.kind == "relationships") name += "__" + test.field + "__ref_" + test.to + "_";
  return word(name);
}

std::string generic_test_sql(const GenericTest& test, const std::string& engine,
                             const std::string& relation, const std::string& to_relation) {
  const std::string column = zyl::drivers::quote_identifier_for(engine, test.column);
  const std::string rows = rows_of(relation, test.where);
  if (test.kind == "not_null")
    return "select * from " + rows + " brek_t where " + column + " is null";
  if (test.kind == "unique") {
    return "select " + column + ", count(*) as n_records from " + rows + " brek_t where " + column +
           " is not null group by " + column + " having count(*) > 1";
  }
  if (test.kind == "accepted_values") {
    std::vector<std::string> literals;
    for (const auto& v : test.values)
      literals.push_back(zyl::drivers::string_literal_for(engine, v));
    // ClickHouse compares no number with a string literal: there the column's text is compared.
    const std::string compared = engine == "clickhouse" ? "toString(" + column + ")" : column;
    return "select * from " + rows + " brek_t where " + column + " is not null and " + compared +
           " not in (" + zyl::text::join(literals, ", ") + ")";
  }
  const std::string field = zyl::drivers::quote_identifier_for(engine, test.field);
  return "select c." + column + " from " + rows + " c left join " + to_relation + " p on c." +
         column + " = p." + field + " where c." + column + " is not null and p." + field +
         " is null";
}

Value test_metadata(const GenericTest& test, const std::string& model_id,
                    const std::string& to_id) {
  Value kwargs = {{"column_name", test.column}, {"model", model_id}};
  if (test.kind == "accepted_values") kwargs["values"] = test.values;
  if (test.kind == "relationships") {
    kwargs["to"] = to_id;
    kwargs["field"] = test.field;
  }
  return {{"name", test.kind}, {"kwargs", kwargs}};
}

GenericTest generic_test_of(const Value& metadata, const Value& config) {
  GenericTest test;
  test.kind = zyl::get_text(metadata, "name");
  const Value* kwargs = zyl::find(metadata, "kwargs");
  if (kwargs == nullptr) return test;
  test.column = zyl::get_text(*kwargs, "column_name");
  if (const Value* values = zyl::find(*kwargs, "values"); values && values->is_array()) {
    for (const Value& v : *values) test.values.push_back(text_of(v));
  }
  test.to = zyl::get_text(*kwargs, "to");
  test.field = zyl::get_text(*kwargs, "field");
  if (const Value* s = zyl::find(config, "severity"); zyl::is_set(s)) test.severity = text_of(*s);
  if (const Value* w = zyl::find(config, "where"); zyl::is_set(w)) test.where = text_of(*w);
  return test;
}

}  // namespace brek::parser
