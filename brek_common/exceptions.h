// The host framework's own error types.
#pragma once

#include <stdexcept>
#include <string>

namespace brek_common {

// A fault inside the framework itself (a state that should not be reachable).
class BrekInternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A project that cannot be compiled: bad SQL template, unknown reference, bad record value.
class CompilationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A record or map that does not fit its schema. The message names the field path.
class ValidationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace brek_common
