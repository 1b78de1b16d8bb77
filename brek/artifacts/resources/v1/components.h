// Components shared by the host's node records: relation names, dependencies, columns,
// freshness thresholds, quoting, references, deferral, and the compiled-node base record.
//
// All are serialisable records (brek_common/dataclass_schema.h); maps and lists default to
// fresh empty ones, optional values to absent.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "brek/artifacts/resources/base.h"
#include "brek_common/contracts/util.h"
#include "brek_common/dataclass_schema.h"
#include "core/ordered_map.h"
#include "core/value.h"

namespace brek::artifacts::resources::v1::components {

namespace ds = brek_common::dataclass_schema;
using brek_common::contracts::util::Mergeable;

// Wall-clock time in seconds since the epoch, with fractional part; the default of every
// record's `created_at`. Thread-safe.
double now_seconds();

// Field group of records that name a relation: where it lives. Both keys are required in a map
// (database may be null).
struct HasRelationMetadata {
  std::optional<std::string> database;
  std::string schema;

  bool operator==(const HasRelationMetadata&) const = default;
  static void describe(ds::Fields<HasRelationMetadata>& f);
};

// What a node depends on: macro and node unique ids, in order of reference.
struct DependsOn final : ds::Record<DependsOn, ds::BrekClassMixin> {
  std::vector<std::string> macros;
  std::vector<std::string> nodes;

  bool operator==(const DependsOn&) const = default;
  static void describe(ds::Fields<DependsOn>& f);
};

// One documented column. Keeps keys beyond its fields in `_extra`.
struct ColumnInfo final : ds::Record<ColumnInfo, ds::AdditionalPropertiesAllowed> {
  std::string name;  // required
  std::string description;
  zyl::Value meta = zyl::Value::object();
  std::optional<std::string> data_type;
  std::optional<bool> quote;
  std::vector<std::string> tags;

  bool operator==(const ColumnInfo&) const = default;
  static void describe(ds::Fields<ColumnInfo>& f);
};

enum class TimePeriod { Minute, Hour, Day };

// A span of time such as {count: 12, period: hour}.
struct Time final : ds::Record<Time, ds::BrekClassMixin, Mergeable> {
  std::optional<int> count;
  std::optional<TimePeriod> period;

  bool operator==(const Time&) const = default;
  static void describe(ds::Fields<Time>& f);
};

// When a source counts as stale. Both thresholds default to a present, empty Time.
struct FreshnessThreshold final : ds::Record<FreshnessThreshold, ds::BrekClassMixin, Mergeable> {
  std::optional<Time> warn_after = Time{};
  std::optional<Time> error_after = Time{};
  std::optional<std::string> filter;

  bool operator==(const FreshnessThreshold&) const = default;
  static void describe(ds::Fields<FreshnessThreshold>& f);
};

// Whether each part of a relation name is quoted; absent means the adapter's default.
struct Quoting final : ds::Record<Quoting, ds::BrekClassMixin, Mergeable> {
  std::optional<bool> database;
  std::optional<bool> schema;
  std::optional<bool> identifier;
  std::optional<bool> column;

  bool operator==(const Quoting&) const = default;
  static void describe(ds::Fields<Quoting>& f);
};

// The arguments of one ref(): model name, optional package and version (a string or number).
struct RefArgs final : ds::Record<RefArgs, ds::BrekClassMixin> {
  std::string name;  // required
  std::optional<std::string> package;
  zyl::Value version;  // null when not given

  bool operator==(const RefArgs&) const = default;
  static void describe(ds::Fields<RefArgs>& f);
};

// The relation of a node in the state deferred to.
struct DeferRelation final : ds::Record<DeferRelation, ds::BrekClassMixin, HasRelationMetadata> {
  std::string alias;  // required
  std::optional<std::string> relation_name;

  bool operator==(const DeferRelation&) const = default;
  static void describe(ds::Fields<DeferRelation>& f);
};

// The base of compiled nodes (models, snapshots, ...): identity, relation, documentation,
// code and dependencies. Concrete records add `resource_type` and `config`.
class CompiledResource
    : public ds::Record<CompiledResource, base::GraphResource, HasRelationMetadata> {
 public:
  std::string alias;  // required
  std::vector<std::string> tags;
  std::string description;
  zyl::OrderedMap<std::string, ColumnInfo> columns;
  zyl::Value meta = zyl::Value::object();
  std::optional<std::string> patch_path;
  zyl::Value unrendered_config = zyl::Value::object();
  double created_at = now_seconds();
  std::optional<std::string> relation_name;
  std::string raw_code;
  std::string language = "sql";
  std::vector<RefArgs> refs;
  std::vector<std::vector<std::string>> sources;
  DependsOn depends_on;
  std::optional<std::string> compiled_path;
  bool compiled = false;
  std::optional<std::string> compiled_code;

  bool operator==(const CompiledResource&) const = default;
  static void describe(ds::Fields<CompiledResource>& f);
};

}  // namespace brek::artifacts::resources::v1::components

template <>
struct brek_common::dataclass_schema::StrEnumMembers<
    brek::artifacts::resources::v1::components::TimePeriod> {
  using TimePeriod = brek::artifacts::resources::v1::components::TimePeriod;
  static constexpr std::string_view name = "TimePeriod";
  static std::span<const std::pair<TimePeriod, std::string_view>> members() {
    static constexpr std::array<std::pair<TimePeriod, std::string_view>, 3> kMembers = {
        {{TimePeriod::Minute, "minute"}, {TimePeriod::Hour, "hour"}, {TimePeriod::Day, "day"}}};
    return kMembers;
  }
};
