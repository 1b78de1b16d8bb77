#include <array>
#include <sstream>

#include "zyl/config/compass.h"

namespace zyl::config::compass {
namespace {

struct PathInfo {
  ExecutionPath path;
  std::string_view value;
  std::string_view name;
};

constexpr std::array<PathInfo, 4> kPaths = {{
    {ExecutionPath::DEFAULT_PUSHDOWN, "default_pushdown", "DEFAULT_PUSHDOWN"},
    {ExecutionPath::NON_DEFAULT_PUSHDOWN, "non_default_pushdown", "NON_DEFAULT_PUSHDOWN"},
    {ExecutionPath::SLING_DIRECT, "sling_direct", "SLING_DIRECT"},
    {ExecutionPath::DUCKDB_COMPUTE, "duckdb_compute", "DUCKDB_COMPUTE"},
}};

std::string optional_text(const std::optional<std::string>& v) {
  return v ? "'" + *v + "'" : "None";
}

}  // namespace

std::string_view value(ExecutionPath path) {
  for (const auto& p : kPaths) {
    if (p.path == path) return p.value;
  }
  return "";
}

std::string_view name(ExecutionPath path) {
  for (const auto& p : kPaths) {
    if (p.path == path) return p.name;
  }
  return "";
}

std::optional<ExecutionPath> from_value(std::string_view v) {
  for (const auto& p : kPaths) {
    if (p.value == v) return p.path;
  }
  return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, ExecutionPath path) {
  return out << "ExecutionPath." << name(path);
}

std::string to_string(const RemoteSource& s) {
  return "RemoteSource(source_unique_id='" + s.source_unique_id + "', source_name='" +
         s.source_name + "', table_name='" + s.table_name + "', connection='" + s.connection +
         "', schema=" + optional_text(s.schema) + ", identifier=" + optional_text(s.identifier) +
         ")";
}

std::string to_string(const ResolvedModel& m) {
  std::ostringstream out;
  out << "ResolvedModel(model_unique_id='" << m.model_unique_id << "', model_name='"
      << m.model_name << "', target='" << m.target << "', execution_path=" << m.execution_path
      << ", remote_sources=[";
  for (size_t i = 0; i < m.remote_sources.size(); ++i) {
    out << (i ? ", " : "") << to_string(m.remote_sources[i]);
  }
  out << "], remote_refs=[";
  for (size_t i = 0; i < m.remote_refs.size(); ++i) {
    out << (i ? ", " : "") << "'" << m.remote_refs[i] << "'";
  }
  out << "])";
  return out.str();
}

std::ostream& operator<<(std::ostream& out, const RemoteSource& s) { return out << to_string(s); }
std::ostream& operator<<(std::ostream& out, const ResolvedModel& m) { return out << to_string(m); }

}  // namespace zyl::config::compass
