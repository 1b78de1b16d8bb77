// Placeholder until the duckdb driver lands: opening fails with a clear message.
#include "drivers/engines.h"

namespace zyl::drivers {

std::unique_ptr<Connection> open_duckdb(const Value&, const std::filesystem::path&) {
  throw DriverError("the duckdb driver is not available in this build yet");
}

}  // namespace zyl::drivers
