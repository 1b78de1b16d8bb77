// Usage events. They are appended as JSON lines to `logs/usage_events.jsonl` under the project
// and never sent anywhere; BREK_NO_USAGE_EVENTS=1 turns them off.
#pragma once

#include <filesystem>

#include "core/value.h"

namespace brek::tracking {

// Where events go; set by the application. Until then events are dropped.
void set_events_dir(const std::filesystem::path& dir);

// Records one event. Throws std::runtime_error when the file cannot be written (callers ignore
// failures). Thread-safe.
void track_zyl_extraction(const zyl::Value& event);
void track_zyl_retract(const zyl::Value& event);

}  // namespace brek::tracking
