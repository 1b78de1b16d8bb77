#include "zyl/sync/profiles_reader.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "core/yaml.h"

namespace zyl::sync::profiles_reader {
namespace {

namespace fs = std::filesystem;

void skip_blanks(std::string_view s, size_t& pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

bool take(std::string_view s, size_t& pos, std::string_view word) {
  if (s.substr(pos, word.size()) != word) return false;
  pos += word.size();
  return true;
}

std::optional<std::string> quoted(std::string_view s, size_t& pos) {
  if (pos >= s.size() || (s[pos] != '\'' && s[pos] != '"')) return std::nullopt;
  char quote = s[pos];
  size_t end = s.find(quote, pos + 1);
  if (end == std::string_view::npos) return std::nullopt;
  std::string value(s.substr(pos + 1, end - pos - 1));
  pos = end + 1;
  return value;
}

// Parses `env_var('NAME'[, 'default'])` between "{{" and "}}" starting at `pos` (just after the
// opening braces). Returns the variable's value, or nullopt when the text is no such expression.
std::optional<std::string> env_var_at(std::string_view s, size_t& pos) {
  size_t p = pos;
  skip_blanks(s, p);
  if (!take(s, p, "env_var")) return std::nullopt;
  skip_blanks(s, p);
  if (!take(s, p, "(")) return std::nullopt;
  skip_blanks(s, p);
  std::optional<std::string> name = quoted(s, p);
  if (!name) return std::nullopt;
  skip_blanks(s, p);
  std::optional<std::string> fallback;
  if (take(s, p, ",")) {
    skip_blanks(s, p);
    fallback = quoted(s, p);
    if (!fallback) return std::nullopt;
    skip_blanks(s, p);
  }
  if (!take(s, p, ")")) return std::nullopt;
  skip_blanks(s, p);
  if (!take(s, p, "}}")) return std::nullopt;
  pos = p;
  const char* value = std::getenv(name->c_str());
  if (value) return std::string(value);
  if (fallback) return *fallback;
  throw ProfilesError("environment variable '" + *name +
                      "' is not set and has no default (used in profiles.yml)");
}

void render_all(Value& value) {
  if (value.is_string()) {
    value = render_env_vars(value.get<std::string>());
  } else if (value.is_object() || value.is_array()) {
    for (auto& item : value) render_all(item);
  }
}

std::string home_dir() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return ".";
}

}  // namespace

std::string render_env_vars(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find("{{", pos);
    if (open == std::string::npos) break;
    out.append(text, pos, open - pos);
    size_t after = open + 2;
    if (std::optional<std::string> value = env_var_at(text, after)) {
      out += *value;
      pos = after;
    } else {
      out += "{{";
      pos = open + 2;
    }
  }
  out.append(text, pos, std::string::npos);
  return out;
}

std::string default_profiles_dir() {
  if (const char* dir = std::getenv("BREK_PROFILES_DIR"); dir && *dir) return dir;
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (!ec && fs::is_regular_file(cwd / "profiles.yml", ec)) return cwd.string();
  return (fs::path(home_dir()) / ".brek").string();
}

Value read_profiles_yml(const std::string& profiles_dir) {
  fs::path file = fs::path(profiles_dir) / "profiles.yml";
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) {
    throw ProfilesError("profiles.yml not found in " + profiles_dir);
  }
  Value doc;
  try {
    doc = yaml::load_file(file);
  } catch (const yaml::YamlError& e) {
    throw ProfilesError(std::string("malformed YAML in ") + e.what());
  } catch (const std::runtime_error& e) {
    throw ProfilesError(e.what());
  }
  if (doc.is_null()) return Value::object();
  if (!doc.is_object()) {
    throw ProfilesError(file.string() + ": profiles.yml must hold a map of profiles");
  }
  render_all(doc);
  return doc;
}

Value with_absolute_paths(Value profiles, const std::filesystem::path& base) {
  if (!profiles.is_object()) return profiles;
  for (auto& [profile_name, profile] : profiles.items()) {
    Value* outputs = find(profile, "outputs");
    if (outputs == nullptr || !outputs->is_object()) continue;
    for (auto& [name, output] : outputs->items()) {
      std::string type = get_text(output, "type");
      if (type != "duckdb" && type != "sqlite") continue;
      Value* path = find(output, "path");
      if (path == nullptr || !path->is_string()) continue;
      std::string text = path->get<std::string>();
      if (text.empty() || text == ":memory:" || std::filesystem::path(text).is_absolute()) continue;
      *path = (base / text).lexically_normal().string();
    }
  }
  return profiles;
}

}  // namespace zyl::sync::profiles_reader
