#include "brek/artifacts/resources/v1/components.h"

#include <chrono>

namespace brek::artifacts::resources::v1::components {

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void HasRelationMetadata::describe(ds::Fields<HasRelationMetadata>& f) {
  f.required("database", &HasRelationMetadata::database);
  f.required("schema", &HasRelationMetadata::schema);
}

void DependsOn::describe(ds::Fields<DependsOn>& f) {
  f.name("DependsOn");
  f.field("macros", &DependsOn::macros);
  f.field("nodes", &DependsOn::nodes);
}

void ColumnInfo::describe(ds::Fields<ColumnInfo>& f) {
  f.name("ColumnInfo");
  f.required("name", &ColumnInfo::name);
  f.field("description", &ColumnInfo::description);
  f.field("meta", &ColumnInfo::meta);
  f.field("data_type", &ColumnInfo::data_type);
  f.field("quote", &ColumnInfo::quote);
  f.field("tags", &ColumnInfo::tags);
}

void Time::describe(ds::Fields<Time>& f) {
  f.name("Time");
  f.field("count", &Time::count);
  f.field("period", &Time::period);
}

void FreshnessThreshold::describe(ds::Fields<FreshnessThreshold>& f) {
  f.name("FreshnessThreshold");
  f.field("warn_after", &FreshnessThreshold::warn_after);
  f.field("error_after", &FreshnessThreshold::error_after);
  f.field("filter", &FreshnessThreshold::filter);
}

void Quoting::describe(ds::Fields<Quoting>& f) {
  f.name("Quoting");
  f.field("database", &Quoting::database);
  f.field("schema", &Quoting::schema);
  f.field("identifier", &Quoting::identifier);
  f.field("column", &Quoting::column);
}

void RefArgs::describe(ds::Fields<RefArgs>& f) {
  f.name("RefArgs");
  f.required("name", &RefArgs::name);
  f.field("package", &RefArgs::package);
  f.field("version", &RefArgs::version);
}

void DeferRelation::describe(ds::Fields<DeferRelation>& f) {
  f.name("DeferRelation");
  f.required("alias", &DeferRelation::alias);
  f.field("relation_name", &DeferRelation::relation_name);
}

void CompiledResource::describe(ds::Fields<CompiledResource>& f) {
  f.name("CompiledResource");
  f.required("alias", &CompiledResource::alias);
  f.field("tags", &CompiledResource::tags);
  f.field("description", &CompiledResource::description);
  f.field("columns", &CompiledResource::columns);
  f.field("meta", &CompiledResource::meta);
  f.field("patch_path", &CompiledResource::patch_path);
  f.field("unrendered_config", &CompiledResource::unrendered_config);
  f.field("created_at", &CompiledResource::created_at);
  f.field("relation_name", &CompiledResource::relation_name);
  f.field("raw_code", &CompiledResource::raw_code);
  f.field("language", &CompiledResource::language);
  f.field("refs", &CompiledResource::refs);
  f.field("sources", &CompiledResource::sources);
  f.field("depends_on", &CompiledResource::depends_on);
  f.field("compiled_path", &CompiledResource::compiled_path);
  f.field("compiled", &CompiledResource::compiled);
  f.field("compiled_code", &CompiledResource::compiled_code);
}

}  // namespace brek::artifacts::resources::v1::components
