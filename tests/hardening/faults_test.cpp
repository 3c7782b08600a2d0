// Fault injection through the platform layer: the test flavour of the plugin
// can make the n-th open, read, write, seek, close, rename, library lookup or
// allocation fail.  Every operation runs once to count its calls of each
// kind, then once more for every n with that call failing.  After each run: a
// result code came back (the process is still here), every descriptor is
// closed, no temporary file remains, an archive already at the target is
// unchanged unless the operation succeeded, and a reported success is a real
// one.  Then, for each kind of operation, one failure of each sort in turn
// must come back as the code the README's table gives it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "archive.h"
#include "files.h"
#include "isolated_plugin.h"
#include "mempack.h"
#include "process.h"

namespace qvtest {
namespace {

enum Fault { kOpenFault, kReadFault, kWriteFault, kSeekFault, kCloseFault, kRenameFault, kLookupFault,
             kAllocFault, kUnnamedFault, kFaults };
const char* const kFaultNames[] = {"open", "read", "write", "seek", "close", "rename", "lookup",
                                   "allocation", "unnamed file"};

// Two full blocks and a partial one.
const std::string& Contents() {
  static const std::string contents = TextBytes(140'000);
  return contents;
}

// True when `archive` is a whole archive of Contents(), its checksum
// included.
bool HoldsContents(const std::string& archive) {
  const std::optional<ParsedHeader> header = ParseArchive(archive);
  if (!header || header->magic != kMagic || header->unpsize != Contents().size() ||
      header->packsize != header->payload.size() || header->crc != Crc32(Contents())) {
    return false;
  }
  const std::optional<std::string> data = Bzip2Decompress(header->payload);
  return data && *data == Contents();
}

class FaultInjection : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(isolated_.plugin().Loaded()) << isolated_.plugin().Problem();
    module_ = dlopen(isolated_.plugin().Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module_, nullptr);
    inject_ = reinterpret_cast<void (*)(int, long)>(dlsym(module_, "QuorvaneInjectFault"));
    count_ = reinterpret_cast<long (*)(int)>(dlsym(module_, "QuorvaneFaultCount"));
    ASSERT_NE(inject_, nullptr);
    ASSERT_NE(count_, nullptr);
    ASSERT_TRUE(InitializeExtension(isolated_.plugin()));
    WriteArchive(archive_, "faults.txt", Contents());
    WriteFile(isolated_.Work("source.txt"), Contents());
  }

  void TearDown() override {
    if (inject_ != nullptr) inject_(0, 0);
    if (module_ != nullptr) dlclose(module_);
  }

  // Runs `operation` with the n-th call of every kind failing in turn.
  // `operation` returns its result code and checks what it produced; `allowed`
  // lists the codes it may answer.  It must succeed (`success`) unfaulted.
  // Each faulted run is first tried in a child process, so that a crash is
  // reported as such and the remaining faults still run.
  void EveryFault(const std::function<int()>& operation, const std::set<int>& allowed,
                  int success = kOk) {
    for (int kind = 0; kind < kFaults; ++kind) {
      inject_(kind, 0);
      ASSERT_EQ(operation(), success) << "the operation fails without any fault";
      const long calls = count_(kind);
      for (long n = 1; n <= calls; ++n) {
        SCOPED_TRACE(std::string(kFaultNames[kind]) + " call " + std::to_string(n) + " of " +
                     std::to_string(calls) + " fails");
        const std::optional<int> survived = RunIsolated([&] {
          inject_(kind, n);
          return operation();
        }, 60);
        // The child's leftovers, if any, are not the parent run's.
        for (const std::string& name : isolated_.Leftovers()) {
          std::remove((isolated_.temp_dir() + "/" + name).c_str());
        }
        if (!survived) {
          ADD_FAILURE() << "the process died or hung";
          continue;
        }
        const int fds = CountOpenFds();
        inject_(kind, n);
        const int result = operation();
        inject_(kind, 0);
        EXPECT_TRUE(allowed.count(result)) << "answered " << result;
        EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
        EXPECT_EQ(isolated_.Leftovers(), std::vector<std::string>{}) << "a temporary file was left";
      }
    }
    // Nothing that failed before may spoil the next run.
    EXPECT_EQ(operation(), success) << "the plugin did not recover from the faults";
  }

