// Writes an incremental watermark value as a SQL literal for a source's dialect.
#pragma once

#include <string>

#include "core/value.h"

namespace zyl::extraction::watermark_formatter {

// `value` as literal text to follow ">" in a filter on a source of adapter type `source_type`
// (possibly empty); `kind` is "timestamp" for the pipeline. Throws std::invalid_argument for a
// value that cannot be written (a list or map).
std::string format_watermark(const Value& value, const std::string& source_type,
                             const std::string& kind);

}  // namespace zyl::extraction::watermark_formatter
