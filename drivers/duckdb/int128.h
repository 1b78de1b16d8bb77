// 128-bit integers for DuckDB's HUGEINT, UHUGEINT and wide DECIMAL values, on every target: GCC
// has no __int128 on 32-bit ones (armhf). Two 64-bit halves, two's complement, with the few
// operations the driver needs; arithmetic wraps modulo 2^128 like the built-in type.
//
//   Int128 v = Int128::from_parts(h.upper, h.lower);
//   std::string text = v.text();  // "-170141183460469231731687303715884105728"
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

namespace zyl::drivers::duckdb {

class Int128 {
 public:
  constexpr Int128() = default;
  constexpr Int128(std::int64_t v)  // NOLINT: converts like a built-in integer
      : upper_(v < 0 ? ~std::uint64_t{0} : 0), lower_(static_cast<std::uint64_t>(v)) {}
  static constexpr Int128 from_parts(std::int64_t upper, std::uint64_t lower) {
    Int128 v;
    v.upper_ = static_cast<std::uint64_t>(upper);
    v.lower_ = lower;
    return v;
  }

  constexpr std::int64_t upper() const { return static_cast<std::int64_t>(upper_); }
  constexpr std::uint64_t lower() const { return lower_; }
  // The low bits, as static_cast of a built-in integer gives them.
  template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
  constexpr explicit operator T() const {
    return static_cast<T>(lower_);
  }

  friend constexpr bool operator==(const Int128& a, const Int128& b) = default;
  friend constexpr bool operator<(const Int128& a, const Int128& b) {
    return a.upper() != b.upper() ? a.upper() < b.upper() : a.lower_ < b.lower_;
  }
  friend constexpr Int128 operator+(const Int128& a, const Int128& b) {
    std::uint64_t lower = a.lower_ + b.lower_;
    return parts(a.upper_ + b.upper_ + (lower < a.lower_ ? 1 : 0), lower);
  }
  friend constexpr Int128 operator-(const Int128& a) { return parts(~a.upper_, ~a.lower_) + 1; }
  friend constexpr Int128 operator*(const Int128& a, const Int128& b) {
    Int128 low = product(a.lower_, b.lower_);
    return parts(low.upper_ + a.lower_ * b.upper_ + a.upper_ * b.lower_, low.lower_);
  }
  Int128& operator*=(const Int128& b) { return *this = *this * b; }

  // Decimal text, with a leading '-' when negative.
  std::string text() const {
    bool negative = upper() < 0;
    Int128 magnitude = negative ? -*this : *this;  // the smallest value stays itself, unsigned
    std::string digits = unsigned_text(magnitude.upper_, magnitude.lower_);
    return negative ? "-" + digits : digits;
  }

  // Decimal text of the unsigned 128-bit value upper * 2^64 + lower.
  static std::string unsigned_text(std::uint64_t upper, std::uint64_t lower) {
    std::uint32_t limbs[4] = {
        static_cast<std::uint32_t>(upper >> 32), static_cast<std::uint32_t>(upper),
        static_cast<std::uint32_t>(lower >> 32), static_cast<std::uint32_t>(lower)};
    // Long division by 10^9, most significant limb first: nine digits a round.
    char buffer[40];
    char* start = buffer + sizeof buffer;
    for (;;) {
      std::uint64_t remainder = 0;
      bool zero = true;
      for (std::uint32_t& limb : limbs) {
        std::uint64_t current = (remainder << 32) | limb;
        limb = static_cast<std::uint32_t>(current / 1000000000u);
        remainder = current % 1000000000u;
        zero = zero && limb == 0;
      }
      for (int i = 0; i < 9 && (!zero || remainder != 0 || i == 0); ++i) {
        *--start = static_cast<char>('0' + remainder % 10);
        remainder /= 10;
      }
      if (zero) break;
    }
    return std::string(start, buffer + sizeof buffer);
  }

 private:
  static constexpr Int128 parts(std::uint64_t upper, std::uint64_t lower) {
    return from_parts(static_cast<std::int64_t>(upper), lower);
  }
  // The full 128-bit product of two 64-bit values, from 32-bit halves.
  static constexpr Int128 product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
    std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
    std::uint64_t lower = (middle << 32) | (p00 & 0xffffffffu);
    std::uint64_t upper = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
    return parts(upper, lower);
  }

  std::uint64_t upper_ = 0;
  std::uint64_t lower_ = 0;
};

}  // namespace zyl::drivers::duckdb
