// Damaged archives through the exported entry points: every truncated prefix,
// seeded random damage, and the classic defects (bytes after the stream, a
// second stream, a wrong name length, a wrong checksum).  Whatever the damage,
// the plugin must answer with a result code, delete its temporary file, close
// every descriptor, and never call damaged data good.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "archive.h"
#include "files.h"
#include "isolated_plugin.h"
#include "mempack.h"
#include "process.h"

namespace qvtest {
namespace {

// A text that spans two of the plugin's 64 KiB blocks.
std::string Contents() { return TextBytes(100'000); }

class Corruption : public testing::Test {
 protected:
  // Writes `bytes` as the archive, tests it and extracts it; returns the two
  // walks after checking what must hold whatever the damage.
  std::pair<Walk, Walk> TestAndExtract(const std::string& bytes) {
    const std::string archive = isolated_.Work("damaged.qv");
    const std::string output = isolated_.Work("out.txt");
    WriteFile(archive, bytes);
    std::remove(output.c_str());
    const int fds = CountOpenFds();
    const Walk tested = WalkArchive(isolated_.plugin(), archive, kTest);
    const Walk extracted = WalkArchive(isolated_.plugin(), archive, kExtract, output);
    EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
    EXPECT_EQ(isolated_.Leftovers(), std::vector<std::string>{}) << "a temporary file was left";
    EXPECT_EQ(tested.opened, extracted.opened);
    EXPECT_EQ(tested.process, extracted.process) << "test and extract disagree";
    if (extracted.opened && extracted.header == kOk) {
      EXPECT_EQ(extracted.second_header, kEndArchive);
      // Success means the data is right: a damaged payload must never pass.
      if (extracted.process == kOk) {
        EXPECT_EQ(ReadFile(output), expected_) << "damaged data was accepted";
      }
    }
    return {tested, extracted};
  }

  // Two threads: streams of more than one block are read in parallel.
  ScopedEnv threads_{"QUORVANE_THREADS", "2"};
  IsolatedPlugin isolated_;
  std::string expected_ = Contents();
};

TEST_F(Corruption, EveryTruncatedPrefixEndsInACode) {
  // A small archive keeps the number of prefixes (and the run time) low.
  expected_ = TextBytes(3000);
  ArchiveRecipe recipe;
  recipe.name = "prefix.txt";
  recipe.content = expected_;
  const std::string whole = MakeArchive(recipe);
  const std::size_t payload_start = kArchiveHeaderSize + recipe.name.size();

  for (std::size_t length = 0; length <= whole.size(); ++length) {
    SCOPED_TRACE("prefix of " + std::to_string(length) + " of " + std::to_string(whole.size()));
    const std::string output = isolated_.Work("out.txt");
    const auto [tested, extracted] = TestAndExtract(whole.substr(0, length));
    if (length < 8) {
      EXPECT_FALSE(tested.opened);
      EXPECT_EQ(tested.open_result, kUnknownFormat);
      EXPECT_EQ(isolated_.plugin().CanHandle(isolated_.Work("damaged.qv")), 0);
      continue;
    }
    ASSERT_TRUE(tested.opened);
    ASSERT_EQ(tested.header, kOk);
    if (length >= payload_start) {
      EXPECT_EQ(tested.listed_name, recipe.name);
    }
    // Only the whole archive is good, however little is missing: the
    // payload falls short of the packed size in the header.
    EXPECT_EQ(tested.process, length == whole.size() ? kOk : kBadArchive);
    // Whatever was unpacked is the start of the real contents, never garbage.
    const std::string out = ReadFile(output);
    EXPECT_EQ(expected_.compare(0, out.size(), out), 0);
  }
}

TEST_F(Corruption, RandomDamageIsNeverAcceptedAsGoodData) {
  ArchiveRecipe recipe;
  recipe.name = "damage.txt";
  recipe.content = expected_;
  recipe.block_size = 1;  // two blocks
  const std::string whole = MakeArchive(recipe);
  std::mt19937 random(20240601);  // fixed: a failure must reproduce
  std::set<int> codes;
  for (int copy = 0; copy < 1000; ++copy) {
    std::string damaged = whole;
    // Between one byte and just under 1% of them.
    const std::size_t count = 1 + random() % (whole.size() / 100 - 1);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = random() % damaged.size();
      damaged[at] = static_cast<char>(damaged[at] ^ (1 + random() % 255));
    }
    SCOPED_TRACE("copy " + std::to_string(copy) + ", " + std::to_string(count) + " bytes");
    const auto [tested, extracted] = TestAndExtract(damaged);
    if (!tested.opened) {
      EXPECT_EQ(tested.open_result, kUnknownFormat);
      EXPECT_NE(damaged.compare(0, 8, kMagic), 0) << "a good magic was refused";
      codes.insert(kUnknownFormat);
      continue;
    }
    EXPECT_EQ(tested.header, kOk);
    EXPECT_TRUE(tested.process == kOk || tested.process == kBadArchive) << tested.process;
    codes.insert(tested.process);
    if (::testing::Test::HasFailure()) break;  // one reproducible report is enough
  }
  // The damage must have reached both outcomes, or the test tests nothing.
  EXPECT_TRUE(codes.count(kBadArchive));
  EXPECT_TRUE(codes.count(kUnknownFormat));
}

TEST_F(Corruption, DefectsAfterOrAroundTheStreamAreReported) {
  ArchiveRecipe recipe;
  recipe.name = "defect.txt";
  recipe.content = expected_;
  const std::string whole = MakeArchive(recipe);
  const std::string payload = Bzip2Compress(expected_);

  struct Case {
    const char* what;
    std::string bytes;
  };
  ArchiveRecipe long_name = recipe;
  long_name.namelen = static_cast<std::uint8_t>(recipe.name.size() + 3);
  ArchiveRecipe short_name = recipe;
  short_name.namelen = static_cast<std::uint8_t>(recipe.name.size() - 3);
  ArchiveRecipe packed_size = recipe;
  packed_size.packsize = static_cast<std::uint32_t>(Bzip2Compress(expected_).size() + 1);
  ArchiveRecipe past_end = recipe;
  past_end.content = "tiny";
  past_end.namelen = 255;
  const std::vector<Case> cases = {
      {"junk after the stream", whole + "junk after the end"},
      {"zero bytes after the stream", whole + std::string(512, '\0')},
      {"a second stream", whole + Bzip2Compress("a second stream")},
      {"the same stream twice", whole + payload},
      {"a name length too long", MakeArchive(long_name)},
      {"a name length too short", MakeArchive(short_name)},
      {"a name length past the end of the file", MakeArchive(past_end)},
      {"a packed size the payload does not have", MakeArchive(packed_size)},
      {"a payload that is not bzip2", whole.substr(0, kArchiveHeaderSize + 10) + expected_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [tested, extracted] = TestAndExtract(c.bytes);
    ASSERT_TRUE(tested.opened);
    EXPECT_EQ(tested.header, kOk);
    EXPECT_EQ(tested.process, kBadArchive);
  }

  // A wrong checksum: the data itself is fine and stays on disk for the user.
  ArchiveRecipe wrong_crc = recipe;
  wrong_crc.crc = Crc32(expected_) ^ 0x80000000u;
  const std::string output = isolated_.Work("out.txt");
  const auto [tested, extracted] = TestAndExtract(MakeArchive(wrong_crc));
  EXPECT_EQ(tested.process, kBadArchive);
  EXPECT_EQ(ReadFile(output), expected_);
}

}  // namespace
}  // namespace qvtest