  IsolatedPlugin isolated_{QUORVANE_FAULTS_PLUGIN_PATH};
  const std::string archive_ = isolated_.Work("faults.qv");
  void* module_ = nullptr;
  void (*inject_)(int, long) = nullptr;
  long (*count_)(int) = nullptr;
};

TEST_F(FaultInjection, Extract) {
  const std::string output = isolated_.Work("out.txt");
  const std::string previous = "the user's own file";
  EveryFault(
      [&] {
        WriteFile(output, previous);
        const std::vector<std::string> before = ListDir(isolated_.work_dir());
        const Walk walk = WalkArchive(isolated_.plugin(), archive_, kExtract, output);
        if (!walk.opened) return walk.open_result;
        if (walk.header != kOk) return walk.header;
        // A failed extraction must say so: success means the file is right,
        // and anything else short of damaged data leaves the old file as it was.
        if (walk.process == kOk) {
          EXPECT_EQ(ReadFile(output), Contents());
        } else if (walk.process != kBadArchive) {
          EXPECT_EQ(ReadFile(output), previous) << "a failed extraction changed the file it would replace";
        }
        EXPECT_EQ(ListDir(isolated_.work_dir()), before) << "a file was left beside the target";
        return walk.process;
      },
      {kOk, kNoMemory, kBadArchive, kUnknownFormat, kEOpen, kECreate, kEWrite});
}

TEST_F(FaultInjection, Test) {
  EveryFault(
      [&] {
        const Walk walk = WalkArchive(isolated_.plugin(), archive_, kTest);
        if (!walk.opened) return walk.open_result;
        if (walk.header != kOk) return walk.header;
        return walk.process;
      },
      {kOk, kNoMemory, kBadArchive, kUnknownFormat, kEOpen});
}

TEST_F(FaultInjection, PackFilesOverAnExistingArchive) {
  const std::string target = isolated_.Work("target.qv");
  const std::string previous = "an archive that was here before";
  EveryFault(
      [&] {
        WriteFile(target, previous);
        const std::vector<std::string> before = ListDir(isolated_.work_dir());
        const int result = isolated_.plugin().Pack(target, isolated_.work_dir(), {"source.txt"});
        const std::string now = ReadFile(target);
        if (result == kOk) {
          EXPECT_TRUE(HoldsContents(now)) << "a reported success wrote a bad archive";
        } else {
          EXPECT_EQ(now, previous) << "a failed packing changed the archive";
        }
        EXPECT_EQ(ListDir(isolated_.work_dir()), before) << "a file was left beside the target";
        return result;
      },
      {kOk, kNoMemory, kEOpen, kEWrite});
}

TEST_F(FaultInjection, InMemoryJob) {
  EveryFault(
      [&] {
        std::string target = isolated_.Work("mem.qv");
        void* handle = isolated_.plugin().StartMemPack(0, target.data());
        // A job that cannot be set up at all has no code to give: only memory refuses one.
        if (handle == nullptr) return kNoMemory;
        const MemPackRun run = RunMemPack(isolated_.plugin(), handle, Contents());
        if (run.input_result != -1) {
          // Collecting failed: the job reports it, and then is over.
          EXPECT_TRUE(run.input_result == kEWrite || run.input_result == kNoMemory) << run.input_result;
          EXPECT_EQ(run.result, 1);
          return run.input_result;
        }
        if (run.result == 1) {
          EXPECT_TRUE(HoldsContents(run.archive)) << "a finished job handed out a bad archive";
        } else {
          EXPECT_EQ(run.after, 1) << "after its failure the job must be over";
        }
        return run.result;
      },
      {1, kNoMemory, kEWrite}, 1);
}

// ------------------------------------------------------------ result codes
//
// One failure of each sort, provoked by failing the n-th call of a kind
// counted from the start of the step it is in.  Damaged data (13) and a stop
// (21) are provoked in all their forms by tests of their own
// (Extraction.DamagedPayloadsEndInBadData, StopAtEveryBlock).

struct Provoked {
  const char* what;
  Fault fault;
  long n;
  int code;
};

TEST_F(FaultInjection, ReadingAnswersByWhatFailed) {
  // Listing counts from OpenArchive, which opens the archive and reads the
  // magic (a file it cannot read is not known to be foreign); testing and
  // extracting from ProcessFile, which reads the archive held open since,
  // and creates the output first.
  constexpr int kList = -1;
  const std::pair<int, Provoked> cases[] = {
      {kList, {"the archive cannot be opened", kOpenFault, 1, kEOpen}},
      {kList, {"reading the magic fails", kReadFault, 1, kEOpen}},
      {kList, {"reading the header fails", kReadFault, 2, kEOpen}},
      {kList, {"memory runs out", kAllocFault, 1, kNoMemory}},
      {kTest, {"reading the archive fails", kReadFault, 1, kEOpen}},
      {kTest, {"the library cannot be bound", kLookupFault, 1, kEOpen}},
      {kTest, {"memory runs out", kAllocFault, 1, kNoMemory}},
      {kExtract, {"the output cannot be created", kOpenFault, 1, kECreate}},
      {kExtract, {"writing the output fails", kWriteFault, 1, kEWrite}},
      {kExtract, {"the output cannot be closed", kCloseFault, 1, kECreate}},
      {kExtract, {"the output cannot be put in place", kRenameFault, 1, kECreate}},
      {kExtract, {"memory runs out", kAllocFault, 1, kNoMemory}},
  };
  const Plugin& plugin = isolated_.plugin();
  for (const auto& [operation, c] : cases) {
    SCOPED_TRACE(std::string(operation == kList ? "list: " : operation == kTest ? "test: " : "extract: ") +
                 c.what);
    HeaderRecord header;
    int code = -1;
    if (operation == kList) inject_(c.fault, c.n);
    void* handle = plugin.Open(archive_, &code);
    if (handle != nullptr) code = plugin.ReadHeader(handle, header.data());
    if (operation != kList) {
      ASSERT_EQ(code, kOk);
      inject_(c.fault, c.n);
      code = plugin.Process(handle, operation, nullptr, isolated_.Work("out.txt").c_str());
    }
    inject_(c.fault, 0);
    if (handle != nullptr) plugin.CloseArchive(handle);
    EXPECT_EQ(code, c.code);
  }
}

TEST_F(FaultInjection, PackingAFileAnswersByWhatFailed) {
  const Provoked cases[] = {
      {"the source cannot be opened", kOpenFault, 1, kEOpen},
      {"reading the source fails", kReadFault, 1, kEWrite},
      {"the archive cannot be created", kOpenFault, 2, kEWrite},
      {"writing the archive fails", kWriteFault, 1, kEWrite},
      {"the archive cannot be put in place", kRenameFault, 1, kEWrite},
      {"the library cannot be bound", kLookupFault, 1, kEWrite},
      {"memory runs out", kAllocFault, 1, kNoMemory},
  };
  for (const Provoked& c : cases) {
    SCOPED_TRACE(c.what);
    ClearRecordedMessages();
    inject_(c.fault, c.n);
    const int code = isolated_.plugin().Pack(isolated_.Work("packed.qv"), isolated_.work_dir(), {"source.txt"});
    EXPECT_EQ(code, c.code);
    inject_(c.fault, 0);
    // A source that cannot be read is named to the user, with the reason.
    const std::vector<RecordedMessage> messages = RecordedMessages();
    ASSERT_EQ(messages.size(), c.fault == kReadFault ? 1u : 0u);
    if (c.fault != kReadFault) continue;
    EXPECT_EQ(messages[0].text.rfind("Ошибка '", 0), 0u) << messages[0].text;
    EXPECT_NE(messages[0].text.find("' при обработке файла '" + isolated_.Work("source.txt") + "'"),
              std::string::npos)
        << messages[0].text;
  }
}

TEST_F(FaultInjection, InMemoryPackingAnswersByWhatFailed) {
  // The job makes its payload file, binds the library and takes its memory
  // when it starts: those faults are counted from StartMemPack, the others
  // from the first PackToMem.
  const struct {
    Provoked provoked;
    bool at_start;
  } cases[] = {
      {{"writing the payload fails", kWriteFault, 1, kEWrite}, false},
      {{"reading the payload back fails", kReadFault, 1, kEWrite}, false},
      {{"the payload file cannot be created", kOpenFault, 1, kEWrite}, true},
      {{"the library cannot be bound", kLookupFault, 1, kEWrite}, true},
      // The name and the job itself come first: without them there is no handle.
      {{"memory runs out as the job starts", kAllocFault, 3, kNoMemory}, true},
      {{"memory runs out", kAllocFault, 1, kNoMemory}, false},
  };
  for (const auto& [c, at_start] : cases) {
    SCOPED_TRACE(c.what);
    std::string target = isolated_.Work("mem.qv");
    if (at_start) inject_(c.fault, c.n);
    void* handle = isolated_.plugin().StartMemPack(0, target.data());
    ASSERT_NE(handle, nullptr);
    if (!at_start) inject_(c.fault, c.n);
    EXPECT_EQ(RunMemPack(isolated_.plugin(), handle, Contents()).Failure(), c.code);
    inject_(c.fault, 0);
  }
}

}  // namespace
}  // namespace qvtest
