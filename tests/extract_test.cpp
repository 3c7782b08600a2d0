// Testing and extracting archives through ProcessFile, as a file manager
// calls it: destinations, verdicts, stops, special targets, time stamps,
// progress texts and the privacy of the test mode's temporary file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "archive_maker.h"
#include "host.h"

namespace {

using namespace qvtest;

#ifdef _WIN32
int mkdir(const char* path, int) { return ::mkdir(path); }  // no modes on Windows
#endif

void* const kHandle = reinterpret_cast<void*>(100);

#ifdef _WIN32
// In Wine's default code page, 1252, which has no Cyrillic letters.
const std::string kUnpackingText = "??????????: ";
#else
const std::string kUnpackingText = "Распаковка: ";
#endif

// Lists `archive` with `plugin`; false when it cannot be opened or listed.
bool OpenAndList(const Plugin& plugin, const std::string& archive) {
  int result = -1;
  if (plugin.Open(archive, &result) == nullptr) return false;
  HeaderRecord record;
  return plugin.ReadHeader(kHandle, record.data()) == kOk;
}

int Extract(const Plugin& plugin, const std::string& archive, const std::string& target) {
  if (!OpenAndList(plugin, archive)) return -1;
  int result = plugin.Process(kExtract, nullptr, target.c_str());
  plugin.CloseArchive(kHandle);
  return result;
}

int TestArchive(const Plugin& plugin, const std::string& archive) {
  if (!OpenAndList(plugin, archive)) return -1;
  int result = plugin.Process(kTest, nullptr, "");
  plugin.CloseArchive(kHandle);
  return result;
}

// The payload of an archive of `content`, and damaged forms of it.
std::string Payload(const std::string& content) { return Bzip2Compress(content); }

class Extraction : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_.Loaded() && plugin_.Missing().empty()) << plugin_.Problem();
    plugin_.SetProcessDataProc(nullptr, nullptr);
  }
  void TearDown() override { plugin_.SetProcessDataProc(nullptr, nullptr); }

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
  ASSERT_TRUE(OpenAndList(plugin_, archive));
  EXPECT_EQ(plugin_.Process(kExtract, nullptr, (dir_ / "out/full.txt").c_str()), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/full.txt"), content);

  // A folder and a bare name, with and without the trailing separator.
  ASSERT_TRUE(OpenAndList(plugin_, archive));
  EXPECT_EQ(plugin_.Process(kExtract, (dir_ / "out").c_str(), "bare.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/bare.txt"), content);
  ASSERT_TRUE(OpenAndList(plugin_, archive));
  EXPECT_EQ(plugin_.Process(kExtract, (dir_ / "out/").c_str(), "slash.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/slash.txt"), content);

  // The host decides the name: the stored one is not used.
  EXPECT_FALSE(Exists(dir_ / "out/data.bin"));

  // An existing file is replaced, not appended to or left longer.
  WriteFile(dir_ / "out/full.txt", std::string(200000, 'x'));
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "out/full.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "out/full.txt"), content);
  plugin_.CloseArchive(kHandle);
}

TEST_F(Extraction, TestSkipAndUnknownOperationsCreateNothing) {
  std::string archive = MakeArchive(TextBytes(1000));
  std::vector<std::string> before = dir_.List();
  ASSERT_TRUE(OpenAndList(plugin_, archive));
  EXPECT_EQ(plugin_.Process(kTest, nullptr, ""), kOk);
  EXPECT_EQ(plugin_.Process(kSkip, nullptr, ""), kOk);
  EXPECT_EQ(plugin_.Process(kSkip, nullptr, (dir_ / "skipped").c_str()), kOk);
  for (int operation : {3, -1, 99}) {
    EXPECT_EQ(plugin_.Process(operation, nullptr, (dir_ / "unknown").c_str()), kOk) << operation;
  }
  EXPECT_EQ(plugin_.Process(kTest, nullptr, nullptr), kOk);
  HeaderRecord end;
  EXPECT_EQ(plugin_.ReadHeader(kHandle, end.data()), kEndArchive);
  plugin_.CloseArchive(kHandle);
  EXPECT_EQ(dir_.List(), before);

  // Extraction with no name at all is refused, not a crash.
  std::optional<int> nameless = RunIsolated([&] {
    if (!OpenAndList(plugin_, archive)) return -1;
    return plugin_.ProcessFile(kHandle, kExtract, nullptr, nullptr);
  });
  ASSERT_TRUE(nameless.has_value()) << "ProcessFile crashed or hung without a DestName";
  EXPECT_NE(*nameless, kOk);
}

