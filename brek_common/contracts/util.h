// Records that can be merged: the later record's present fields win.
#pragma once

#include <type_traits>

#include "brek_common/dataclass_schema.h"

namespace brek_common::contracts::util {

// Marker base of records with a shallow merge (see merged()).
class Mergeable {
 public:
  bool operator==(const Mergeable&) const = default;
};

// A copy of `base` in which every field that `update` holds with a present value (not an empty
// optional, not null) replaces base's; additional properties merge key by key. Throws
// ValidationError or the record's own post_init() error if the result is not a valid record.
template <typename T>
T merged(const T& base, const T& update) {
  static_assert(std::is_base_of_v<Mergeable, T>, "only Mergeable records merge");
  zyl::Value data = base.to_dict();
  const zyl::Value present = update.to_dict(dataclass_schema::OmitNone::kYes);
  for (const auto& [key, value] : present.items()) {
    data[key] = value;
  }
  return T::from_dict(data);
}

}  // namespace brek_common::contracts::util
