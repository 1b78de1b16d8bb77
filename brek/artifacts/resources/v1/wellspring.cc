#include "brek/artifacts/resources/v1/wellspring.h"

#include <utility>

#include "brek_common/exceptions.h"

namespace brek::artifacts::resources::v1::wellspring {

void SourceConfig::describe(ds::Fields<SourceConfig>& f) {
  f.name("SourceConfig");
  f.field("enabled", &SourceConfig::enabled);
  f.field("event_time", &SourceConfig::event_time);
  f.field("freshness", &SourceConfig::freshness);
}

ExternalPartition::ExternalPartition(std::string name, std::string description,
                                     std::string data_type, zyl::Value meta)
    : name(std::move(name)),
      description(std::move(description)),
      data_type(std::move(data_type)),
      meta(std::move(meta)) {
  ExternalPartition::post_init();
}

void ExternalPartition::post_init() {
  if (name.empty() || data_type.empty()) {
    throw brek_common::CompilationError(
        "External partition columns must have names and data types");
  }
}

void ExternalPartition::describe(ds::Fields<ExternalPartition>& f) {
  f.name("ExternalPartition");
  f.field("name", &ExternalPartition::name);
  f.field("description", &ExternalPartition::description);
  f.field("data_type", &ExternalPartition::data_type);
  f.field("meta", &ExternalPartition::meta);
}

void ExternalTable::describe(ds::Fields<ExternalTable>& f) {
  f.name("ExternalTable");
  f.field("location", &ExternalTable::location);
  f.field("file_format", &ExternalTable::file_format);
  f.field("row_format", &ExternalTable::row_format);
  f.field("tbl_properties", &ExternalTable::tbl_properties);
  f.field("partitions", &ExternalTable::partitions);
}

void ParsedSourceMandatory::describe(ds::Fields<ParsedSourceMandatory>& f) {
  f.name("ParsedSourceMandatory");
  f.required("source_name", &ParsedSourceMandatory::source_name);
  f.required("source_description", &ParsedSourceMandatory::source_description);
  f.required("loader", &ParsedSourceMandatory::loader);
  f.required("identifier", &ParsedSourceMandatory::identifier);
  f.required("resource_type", &ParsedSourceMandatory::resource_type, {"source"});
}

void SourceDefinition::describe(ds::Fields<SourceDefinition>& f) {
  f.name("SourceDefinition");
  f.field("quoting", &SourceDefinition::quoting);
  f.field("loaded_at_field", &SourceDefinition::loaded_at_field);
  f.field("freshness", &SourceDefinition::freshness);
  f.field("external", &SourceDefinition::external);
  f.field("description", &SourceDefinition::description);
  f.field("columns", &SourceDefinition::columns);
  f.field("meta", &SourceDefinition::meta);
  f.field("source_meta", &SourceDefinition::source_meta);
  f.field("tags", &SourceDefinition::tags);
  f.field("config", &SourceDefinition::config);
  f.field("patch_path", &SourceDefinition::patch_path);
  f.field("unrendered_config", &SourceDefinition::unrendered_config);
  f.field("relation_name", &SourceDefinition::relation_name);
  f.field("created_at", &SourceDefinition::created_at);
  f.field("unrendered_database", &SourceDefinition::unrendered_database);
  f.field("unrendered_schema", &SourceDefinition::unrendered_schema);
  f.field("connection", &SourceDefinition::connection);
  f.field("zyl_adapter_type", &SourceDefinition::zyl_adapter_type);
}

}  // namespace brek::artifacts::resources::v1::wellspring
