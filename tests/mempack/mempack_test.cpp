// In-memory packing through the exported entry points, the way a file
// manager streams a tar of several files into the plugin and takes the
// archive back: names, the delivery rhythm, progress, temporary files and
// what becomes of them on every way a job can end.
//
// Each test loads its own copy of the plugin with TMPDIR pointing at a
// private folder, so every file the plugin leaves there is visible.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "mempack.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;

constexpr int kBlock = 65536;
const std::string kPackText = "Orvel's Quorvane - Упаковка: ";

using Call = qvtest::MemPackCall;
using Job = qvtest::MemPackJob;

// Checks that `archive` is a complete archive of `content` stored as `name`.
void ExpectArchiveOf(const std::string& archive, const std::string& name, const std::string& content) {
  const auto parsed = qvtest::ParseArchive(archive);
  ASSERT_TRUE(parsed.has_value()) << "not even a header";
  EXPECT_EQ("QUORVANE", parsed->magic);
  EXPECT_EQ(name, parsed->name);
  EXPECT_EQ(content.size(), parsed->unpsize);
  EXPECT_EQ(qvtest::Crc32(content), parsed->crc);
  EXPECT_EQ(parsed->payload.size(), parsed->packsize);
  const auto data = qvtest::Bzip2Decompress(parsed->payload);
  ASSERT_TRUE(data.has_value()) << "the payload is not one whole bzip2 stream";
  EXPECT_TRUE(*data == content) << "the payload holds other data";
}

class MemPackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(temp_dir);
    fs::create_directory(module_dir);
    fs::create_directory(out_dir);
    module_path = qvtest::CopyPlugin(module_dir);
    Load();
  }

  void Load() {
    plugin = std::make_unique<qvtest::Plugin>(module_path);
    ASSERT_TRUE(plugin->Loaded()) << plugin->Problem();
    ASSERT_TRUE(plugin->Missing().empty());
  }

  std::vector<std::string> TempFiles() const { return qvtest::ListDir(temp_dir); }

  // The name the plugin lists for the archive at `path`.
  std::string ListedName(const std::string& path) {
    int result = -1;
    void* handle = plugin->Open(path, &result);
    EXPECT_NE(nullptr, handle);
    EXPECT_EQ(0, result);
    qvtest::HeaderRecord header;
    EXPECT_EQ(0, plugin->ReadHeader(handle, header.data()));
    plugin->CloseArchive(handle);
    return header.FileName();
  }

  qvtest::TempDir scratch;
  const std::string temp_dir = scratch / "tmp";
  const std::string module_dir = scratch / "module";
  const std::string out_dir = scratch / "out";
  // The plugin takes its temporary folder from TMPDIR when it is loaded.
  qvtest::ScopedEnv tmpdir{"TMPDIR", temp_dir};
  std::string module_path;
  std::unique_ptr<qvtest::Plugin> plugin;
};

TEST_F(MemPackTest, InnerNameIsTheBaseNameWithTar) {
  const std::string content = qvtest::TextBytes(20000);
  for (const char* target : {"backup.qv", "backup.tar.qv", "backup.a.qv", "backup"}) {
    SCOPED_TRACE(target);
    Job job(*plugin, out_dir + "/" + target);
    ASSERT_EQ(0, job.Push(content).answer);
    ASSERT_EQ(1, job.PullAll(kBlock).back().answer);
    ExpectArchiveOf(job.archive(), "backup.tar", content);
    const std::string written = scratch / "written.qv";
    qvtest::WriteFile(written, job.archive());
    EXPECT_EQ("backup.tar", ListedName(written));
    EXPECT_EQ(0, plugin->DoneMemPack(job.handle()));
  }
}

TEST_F(MemPackTest, NoInputGivesTheArchiveOfAnEmptyFile) {
  Job job(*plugin, out_dir + "/empty.qv");
  EXPECT_EQ(1, job.PullAll(kBlock).back().answer);
  ExpectArchiveOf(job.archive(), "empty.tar", "");
}

