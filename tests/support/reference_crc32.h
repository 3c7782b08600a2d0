// CRC-32 (reflected 0xEDB88320, as zip and PNG use it) from the classic
// byte-wise table, each entry worked out bit by bit, kept apart from the
// plugin's code on purpose: the tests' reference value.  Header-only, so test
// programs that must not link the bzip2 library can use it too.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qvtest {

inline constexpr std::array<std::uint32_t, 256> kCrc32Table = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    table[i] = crc;
  }
  return table;
}();
static_assert(kCrc32Table[1] == 0x77073096u && kCrc32Table[255] == 0x2D02EF8Du);

// One byte into the register (no pre- or post-inversion).
constexpr std::uint32_t Crc32Step(std::uint32_t crc, unsigned char byte) {
  return (crc >> 8) ^ kCrc32Table[(crc ^ byte) & 0xFFu];
}

inline std::uint32_t Crc32(std::string_view data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) crc = Crc32Step(crc, byte);
  return ~crc;
}

}  // namespace qvtest
