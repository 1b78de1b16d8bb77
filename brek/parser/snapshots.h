// A snapshot node's configuration as the snapshot record types it, and the record itself for
// the manifest.
//
//   SnapshotConfig c = snapshot_config_of(node);  // may throw ValidationError
//   c.final_validate();                           // the messages a user sees
#pragma once

#include "brek/artifacts/resources/v1/snapshot.h"
#include "brek/nodes.h"
#include "core/value.h"

namespace brek::parser {

namespace snapshot = brek::artifacts::resources::v1::snapshot;

// The snapshot configuration of `node`: its config entries, its extra keys and its target, in
// one map read by the record. Throws brek_common::ValidationError when a value does not fit
// its field (a unique_key that is a number, say). Does not run final_validate.
snapshot::SnapshotConfig snapshot_config_of(const Node& node);

// The manifest entry of a snapshot node: its Snapshot record serialised for an artifact. A node
// whose config does not fit the record is written as other nodes are, with its adapter type.
zyl::Value snapshot_json(const Node& node, const zyl::Value& plain_json);

}  // namespace brek::parser