TEST_F(MemPackTest, DeliveryEndsWithOneEmptyRoundTrip) {
  const std::string content = qvtest::TextBytes(3000);
  {
    SCOPED_TRACE("capacity 1");
    Job job(*plugin, out_dir + "/one.qv");
    ASSERT_EQ(0, job.Push(content).answer);
    const std::vector<Call> calls = job.PullAll(1);
    ASSERT_GE(calls.size(), 3u);
    for (std::size_t i = 0; i + 2 < calls.size(); ++i) {
      ASSERT_EQ(0, calls[i].answer) << "call " << i;
      ASSERT_EQ(1, calls[i].written) << "call " << i << " should deliver exactly one byte";
    }
    EXPECT_EQ(0, calls[calls.size() - 2].answer);
    EXPECT_EQ(0, calls[calls.size() - 2].written) << "the call that finds nothing left";
    EXPECT_EQ(1, calls.back().answer);
    EXPECT_EQ(job.archive().size(), calls.size() - 2);
    ExpectArchiveOf(job.archive(), "one.tar", content);
  }
  {
    SCOPED_TRACE("room for everything");
    Job job(*plugin, out_dir + "/all.qv");
    ASSERT_EQ(0, job.Push(content).answer);
    const std::vector<Call> calls = job.PullAll(kBlock);
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(0, calls[0].answer);
    EXPECT_GT(calls[0].written, 0);
    EXPECT_EQ(0, calls[1].answer);
    EXPECT_EQ(0, calls[1].written);
    EXPECT_EQ(1, calls[2].answer);
    ExpectArchiveOf(job.archive(), "all.tar", content);
    // Finished is finished, and both counts say that nothing moved.
    const Call after = job.Pull(kBlock);
    EXPECT_EQ(1, after.answer);
    EXPECT_EQ(0, after.taken);
    EXPECT_EQ(0, after.written);
  }
}

TEST_F(MemPackTest, ProgressNamesTheTargetOncePerBlockAsTheDataArrives) {
  for (std::size_t size : {std::size_t{0}, std::size_t{2 * kBlock}, std::size_t{3 * kBlock + 100}}) {
    SCOPED_TRACE("input of " + std::to_string(size));
    const std::string content = qvtest::RandomBytes(size, 3);
    Job job(*plugin, out_dir + "/progress.qv");
    qvtest::ProgressRecorder recorder;
    plugin->SetProcessDataProc(job.handle(), qvtest::ProgressRecorder::Callback);
    for (std::size_t done = 0; done < size; done += 10000) {
      ASSERT_EQ(0, job.Push(content.substr(done, 10000)).answer);
    }
    EXPECT_EQ(size / kBlock, recorder.Count()) << "the data is packed as it arrives";
    ASSERT_EQ(1, job.PullAll(kBlock).back().answer);
    plugin->SetProcessDataProc(job.handle(), nullptr);

    std::vector<int> expected(size / kBlock, kBlock);
    if (size % kBlock != 0 || size == 0) expected.push_back(static_cast<int>(size % kBlock));
    std::vector<int> sizes;
    for (const auto& report : recorder.Reports()) {
      EXPECT_FALSE(report.null_name);
      EXPECT_EQ(kPackText + out_dir + "/progress.qv", report.name);
      sizes.push_back(report.size);
    }
    EXPECT_EQ(expected, sizes);
    ExpectArchiveOf(job.archive(), "progress.tar", content);
  }
}

// The job keeps only the compressed payload, in a file that never shows in
// the temporary folder (it has no name, so a crash leaves nothing either),
// is its owner's only, and goes with the job.
TEST_F(MemPackTest, OnlyThePrivateNamelessPayloadIsKeptAndItGoes) {
  const std::string content = qvtest::TextBytes(100000);
  Job job(*plugin, out_dir + "/private.qv");
  ASSERT_EQ(0, job.Push(content).answer);
  for (const char* stage : {"collecting", "handing out"}) {
    SCOPED_TRACE(stage);
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
    const std::vector<struct stat> files = qvtest::FilesOpenIn(temp_dir);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(S_IFREG | 0600, files[0].st_mode);
    EXPECT_LT(files[0].st_size, content.size() / 2) << "uncompressed data was kept";
    ASSERT_EQ(0, job.Pull(1000).answer);
  }
  ASSERT_EQ(1, job.PullAll(1000).back().answer);
  EXPECT_TRUE(qvtest::FilesOpenIn(temp_dir).empty());
  ExpectArchiveOf(job.archive(), "private.tar", content);
}

