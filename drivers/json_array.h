// JSON arrays (the cell form of a List, drivers/driver.h) rewritten in an engine's own list
// syntax, keeping every element's text exactly: numbers as written (no trip through double),
// strings decoded from JSON's escapes, objects as their JSON text.
//
//   json_array_to(R"([1.50, "a\"b", null])", kPostgresArray)  ->  {"1.50","a\"b",NULL}
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zyl::drivers {

struct ListSyntax {
  char open;
  char close;
  std::string_view separator;
  std::string_view null;
  bool quote_scalars;  // numbers and booleans in quotes too
  char quote = '"';     // around strings and objects
  // Control characters in strings as backslash escapes (\n, \t, \r, \0, \b, \f), so that
  // the list text holds none raw.
  bool escape_controls = false;
};

// PostgreSQL's array literal: {"1","a",NULL}, every element quoted.
inline constexpr ListSyntax kPostgresArray{'{', '}', ",", "NULL", true};
// DuckDB's list text, as its VARCHAR-to-LIST cast reads it: [1, "a", NULL].
inline constexpr ListSyntax kDuckDBList{'[', ']', ", ", "NULL", false};
// ClickHouse's array text: [1,'a\'b',NULL], strings in single quotes with backslash escapes.
inline constexpr ListSyntax kClickHouseArray{'[', ']', ",", "NULL", false, '\'', true};

// `json` (a JSON array, possibly nested) in `syntax`: strings and objects in the syntax's
// quotes with the quote and '\' escaped by a backslash. nullopt when `json` is not a
// well-formed JSON array.
std::optional<std::string> json_array_to(std::string_view json, const ListSyntax& syntax);

}  // namespace zyl::drivers
