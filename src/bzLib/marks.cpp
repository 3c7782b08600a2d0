// Marks at any bit offset, and the shim blocks that keep a block's offset.
#include "bzLib/marks.h"

#include <array>

namespace quorvane::parallel {
namespace {

constexpr std::uint64_t kMagicMask = (std::uint64_t{1} << kMagicBits) - 1;

// Most bytes cannot end a mark: the newest 16 bits of the window must hold
// the last bits of one (at one of the 8 offsets) before the 16 comparisons
// are worth making.  Made by the compiler: a table built at run time would
// need a guard whose lock the Windows runtime leaves behind at each unload.
constexpr std::array<bool, 65536> MarkTails() {
  std::array<bool, 65536> maybe{};
  for (std::uint64_t magic : {kBlockMagic, kEndMagic}) {
    for (unsigned shift = 0; shift < 8; ++shift) {
      // The mark's last 16 - shift bits, then `shift` bits of what follows.
      const unsigned tail = static_cast<unsigned>(magic & ((1u << (16 - shift)) - 1)) << shift;
      for (unsigned after = 0; after < (1u << shift); ++after) maybe[tail | after] = true;
    }
  }
  return maybe;
}
constexpr std::array<bool, 65536> kMarkTails = MarkTails();

// bzip2's own blocks for a few letters, from the block magic to the last
// bit, chosen for the lengths of their last byte: "aabac", "aaabaab", "a",
// "ab", "aaa", "aab" and "aabc".
constexpr unsigned char kShim1[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x4F, 0x4F, 0xFE, 0xDA, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x38, 0x00, 0x20, 0x00, 0x21, 0x98, 0x19, 0x84, 0x4D, 0x00};
constexpr unsigned char kShim2[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x5F, 0x90, 0x22, 0x94, 0x00, 0x00,
                                    0x00, 0x01, 0x00, 0x30, 0x00, 0x20, 0x00, 0x21, 0x00, 0x82, 0x24, 0xC0};
constexpr unsigned char kShim3[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x19, 0x93, 0x9B, 0x6B, 0x00, 0x00,
                                    0x00, 0x01, 0x00, 0x20, 0x00, 0x20, 0x00, 0x21, 0x18, 0x46, 0x80};
constexpr unsigned char kShim4[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xE9, 0x93, 0xFD, 0xCD, 0x00, 0x00,
                                    0x00, 0x01, 0x00, 0x30, 0x00, 0x20, 0x00, 0x21, 0x00, 0x82, 0xB0};
constexpr unsigned char kShim5[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x1F, 0xE5, 0xDF, 0xCE, 0x00, 0x00,
                                    0x01, 0x01, 0x00, 0x20, 0x00, 0x20, 0x00, 0x30, 0x8C, 0x14, 0x18};
constexpr unsigned char kShim6[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x12, 0xA6, 0xF9, 0x17, 0x00, 0x00,
                                    0x00, 0x01, 0x00, 0x30, 0x00, 0x20, 0x00, 0x21, 0x00, 0x82, 0x8C};
constexpr unsigned char kShim7[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xF3, 0x7B, 0x57, 0x1B, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x38, 0x00, 0x20, 0x00, 0x21, 0x98, 0x19, 0x84, 0xCC};
constexpr TShimBlock kShims[] = {
    {kShim1, 193, 5}, {kShim2, 186, 7}, {kShim3, 179, 1}, {kShim4, 180, 2},
    {kShim5, 181, 3}, {kShim6, 182, 3}, {kShim7, 191, 4},
};

}  // namespace

namespace {

// The marks that end in the newest byte of `window`, earliest first, so
// that marks come out in order.
[[gnu::noinline]] void MarksEndingAt(std::uint64_t window, std::uint64_t bytes, std::vector<TMark>& found) {
  for (int shift = 7; shift >= 0; --shift) {
    const std::uint64_t bits = window >> shift & kMagicMask;
    const std::uint64_t mark_end = 8 * bytes - static_cast<unsigned>(shift);
    if ((bits == kBlockMagic || bits == kEndMagic) && mark_end >= kMagicBits) {
      found.push_back({mark_end - kMagicBits, bits == kEndMagic});
    }
  }
}

}  // namespace

void TMarkScanner::Scan(const unsigned char* data, std::size_t count, std::vector<TMark>& found) {
  std::uint64_t window = window_;
  const std::uint64_t before = bytes_;
  for (std::size_t i = 0; i < count; ++i) {
    window = window << 8 | data[i];
    if (kMarkTails[window & 0xFFFF]) MarksEndingAt(window, before + i + 1, found);
  }
  window_ = window;
  bytes_ = before + count;
}

const TShimBlock& ShimFor(unsigned offset) { return kShims[offset - 1]; }

}  // namespace quorvane::parallel