TEST_F(MemPackTest, FilesAlreadyInTheTempFolderAreLeftAlone) {
  const std::string victim = scratch / "victim";
  qvtest::WriteFile(victim, "must not change");
  const std::vector<std::pair<std::string, std::string>> planted = {
      {"backup.qv", "a file named like the target"},
      {"quorvane.$$$", "a test-mode leftover"},
      {"quorvane$1.$$$", "someone's collecting file"},
      {"quorvane$2147483646.$$$", "someone else's collecting file"},
  };
  for (const auto& [name, text] : planted) qvtest::WriteFile(temp_dir + "/" + name, text);
  ASSERT_EQ(0, symlink(victim.c_str(), (temp_dir + "/linked.qv").c_str()));
  const std::vector<std::string> before = TempFiles();

  const std::string content = qvtest::TextBytes(70000);
  for (const char* target : {"backup.qv", "linked.qv"}) {
    SCOPED_TRACE(target);
    Job job(*plugin, out_dir + "/" + target);
    ASSERT_EQ(0, job.Push(content).answer);
    ASSERT_EQ(1, job.PullAll(4096).back().answer);
    ExpectArchiveOf(job.archive(), std::string(target).substr(0, std::strlen(target) - 3) + ".tar",
                    content);
    EXPECT_EQ(before, TempFiles());
    for (const auto& [name, text] : planted) {
      EXPECT_EQ(text, qvtest::ReadFile(temp_dir + "/" + name)) << name;
    }
    EXPECT_EQ("must not change", qvtest::ReadFile(victim)) << "a planted link was followed";
    EXPECT_EQ(S_IFLNK, qvtest::ModeOf(temp_dir + "/linked.qv") & S_IFMT);
  }

  // The host's target inside the temporary folder: the plugin only hands the
  // archive out; the target is the host's to write.
  const std::string inside = temp_dir + "/inside.qv";
  qvtest::WriteFile(inside, "the host's previous archive");
  Job job(*plugin, inside);
  ASSERT_EQ(0, job.Push(content).answer);
  ASSERT_EQ(0, job.Pull(100).answer);
  EXPECT_EQ("the host's previous archive", qvtest::ReadFile(inside));
  ASSERT_EQ(1, job.PullAll(100).back().answer);
  EXPECT_EQ("the host's previous archive", qvtest::ReadFile(inside));
  ExpectArchiveOf(job.archive(), "inside.tar", content);
}

TEST_F(MemPackTest, FullDiskWhileCollectingFailsTheJob) {
  const std::string data = qvtest::RandomBytes(48 * kBlock, 4);
  // A limit on a block boundary refuses a whole write; one inside a block
  // lets a write through in part.
  for (std::uint64_t limit : {std::uint64_t{1} << 20, (std::uint64_t{1} << 20) + 1000}) {
    SCOPED_TRACE("files limited to " + std::to_string(limit) + " bytes");
    EXPECT_EQ("", qvtest::RunInChild([&]() -> std::string {
      std::string verdict;
      const int descriptors = qvtest::CountOpenFds();
      Job job(*plugin, out_dir + "/full.qv");
      qvtest::ImitateFullDisk(limit);
      std::vector<int> answers;
      for (int i = 0; i < 48 && (answers.empty() || answers.back() == 0); ++i) {
        answers.push_back(job.Push(data.substr(i * kBlock, kBlock)).answer);
      }
      if (answers.back() == 0) answers.push_back(job.Pull(kBlock).answer);
      if (answers.back() <= 1) {
        verdict += "the job did not fail by the end of the input (last answer " +
                   std::to_string(answers.back()) + "); ";
      }
      if (!TempFiles().empty()) verdict += "temporary files remain after the failure; ";
      for (int i = 0; i < 2; ++i) {
        const Call call = job.Pull(kBlock);
        if (call.answer != 1) verdict += "a call after the failure answered " + std::to_string(call.answer) + "; ";
      }
      if (!job.archive().empty()) {
        verdict += std::to_string(job.archive().size()) + " bytes of an archive lacking data were handed out; ";
      }
      plugin->DoneMemPack(job.handle());
      if (qvtest::CountOpenFds() != descriptors) verdict += "a descriptor was left open; ";
      return verdict;
    }));
  }
  EXPECT_EQ(std::vector<std::string>{}, TempFiles());
}

