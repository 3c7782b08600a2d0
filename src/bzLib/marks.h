// What the parallel reader needs to know of a bzip2 stream's bits: where
// blocks may start (their magic, found at any bit offset), how block
// checksums combine into the stream's, and blocks small enough to put a
// block of another stream at any bit offset of a stream of our own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvane::parallel {

// The 48-bit marks in front of every block and of the stream's end.
inline constexpr std::uint64_t kBlockMagic = 0x314159265359;
inline constexpr std::uint64_t kEndMagic = 0x177245385090;
inline constexpr int kMagicBits = 48;
// The block checksum follows the block magic; the stream checksum follows
// the end magic.
inline constexpr int kCrcBits = 32;

// A place where one of the two marks stands, counted in bits from the
// stream's first byte.  Data can hold either mark by chance (or on
// purpose), so a mark is only a candidate until a decoder ends there.
struct TMark {
  std::uint64_t bit;
  bool end;  // the end magic; otherwise a block magic
};

// Finds every mark in bytes that arrive in order, at any bit offset.  A mark
// is reported once the byte holding its last bit has arrived.
class TMarkScanner {
 public:
  void Scan(const unsigned char* data, std::size_t count, std::vector<TMark>& found);
  std::uint64_t bytes() const { return bytes_; }

 private:
  std::uint64_t window_ = 0;  // the last 64 bits, the newest in the low bits
  std::uint64_t bytes_ = 0;
};

// How the stream checksum takes in each block's checksum, in order.
inline std::uint32_t CombineCRC(std::uint32_t stream, std::uint32_t block) {
  return (stream << 1 | stream >> 31) ^ block;
}

// A complete block (from its magic to its last bit) whose length leaves
// `bits` % 8 bits in its last byte: put between a stream header and the
// bits of another stream's block, it lets that block keep its own bit
// offset, so its bytes can be fed to the library as they lie in the file.
struct TShimBlock {
  const unsigned char* bytes;
  unsigned bits;
  unsigned content_size;  // the bytes it decodes to, which are dropped
};
// The shim for a block that starts `offset` (1 to 7) bits into a byte.
const TShimBlock& ShimFor(unsigned offset);

}  // namespace quorvane::parallel
