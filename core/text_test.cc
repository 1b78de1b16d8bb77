#include "core/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace zyl::text {
namespace {

TEST(IsoUtc, TimesEitherSideOf2038AndEpochRead) {
  struct Case {
    std::int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {2147483647, "2038-01-19T03:14:07Z"},  // the last second a 32-bit time_t holds
      {2147483648LL, "2038-01-19T03:14:08Z"},
      {4294967296LL, "2106-02-07T06:28:16Z"},  // past an unsigned 32-bit time_t too
      {4102444800LL, "2100-01-01T00:00:00Z"},
      {253402300799LL, "9999-12-31T23:59:59Z"},
  };
  for (const Case& c : cases) EXPECT_EQ(iso_utc(c.seconds), c.text) << c.seconds;
}

}  // namespace
}  // namespace zyl::text