TEST_F(MemPackTest, InputAfterTheEndOfInputIsRefused) {
  const std::string content = qvtest::TextBytes(50000);
  Job job(*plugin, out_dir + "/late.qv");
  ASSERT_EQ(0, job.Push(content).answer);
  ASSERT_EQ(0, job.Pull(100).answer);
  const Call late = job.Push("late input that belongs nowhere");
  EXPECT_EQ(19, late.answer);
  EXPECT_EQ(0, late.taken);
  ASSERT_EQ(1, job.PullAll(kBlock).back().answer);
  ExpectArchiveOf(job.archive(), "late.tar", content);
  EXPECT_EQ(std::vector<std::string>{}, TempFiles());
}

TEST_F(MemPackTest, NoRoomForOutputDeliversNothingAndLosesNothing) {
  const std::string content = qvtest::RandomBytes(200000, 5);
  Job job(*plugin, out_dir + "/room.qv");
  ASSERT_EQ(0, job.Push(content).answer);
  const auto expect_nothing_delivered = [&](const char* when) {
    for (int capacity : {0, -1, INT_MIN}) {
      std::vector<char> out(64, '\xCC');
      int taken = -77;
      int written = -77;
      EXPECT_EQ(0, plugin->PackToMem(job.handle(), nullptr, 0, &taken, out.data(), capacity, &written, 0))
          << when << ", capacity " << capacity;
      EXPECT_EQ(0, written) << when << ", capacity " << capacity;
      EXPECT_EQ(0, taken) << when << ", capacity " << capacity;
      EXPECT_EQ(std::vector<char>(64, '\xCC'), out) << when << ": the output buffer was written";
    }
  };
  expect_nothing_delivered("while collecting");
  ASSERT_EQ(0, job.Pull(4096).answer);
  expect_nothing_delivered("while handing out");
  ASSERT_EQ(1, job.PullAll(4096).back().answer);
  ExpectArchiveOf(job.archive(), "room.tar", content);
}

TEST_F(MemPackTest, StopWhilePackingAnswersOnceThenFinished) {
  const std::string content = qvtest::RandomBytes(5 * kBlock, 6);
  for (std::size_t stop_at : {std::size_t{0}, std::size_t{2}}) {
    SCOPED_TRACE("stop at report " + std::to_string(stop_at));
    Job job(*plugin, out_dir + "/stopped.qv");
    qvtest::ProgressRecorder recorder;
    recorder.StopAt(stop_at);
    plugin->SetProcessDataProc(job.handle(), qvtest::ProgressRecorder::Callback);
    std::vector<int> answers;
    for (std::size_t i = 0; i < 5; ++i) answers.push_back(job.Push(content.substr(i * kBlock, kBlock)).answer);
    for (int i = 0; i < 2; ++i) answers.push_back(job.Pull(kBlock).answer);
    plugin->SetProcessDataProc(job.handle(), nullptr);
    std::vector<int> expected(answers.size(), 1);
    std::fill_n(expected.begin(), stop_at, 0);
    expected[stop_at] = 21;
    EXPECT_EQ(expected, answers);
    EXPECT_TRUE(job.archive().empty());
    EXPECT_EQ(stop_at + 1, recorder.Count()) << "packing went on after the stop";
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  }
}

