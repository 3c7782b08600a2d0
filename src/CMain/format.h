// The archive layout: a 28-byte header, the stored name, then one bzip2
// stream that runs to the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

inline constexpr char kMagic[8] = {'Q', 'U', 'O', 'R', 'V', 'A', 'N', 'E'};
inline constexpr int kHeaderSize = 28;
// The longest stored name: its length is kept in one byte.
inline constexpr std::size_t kMaxStoredName = 255;

#pragma pack(push, 1)
struct TArcHeader {
  char magic[8];
  std::uint32_t unpsize;   // the low 32 bits of the file's size
  std::uint32_t packsize;  // the low 32 bits of the payload's size
  std::uint32_t filetime;  // local DOS date/time
  std::uint8_t namelen;
  std::uint8_t reserved[3];
  std::uint32_t crc;
};
#pragma pack(pop)
static_assert(sizeof(TArcHeader) == kHeaderSize);

// How every bzip2 stream begins: "BZh" and the block size, '1' to '9'.
inline bool BeginsBzip2Stream(const unsigned char (&start)[4]) {
  return start[0] == 'B' && start[1] == 'Z' && start[2] == 'h' && start[3] >= '1' && start[3] <= '9';
}

}  // namespace quorvane
