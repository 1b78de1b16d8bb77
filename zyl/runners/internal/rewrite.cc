#include "zyl/runners/internal/rewrite.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstddef>

#include "core/text.h"
#include "drivers/relation.h"

namespace zyl::runners::internal {
namespace {

// Length in UTF-8 code points (continuation bytes are not counted).
std::size_t char_length(std::string_view s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether `upper` (already upper-cased) holds WHERE as a word of its own.
bool has_where_word(std::string_view upper) {
  constexpr std::string_view kWhere = "WHERE";
  for (std::size_t at = upper.find(kWhere); at != std::string_view::npos;
       at = upper.find(kWhere, at + 1)) {
    bool starts = at == 0 || !is_word_char(upper[at - 1]);
    std::size_t end = at + kWhere.size();
    bool ends = end == upper.size() || !is_word_char(upper[end]);
    if (starts && ends) return true;
  }
  return false;
}

std::string in_quotes(std::string_view part) { return "\"" + std::string(part) + "\""; }

}  // namespace

std::vector<std::string> reference_candidates(std::string_view database, std::string_view schema,
                                              std::string_view name) {
  std::vector<std::string> candidates;
  if (schema.empty()) return candidates;
  std::string d(database), s(schema), n(name);
  if (!database.empty()) {
    candidates.push_back(in_quotes(d) + "." + in_quotes(s) + "." + in_quotes(n));
    candidates.push_back(d + "." + s + "." + n);
  }
  candidates.push_back(in_quotes(s) + "." + in_quotes(n));
  candidates.push_back(s + "." + n);
  return candidates;
}

std::optional<std::string> first_occurring(const std::vector<std::string>& candidates,
                                           std::string_view sql) {
  for (const auto& candidate : candidates) {
    if (sql.find(candidate) != std::string_view::npos) return candidate;
  }
  return std::nullopt;
}

bool enter_reference(Replacements& replacements, const std::vector<std::string>& candidates,
                     std::string_view sql, const std::string& cache_table) {
  std::optional<std::string> found = first_occurring(candidates, sql);
  if (!found) return false;
  replacements.set(*found, cache_table);
  return true;
}

std::string apply_replacements(std::string_view sql, const Replacements& replacements) {
  std::vector<const Replacements::value_type*> ordered;
  for (const auto& entry : replacements) ordered.push_back(&entry);
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) {
    return char_length(a->first) > char_length(b->first);
  });
  std::string out(sql);
  for (const auto* entry : ordered) {
    if (entry->first.empty()) continue;
    out = text::replace_all(out, entry->first, entry->second);
  }
  return out;
}

std::string replace_self_reference(std::string_view sql, std::string_view database,
                                   std::string_view schema, std::string_view name,
                                   std::string_view model_cache_table) {
  std::optional<std::string> found =
      first_occurring(reference_candidates(database, schema, name), sql);
  if (!found) return std::string(sql);
  return text::replace_all(sql, *found, model_cache_table);
}

std::string strip_stale_incremental_filter(std::string_view sql,
                                           std::string_view model_cache_table) {
  RE2::Options options;
  options.set_case_sensitive(false);
  options.set_dot_nl(true);
  options.set_log_errors(false);
  RE2 pattern("\\bWHERE\\b.*" + RE2::QuoteMeta(model_cache_table) + ".*$", options);
  std::string out(sql);
  if (pattern.ok()) RE2::GlobalReplace(&out, pattern, "");
  return out;
}

std::string select_all_from(std::string_view relation) {
  return "SELECT * FROM " + std::string(relation);
}

ExtractionQuery extraction_query(std::string_view model_name, std::string_view schema,
                                 std::string_view identifier, std::string_view cache_table,
                                 const Value& source_config,
                                 const federation::optimizer::Optimization* opt,
                                 const std::optional<std::string>& watermark_condition) {
  std::string source_type = get_text(source_config, "type");
  if (opt == nullptr || !opt->restricts()) {
    std::string plain =
        select_all_from(drivers::relation_text(source_type, "", schema, identifier));
    if (!watermark_condition) return {plain, {}, false};
    return {plain + " WHERE " + *watermark_condition, {}, true};
  }
  const auto& dialects = federation::optimizer::ADAPTER_TO_SQLGLOT_DIALECT;
  auto it = dialects.find(source_type);
  std::string dialect = it == dialects.end() ? "duckdb" : it->second;

  federation::optimizer::Optimization filtered = *opt;
  if (watermark_condition) filtered.raw_conditions.push_back(*watermark_condition);
  ExtractionQuery out;
  out.subset = true;
  out.query = filtered.build_query(std::string(schema), std::string(identifier), dialect);
  std::string name(model_name);
  out.log_lines.push_back("ZYL [" + name + "]: optimized → " + dialect + ": " +
                          text::prefix(out.query, 120));
  out.log_lines.push_back("ZYL [" + name + "]: optimized extraction for " +
                          std::string(cache_table) + " (" + source_type + "→" + dialect +
                          "): " + text::prefix(out.query, 100));
  return out;
}

std::string append_watermark_filter(std::string_view query, std::string_view column,
                                    std::string_view formatted) {
  std::string out(query);
  out += has_where_word(text::to_upper(query)) ? " AND " : " WHERE ";
  out.append(column).append(" > ").append(formatted);
  return out;
}

}  // namespace zyl::runners::internal
