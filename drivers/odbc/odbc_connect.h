// Which outputs go through ODBC, and the connection string each one connects with.
//
// An output with `odbc_driver` (a driver name registered in odbcinst.ini) or `odbc_dsn` goes
// through ODBC whatever its type; the types in ODBC_ONLY_TYPES always do. Each type has its
// vendors' driver names, tried in order, and builds its connection attributes from the same
// profile keys its Sling URL mapper reads. `odbc_connection_string` replaces the built
// attributes. Secrets (passwords, tokens) are kept apart from the attributes, so the attributes
// and the driver name can go into a log line or a message:
//
//   ConnectPlan plan = plan_connection(output, project_dir);
//   std::string full = connection_string(plan, plan.drivers.front());  // holds the secrets
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.h"

namespace zyl::drivers::odbc {

// The adapter types that have no native driver and always go through ODBC.
extern const std::vector<std::string_view> ODBC_ONLY_TYPES;

// Whether `config` goes through ODBC. Thread-safe.
bool routes_through_odbc(const Value& config);

struct ConnectPlan {
  std::string type;                  // the output's adapter type
  std::vector<std::string> drivers;  // driver names to look for, preferred first; empty for a DSN
  std::string dsn;                   // `odbc_dsn`, or empty
  std::string attributes;            // "Server=h;Port=5432;" and so on, no secret among them
  std::vector<std::pair<std::string, std::string>> secrets;  // ("PWD", "...") pairs
};

// The plan for `config` (whose relative file paths are taken from `base_dir`), its attributes
// written for `driver` (FreeTDS spells some apart from Microsoft's driver), by default the first
// of the plan's drivers. Never throws for missing or oddly typed values: absent keys give the
// mapper's defaults.
ConnectPlan plan_connection(const Value& config, const std::filesystem::path& base_dir = ".",
                            std::string_view driver = "");

// The full connection string for `plan` with `driver` (ignored when the plan has a DSN),
// secrets included. Never log it.
std::string connection_string(const ConnectPlan& plan, std::string_view driver);

// One attribute as "name=value;", the value in braces when it holds a character that would end
// or confuse it (";", "{", "}", "=", a blank at either end), a "}" inside doubled.
std::string attribute(std::string_view name, std::string_view value);

// Every secret value of `plan`, for redacting messages.
std::vector<std::string> secret_values(const ConnectPlan& plan);

}  // namespace zyl::drivers::odbc