TEST_F(MemPackTest, AbandonedJobsLeaveNothingBehind) {
  const std::string content = qvtest::TextBytes(150000);
  const int descriptors = qvtest::CountOpenFds();
  {
    SCOPED_TRACE("given up while collecting");
    Job job(*plugin, out_dir + "/a.qv");
    ASSERT_EQ(0, job.Push(content).answer);
    EXPECT_EQ(0, plugin->DoneMemPack(job.handle()));
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
    EXPECT_EQ(descriptors, qvtest::CountOpenFds());
  }
  {
    SCOPED_TRACE("given up while handing out");
    Job job(*plugin, out_dir + "/b.qv");
    ASSERT_EQ(0, job.Push(content).answer);
    ASSERT_EQ(0, job.Pull(100).answer);
    EXPECT_EQ(0, plugin->DoneMemPack(job.handle()));
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
    EXPECT_EQ(descriptors, qvtest::CountOpenFds());
  }
  {
    SCOPED_TRACE("a handle already done, or never issued");
    Job job(*plugin, out_dir + "/c.qv");
    ASSERT_EQ(0, plugin->DoneMemPack(job.handle()));
    for (void* stale : {job.handle(), static_cast<void*>(nullptr), qvtest::kNoHandle}) {
      Call call = Job::On(*plugin, stale).Push("data");
      EXPECT_NE(0, call.answer);
      EXPECT_NE(1, call.answer);
      EXPECT_EQ(0, call.taken);
      EXPECT_EQ(17, plugin->DoneMemPack(stale));
    }
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  }
}

