// Testing and extracting archives through ProcessFile, as a file manager
// calls it: destinations, verdicts, stops, special targets, time stamps,
// progress texts, what replacing a file leaves behind, and several readers
// of one archive at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "process.h"

namespace {

using namespace qvtest;

#ifdef _WIN32
int mkdir(const char* path, int) { return ::mkdir(path); }  // no modes on Windows
#endif

#ifdef _WIN32
// In Wine's default code page, 1252, which has no Cyrillic letters.
const std::string kUnpackingText = "??????????: ";
#else
const std::string kUnpackingText = "Распаковка: ";
#endif

// Opens and lists `archive` with `plugin`, giving the archive `progress` as
// its callback; the handle, or null when it cannot be opened or listed.
void* OpenAndList(const Plugin& plugin, const std::string& archive, ProcessDataProc progress = nullptr) {
  void* handle = plugin.Open(archive);
  if (handle == nullptr) return nullptr;
  plugin.SetProcessDataProc(handle, progress);
  HeaderRecord record;
  if (plugin.ReadHeader(handle, record.data()) == kOk) return handle;
  plugin.CloseArchive(handle);
  return nullptr;
}

// Opens, lists, runs `operation` on the entry and closes; -1 when the
// archive cannot be opened or listed.
int ProcessOnce(const Plugin& plugin, const std::string& archive, int operation, const std::string& target,
                ProcessDataProc progress) {
  void* handle = OpenAndList(plugin, archive, progress);
  if (handle == nullptr) return -1;
  int result = plugin.Process(handle, operation, nullptr, target.c_str());
  plugin.CloseArchive(handle);
  return result;
}

int Extract(const Plugin& plugin, const std::string& archive, const std::string& target,
            ProcessDataProc progress = nullptr) {
  return ProcessOnce(plugin, archive, kExtract, target, progress);
}

int TestArchive(const Plugin& plugin, const std::string& archive, ProcessDataProc progress = nullptr) {
  return ProcessOnce(plugin, archive, kTest, "", progress);
}

// The payload of an archive of `content`, and damaged forms of it.
std::string Payload(const std::string& content) { return Bzip2Compress(content); }

class Extraction : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(plugin_.Loaded() && plugin_.Missing().empty()) << plugin_.Problem(); }

  // Writes an archive of `content` (stored as "data.bin") with `payload`
  // instead of its real one when given.
  std::string MakeArchive(const std::string& content,
                          std::optional<std::string> payload = std::nullopt,
                          const std::string& archive_name = "arc.qv") {
    ArchiveRecipe recipe;
    recipe.name = "data.bin";
    recipe.content = content;
    recipe.payload = std::move(payload);
    WriteArchive(dir_ / archive_name, recipe);
    return dir_ / archive_name;
  }

  Plugin& plugin_ = SharedPlugin();
  TempDir dir_;
};

// ------------------------------------------------------------ destinations

TEST_F(Extraction, EveryWayAHostNamesTheDestination) {
  std::string content = TextBytes(70000);
  std::string archive = MakeArchive(content);
  ASSERT_EQ(mkdir((dir_ / "out").c_str(), 0755), 0);

  // Double Commander: no DestPath, the full target path as DestName.
  void* handle = OpenAndList(plugin_, archive);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(plugin_.Process(handle, kExtract, nullptr, (dir_ / "out/full.txt").c_str()), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/full.txt"), content);

  // A folder and a bare name, with and without the trailing separator.
  EXPECT_EQ(plugin_.Process(handle, kExtract, (dir_ / "out").c_str(), "bare.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/bare.txt"), content);
  EXPECT_EQ(plugin_.Process(handle, kExtract, (dir_ / "out/").c_str(), "slash.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/slash.txt"), content);
  plugin_.CloseArchive(handle);

  // The host decides the name: the stored one is not used.
  EXPECT_FALSE(Exists(dir_ / "out/data.bin"));

  // An existing file is replaced, not appended to or left longer.
  WriteFile(dir_ / "out/full.txt", std::string(200000, 'x'));
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "out/full.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/full.txt"), content);
}

