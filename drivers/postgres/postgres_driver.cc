// Placeholder until the postgres driver lands: opening fails with a clear message.
#include "drivers/engines.h"

namespace zyl::drivers {

std::unique_ptr<Connection> open_postgres(const Value&) {
  throw DriverError("the postgres driver is not available in this build yet");
}

}  // namespace zyl::drivers
