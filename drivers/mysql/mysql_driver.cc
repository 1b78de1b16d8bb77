// Placeholder until the mysql driver lands: opening fails with a clear message.
#include "drivers/engines.h"

namespace zyl::drivers {

std::unique_ptr<Connection> open_mysql(const Value&) {
  throw DriverError("the mysql driver is not available in this build yet");
}

}  // namespace zyl::drivers