TEST_F(Extraction, TestSkipAndUnknownOperationsCreateNothing) {
  std::string archive = MakeArchive(TextBytes(1000));
  std::vector<std::string> before = dir_.List();
  void* handle = OpenAndList(plugin_, archive);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(plugin_.Process(handle, kTest, nullptr, ""), kOk);
  EXPECT_EQ(plugin_.Process(handle, kSkip, nullptr, ""), kOk);
  EXPECT_EQ(plugin_.Process(handle, kSkip, nullptr, (dir_ / "skipped").c_str()), kOk);
  for (int operation : {3, -1, 99}) {
    EXPECT_EQ(plugin_.Process(handle, operation, nullptr, (dir_ / "unknown").c_str()), kOk) << operation;
  }
  EXPECT_EQ(plugin_.Process(handle, kTest, nullptr, nullptr), kOk);
  HeaderRecord end;
  EXPECT_EQ(plugin_.ReadHeader(handle, end.data()), kEndArchive);
  plugin_.CloseArchive(handle);
  EXPECT_EQ(dir_.List(), before);

  // Extraction with no name at all is refused, not a crash.
  std::optional<int> nameless = RunIsolated([&] {
    void* opened = OpenAndList(plugin_, archive);
    if (opened == nullptr) return -1;
    return plugin_.ProcessFile(opened, kExtract, nullptr, nullptr);
  });
  ASSERT_TRUE(nameless.has_value()) << "ProcessFile crashed or hung without a DestName";
  EXPECT_NE(*nameless, kOk);
}

TEST_F(Extraction, SpecialFilesAtTheTargetAreNotReplaced) {
  std::string archive = MakeArchive("payload");
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "folder"), kECreate);

