// The checksum routine, called directly: known answers and buffer
// boundaries.
#include <gtest/gtest.h>

#include <string>

#include "archive_maker.h"
#include "crc32.h"
#include "host.h"

namespace {

using namespace qvtest;

std::uint32_t WholeCrc(std::string_view data) {
  if (data.empty()) return 0;
  return quorvane::UpdateCRC32(0xFFFFFFFFu, data.data(), data.size()) ^ 0xFFFFFFFFu;
}

class Checksum : public testing::Test {};

TEST_F(Checksum, KnownAnswers) {
  EXPECT_EQ(quorvane::kCRC32Table[0], 0u);
  EXPECT_EQ(quorvane::kCRC32Table[1], 0x77073096u);
  EXPECT_EQ(quorvane::kCRC32Table[255], 0x2D02EF8Du);
  EXPECT_EQ(WholeCrc("123456789"), 0xCBF43926u);
  EXPECT_EQ(WholeCrc(""), 0u);
  EXPECT_EQ(WholeCrc("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

// The register must not depend on how the bytes are split into calls (the
// fast path takes eight bytes a step; its tail and alignment are where it
// can go wrong).
TEST_F(Checksum, SplittingTheInputDoesNotChangeTheResult) {
  std::string data = RandomBytes(1000, 7);
  std::uint32_t expected = Crc32(data);
  for (std::size_t offset = 0; offset < 9; ++offset) {
    std::string_view tail(data.data() + offset, data.size() - offset);
    EXPECT_EQ(WholeCrc(tail), Crc32(tail)) << "offset " << offset;
  }
  for (std::size_t step : {1u, 3u, 7u, 8u, 9u, 15u, 17u, 333u}) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < data.size(); i += step) {
      crc = quorvane::UpdateCRC32(crc, data.data() + i, std::min(step, data.size() - i));
    }
    EXPECT_EQ(crc ^ 0xFFFFFFFFu, expected) << "step " << step;
  }
}

}  // namespace
