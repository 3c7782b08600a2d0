// The user stops at every possible moment: the host's callback answers 0 at
// report k, for every k an operation makes, in extraction, testing, packing
// and in-memory packing.  Each stop must come back as 21 with every
// descriptor closed, no temporary file left, and an archive that was already
// at the target left exactly as it was.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "archive.h"
#include "files.h"
#include "isolated_plugin.h"
#include "mempack.h"
#include "process.h"

namespace qvtest {
namespace {

// Five full 64 KiB blocks and a partial one: six reports when packing.
const std::string& Contents() {
  static const std::string contents = TextBytes(5 * 65536 + 1000);
  return contents;
}

class StopAtEveryBlock : public testing::Test {
 protected:
  void SetUp() override {
    // Registered once, as a host does; it serves packing as well.
    isolated_.plugin().SetProcessDataProc(nullptr, ProgressRecorder::Callback);
    // Blocks of 100 kB, so that unpacking stops while workers decode.
    ArchiveRecipe recipe;
    recipe.name = "stop.txt";
    recipe.content = Contents();
    recipe.block_size = 1;
    WriteArchive(archive_, recipe);
    WriteFile(source_, Contents());
  }

  // What must hold after any stopped or finished operation.
  void ExpectClean(int fds) {
    EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
    EXPECT_EQ(isolated_.Leftovers(), std::vector<std::string>{}) << "a temporary file was left";
  }

  // Reports made by `run` when nobody stops it; it must succeed.
  template <typename Run>
  std::size_t CountReports(Run run, int success = kOk) {
    ProgressRecorder recorder;
    EXPECT_EQ(run(), success);
    return recorder.Count();
  }

