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
#include <vector>

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

// A host's callback that calls back into the plugin on the handle whose
// work it reports, from its own thread or from another, gets an answer
// without waiting for that work: 24 where the work under way leaves no room
// for the call.
TEST_F(StopAtEveryBlock, CallbacksThatCallBackInAreAnswered) {
  const Plugin& plugin = isolated_.plugin();
  struct Call {
    const char* what;
    std::function<int(void*)> call;
    int answer;
  };
  const Call set_callback = {"SetProcessDataProc", [&](void* handle) {
                               plugin.SetProcessDataProc(handle, ProgressRecorder::Callback);
                               return kOk;
                             }, kOk};
  const Call from_another_thread = {"SetProcessDataProc from another thread", [&](void* handle) {
                                      std::thread([&] { plugin.SetProcessDataProc(handle, nullptr); }).join();
                                      return kOk;
                                    }, kOk};
  const std::vector<Call> archive_calls = {
      {"ReadHeader", [&](void* handle) { HeaderRecord record; return plugin.ReadHeader(handle, record.data()); },
       kNotSupported},
      {"ReadHeaderEx", [&](void* handle) {
         HeaderRecord record(0x5A, kHeaderExLayout);
         return plugin.ReadHeaderEx(handle, record.data());
       }, kNotSupported},
      {"ProcessFile", [&](void* handle) { return plugin.ProcessFile(handle, kTest, nullptr, nullptr); },
       kNotSupported},
      set_callback,
      from_another_thread,
  };
  const std::vector<Call> job_calls = {
      {"PackToMem", [&](void* handle) {
         int taken = -1, written = -1;
         char out[16];
         return plugin.PackToMem(handle, nullptr, 0, &taken, out, sizeof out, &written, 0);
       }, kNotSupported},
      set_callback,
      from_another_thread,
  };
  // The work: testing an open archive, and an in-memory job to its end.
  const auto test_archive = [&](void* handle) {
    const int result = plugin.ProcessFile(handle, kTest, nullptr, nullptr);
    plugin.CloseArchive(handle);
    return result;
  };
  const auto pack_in_memory = [&](void* handle) { return RunMemPack(plugin, handle, Contents()).result; };
  std::string target = isolated_.Work("mem.qv");
  const auto open_archive = [&] {
    void* handle = plugin.Open(archive_);
    HeaderRecord header;
    EXPECT_EQ(plugin.ReadHeader(handle, header.data()), kOk);
    return handle;
  };
  const auto start_job = [&] { return plugin.StartMemPack(0, target.data()); };
  struct Object {
    const char* what;
    std::function<void*()> open;
    std::function<int(void*)> work;
    int success;
    std::vector<Call> calls;
  };
  const Object objects[] = {{"archive", open_archive, test_archive, kOk, archive_calls},
                            {"in-memory job", start_job, pack_in_memory, 1, job_calls}};
  for (const Object& object : objects) {
    for (const Call& c : object.calls) {
      SCOPED_TRACE(std::string(object.what) + ": " + c.what);
      // In a child of its own: a call that waits for the work under way
      // would wait forever.
      const std::optional<int> answers = RunIsolated([&] {
        void* handle = object.open();
        int answer = -1;
        ProgressRecorder recorder;
        recorder.At(1, [&] { answer = c.call(handle); });
        plugin.SetProcessDataProc(handle, ProgressRecorder::Callback);
        const int result = object.work(handle);
        return answer * 100 + result;
      }, 60);
      ASSERT_TRUE(answers.has_value()) << "the call from the callback never came back";
      EXPECT_EQ(*answers / 100, c.answer);
      EXPECT_EQ(*answers % 100, object.success) << "the work under way did not finish";
    }
  }
}

#ifndef _WIN32
// A host killed at any report (kill -9) leaves an existing file as it was
// and nothing else: nothing beside the target, nothing in the temporary
// folder.  Where the file system has no unnamed files (O_TMPFILE) a hidden
// .qvNUMBER beside the target may remain; this checks where it has them.
TEST_F(StopAtEveryBlock, AKilledHostLeavesNothingBehind) {
  if (!HasUnnamedFiles(isolated_.work_dir()) || !HasUnnamedFiles(isolated_.temp_dir())) {
    GTEST_SKIP() << "no unnamed files on this file system";
  }
  const std::string output = isolated_.Work("out.txt");
  const std::string target = isolated_.Work("target.qv");
  WriteFile(output, "the user's own");
  WriteFile(target, "an archive that was here before");
  const std::pair<const char*, std::function<int()>> operations[] = {
      {"extract", [&] { return WalkArchive(isolated_.plugin(), archive_, kExtract, output).process; }},
      {"pack", [&] { return isolated_.plugin().Pack(target, isolated_.work_dir(), {"source.txt"}); }},
      {"in memory", [&] { return RunMemPack(isolated_.plugin(), target, Contents()).result; }},
  };
  const std::vector<std::string> before = ListDir(isolated_.work_dir());
  for (const auto& [what, run] : operations) {
    for (std::size_t k = 0; k < 6; ++k) {
      SCOPED_TRACE(std::string(what) + ", killed at report " + std::to_string(k));
      const std::optional<int> survived = RunIsolated(
          [&] {
            // Packing callbacks belong to a thread, and this is a new one.
            isolated_.plugin().SetProcessDataProc(nullptr, ProgressRecorder::Callback);
            ProgressRecorder recorder;
            recorder.At(k, [] { raise(SIGKILL); });
            return run();
          },
          60);
      EXPECT_FALSE(survived.has_value()) << "it was not killed";
      EXPECT_EQ(ListDir(isolated_.work_dir()), before);
      EXPECT_EQ(isolated_.Leftovers(), std::vector<std::string>{});
      EXPECT_EQ(ReadFile(output), "the user's own");
      EXPECT_EQ(ReadFile(target), "an archive that was here before");
    }
  }
}
#endif

}  // namespace
}  // namespace qvtest
