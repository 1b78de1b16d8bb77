// The owner of an exposure: a name and an e-mail address, plus any other keys the project gives.
#pragma once

#include <optional>
#include <string>

#include "brek_common/dataclass_schema.h"

namespace brek::artifacts::resources::v1::owner {

namespace ds = brek_common::dataclass_schema;

struct Owner final : ds::Record<Owner, ds::AdditionalPropertiesAllowed> {
  std::optional<std::string> email;
  std::optional<std::string> name;

  bool operator==(const Owner&) const = default;
  static void describe(ds::Fields<Owner>& f);
};

}  // namespace brek::artifacts::resources::v1::owner