#ifndef _WIN32  // the Windows tests try device names
  // A FIFO or a device is never opened for writing, nor replaced: that would
  // wait for a reader forever, write into the device, or take the user's
  // special file away.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  for (std::string target : {dir_ / "fifo", std::string("/dev/null")}) {
    std::optional<int> result = RunIsolated([&] { return Extract(plugin_, archive, target); }, 10);
    ASSERT_TRUE(result.has_value()) << target << ": extraction hung or crashed";
    EXPECT_EQ(*result, kECreate) << target;
  }
  struct stat st {};
  ASSERT_EQ(lstat((dir_ / "fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"arc.qv", "fifo", "folder"})) << "a stray file was left";
#endif
}

// ----------------------------------------------------------------- verdicts

TEST_F(Extraction, ChecksumMismatchIsReportedAndTheFileKept) {
  ArchiveRecipe recipe;
  recipe.content = TextBytes(5000);
  recipe.crc = Crc32(recipe.content) ^ 1;
  WriteArchive(dir_ / "bad.qv", recipe);
  EXPECT_EQ(TestArchive(plugin_, dir_ / "bad.qv"), kBadArchive);
  EXPECT_EQ(Extract(plugin_, dir_ / "bad.qv", dir_ / "kept.txt"), kBadArchive);
  EXPECT_EQ(ReadFile(dir_ / "kept.txt"), recipe.content) << "the mismatching file stays for the user";

  // The stored size counts too, as far as the header keeps it: its low 32
  // bits, and the next 24 in the reserved bytes where they are not zero.
  recipe.crc.reset();
  recipe.unpsize = static_cast<std::uint32_t>(recipe.content.size() + 1);
  WriteArchive(dir_ / "size.qv", recipe);
  EXPECT_EQ(TestArchive(plugin_, dir_ / "size.qv"), kBadArchive);
  recipe.unpsize = static_cast<std::uint32_t>(recipe.content.size());
  recipe.reserved = {1, 0, 0};  // 4 GiB more than came out
  WriteArchive(dir_ / "size.qv", recipe);
  EXPECT_EQ(TestArchive(plugin_, dir_ / "size.qv"), kBadArchive);
}

TEST_F(Extraction, DamagedPayloadsEndInBadData) {
  std::string content = RandomBytes(300000, 3);
  std::string good = Payload(content);
  std::string second = Payload("another stream");
  struct Case {
    const char* what;
    std::string payload;
  } cases[] = {
      {"cut in the middle", good.substr(0, good.size() / 2)},
      {"cut after the stream header", good.substr(0, 4)},
      {"no payload at all", ""},
      {"junk after the stream", good + "JUNKJUNK"},
      {"a second stream after the first", good + second},
      {"not bzip2", RandomBytes(5000, 9)},
      {"bzip2 header then noise", "BZh9" + RandomBytes(5000, 10)},
      {"one flipped byte", [&] {
         std::string p = good;
         p[p.size() / 3] = static_cast<char>(p[p.size() / 3] ^ 0x10);
         return p;
       }()},
  };
  for (const Case& c : cases) {
    std::string archive = MakeArchive(content, c.payload);
    std::optional<int> tested = RunIsolated([&] { return TestArchive(plugin_, archive); }, 60);
    ASSERT_TRUE(tested.has_value()) << c.what << ": testing crashed or hung";
    EXPECT_EQ(*tested, kBadArchive) << c.what;
    std::optional<int> extracted =
        RunIsolated([&] { return Extract(plugin_, archive, dir_ / "out.bin"); }, 60);
    ASSERT_TRUE(extracted.has_value()) << c.what << ": extraction crashed or hung";
    EXPECT_EQ(*extracted, kBadArchive) << c.what;
  }

  // Archives that end before their payload: nothing to give back, and no
  // empty file in the folder.
  ArchiveRecipe recipe;
  recipe.name = "x.txt";
  recipe.content = content;
  const std::string whole = qvtest::MakeArchive(recipe);
  for (const std::string& cut : {whole.substr(0, 20), std::string("QUORVANE"), whole.substr(0, 28 + 3)}) {
    WriteFile(dir_ / "cut.qv", cut);
    EXPECT_EQ(TestArchive(plugin_, dir_ / "cut.qv"), kBadArchive) << cut.size() << " bytes";
    EXPECT_EQ(Extract(plugin_, dir_ / "cut.qv", dir_ / "cut.txt"), kBadArchive) << cut.size() << " bytes";
    EXPECT_FALSE(Exists(dir_ / "cut.txt"));
  }
}

// The last 10 bytes of a stream that fits one block are only the end-of-stream
// trailer: every byte of the file has been decoded, but a stream must end
// with its end marker.  The data stays for the user, as with any damage.
TEST_F(Extraction, MissingTrailerIsDamageThatKeepsTheWholeFile) {
  std::string content = TextBytes(500000);
  std::string payload = Payload(content);
  std::string archive = MakeArchive(content, payload.substr(0, payload.size() - 10));
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "whole.txt"), kBadArchive);
  EXPECT_EQ(ReadFile(dir_ / "whole.txt"), content);
  EXPECT_EQ(TestArchive(plugin_, archive), kBadArchive);
}

TEST_F(Extraction, EmptyFileAndTheInitialReport) {
  std::string archive = MakeArchive("");
  ProgressRecorder recorder;
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "empty.txt", ProgressRecorder::Callback), kOk);
  EXPECT_TRUE(Exists(dir_ / "empty.txt"));
  EXPECT_EQ(ReadFile(dir_ / "empty.txt"), "");
  ASSERT_EQ(recorder.Count(), 1u);
  EXPECT_TRUE(recorder.Reports()[0].null_name);
  EXPECT_EQ(recorder.Reports()[0].size, 0);
}

// ------------------------------------------------------------------ progress

