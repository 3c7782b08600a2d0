// The parallel engine: the thread count a job takes from the environment,
// the allowance of worker threads all jobs share, and the compressor's bytes,
// which must be bzip2 -9's for every thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "CMain/module.h"
#include "archive.h"
#include "bzLib/compressor.h"
#include "bzLib/library.h"
#include "bzLib/threads.h"
#include "files.h"
#include "platform/platform.h"

namespace {

using quorvane::parallel::ConfiguredThreads;
using quorvane::parallel::TWorkerGrant;

// Input bytes the first level-9 block holds when the data has no run of
// four or more equal bytes.
constexpr std::size_t kPlainBlock = 100000 * 9 - 19;
// Runs of exactly four take five bytes of the block each.
constexpr std::size_t kFoursBlock = (kPlainBlock + 4) / 5 * 4;

// Data without runs of equal bytes.
std::string Plain(std::size_t size, std::uint32_t seed) {
  std::string data = qvtest::RandomBytes(size, seed);
  for (std::size_t i = 1; i < data.size(); ++i) {
    if (data[i] == data[i - 1]) data[i] = static_cast<char>(data[i] + 1);
  }
  return data;
}

// Runs of exactly four equal bytes, each unlike the last.
std::string Fours(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i / 4 % 26);
  return data;
}

// Plain data with a run of `run` bytes ending `offset` bytes from the first
// block's end, and plain data after it.
std::string RunNearTheEnd(std::size_t run, long offset) {
  const std::size_t end = static_cast<std::size_t>(static_cast<long>(kPlainBlock) + offset);
  std::string data = Plain(end + 5000, 7);
  data.replace(end - run, run, run, data[end - run]);
  if (data[end] == data[end - 1]) data[end] = static_cast<char>(data[end] + 1);
  return data;
}

struct Input {
  std::string name;
  std::string data;
};

// Edges of the cutter: lengths about the first two block ends for several
// kinds of data, and runs that end about a block's end.  QV_FULL_IDENTITY
// (bench/run) adds the wider table.
std::vector<Input> Inputs() {
  const bool full = std::getenv("QV_FULL_IDENTITY") != nullptr;
  std::vector<Input> inputs = {{"empty", ""}, {"one byte", "x"}};
  const auto around = [&](const std::string& kind, const std::string& data, std::size_t end) {
    for (long delta = -2; delta <= 3; ++delta) {
      if (!full && delta != -1 && delta != 0 && delta != 1) continue;
      const std::size_t size = static_cast<std::size_t>(static_cast<long>(end) + delta);
      inputs.push_back({kind + " " + std::to_string(size), data.substr(0, size)});
    }
  };
  const std::string plain = Plain(2 * kPlainBlock + 3, 1);
  around("plain", plain, kPlainBlock);
  around("plain", plain, 2 * kPlainBlock);
  around("fours", Fours(2 * kFoursBlock + 3), full ? 2 * kFoursBlock : kFoursBlock);
  if (full) around("text", qvtest::TextBytes(3 * kPlainBlock, 3), kPlainBlock);
  const std::vector<std::size_t> runs = full ? std::vector<std::size_t>{4, 5, 254, 255, 256, 1000, 100000}
                                             : std::vector<std::size_t>{4, 256, 100000};
  const std::vector<long> offsets = full ? std::vector<long>{-300, -100, -5, -1, 0, 1, 2, 5}
                                         : std::vector<long>{-300, 0, 5};
  for (std::size_t run : runs) {
    for (long offset : offsets) {
      inputs.push_back({"run " + std::to_string(run) + " ending at " + std::to_string(offset),
                        RunNearTheEnd(run, offset)});
    }
  }
  if (full) inputs.push_back({"a 100 MB run", std::string(100000000, 'z')});
  return inputs;
}

class Collect final : public quorvane::TByteSink {
 public:
  void Put(const char* data, std::size_t count) override { bytes.append(data, count); }
  std::string bytes;
};

TEST(ParallelCompressor, WritesWhatBzipWritesForEveryThreadCount) {
  const quorvane::TBZip2Library library(quorvane::ModuleDir());
  ASSERT_TRUE(library.bound());
  qvtest::TempDir scratch;
  for (const Input& input : Inputs()) {
    const std::string expected = qvtest::BzipProgramCompress(input.data, scratch.path());
    for (int threads = 1; threads <= 8; ++threads) {
      SCOPED_TRACE(input.name + ", " + std::to_string(threads) + " threads");
      qvtest::ScopedEnv env("QUORVANE_THREADS", std::to_string(threads));
      Collect out;
      quorvane::parallel::TCompressor compressor(out, ConfiguredThreads(), {});
      // Pieces of an odd size, so cuts fall anywhere within a write.
      for (std::size_t done = 0; done < input.data.size(); done += 77777) {
        compressor.Write(input.data.data() + done, std::min<std::size_t>(77777, input.data.size() - done));
      }
      compressor.Finish();
      EXPECT_TRUE(out.bytes == expected) << "differs from bzip2 -9 -c";
    }
  }
}

TEST(Threads, CountComesFromTheEnvironmentOrTheMachine) {
  const int machine = std::clamp(platform::ProcessorCount(), 1, 16);
  const struct {
    const char* value;
    int threads;
  } cases[] = {{"", machine},  {"0", machine}, {"-3", machine}, {"two", machine},
               {"4x", machine}, {"1", 1},      {"8", 8},        {"65", 64},
               {"99999999999", 64}};
  for (const auto& c : cases) {
    qvtest::ScopedEnv env("QUORVANE_THREADS", c.value);
    EXPECT_EQ(ConfiguredThreads(), c.threads) << '"' << c.value << '"';
  }
}

TEST(Threads, JobsAtOnceShareOneAllowance) {
  qvtest::ScopedEnv env("QUORVANE_THREADS", "3");
  TWorkerGrant first = TWorkerGrant::Take(2);
  TWorkerGrant second = TWorkerGrant::Take(2);
  EXPECT_EQ(first.count(), 2);
  EXPECT_EQ(second.count(), 1);
  EXPECT_EQ(TWorkerGrant::Take(5).count(), 0);
  first.Release();
  EXPECT_EQ(TWorkerGrant::Take(5).count(), 2);
}

}  // namespace
