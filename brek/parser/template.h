// The template language of model SQL: a small, strict subset of the usual one.
//
//   {{ ref('orders') }}  {{ source('crm', 'customers') }}  {{ this }}
//   {{ config(materialized='incremental', unique_key=['id'], tags=['daily']) }}
//   {% if is_incremental() and not var('full', false) %} ... {% elif ... %} ... {% else %}
//   ... {% endif %}   {{ var('name', 'default') }}  {{ env_var('NAME', 'default') }}
//   {# comment #}     {%- ... -%} / {{- ... -}} trim the whitespace beside the tag
//
// Expressions are literals (strings, integers, floats, true/false/none, lists), the names above,
// calls with positional and keyword arguments, `not`, `and`, `or` and parentheses. Anything else
// (filters, other tags, other names, operators) is a TemplateError naming file, line and column.
//
//   Template t = Template::parse(sql, "models/orders.sql");
//   std::string out = t.render(context);   // context resolves ref/source/this/config/...
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brek_common/exceptions.h"
#include "core/value.h"

namespace brek::parser {

struct Location {
  int line = 1;    // 1-based
  int column = 1;  // 1-based, in bytes
};

// A template that cannot be parsed or rendered. what() reads "<file>:<line>:<column>: <message>".
class TemplateError : public brek_common::CompilationError {
 public:
  TemplateError(std::string file, Location where, const std::string& message);
  const std::string& file() const { return file_; }
  Location where() const { return where_; }
  const std::string& detail() const { return detail_; }

 private:
  std::string file_;
  Location where_;
  std::string detail_;
};

// What the names of the language stand for. One context serves one render of one template.
// Methods may throw TemplateError (use `fail`) for unknown references and the like.
class TemplateContext {
 public:
  virtual ~TemplateContext() = default;
  // The relation text of a model.
  virtual std::string ref(const std::string& name, Location where) = 0;
  // The relation text of a source table.
  virtual std::string source(const std::string& source_name, const std::string& table,
                             Location where) = 0;
  // The relation text of the model being rendered.
  virtual std::string this_relation(Location where) = 0;
  // One config(...) call with its keyword arguments (an object, in call order).
  virtual void config(const zyl::Value& keywords, Location where) = 0;
  virtual bool is_incremental() = 0;
  // The value of the variable, or nullptr when it is not defined.
  virtual const zyl::Value* var(const std::string& name) = 0;
};

class Template {
 public:
  // Parses `text`; `file` is named in errors. Throws TemplateError.
  static Template parse(std::string_view text, std::string file);

  // Renders the template: text, expression values (strings as they are, other values in their
  // text form), the branch of each `if` whose condition holds. Throws TemplateError.
  std::string render(TemplateContext& context) const;

  // Evaluates every expression of every branch in text order without rendering: the way to
  // find all ref/source/config calls of a model whatever its conditions. `is_incremental()`
  // reads as false and the context's is_incremental is not called. Throws TemplateError.
  void visit_all(TemplateContext& context) const;

  const std::string& file() const { return file_; }

  struct Body;

 private:
  std::string file_;
  std::shared_ptr<const Body> body_;
};

// The Levenshtein distance of two strings (bytes). Used to suggest close names.
size_t edit_distance(std::string_view a, std::string_view b);

// The candidate nearest to `name` within a distance of about a third of its length, if any.
std::optional<std::string> closest_match(const std::string& name,
                                         const std::vector<std::string>& candidates);

}  // namespace brek::parser