TEST_F(Extraction, ProgressNamesTheArchiveAndCountsEveryByte) {
  const std::string archive_name = "архив с пробелом.qv";
  for (std::size_t size : {std::size_t{1}, std::size_t{65536}, std::size_t{65536 * 3 + 17}}) {
    SCOPED_TRACE(size);
    std::string content = RandomBytes(size, 4);
    std::string archive = MakeArchive(content, std::nullopt, archive_name);
    ProgressRecorder recorder;
    ASSERT_EQ(Extract(plugin_, archive, dir_ / "out.bin", ProgressRecorder::Callback), kOk);

    const std::size_t blocks = (size + 65535) / 65536;
    ASSERT_EQ(recorder.Count(), 1 + blocks);
    EXPECT_TRUE(recorder.Reports()[0].null_name) << "the first report of an extraction is (NULL, 0)";
    EXPECT_EQ(recorder.Reports()[0].size, 0);
    EXPECT_EQ(recorder.Sizes(kUnpackingText + archive).size(), blocks);
    EXPECT_EQ(recorder.TotalSize(), static_cast<long long>(size));

    // Testing reports the same way.
    recorder.Clear();
    ASSERT_EQ(TestArchive(plugin_, archive, ProgressRecorder::Callback), kOk);
    EXPECT_EQ(recorder.Sizes(kUnpackingText + archive).size(), blocks);
    EXPECT_EQ(recorder.TotalSize(), static_cast<long long>(size));
  }
}

// Under a locale without Cyrillic the texts arrive converted, not as UTF-8
// bytes the host would show as garbage.
TEST_F(Extraction, ProgressTextFollowsTheLocale) {
  std::string archive = MakeArchive(TextBytes(1000), std::nullopt, "ascii.qv");
  WriteFile(dir_ / "source.txt", "x");
  ProgressRecorder recorder;
  plugin_.SetProcessDataProc(kNoHandle, ProgressRecorder::Callback);
  std::string saved = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  int extracted = Extract(plugin_, archive, dir_ / "out.txt", ProgressRecorder::Callback);
  int packed = plugin_.Pack(dir_ / "p.qv", dir_ / "", {"source.txt"});
  std::setlocale(LC_ALL, saved.c_str());
  plugin_.SetProcessDataProc(kNoHandle, nullptr);
  EXPECT_EQ(extracted, kOk);
  EXPECT_EQ(packed, kOk);
  EXPECT_EQ(recorder.Sizes("??????????: " + archive).size(), 1u);
  EXPECT_EQ(recorder.Sizes("Orvel's Quorvane - ????????: " + dir_ / "source.txt").size(), 1u);
}

TEST_F(Extraction, StoppingThroughTheCallback) {
  std::string content = TextBytes(65536 * 5 + 100);
  std::string archive = MakeArchive(content);
  // Report 0 is the initial (NULL, 0) one, whose answer does not count; 1 is
  // the first block, 3 one in the middle.  A stop leaves neither a fragment
  // nor a changed file behind.
  WriteFile(dir_ / "existing.txt", "the user's own");
  for (std::size_t stop_at : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(stop_at);
    ProgressRecorder recorder;
    recorder.StopAt(stop_at);
    EXPECT_EQ(Extract(plugin_, archive, dir_ / "new.txt", ProgressRecorder::Callback), kEAborted);
    EXPECT_EQ(recorder.Count(), std::max<std::size_t>(stop_at, 1) + 1) << "reports went on after the stop";
    EXPECT_EQ(Extract(plugin_, archive, dir_ / "existing.txt", ProgressRecorder::Callback), kEAborted);
    EXPECT_EQ(ReadFile(dir_ / "existing.txt"), "the user's own");
    EXPECT_EQ(dir_.List(), (std::vector<std::string>{"arc.qv", "existing.txt"}));
    recorder.Clear();
    EXPECT_EQ(TestArchive(plugin_, archive, ProgressRecorder::Callback), kEAborted);
  }
  // Without a callback nothing can stop it.
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "whole.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "whole.txt"), content);
}

// ---------------------------------------------------------------- time stamp

