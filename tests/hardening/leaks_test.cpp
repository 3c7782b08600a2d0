// No leaks over time: a thousand cycles of each operation in one process, as
// a file manager left running for days would do them.  Open descriptors must
// not grow at all; resident memory and the allocator's bytes in use must stay
// flat after a warm-up.  Nothing here is timed.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "archive.h"
#include "files.h"
#include "isolated_plugin.h"
#include "mempack.h"
#include "process.h"

namespace qvtest {
namespace {

// Over one 64 KiB block, so every cycle refills and flushes the staging
// buffers at least once.
const std::string& Contents() {
  static const std::string contents = TextBytes(70'000);
  return contents;
}

// Runs `cycle` `count` times after a warm-up and checks that nothing grows.
// Under AddressSanitizer fewer cycles run and only descriptors are counted:
// the sanitizer's own leak check covers memory there.
void ExpectFlat(const IsolatedPlugin& isolated, const std::function<void()>& cycle,
                int count = 1000) {
  if (kUnderAddressSanitizer) count /= 10;
#ifdef _WIN32
  // Every file operation is a round trip to Wine's server; a handle leaked
  // per cycle shows after a hundred cycles as well as after a thousand.
  count /= 10;
#endif
  for (int i = 0; i < 20; ++i) cycle();
  const int fds = CountOpenFds();
  const long rss = ResidentKiB();
  const long long heap = HeapInUse();
  for (int i = 0; i < count && !testing::Test::HasFailure(); ++i) cycle();
  EXPECT_EQ(CountOpenFds(), fds) << "descriptors grew over " << count << " cycles";
  EXPECT_EQ(isolated.Leftovers(), std::vector<std::string>{});
  if (kUnderAddressSanitizer) return;
  // A leak of one 64 KiB buffer per cycle would be 64 MiB; one of a path
  // string would still be some 100 KiB of heap.
  EXPECT_LT(ResidentKiB() - rss, 2048) << "resident memory grew over " << count << " cycles";
  if (heap >= 0) {
    EXPECT_LT(HeapInUse() - heap, 32 * 1024) << "heap in use grew over " << count << " cycles";
  }
}

class NoLeaksOverTime : public testing::Test {
 protected:
  void SetUp() override {
    WriteArchive(archive_, "leak.txt", Contents());
    WriteFile(isolated_.Work("source.txt"), Contents());
  }

  IsolatedPlugin isolated_;
  const std::string archive_ = isolated_.Work("leak.qv");
};

TEST_F(NoLeaksOverTime, ListingTestingAndExtracting) {
  const Plugin& plugin = isolated_.plugin();
  ExpectFlat(isolated_, [&] {
    OpenRecord record(archive_);
    void* handle = plugin.OpenArchive(record.data());
    HeaderRecord header;
    ASSERT_EQ(plugin.ReadHeader(handle, header.data()), kOk);
    ASSERT_EQ(plugin.ReadHeader(handle, header.data()), kEndArchive);
    plugin.CloseArchive(handle);
  }, 10000);
  ExpectFlat(isolated_, [&] { ASSERT_EQ(WalkArchive(plugin, archive_, kTest).process, kOk); });
  const std::string output = isolated_.Work("out.txt");
  ExpectFlat(isolated_,
             [&] { ASSERT_EQ(WalkArchive(plugin, archive_, kExtract, output).process, kOk); });
  EXPECT_EQ(ReadFile(output), Contents());
}

TEST_F(NoLeaksOverTime, FailingOperations) {
  // The error paths allocate and unwind too: a damaged payload, a missing
  // archive, an output that cannot be created.
  ArchiveRecipe damaged;
  damaged.content = Contents();
  damaged.payload = Bzip2Compress(Contents()).substr(0, 5000) + "junk";
  const std::string bad = isolated_.Work("bad.qv");
  WriteArchive(bad, damaged);
  const Plugin& plugin = isolated_.plugin();
  ExpectFlat(isolated_, [&] { ASSERT_EQ(WalkArchive(plugin, bad, kTest).process, kBadArchive); });
  const std::string nowhere = isolated_.Work("no-such-folder/out.txt");
  ExpectFlat(isolated_, [&] {
    ASSERT_EQ(WalkArchive(plugin, archive_, kExtract, nowhere).process, kECreate);
  });
  ExpectFlat(isolated_, [&] {
    ASSERT_EQ(plugin.Pack(isolated_.Work("x.qv"), isolated_.work_dir(), {"missing.txt"}),
              kNoFiles);
  });
}

TEST_F(NoLeaksOverTime, PackingFilesAndInMemory) {
  const Plugin& plugin = isolated_.plugin();
  const std::string target = isolated_.Work("packed.qv");
  ExpectFlat(isolated_, [&] {
    ASSERT_EQ(plugin.Pack(target, isolated_.work_dir(), {"source.txt"}), kOk);
  });
  ExpectFlat(isolated_, [&] {
    const MemPackRun run = RunMemPack(plugin, isolated_.Work("mem.qv"), Contents());
    ASSERT_EQ(run.result, 1);
    ASSERT_FALSE(run.archive.empty());
  });
  // A job the host gives up halfway must not leave its files or handle.
  ExpectFlat(isolated_, [&] {
    std::string name = isolated_.Work("given-up.qv");
    void* handle = plugin.StartMemPack(0, name.data());
    std::string input = Contents();
    int taken = 0;
    int written = 0;
    ASSERT_EQ(plugin.PackToMem(handle, input.data(), static_cast<int>(input.size()), &taken,
                               nullptr, 0, &written, 0),
              0);
    plugin.DoneMemPack(handle);
  });
}

}  // namespace
}  // namespace qvtest