TEST_F(Extraction, TargetsThatCannotBeCreated) {
  std::string archive = MakeArchive("payload");
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "no/such/dir/x.txt"), kECreate);
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "folder"), kECreate);

#ifndef _WIN32  // the Windows tests try device names
  // A FIFO (also behind a link) or a device is never opened for writing:
  // that would wait for a reader forever, or write into the device.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir_ / "fifo").c_str(), (dir_ / "fifo_link").c_str()), 0);
  for (std::string target : {dir_ / "fifo", dir_ / "fifo_link", std::string("/dev/null")}) {
    std::optional<int> result = RunIsolated([&] { return Extract(plugin_, archive, target); }, 10);
    ASSERT_TRUE(result.has_value()) << target << ": extraction hung or crashed";
    EXPECT_EQ(*result, kECreate) << target;
  }
  struct stat st {};
  ASSERT_EQ(lstat((dir_ / "fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
#endif
}

TEST_F(Extraction, ArchiveGoneBeforeProcessingAnswersOpenError) {
  std::string archive = MakeArchive("soon gone");
  ASSERT_TRUE(OpenAndList(plugin_, archive));
  ASSERT_EQ(unlink(archive.c_str()), 0);
  EXPECT_EQ(plugin_.Process(kExtract, nullptr, (dir_ / "out.txt").c_str()), kEOpen);
  EXPECT_FALSE(Exists(dir_ / "out.txt"));
  EXPECT_EQ(plugin_.Process(kTest, nullptr, ""), kEOpen);
  plugin_.CloseArchive(kHandle);
}

// ----------------------------------------------------------------- verdicts

TEST_F(Extraction, ChecksumMismatchIsReportedAndTheFileKept) {
  ArchiveRecipe recipe;
  recipe.content = TextBytes(5000);
  recipe.crc = Crc32(recipe.content) ^ 1;
  WriteArchive(dir_ / "bad.qv", recipe);
  EXPECT_EQ(TestArchive(plugin_, dir_ / "bad.qv"), kBadData);
  EXPECT_EQ(Extract(plugin_, dir_ / "bad.qv", dir_ / "kept.txt"), kBadData);
  EXPECT_EQ(ReadFile(dir_ / "kept.txt"), recipe.content) << "the mismatching file stays for the user";
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
    EXPECT_EQ(*tested, kBadData) << c.what;
    std::optional<int> extracted =
        RunIsolated([&] { return Extract(plugin_, archive, dir_ / "out.bin"); }, 60);
    ASSERT_TRUE(extracted.has_value()) << c.what << ": extraction crashed or hung";
    EXPECT_EQ(*extracted, kBadData) << c.what;
  }
}

// The last 10 bytes of a stream that fits one block are only the end-of-stream
// trailer: every byte of the file has already been decoded.
TEST_F(Extraction, MissingTrailerStillYieldsTheWholeFile) {
  std::string content = TextBytes(500000);
  std::string payload = Payload(content);
  std::string archive = MakeArchive(content, payload.substr(0, payload.size() - 10));
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "whole.txt"), kOk);
  EXPECT_EQ(ReadFile(dir_ / "whole.txt"), content);
  EXPECT_EQ(TestArchive(plugin_, archive), kOk);
}