// Jobs never mix: eight of them, interleaved call by call on one thread and
// then each on a thread of its own, all yield exactly their own data under
// their own names.
TEST_F(MemPackTest, JobsRunSideBySide) {
  constexpr int kJobs = 8;
  std::vector<std::string> contents;
  for (int i = 0; i < kJobs; ++i) {
    contents.push_back(qvtest::RandomBytes(3 * kBlock + 1000 * static_cast<std::size_t>(i),
                                           static_cast<std::uint32_t>(i + 1)));
  }
  const auto content_of = [&](int i) -> const std::string& { return contents[static_cast<std::size_t>(i)]; };
  const auto name_of = [&](int i) { return out_dir + "/job" + std::to_string(i) + ".qv"; };
  {
    SCOPED_TRACE("interleaved on one thread");
    std::vector<std::unique_ptr<Job>> jobs;
    for (int i = 0; i < kJobs; ++i) jobs.push_back(std::make_unique<Job>(*plugin, name_of(i)));
    for (std::size_t offset = 0; offset < content_of(kJobs - 1).size(); offset += 5000) {
      for (int i = 0; i < kJobs; ++i) {
        const std::string& content = content_of(i);
        if (offset < content.size()) {
          ASSERT_EQ(0, jobs[i]->Push(content.substr(offset, 5000)).answer);
        }
      }
    }
    for (bool finished = false; !finished;) {
      finished = true;
      for (int i = 0; i < kJobs; ++i) {
        const int answer = jobs[i]->Pull(4096).answer;
        ASSERT_TRUE(answer == 0 || answer == 1) << answer;
        finished = finished && answer == 1;
      }
    }
    for (int i = 0; i < kJobs; ++i) {
      EXPECT_EQ(0, plugin->DoneMemPack(jobs[i]->handle()));
      ExpectArchiveOf(jobs[i]->archive(), "job" + std::to_string(i) + ".tar", content_of(i));
    }
  }
  {
    SCOPED_TRACE("one thread each");
    std::vector<std::unique_ptr<Job>> jobs(kJobs);
    std::vector<std::thread> threads;
    for (int i = 0; i < kJobs; ++i) {
      threads.emplace_back([&, i] {
        jobs[i] = std::make_unique<Job>(*plugin, name_of(i));
        const std::string& content = content_of(i);
        for (std::size_t offset = 0; offset < content.size(); offset += 7000) {
          jobs[i]->Push(content.substr(offset, 7000));
        }
        jobs[i]->PullAll(3000);
        plugin->DoneMemPack(jobs[i]->handle());
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < kJobs; ++i) {
      ExpectArchiveOf(jobs[i]->archive(), "job" + std::to_string(i) + ".tar", content_of(i));
    }
  }
  EXPECT_EQ(std::vector<std::string>{}, TempFiles());
}

TEST_F(MemPackTest, UnloadingTheModuleRemovesTheJobsFiles) {
  plugin.reset();
  const std::string content = qvtest::TextBytes(150000);
  const int descriptors = qvtest::CountOpenFds();
  for (bool handing_out : {false, true}) {
    SCOPED_TRACE(handing_out ? "unloaded while handing out" : "unloaded while collecting");
    for (const std::string& name : TempFiles()) fs::remove(temp_dir + "/" + name);
    // A copy of its own, so that the module really goes with the last close.
    const std::string folder = module_dir + (handing_out ? "/handing-out" : "/collecting");
    fs::create_directory(folder);
    const std::string path = qvtest::CopyPlugin(folder);
    auto copy = std::make_unique<qvtest::Plugin>(path);
    ASSERT_TRUE(copy->Loaded()) << copy->Problem();
    {
      Job job(*copy, out_dir + "/c.qv");
      // As a host does: its callback is registered before the work starts.
      copy->SetProcessDataProc(job.handle(), qvtest::ProgressRecorder::Callback);
      ASSERT_EQ(0, job.Push(content).answer);
      if (handing_out) {
        ASSERT_EQ(0, job.Pull(100).answer);
      }
      ASSERT_FALSE(qvtest::FilesOpenIn(temp_dir).empty());
    }
    copy.reset();
    void* still_loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (still_loaded != nullptr) dlclose(still_loaded);
    EXPECT_EQ(std::vector<std::string>{}, TempFiles())
        << (still_loaded != nullptr ? "the module stayed mapped after the host unloaded it" : "");
    EXPECT_EQ(descriptors, qvtest::CountOpenFds());
  }
}

TEST_F(MemPackTest, TarOfAFolderTreeSurvivesTheRoundTrip) {
  const std::string source = scratch / "source";
  fs::create_directories(source + "/docs/deep/er");
  fs::create_directories(source + "/empty folder");
  qvtest::WriteFile(source + "/readme.txt", qvtest::TextBytes(5000));
  qvtest::WriteFile(source + "/Привет, мир.txt", "Здравствуй, архив!\n");
  qvtest::WriteFile(source + "/empty", "");
  qvtest::WriteFile(source + "/docs/notes.txt", qvtest::TextBytes(1200000));
  qvtest::WriteFile(source + "/docs/deep/er/data.bin", qvtest::RandomBytes(300000, 7));
  const std::string tar_in = scratch / "in.tar";
  ASSERT_EQ(0, qvtest::RunShell("tar -C " + qvtest::ShellQuote(source) + " -cf " +
                                    qvtest::ShellQuote(tar_in) + " ."));
  const std::string stream = qvtest::ReadFile(tar_in);
  ASSERT_GT(stream.size(), 1500000u);

  Job job(*plugin, out_dir + "/backup.qv");
  const std::size_t kPieces[] = {1, 3, 4093, 65536, 100001, 77};
  std::size_t turn = 0;
  for (std::size_t done = 0; done < stream.size(); ++turn) {
    const std::size_t n = std::min(kPieces[turn % std::size(kPieces)], stream.size() - done);
    const Call call = job.Push(stream.data() + done, static_cast<int>(n));
    ASSERT_EQ(0, call.answer);
    ASSERT_EQ(static_cast<int>(n), call.taken);
    done += n;
  }
  ASSERT_EQ(1, job.PullAll(777).back().answer);
  const std::string archive = out_dir + "/backup.qv";
  qvtest::WriteFile(archive, job.archive());

  // Out again through the plugin, as the host extracts it.
  void* handle = plugin->Open(archive);
  ASSERT_NE(nullptr, handle);
  qvtest::HeaderRecord header;
  ASSERT_EQ(0, plugin->ReadHeader(handle, header.data()));
  EXPECT_EQ("backup.tar", header.FileName());
  EXPECT_EQ(0, plugin->Process(handle, qvtest::kExtract, out_dir.c_str(), "backup.tar"));
  plugin->CloseArchive(handle);
  const std::string tar_out = out_dir + "/backup.tar";
  EXPECT_TRUE(qvtest::ReadFile(tar_out) == stream);

  const std::string listing = scratch / "listing";
  ASSERT_EQ(0, qvtest::RunShell("tar -tf " + qvtest::ShellQuote(tar_out) + " > " +
                                    qvtest::ShellQuote(listing)));
  std::vector<std::string> names;
  std::istringstream lines(qvtest::ReadFile(listing));
  for (std::string line; std::getline(lines, line);) names.push_back(line);
  for (const char* expected : {"./readme.txt", "./Привет, мир.txt", "./empty", "./empty folder/",
                               "./docs/notes.txt", "./docs/deep/er/data.bin"}) {
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), expected)) << expected;
  }
  const std::string restored = scratch / "restored";
  fs::create_directory(restored);
  ASSERT_EQ(0, qvtest::RunShell("tar -C " + qvtest::ShellQuote(restored) + " -xf " +
                                    qvtest::ShellQuote(tar_out)));
  EXPECT_EQ(0, qvtest::RunShell("diff -r " + qvtest::ShellQuote(source) + " " +
                                    qvtest::ShellQuote(restored)));
}

