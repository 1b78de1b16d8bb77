#include "brek_common/contracts/config/base.h"

namespace brek_common::contracts::config::base {

zyl::Value BaseConfig::get(const std::string& key, const zyl::Value& fallback) const {
  const zyl::Value data = to_dict();
  auto it = data.find(key);
  return it == data.end() ? fallback : *it;
}

bool BaseConfig::contains(const std::string& key) const { return to_dict().contains(key); }

void BaseConfig::describe(dataclass_schema::Fields<BaseConfig>& f) { f.name("BaseConfig"); }

}  // namespace brek_common::contracts::config::base
