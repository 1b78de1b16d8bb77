// Secret values of output configs, so that error texts can be cleaned before they reach a run
// result or a log line.
//
//   Secrets secrets;
//   secrets.add(source_config);
//   std::string safe = secrets.redact(error.what());
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/value.h"

namespace zyl::runners::internal {

// Whether a config key names a secret: its lower-case form contains "password", "pass",
// "token", "key" or "secret" (so "private_key", "api_token", "client_secret", "keyfile_json").
bool is_secret_key(std::string_view key);

// The secret values of the output configs added so far. Not thread-safe.
class Secrets {
 public:
  // Adds every string or number found under a secret key of `config`, at any depth (a secret
  // key holding a map or list contributes all of its scalars). Booleans and nulls are ignored.
  void add(const Value& config);
  // `text` with every secret value replaced by "****".
  std::string redact(std::string_view text) const;
  const std::vector<std::string>& values() const { return values_; }

 private:
  void add_all_scalars(const Value& value);
  std::vector<std::string> values_;
};

}  // namespace zyl::runners::internal
