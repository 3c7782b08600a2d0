// CRC-32 (reflected 0xEDB88320, as zip and PNG use it) computed bit by bit,
// kept apart from the plugin's table-driven code on purpose: the tests'
// reference value.  Header-only, so test programs that must not link the
// bzip2 library can use it too.
#pragma once

#include <cstdint>
#include <string_view>

namespace qvtest {

inline std::uint32_t Crc32(std::string_view data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

}  // namespace qvtest
