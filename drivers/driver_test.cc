#include "drivers/driver.h"

#include <gtest/gtest.h>

namespace zyl::drivers {
namespace {

// Settings reach the client libraries as text: whole numbers without a fraction, whatever the
// YAML spelled, and values too large for an integer as they are.
TEST(ConnectionSetting, TextOfTheFirstKeySet) {
  Value config = {{"port", 5432.0}, {"username", "ann"}, {"pass", nullptr}, {"big", 1e300}};
  EXPECT_EQ(connection_setting(config, {"port"}, "1"), "5432");
  EXPECT_EQ(connection_setting(config, {"user", "username"}, ""), "ann");
  EXPECT_EQ(connection_setting(config, {"pass", "password"}, "-"), "-");  // null: not set
  EXPECT_EQ(connection_setting(config, {"host"}, "localhost"), "localhost");
  EXPECT_EQ(connection_setting(config, {"big"}, ""), text_form(Value(1e300)));
}

}  // namespace
}  // namespace zyl::drivers