TEST_F(Extraction, EmptyFileAndTheInitialReport) {
  std::string archive = MakeArchive("");
  ProgressRecorder recorder;
  plugin_.SetProcessDataProc(kHandle, ProgressRecorder::Callback);
  EXPECT_EQ(Extract(plugin_, archive, dir_ / "empty.txt"), kOk);
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
    // Registered under a handle the plugin never handed out: still used.
    plugin_.SetProcessDataProc(reinterpret_cast<void*>(1), ProgressRecorder::Callback);
    ASSERT_EQ(Extract(plugin_, archive, dir_ / "out.bin"), kOk);

    const std::size_t blocks = (size + 65535) / 65536;
    ASSERT_EQ(recorder.Count(), 1 + blocks);
    EXPECT_TRUE(recorder.Reports()[0].null_name) << "the first report of an extraction is (NULL, 0)";
    EXPECT_EQ(recorder.Reports()[0].size, 0);
    EXPECT_EQ(recorder.CountNamed(kUnpackingText + archive), blocks);
    EXPECT_EQ(recorder.TotalSize(), static_cast<long long>(size));

    // Testing reports the same way.
    recorder.Clear();
    ASSERT_EQ(TestArchive(plugin_, archive), kOk);
    EXPECT_EQ(recorder.CountNamed(kUnpackingText + archive), blocks);
    EXPECT_EQ(recorder.TotalSize(), static_cast<long long>(size));
  }
}

// Under a locale without Cyrillic the texts arrive converted, not as UTF-8
// bytes the host would show as garbage.
TEST_F(Extraction, ProgressTextFollowsTheLocale) {
  std::string archive = MakeArchive(TextBytes(1000), std::nullopt, "ascii.qv");
  WriteFile(dir_ / "source.txt", "x");
  ProgressRecorder recorder;
  plugin_.SetProcessDataProc(kHandle, ProgressRecorder::Callback);
  std::string saved = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  int extracted = Extract(plugin_, archive, dir_ / "out.txt");
  int packed = plugin_.Pack(dir_ / "p.qv", dir_ / "", {"source.txt"});
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(extracted, kOk);
  EXPECT_EQ(packed, kOk);
  EXPECT_EQ(recorder.CountNamed("??????????: " + archive), 1u);
  EXPECT_EQ(recorder.CountNamed("Orvel's Quorvane - ????????: " + dir_ / "source.txt"), 1u);
}

TEST_F(Extraction, StoppingThroughTheCallback) {
  std::string content = TextBytes(65536 * 5 + 100);
  std::string archive = MakeArchive(content);
  // Report 0 is the initial (NULL, 0) one, whose answer does not count; 1 is
  // the first block, 3 one in the middle.
  for (std::size_t stop_at : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(stop_at);
    ProgressRecorder recorder;
    recorder.StopAt(stop_at);
    plugin_.SetProcessDataProc(kHandle, ProgressRecorder::Callback);
    EXPECT_EQ(Extract(plugin_, archive, dir_ / "partial.txt"), kEAborted);
    EXPECT_EQ(recorder.Count(), std::max<std::size_t>(stop_at, 1) + 1) << "reports went on after the stop";
    std::string partial = ReadFile(dir_ / "partial.txt");
    EXPECT_LT(partial.size(), content.size());
    EXPECT_EQ(partial, content.substr(0, partial.size()));
    recorder.Clear();
    EXPECT_EQ(TestArchive(plugin_, archive), kEAborted);
  }
  // Without a callback nothing can stop it.
  plugin_.SetProcessDataProc(kHandle, nullptr);
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

#ifndef _WIN32  // TMPDIR, file modes, links and fork; the Windows tests move TMP
// --------------------------------------------------- the test mode's tmp file

// A plugin copy loaded while TMPDIR names a private folder, so that the test
// can see everything the plugin leaves there.
class TestMode : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(tmp_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root_ / "bin").c_str(), 0700), 0);
    ScopedEnv env("TMPDIR", tmp_);
    plugin_ = std::make_unique<Plugin>(CopyPlugin(root_ / "bin"));
    ASSERT_TRUE(plugin_->Loaded() && plugin_->Missing().empty()) << plugin_->Problem();
  }
  void TearDown() override {
    if (plugin_ && plugin_->Loaded()) plugin_->SetProcessDataProc(nullptr, nullptr);
  }

  std::string Archive(const std::string& name, const ArchiveRecipe& recipe) {
    WriteArchive(root_ / name, recipe);
    return root_ / name;
  }

  TempDir root_;
  std::string tmp_ = root_ / "tmp";
  std::unique_ptr<Plugin> plugin_;
};

