#include "drivers/duckdb/int128.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace zyl::drivers::duckdb {
namespace {

TEST(Int128, TextOfTheExtremesAndAroundZero) {
  const Int128 min = Int128::from_parts(INT64_MIN, 0);
  const Int128 max = Int128::from_parts(INT64_MAX, UINT64_MAX);
  EXPECT_EQ(min.text(), "-170141183460469231731687303715884105728");
  EXPECT_EQ(max.text(), "170141183460469231731687303715884105727");
  EXPECT_EQ(Int128(0).text(), "0");
  EXPECT_EQ(Int128(-1).text(), "-1");
  EXPECT_EQ(Int128(INT64_MIN).text(), "-9223372036854775808");
  EXPECT_EQ(Int128::from_parts(0, UINT64_MAX).text(), "18446744073709551615");
  EXPECT_EQ(Int128::unsigned_text(UINT64_MAX, UINT64_MAX),
            "340282366920938463463374607431768211455");
  EXPECT_EQ(Int128::unsigned_text(0, 0), "0");
  // Nine digits are written a round: values at the rounds' edges.
  EXPECT_EQ(Int128(999999999).text(), "999999999");
  EXPECT_EQ(Int128(1000000000).text(), "1000000000");
  EXPECT_EQ(Int128(-1000000001).text(), "-1000000001");
  EXPECT_EQ(Int128(1000000000000000000).text(), "1000000000000000000");
  EXPECT_TRUE(min < max && Int128(-1) < Int128(0) && Int128(0) < Int128::from_parts(0, 1));
  EXPECT_FALSE(Int128::from_parts(1, 0) < Int128::from_parts(0, UINT64_MAX));
}

TEST(Int128, ArithmeticCarriesAcrossTheHalves) {
  // 10^38, the largest power of ten a DECIMAL(38) holds, built digit by digit as the parser does.
  Int128 v = 1;
  for (int i = 0; i < 38; ++i) v = v * 10 + 0;
  EXPECT_EQ(v.text(), "1" + std::string(38, '0'));
  EXPECT_EQ((-v).text(), "-1" + std::string(38, '0'));
  EXPECT_EQ((Int128::from_parts(0, UINT64_MAX) + 1).text(), "18446744073709551616");
  EXPECT_EQ((Int128(-5) * Int128(7)).text(), "-35");
  v = Int128::from_parts(-1, 12345);
  EXPECT_EQ(Int128::from_parts(v.upper(), v.lower()), v);
  EXPECT_EQ(static_cast<std::int16_t>(Int128(-300)), -300);
  EXPECT_EQ(static_cast<std::int64_t>(Int128(INT64_MIN)), INT64_MIN);
}

#ifdef __SIZEOF_INT128__
// Where the compiler has a 128-bit type, it is the oracle for random values.
TEST(Int128, AgreesWithTheBuiltInType) {
  std::mt19937_64 random(42);
  auto text = [](__int128 x) {
    bool negative = x < 0;
    unsigned __int128 m = negative ? -static_cast<unsigned __int128>(x) : x;
    std::string digits;
    do digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    while ((m /= 10) != 0);
    return negative ? "-" + digits : digits;
  };
  for (int i = 0; i < 2000; ++i) {
    std::uint64_t a_hi = random(), a_lo = random(), b_hi = random() >> (i % 64), b_lo = random();
    __int128 a = static_cast<__int128>((static_cast<unsigned __int128>(a_hi) << 64) | a_lo);
    __int128 b = static_cast<__int128>((static_cast<unsigned __int128>(b_hi) << 64) | b_lo);
    Int128 x = Int128::from_parts(static_cast<std::int64_t>(a_hi), a_lo);
    Int128 y = Int128::from_parts(static_cast<std::int64_t>(b_hi), b_lo);
    auto wrap = [](unsigned __int128 u) { return static_cast<__int128>(u); };
    ASSERT_EQ(x.text(), text(a));
    ASSERT_EQ((x + y).text(), text(wrap(static_cast<unsigned __int128>(a) + b)));
    ASSERT_EQ((x * y).text(), text(wrap(static_cast<unsigned __int128>(a) * b)));
    ASSERT_EQ((-x).text(), text(wrap(-static_cast<unsigned __int128>(a))));
    ASSERT_EQ(x < y, a < b);
  }
}
#endif

}  // namespace
}  // namespace zyl::drivers::duckdb
