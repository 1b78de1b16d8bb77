// Records that accept and keep properties beyond their declared fields.
//
// A record deriving from AdditionalPropertiesAllowed validates maps with unknown keys, keeps
// those keys in `_extra` when converted from a map, and writes them back after its declared
// fields.
#pragma once

#include "brek_common/dataclass_schema.h"

namespace brek_common::contracts::config::properties {

using dataclass_schema::AdditionalPropertiesAllowed;

}  // namespace brek_common::contracts::config::properties
