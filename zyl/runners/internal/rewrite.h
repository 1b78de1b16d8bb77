// Text rules of the extraction path: how a model's compiled SQL is pointed at cache tables, how a
// stale incremental filter is removed, and the queries Sling runs on sources and the target.
//
// Nothing here parses SQL. Relations are found by the ways the host writes a relation name and
// replaced by plain (never quoted) cache table names; every search is a case-sensitive substring
// search unless a function says otherwise. All functions are pure and thread-safe.
//
//   Replacements refs;
//   enter_reference(refs, reference_candidates("raw", "crm", "customers"), sql, "src_a");
//   std::string rewritten = apply_replacements(sql, refs);
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ordered_map.h"
#include "core/value.h"
#include "zyl/federation/optimizer.h"

namespace zyl::runners::internal {

// The ways a relation (database D, schema S, name N) can be written, in the order they are
// tried: "D"."S"."N" and D.S.N when D and S are non-empty, then "S"."N" and S.N when S is
// non-empty. Empty when S is empty.
std::vector<std::string> reference_candidates(std::string_view database, std::string_view schema,
                                              std::string_view name);

// The first of `candidates` that occurs anywhere in `sql`, or nullopt.
std::optional<std::string> first_occurring(const std::vector<std::string>& candidates,
                                           std::string_view sql);

// Reference text as written in the SQL -> the cache table replacing it, in insertion order.
using Replacements = OrderedMap<std::string, std::string>;

// Enters the first candidate found in `sql` with `cache_table` as its value (a reference that is
// already present keeps its place and takes the new value). Returns whether one was entered.
bool enter_reference(Replacements& replacements, const std::vector<std::string>& candidates,
                     std::string_view sql, const std::string& cache_table);

// `sql` with every occurrence of each reference replaced by its cache table, references taken
// longest first (length in characters), equal lengths in the order they were first entered.
std::string apply_replacements(std::string_view sql, const Replacements& replacements);

// `sql` with every occurrence of the first self-reference candidate of the model (database,
// schema, name) that occurs in it replaced by `model_cache_table`; unchanged when none occurs.
std::string replace_self_reference(std::string_view sql, std::string_view database,
                                   std::string_view schema, std::string_view name,
                                   std::string_view model_cache_table);

// Removes the text from the first word WHERE (any letter case, word boundaries on both sides)
// that is followed somewhere later by `model_cache_table` (compared case-insensitively) to the
// end of `sql`. Unchanged when there is no such WHERE.
std::string strip_stale_incremental_filter(std::string_view sql,
                                           std::string_view model_cache_table);

// "SELECT * FROM " + `relation`, a relation text as its engine writes it (drivers/relation.h).
std::string select_all_from(std::string_view relation);

// The extraction query of one source and the info lines to log about it (none for a plain one).
struct ExtractionQuery {
  std::string query;
  std::vector<std::string> log_lines;
  bool subset = false;  // the query reads less than the whole table
};

// The optimizer's query in the source's dialect when `opt` is non-null and restricts anything
// (columns, predicates or a limit); otherwise the plain query of `schema` and `identifier`, both
// quoted the way the source's engine quotes identifiers.
// `source_config` is the output config of the source's connection (its "type" picks the dialect,
// "duckdb" for an unknown or missing type). `watermark_condition` (the incremental filter, in
// the source's dialect) goes into the WHERE clause, ahead of any limit. Throws whatever
// `opt->build_query` throws.
ExtractionQuery extraction_query(std::string_view model_name, std::string_view schema,
                                 std::string_view identifier, std::string_view cache_table,
                                 const Value& source_config,
                                 const federation::optimizer::Optimization* opt,
                                 const std::optional<std::string>& watermark_condition = {});

// `query` with " WHERE {column} > {formatted}" appended, or " AND ..." when the query already
// has a WHERE clause (the word WHERE in any case, standing alone: `somewhere` does not count).
std::string append_watermark_filter(std::string_view query, std::string_view column,
                                    std::string_view formatted);

}  // namespace zyl::runners::internal
