// UTF-8 and the UTF-16 of ODBC's wide functions (SQLWCHAR is 16 bits under unixODBC).
#pragma once

#include <sql.h>

#include <string>
#include <string_view>

namespace zyl::drivers::odbc {

// Invalid UTF-8 bytes become U+FFFD; so do unpaired surrogates on the way back.
std::u16string to_utf16(std::string_view utf8);
std::string to_utf8(std::u16string_view utf16);
// `bytes` holding UTF-16 code units in the machine's byte order (an odd last byte is dropped).
std::string utf8_of_bytes(std::string_view bytes);

inline SQLWCHAR* wide_ptr(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

}  // namespace zyl::drivers::odbc
