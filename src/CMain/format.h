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
  std::uint8_t reserved[3];  // bits 32 to 55 of the file's size (see UnpackedSize)
  std::uint32_t crc;
};
#pragma pack(pop)
static_assert(sizeof(TArcHeader) == kHeaderSize);

// The file's size.  The format reserves three bytes that readers ignore
// and older writers leave zero; they keep bits 32 to 55 of the size, so an
// archive of a file under 4 GiB stays byte for byte what it always was,
// and a reader that ignores them still sees the low 32 bits.
inline std::uint64_t UnpackedSize(const TArcHeader& header) {
  return header.unpsize | std::uint64_t{header.reserved[0]} << 32 | std::uint64_t{header.reserved[1]} << 40 |
         std::uint64_t{header.reserved[2]} << 48;
}
inline void SetUnpackedSize(TArcHeader& header, std::uint64_t size) {
  header.unpsize = static_cast<std::uint32_t>(size);
  for (int i = 0; i < 3; ++i) header.reserved[i] = static_cast<std::uint8_t>(size >> (32 + 8 * i));
}
// Whether `size` bytes came out of an entry whose header says `stored`: all
// of it, or its low 32 bits when the header keeps no more (an older writer's
// archive, or any file under 4 GiB).
inline bool SizeMatches(std::uint64_t stored, std::uint64_t size) {
  return stored > 0xFFFFFFFFu ? size == stored : static_cast<std::uint32_t>(size) == stored;
}

// How every bzip2 stream begins: "BZh" and the block size, '1' to '9'.
inline bool BeginsBzip2Stream(const unsigned char (&start)[4]) {
  return start[0] == 'B' && start[1] == 'Z' && start[2] == 'h' && start[3] >= '1' && start[3] <= '9';
}

}  // namespace quorvane