// What a callback sees of the private temporary folder while a test runs.
struct TmpWatch {
  std::string dir;
  std::vector<std::string> names;
  std::vector<mode_t> modes;
};
TmpWatch* tmp_watch = nullptr;

int WatchTmp(char*, int) {
  if (tmp_watch != nullptr && tmp_watch->names.empty()) {
    tmp_watch->names = ListDir(tmp_watch->dir);
    for (const std::string& name : tmp_watch->names) {
      struct stat st {};
      lstat((tmp_watch->dir + "/" + name).c_str(), &st);
      tmp_watch->modes.push_back(st.st_mode);
    }
  }
  return 1;
}

TEST_F(TestMode, TemporaryFileIsPrivateAndAlwaysRemoved) {
  ArchiveRecipe good;
  good.content = TextBytes(200000);
  ArchiveRecipe mismatch = good;
  mismatch.crc = 12345;
  ArchiveRecipe corrupt = good;
  corrupt.payload = "BZh9" + RandomBytes(3000, 5);
  ArchiveRecipe cut = good;
  cut.payload = Bzip2Compress(good.content).substr(0, 2000);

  // While a test runs, its one temporary file sits in TMPDIR, readable by its
  // owner only.
  TmpWatch watch{tmp_, {}, {}};
  tmp_watch = &watch;
  plugin_->SetProcessDataProc(kHandle, WatchTmp);
  EXPECT_EQ(TestArchive(*plugin_, Archive("good.qv", good)), kOk);
  tmp_watch = nullptr;
  ASSERT_EQ(watch.names.size(), 1u) << "the test mode's file is not in TMPDIR";
  EXPECT_TRUE(S_ISREG(watch.modes[0]));
  EXPECT_EQ(watch.modes[0] & 0777, 0600u);
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{});

  plugin_->SetProcessDataProc(kHandle, nullptr);
  EXPECT_EQ(TestArchive(*plugin_, Archive("mismatch.qv", mismatch)), kBadData);
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{}) << "after a mismatch";
  EXPECT_EQ(TestArchive(*plugin_, Archive("corrupt.qv", corrupt)), kBadData);
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{}) << "after a corrupt payload";
  EXPECT_EQ(TestArchive(*plugin_, Archive("cut.qv", cut)), kBadData);
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{}) << "after a cut payload";

  ProgressRecorder recorder;
  recorder.StopAt(2);
  plugin_->SetProcessDataProc(kHandle, ProgressRecorder::Callback);
  EXPECT_EQ(TestArchive(*plugin_, root_ / "good.qv"), kEAborted);
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{}) << "after a stop";
}

TEST_F(TestMode, PlantedLinkIsNotFollowed) {
  const std::string victim = root_ / "victim.txt";
  WriteFile(victim, "precious");
  const std::string planted = tmp_ + "/quorvane.$$$";
  ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);

  ArchiveRecipe recipe;
  recipe.content = TextBytes(100000);
  EXPECT_EQ(TestArchive(*plugin_, Archive("a.qv", recipe)), kOk);
  recipe.crc = 1;
  EXPECT_EQ(TestArchive(*plugin_, Archive("b.qv", recipe)), kBadData);

  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{"quorvane.$$$"});
  char target[4096] = {};
  ASSERT_GT(readlink(planted.c_str(), target, sizeof target - 1), 0) << "the planted link was replaced";
  EXPECT_EQ(std::string(target), victim);
}

TEST_F(TestMode, TwoProcessesTestAtOnce) {
  // Each process tests its own archive (an archive being read is not shared
  // with other openers); what they share is the temporary folder.
  std::string archives[2];
  for (int i = 0; i < 2; ++i) {
    ArchiveRecipe recipe;
    recipe.content = RandomBytes(700000, 11 + static_cast<std::uint32_t>(i));
    archives[i] = Archive("shared" + std::to_string(i) + ".qv", recipe);
  }
  constexpr int kRounds = 6;

  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(120);
      int failures = 0;
      for (int i = 0; i < kRounds; ++i) failures += TestArchive(*plugin_, archives[child]) != kOk;
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "a testing process died";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "tests that failed in one process";
  }
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{});
}
#endif

}  // namespace