// 64 KiB of short runs of random bytes: bzip2 packs it fast, and a number in
// front makes every piece different.  Written over `piece`, whose memory is
// reused: the test's own garbage would count as the plugin's growth.
void LargePiece(int number, std::string& piece) {
  static const std::string runs = [] {
    std::string bytes;
    const std::string noise = qvtest::RandomBytes(2 * kBlock, 8);
    for (std::size_t i = 0; bytes.size() < kBlock; i += 2) {
      bytes.append(4 + static_cast<unsigned char>(noise[i]) % 190, noise[i + 1]);
    }
    bytes.resize(kBlock);
    return bytes;
  }();
  piece.assign(runs);
  const std::string label = std::to_string(number);
  piece.replace(0, label.size(), label);
}

TEST_F(MemPackTest, LargeInputGoesThroughFilesNotMemory) {
  constexpr int kPieces = 1600;  // 100 MiB
  const std::string archive = scratch / "large.qv";
  EXPECT_EQ("", qvtest::RunInChild([&]() -> std::string {
    // Start the peak afresh in this child ("5" resets VmHWM).
    std::ofstream("/proc/self/clear_refs") << "5";
    std::string piece;
    LargePiece(0, piece);
    const long before = qvtest::PeakResidentKiB();
    Job job(*plugin, out_dir + "/large.qv");
    for (int i = 0; i < kPieces; ++i) {
      LargePiece(i, piece);
      const Call call = job.Push(piece);
      if (call.answer != 0 || call.taken != kBlock) return "piece " + std::to_string(i) + " refused";
    }
    std::ofstream out(archive, std::ios::binary);
    for (int calls = 0;; ++calls) {
      const Call call = job.Pull(kBlock);
      if (call.answer != 0) break;
      if (calls > 100000) return "the archive never ends";
    }
    out << job.archive();
    out.close();
    const long growth = qvtest::PeakResidentKiB() - before;
    if (growth >= 64 * 1024) {
      return "peak memory grew by " + std::to_string(growth / 1024) + " MiB for 100 MiB of input";
    }
    return "";
  }));
  const std::string bytes = qvtest::ReadFile(archive);
  std::string content;
  content.reserve(static_cast<std::size_t>(kPieces) * kBlock);
  std::string piece;
  for (int i = 0; i < kPieces; ++i) {
    LargePiece(i, piece);
    content += piece;
  }
  ExpectArchiveOf(bytes, "large.tar", content);
  EXPECT_EQ(std::vector<std::string>{}, TempFiles());
}

}  // namespace
