#pragma once
// Random (version 4, RFC 4122) UUIDs in their standard text: 8-4-4-4-12 hexadecimal digits.
#include <string>

namespace veltrane::UUID {

// Lower-case hexadecimal ("3f2a...-4...-8..."). Any thread.
std::string random();
// The same in upper case, as system UUID texts are commonly shown.
std::string randomUpper();

} // namespace veltrane::UUID
