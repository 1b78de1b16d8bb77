// Writes an incremental watermark value as a SQL literal for a source's dialect.
//
// The value is the maximum of the model's update-key column as read from the model's target
// (drivers give timestamps as "2024-01-31 13:45:00[.ffffff][+00]", dates as "2024-01-31",
// numbers as numbers). The literal is written after ">" in a filter on the source, so it must
// compare correctly with the source's own timestamp column:
//
//   format_watermark("2024-01-31 13:45:00", "trino", "timestamp");
//       // TIMESTAMP '2024-01-31 13:45:00'
#pragma once

#include <string>

#include "core/value.h"

namespace zyl::extraction::watermark_formatter {

// `value` as literal text to follow ">" in a filter on a source of adapter type `source_type`
// (possibly empty or unknown: written as standard SQL). `kind` says what the value is compared
// with:
//   "timestamp" — a text in timestamp or date form becomes that dialect's temporal literal;
//                 other texts are quoted strings, numbers stay numbers;
//   "date"      — like "timestamp", but a timestamp is written as its calendar date (UTC);
//   "number"    — a number, or a text holding a decimal number, written bare;
//   "string"    — the value's text form as a quoted string.
// Quotes (and, where the dialect treats it as an escape, the backslash) inside strings are
// escaped; null is written NULL. Throws std::invalid_argument for a value that cannot be written
// (a list or map, NaN or infinity, a non-numeric text for "number") or an unknown `kind`.
// Thread-safe.
std::string format_watermark(const Value& value, const std::string& source_type,
                             const std::string& kind);

}  // namespace zyl::extraction::watermark_formatter
