// Placeholder until the sqlite driver lands: opening fails with a clear message.
#include "drivers/engines.h"

namespace zyl::drivers {

std::unique_ptr<Connection> open_sqlite(const Value&, const std::filesystem::path&) {
  throw DriverError("the sqlite driver is not available in this build yet");
}

}  // namespace zyl::drivers