  ScopedEnv threads_{"QUORVANE_THREADS", "2"};
  IsolatedPlugin isolated_;
  const std::string archive_ = isolated_.Work("stop.qv");
  const std::string source_ = isolated_.Work("source.txt");
};

TEST_F(StopAtEveryBlock, ExtractAndTest) {
  const std::string output = isolated_.Work("out.txt");
  for (int operation : {kTest, kExtract}) {
    SCOPED_TRACE(operation == kTest ? "test" : "extract");
    auto run = [&] { return WalkArchive(isolated_.plugin(), archive_, operation, output).process; };
    const std::size_t reports = CountReports(run);
    // The first report (no name) comes before any data, then one per block.
    ASSERT_GE(reports, 6u);
    for (std::size_t k = 0; k < reports; ++k) {
      SCOPED_TRACE("stopped at report " + std::to_string(k));
      const int fds = CountOpenFds();
      ProgressRecorder recorder;
      recorder.StopAt(k);
      EXPECT_EQ(run(), kEAborted) << "a stopped unpacking must say so";
      // Nothing is asked after the answer to stop.
      EXPECT_EQ(recorder.Count(), std::max<std::size_t>(k, 1) + 1);
      ExpectClean(fds);
      if (operation == kExtract) {
        // The partial output stays, and it is the start of the real data.
        const std::string out = ReadFile(output);
        EXPECT_LE(out.size(), Contents().size());
        EXPECT_EQ(Contents().compare(0, out.size(), out), 0);
      }
    }
  }
}

TEST_F(StopAtEveryBlock, PackFilesLeavesAnExistingArchiveAlone) {
  const std::string target = isolated_.Work("target.qv");
  const std::string previous = "an archive that was here before";
  auto run = [&] { return isolated_.plugin().Pack(target, isolated_.work_dir(), {"source.txt"}); };
  const std::size_t reports = CountReports(run);
  ASSERT_EQ(reports, 6u);
  for (std::size_t k = 0; k < reports; ++k) {
    SCOPED_TRACE("stopped at report " + std::to_string(k));
    WriteFile(target, previous);
    const std::vector<std::string> before = ListDir(isolated_.work_dir());
    const int fds = CountOpenFds();
    ProgressRecorder recorder;
    recorder.StopAt(k);
    EXPECT_EQ(run(), kEAborted);
    EXPECT_EQ(recorder.Count(), k + 1);
    ExpectClean(fds);
    EXPECT_EQ(ReadFile(target), previous) << "a stopped packing replaced the archive";
    EXPECT_EQ(ListDir(isolated_.work_dir()), before) << "packing left a file beside the target";
  }
}

TEST_F(StopAtEveryBlock, InMemoryPacking) {
  auto run = [&] { return RunMemPack(isolated_.plugin(), "/somewhere/stop.qv", Contents()).result; };
  const std::size_t reports = CountReports(run, 1);
  ASSERT_EQ(reports, 6u);
  for (std::size_t k = 0; k < reports; ++k) {
    SCOPED_TRACE("stopped at report " + std::to_string(k));
    const int fds = CountOpenFds();
    ProgressRecorder recorder;
    recorder.StopAt(k);
    const MemPackRun stopped = RunMemPack(isolated_.plugin(), "/somewhere/stop.qv", Contents());
    EXPECT_EQ(stopped.Failure(), kEAborted);
    EXPECT_TRUE(stopped.Finished()) << "after its failure the job must be over";
    EXPECT_EQ(stopped.archive, "") << "a stopped job handed out an archive";
    EXPECT_EQ(recorder.Count(), k + 1);
    ExpectClean(fds);
  }
}

// A callback that calls back in on the handle whose work it reports, from
// its own thread or another, is answered without waiting for that work: 24
// where the work leaves no room for the call.
TEST_F(StopAtEveryBlock, CallbacksThatCallBackInAreAnswered) {
  const Plugin& plugin = isolated_.plugin();
  std::string target = isolated_.Work("mem.qv");
  HeaderRecord record(0x5A, kHeaderExLayout);
  int count = 0;
  char out[16];
  const std::pair<bool, std::function<int(void*)>> calls[] = {  // on a job?, the call
      {false, [&](void* h) { return plugin.ReadHeader(h, record.data()); }},
      {false, [&](void* h) { return plugin.ReadHeaderEx(h, record.data()); }},
      {false, [&](void* h) { return plugin.ProcessFile(h, kTest, nullptr, nullptr); }},
      {true, [&](void* h) { return plugin.PackToMem(h, nullptr, 0, &count, out, sizeof out, &count, 0); }}};
  for (const auto& [job, call] : calls) {
    // Apart: a call that waited for the work under way would wait forever.
    const std::optional<int> answers = RunIsolated([&, &job = job, &call = call] {
      void* handle = job ? plugin.StartMemPack(0, target.data()) : plugin.Open(archive_);
      if (!job) plugin.ReadHeader(handle, record.data());
      int answer = -1;
      ProgressRecorder recorder;
      recorder.At(1, [&] {
        std::thread([&] { plugin.SetProcessDataProc(handle, nullptr); }).join();
        plugin.SetProcessDataProc(handle, ProgressRecorder::Callback);
        answer = call(handle);
      });
      plugin.SetProcessDataProc(handle, ProgressRecorder::Callback);
      const int done = job ? RunMemPack(plugin, handle, Contents()).result : plugin.Process(handle, kTest, "", "");
      if (!job) plugin.CloseArchive(handle);
      return answer * 100 + done;
    }, 60);
    ASSERT_TRUE(answers.has_value()) << "a call from the callback never came back";
    EXPECT_EQ(*answers, kNotSupported * 100 + (job ? 1 : kOk));
  }
}

#ifndef _WIN32
// A host killed at any report (kill -9) leaves an existing file as it was
// and nothing else, beside the target or in the temporary folder.  (Where
// the file system has no unnamed files, a hidden .qvNUMBER may remain.)
TEST_F(StopAtEveryBlock, AKilledHostLeavesNothingBehind) {
  if (!HasUnnamedFiles(isolated_.work_dir())) GTEST_SKIP() << "no unnamed files on this file system";
  const std::string target = isolated_.Work("target.qv");
  WriteFile(target, "the user's own");
  const std::function<int()> operations[] = {
      [&] { return WalkArchive(isolated_.plugin(), archive_, kExtract, target).process; },
      [&] { return isolated_.plugin().Pack(target, isolated_.work_dir(), {"source.txt"}); },
      [&] { return RunMemPack(isolated_.plugin(), target, Contents()).result; }};
  const std::vector<std::string> before = ListDir(isolated_.work_dir());
  for (std::size_t k = 0; k < 18; ++k) {
    SCOPED_TRACE("operation " + std::to_string(k / 6) + ", killed at report " + std::to_string(k % 6));
    EXPECT_FALSE(RunIsolated([&] {
      isolated_.plugin().SetProcessDataProc(nullptr, ProgressRecorder::Callback);  // a new thread's
      ProgressRecorder recorder;
      recorder.At(k % 6, [] { raise(SIGKILL); });
      return operations[k / 6]();
    }, 60).has_value());
    EXPECT_EQ(ListDir(isolated_.work_dir()), before);
    EXPECT_EQ(isolated_.Leftovers(), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(target), "the user's own");
  }
}
#endif

}  // namespace
}  // namespace qvtest
