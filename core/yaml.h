// Safe YAML loading into `Value`.
//
// Scalars are resolved with the YAML 1.2 core schema (null, booleans, decimal/octal/hex
// integers, floats, .inf/.nan); quoted scalars are always strings. Only maps, lists and scalars
// come out: no tags are honoured and no objects are constructed. Maps keep their order; for a
// duplicate key the last value wins. Aliases are resolved. An empty document is null.
//
//   zyl::Value doc = zyl::yaml::load_file("profiles.yml");   // throws YamlError
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/value.h"

namespace zyl::yaml {

// Malformed YAML (or YAML nested too deeply). what() names the source and the 1-based line.
class YamlError : public std::runtime_error {
 public:
  YamlError(const std::string& source, int line, const std::string& message);
  const std::string& source() const { return source_; }
  int line() const { return line_; }  // 0 when unknown

 private:
  std::string source_;
  int line_;
};

// Parses the first document of `text`. `source_name` appears in error messages.
// Throws YamlError. Thread-safe.
Value parse(std::string_view text, std::string_view source_name = "<string>");

// Reads and parses a file. Throws std::runtime_error when it cannot be read, YamlError when it is
// malformed. Thread-safe.
Value load_file(const std::filesystem::path& path);

// Resolves one plain (unquoted) scalar with the core schema. Throws std::out_of_range for a
// number beyond the range of a double. Exposed for tests.
Value resolve_plain_scalar(const std::string& text);

}  // namespace zyl::yaml