TEST_F(Extraction, ExtractedFileCarriesTheStoredTime) {
  for (std::uint32_t dos : {DosTime(2019, 3, 4, 5, 6, 8), DosTime(1999, 12, 31, 23, 59, 58),
                            DosTime(2024, 7, 1, 0, 0, 0)}) {
    ArchiveRecipe recipe;
    recipe.content = "dated";
    recipe.filetime = dos;
    WriteArchive(dir_ / "dated.qv", recipe);
    ASSERT_EQ(Extract(plugin_, dir_ / "dated.qv", dir_ / "dated.txt"), kOk);
    struct stat st {};
    ASSERT_EQ(stat((dir_ / "dated.txt").c_str(), &st), 0);
    EXPECT_NEAR(static_cast<double>(st.st_mtime), static_cast<double>(UnixFromDosTime(dos)), 1.0)
        << std::hex << dos;
  }
  // A time that is no date is left alone; the extraction still succeeds.
  ArchiveRecipe undated;
  undated.content = "undated";
  undated.filetime = 0xFFFFFFFFu;
  WriteArchive(dir_ / "undated.qv", undated);
  EXPECT_EQ(Extract(plugin_, dir_ / "undated.qv", dir_ / "undated.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "undated.txt"), "undated");
}

TEST_F(Extraction, NoDescriptorIsLeftOpen) {
  std::string archive = MakeArchive(TextBytes(100000));
  ArchiveRecipe bad;
  bad.content = "x";
  bad.payload = "BZh9garbage";
  WriteArchive(dir_ / "bad.qv", bad);
  int before = CountOpenFds();
  for (int i = 0; i < 5; ++i) {
    Extract(plugin_, archive, dir_ / "out.txt");
    TestArchive(plugin_, archive);
    Extract(plugin_, dir_ / "bad.qv", dir_ / "out.txt");
    TestArchive(plugin_, dir_ / "bad.qv");
    Extract(plugin_, archive, dir_ / "missing/out.txt");
  }
  EXPECT_EQ(CountOpenFds(), before);
}

// -------------------------------------------------- replacing, and scratch

#ifndef _WIN32  // TMPDIR, links and fork; the Windows tests move TMP
// A link or a second name at the target is replaced: the file it led to
// keeps its contents.
TEST_F(Extraction, LinksAtTheTargetAreReplacedNotWrittenThrough) {
  std::string content = TextBytes(3000);
  std::string archive = MakeArchive(content);
  const std::string victim = dir_ / "victim.txt";
  WriteFile(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), (dir_ / "soft.txt").c_str()), 0);
  ASSERT_EQ(link(victim.c_str(), (dir_ / "hard.txt").c_str()), 0);
  for (const char* name : {"soft.txt", "hard.txt"}) {
    EXPECT_EQ(Extract(plugin_, archive, dir_ / name), kOk) << name;
    struct stat st {};
    ASSERT_EQ(lstat((dir_ / name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << name << " is still a link";
    EXPECT_EQ(ReadFile(dir_ / name), content);
  }
  EXPECT_EQ(ReadFile(victim), "precious");
}

// The handle holds the archive it opened: another program putting a new
// archive at its path (by rename, as packers do) after the listing changes
// nothing of what is tested and extracted.
TEST_F(Extraction, WhatWasListedIsWhatIsRead) {
  const std::string listed = TextBytes(100000, 1), other = TextBytes(120000, 2);
  const std::string archive = MakeArchive(listed);
  void* handle = OpenAndList(plugin_, archive);
  ASSERT_NE(handle, nullptr);
  MakeArchive(other, std::nullopt, "new.qv");
  ASSERT_EQ(rename((dir_ / "new.qv").c_str(), archive.c_str()), 0);
  EXPECT_EQ(plugin_.Process(handle, kTest, nullptr, nullptr), kOk);
  EXPECT_EQ(plugin_.Process(handle, kExtract, nullptr, (dir_ / "out.txt").c_str()), kOk);
  EXPECT_TRUE(ReadFile(dir_ / "out.txt") == listed);
  plugin_.CloseArchive(handle);
}

// A folder renamed, or swapped for a link, while a file is written into it:
// the file lands in the folder it was begun in, wherever that is now, and
// nothing reaches the folder the link leads to.
TEST_F(Extraction, AFolderMovedMidJobChangesNothing) {
  const std::string content = TextBytes(65536 * 3);
  const std::string archive = MakeArchive(content);
  const std::string folder = dir_ / "folder", moved = dir_ / "moved", elsewhere = dir_ / "elsewhere";
  for (const bool link : {false, true}) {
    ASSERT_EQ(mkdir(folder.c_str(), 0755) | mkdir(elsewhere.c_str(), 0755), 0);
    ProgressRecorder recorder;
    recorder.At(1, [&] {
      ASSERT_EQ(rename(folder.c_str(), moved.c_str()), 0);
      ASSERT_TRUE(!link || symlink(elsewhere.c_str(), folder.c_str()) == 0);
    });
    EXPECT_EQ(Extract(plugin_, archive, folder + "/out", ProgressRecorder::Callback), kOk);
    EXPECT_TRUE(ReadFile(moved + "/out") == content);
    EXPECT_EQ(ListDir(moved), std::vector<std::string>{"out"});
    EXPECT_EQ(ListDir(elsewhere), std::vector<std::string>{});
    for (const std::string& path : {folder, moved, elsewhere}) std::filesystem::remove_all(path);
  }
}

// Testing needs no scratch space: with TMPDIR naming a private folder, a
// plugin copy loaded there writes nothing into it, whatever the verdict.
TEST(TestMode, WritesNothingAnywhere) {
  TempDir root;
  const std::string tmp = root / "tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((root / "bin").c_str(), 0700), 0);
  std::unique_ptr<Plugin> plugin;
  {
    ScopedEnv env("TMPDIR", tmp);
    plugin = std::make_unique<Plugin>(CopyPlugin(root / "bin"));
  }
  ASSERT_TRUE(plugin->Loaded() && plugin->Missing().empty()) << plugin->Problem();
  ArchiveRecipe good;
  good.content = TextBytes(200000);
  ArchiveRecipe mismatch = good;
  mismatch.crc = 12345;
  ArchiveRecipe corrupt = good;
  corrupt.payload = "BZh9" + RandomBytes(3000, 5);
  const std::pair<const ArchiveRecipe*, int> cases[] = {{&good, kOk}, {&mismatch, kBadArchive}, {&corrupt, kBadArchive}};
  for (const auto& [recipe, verdict] : cases) {
    WriteArchive(root / "a.qv", *recipe);
    const std::vector<std::string> before = root.List();
    static std::string watched;
    watched = tmp;
    static bool written;
    written = false;
    const auto watch = [](char*, int) -> int {
      written = written || !ListDir(watched).empty();
      return 1;
    };
    EXPECT_EQ(TestArchive(*plugin, root / "a.qv", watch), verdict);
    EXPECT_FALSE(written) << "a file appeared in TMPDIR during the test";
    EXPECT_EQ(root.List(), before);
    EXPECT_EQ(ListDir(tmp), std::vector<std::string>{});
  }
}

// Readers share: two processes and two threads test and extract one archive
// at once while a third thread lists it over and over.
TEST_F(Extraction, ReadersShareOneArchive) {
  std::string content = RandomBytes(600000, 11);
  std::string archive = MakeArchive(content);
  constexpr int kRounds = 4;
  const auto work = [&](const std::string& tag) {
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
      failures += TestArchive(plugin_, archive) != kOk;
      failures += Extract(plugin_, archive, dir_ / tag) != kOk || ReadFile(dir_ / tag) != content;
    }
    return failures;
  };

  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(120);
      _exit(work("process" + std::to_string(child)));
    }
    children.push_back(pid);
  }
  std::atomic<bool> done{false};
  std::atomic<int> listing_failures{0};
  std::thread lister([&] {
    while (!done) {
      void* handle = OpenAndList(plugin_, archive);
      listing_failures += handle == nullptr;
      if (handle != nullptr) plugin_.CloseArchive(handle);
    }
  });
  std::atomic<int> thread_failures{0};
  std::thread first([&] { thread_failures += work("thread0"); });
  std::thread second([&] { thread_failures += work("thread1"); });
  first.join();
  second.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "a reading process died";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "operations that failed in one process";
  }
  done = true;
  lister.join();
  EXPECT_EQ(thread_failures.load(), 0);
  EXPECT_EQ(listing_failures.load(), 0);
}
#endif

}  // namespace
