// Dynamic values and the three rules every module leans on when it reads one.
//
// Output configs, profiles, YAML documents, state files and result records are all `Value`s
// (an insertion-ordered JSON value). This header owns how a value reads as text, whether it
// counts as set, and how a key is looked up with fallback, so that no module reinvents them.
//
//   Value c = {{"type", "postgres"}, {"port", 5432}};
//   text_form(c["port"]);                  // "5432"
//   const Value* pw = lookup(c, {"password", "pass"});   // nullptr: neither key present
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zyl {

using Value = nlohmann::ordered_json;

// The text form of a value, as it reads in a message or a URL: a string unchanged, an integer
// in decimal, booleans "True"/"False", null "None", a float in the shortest form that reads back
// the same with at least one digit after the point ("5432.0", "1e+16", "inf"), a list as
// "['a', 1]" and a map as "{'k': 'v'}". Never throws. Thread-safe.
std::string text_form(const Value& value);

// Truthiness: null, false, zero, an empty string, an empty list or map are not set; everything
// else is. A missing key is not set either (pass nullptr). Thread-safe.
bool is_set(const Value& value);
bool is_set(const Value* value);

// The entry `key` of `map`, or nullptr when `map` is not an object or has no such key.
// The pointer is valid as long as `map` is not modified.
const Value* find(const Value& map, std::string_view key);
Value* find(Value& map, std::string_view key);

// Lookup with fallback: the entry of the first key that is present in `map`, whatever its value
// (a present null stops the chain); nullptr when none is present or `map` is not an object.
const Value* lookup(const Value& map, std::initializer_list<std::string_view> keys);

// The text form of the entry `key`, or `fallback` when the key is missing or holds null.
std::string get_text(const Value& map, std::string_view key, std::string_view fallback = "");

// The string held by `value` when it is a string, else nullopt.
std::optional<std::string> as_string(const Value* value);

}  // namespace zyl
