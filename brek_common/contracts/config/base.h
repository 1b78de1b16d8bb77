// The base of every node configuration record.
//
// BaseConfig declares no fields of its own; it accepts any key (kept in `_extra`) and offers
// item access by key over its declared fields and its extra keys alike.
#pragma once

#include <string>

#include "brek_common/dataclass_schema.h"
#include "core/value.h"

namespace brek_common::contracts::config::base {

class BaseConfig
    : public dataclass_schema::Record<BaseConfig, dataclass_schema::AdditionalPropertiesAllowed> {
 public:
  // The value of `key`, a declared field or an extra key, or `fallback` when neither holds it.
  // Not cheap: converts the record to a map.
  zyl::Value get(const std::string& key, const zyl::Value& fallback = nullptr) const;
  // Whether `key` is a declared field or an extra key.
  bool contains(const std::string& key) const;

  bool operator==(const BaseConfig&) const = default;
  static void describe(dataclass_schema::Fields<BaseConfig>& f);
};

}  // namespace brek_common::contracts::config::base
