// Recognising archives and listing their entry, through the exported entry
// points, the way a file manager browses a folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/file.h>
#endif

#include <atomic>
#include <filesystem>
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
constexpr std::int32_t kRegularFileMode = 32;  // Windows hosts read the archive attribute
#else
constexpr std::int32_t kRegularFileMode = 0100644;
#endif

class Listing : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(plugin_.Loaded() && plugin_.Missing().empty()) << plugin_.Problem(); }
  void TearDown() override { Close(); }

  void Close() {
    if (handle_ != nullptr) {
      EXPECT_EQ(plugin_.CloseArchive(handle_), kOk);
    }
    handle_ = nullptr;
  }

  // Opens `archive` (as handle_) and lists its entry into `record` with
  // `read` (ReadHeader unless given); the answer of the read.
  int List(const std::string& archive, HeaderRecord& record, ReadHeaderFn read = nullptr) {
    Close();
    int result = -1;
    handle_ = plugin_.Open(archive, &result);
    EXPECT_NE(handle_, nullptr) << archive;
    EXPECT_EQ(result, 0);
    return (read != nullptr ? read : plugin_.ReadHeader)(handle_, record.data());
  }

  std::string ListedName(const ArchiveRecipe& recipe, const std::string& archive_name = "arc.qv") {
    Close();  // an open archive is held: Windows lets nobody write it meanwhile
    WriteArchive(dir_ / archive_name, recipe);
    HeaderRecord record;
    EXPECT_EQ(List(dir_ / archive_name, record), kOk);
    return record.FileName();
  }

  Plugin& plugin_ = SharedPlugin();
  TempDir dir_;
  void* handle_ = nullptr;
};

// --------------------------------------------------------------- recognition

TEST_F(Listing, AcceptsTheMagicFollowedByAnything) {
  WriteFile(dir_ / "bare", "QUORVANE");
  WriteFile(dir_ / "junk", std::string("QUORVANE") + RandomBytes(100));
  WriteArchive(dir_ / "real.qv", "a.txt", "hello");
  for (const char* name : {"bare", "junk", "real.qv"}) {
    EXPECT_EQ(plugin_.CanHandle(dir_ / name), -1) << name;
  }
#ifndef _WIN32
  // Links are followed.
  ASSERT_EQ(symlink((dir_ / "real.qv").c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_EQ(plugin_.CanHandle(dir_ / "link"), -1);
#endif
}

// A file that was read and holds no archive is of another format (14); one
// that cannot be opened or read is no verdict on its format (15).
TEST_F(Listing, RefusesWhatIsNotAnArchive) {
  WriteFile(dir_ / "seven", "QUORVAN");
  WriteFile(dir_ / "zero_inside", std::string("QUOR\0ANEmore", 12));
  WriteFile(dir_ / "zero_last", std::string("QUORVAN\0", 8));
  WriteFile(dir_ / "lower", "quorvane and more");
  WriteFile(dir_ / "empty", "");
  std::string bz = Bzip2Compress("plain bzip2");
  WriteFile(dir_ / "plain.bz2", bz);
#ifdef _WIN32
  ASSERT_EQ(mkdir((dir_ / "folder").c_str()), 0);
#else
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), (dir_ / "dangling").c_str()), 0);
#endif
  const std::pair<const char*, int> cases[] = {
      {"seven", kUnknownFormat}, {"zero_inside", kUnknownFormat}, {"zero_last", kUnknownFormat},
      {"lower", kUnknownFormat}, {"empty", kUnknownFormat},       {"plain.bz2", kUnknownFormat},
      {"folder", kEOpen},        {"missing", kEOpen},            {"dangling", kEOpen},
  };
  for (const auto& [name, code] : cases) {
    EXPECT_EQ(plugin_.CanHandle(dir_ / name), 0) << name;
    int result = -1;
    EXPECT_EQ(plugin_.Open(dir_ / name, &result), nullptr) << name;
    EXPECT_EQ(result, code) << name;
  }
  EXPECT_EQ(plugin_.CanHandle(""), 0);
}

#ifndef _WIN32  // FIFOs, /dev and flock; the Windows tests try device names and share modes
TEST_F(Listing, SpecialFilesAreRefusedWithoutBlocking) {
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir_ / "fifo").c_str(), (dir_ / "fifo_link").c_str()), 0);
  for (const char* name : {"fifo", "fifo_link"}) {
    std::string path = dir_ / name;
    std::optional<int> handled = RunIsolated([&] { return plugin_.CanHandle(path); }, 10);
    ASSERT_TRUE(handled.has_value()) << name << ": CanYouHandleThisFile hung or crashed";
    EXPECT_EQ(*handled, 0) << name;
    std::optional<int> opened = RunIsolated(
        [&] {
          OpenRecord record(path);
          void* handle = plugin_.OpenArchive(record.data());
          return handle == nullptr ? record.OpenResult() : -1;
        },
        10);
    ASSERT_TRUE(opened.has_value()) << name << ": OpenArchive hung or crashed";
    EXPECT_EQ(*opened, kEOpen) << name << ": never opened, so not known to be foreign";
  }
  std::optional<int> device = RunIsolated([&] { return plugin_.CanHandle("/dev/zero"); }, 10);
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(*device, 0);
}

// Another program's lock: readers share, so another reader is no obstacle;
// a writer's exclusive hold makes the archive busy, which is not foreign.
TEST_F(Listing, BusyArchivesAreNotForeign) {
  WriteArchive(dir_ / "a.qv", "a.txt", "data");
  const int fd = open((dir_ / "a.qv").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    close(fd);
    GTEST_SKIP() << "this file system gives no locks";
  }
  HeaderRecord record;
  EXPECT_EQ(List(dir_ / "a.qv", record), kOk) << "another reader kept the archive";
  Close();
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(plugin_.CanHandle(dir_ / "a.qv"), 0);
  int result = -1;
  EXPECT_EQ(plugin_.Open(dir_ / "a.qv", &result), nullptr);
  EXPECT_EQ(result, kEOpen);
  close(fd);
  EXPECT_EQ(plugin_.CanHandle(dir_ / "a.qv"), -1);
}
#endif

TEST_F(Listing, OpenArchiveWritesOnlyTheResultField) {
  WriteArchive(dir_ / "a.qv", "a.txt", "data");
  WriteFile(dir_ / "not.qv", "NOTQUORVANE");

  OpenRecord accepted(dir_ / "a.qv", 0);
  accepted.SetOpenResult(-7);
  handle_ = plugin_.OpenArchive(accepted.data());
  EXPECT_NE(handle_, nullptr);
  EXPECT_EQ(accepted.OpenResult(), 0);
  EXPECT_EQ(accepted.OpenMode(), 0);
  EXPECT_TRUE(accepted.TailUntouched());

  OpenRecord refused(dir_ / "not.qv", 1);
  EXPECT_EQ(plugin_.OpenArchive(refused.data()), nullptr);
  EXPECT_EQ(refused.OpenResult(), kUnknownFormat);
  EXPECT_EQ(refused.OpenMode(), 1);
  EXPECT_TRUE(refused.TailUntouched());

  // A host that passes no name at all gets a refusal, not a crash.
  std::optional<int> null_name = RunIsolated([&] {
    OpenRecord record("");
    record.SetNullName();
    void* handle = plugin_.OpenArchive(record.data());
    return handle == nullptr ? record.OpenResult() : -1;
  });
  ASSERT_TRUE(null_name.has_value()) << "OpenArchive crashed on a null name";
  EXPECT_EQ(*null_name, kEOpen);
  std::optional<int> null_check = RunIsolated([&] { return plugin_.CanYouHandleThisFile(nullptr); });
  ASSERT_TRUE(null_check.has_value()) << "CanYouHandleThisFile crashed on a null name";
  EXPECT_EQ(*null_check, 0);
}

// ------------------------------------------------------------------- listing

TEST_F(Listing, FillsEveryFieldAtItsOffsetAndNothingElse) {
  ArchiveRecipe recipe;
  recipe.name = "report.txt";
  recipe.content = TextBytes(100000);
  recipe.filetime = DosTime(2021, 6, 15, 12, 30, 44);
  std::string bytes = MakeArchive(recipe);
  WriteFile(dir_ / "arc.qv", bytes);
  std::int32_t packed = static_cast<std::int32_t>(bytes.size() - 28 - recipe.name.size());

  // The short record, and the extended one with its 64-bit sizes.
  for (const bool extended : {false, true}) {
    for (int fill : {0x5A, 0x00, 0xFF}) {
      SCOPED_TRACE(std::to_string(fill) + (extended ? ", ReadHeaderEx" : ", ReadHeader"));
      HeaderRecord record(static_cast<unsigned char>(fill), extended ? kHeaderExLayout : kHeaderLayout);
      ASSERT_EQ(List(dir_ / "arc.qv", record, extended ? plugin_.ReadHeaderEx : plugin_.ReadHeader), kOk);
      EXPECT_EQ(record.FileName(), "report.txt");
      EXPECT_EQ(record.PackSize64(), static_cast<std::uint64_t>(packed));
      EXPECT_EQ(record.UnpSize64(), 100000u);
      EXPECT_EQ(record.FileCRC(), 0) << "the checksum field is never filled";
#ifdef _WIN32
      EXPECT_EQ(record.FileTime(), static_cast<std::int32_t>(recipe.filetime));  // as stored
#else
      EXPECT_EQ(record.FileTime(), static_cast<std::int32_t>(UnixFromDosTime(recipe.filetime)));
#endif
      EXPECT_EQ(record.FileAttr(), kRegularFileMode);
      EXPECT_EQ(record.StrayWrites(), std::vector<std::size_t>{});
    }
  }
}

// The size field holds the low 32 bits, the reserved bytes the next 24;
// the extended record gives the whole size, and takes the packed size from
// the archive's real length, exact at any size.  The short record stays as
// hosts without the extension know it, unsigned.
TEST_F(Listing, SizesOfTwoGibibytesAndMore) {
  ArchiveRecipe recipe;
  recipe.name = "big.bin";
  recipe.content = "x";
  recipe.unpsize = 3000u << 20;  // 3,145,728,000
  recipe.reserved = {1, 2, 3};
  recipe.packsize = 0x12345678;
  WriteArchive(dir_ / "big.qv", recipe);
  const std::uint64_t length = 5ull << 30;
  std::filesystem::resize_file(dir_ / "big.qv", length);  // sparse: no 5 GiB written

  HeaderRecord extended(0x5A, kHeaderExLayout);
  ASSERT_EQ(List(dir_ / "big.qv", extended, plugin_.ReadHeaderEx), kOk);
  EXPECT_EQ(extended.UnpSize64(), 0x030201'00000000u + 3145728000u);
  EXPECT_EQ(extended.PackSize64(), length - 28 - recipe.name.size());
  EXPECT_EQ(extended.StrayWrites(), std::vector<std::size_t>{});

  HeaderRecord short_record;
  ASSERT_EQ(List(dir_ / "big.qv", short_record), kOk);
  EXPECT_EQ(static_cast<std::uint32_t>(short_record.UnpSize()), 3145728000u);
  EXPECT_EQ(short_record.PackSize(), 0x12345678);
}

#ifndef _WIN32  // Windows hosts get the stored DOS time as it is
TEST_F(Listing, TimeFieldIsZeroForInvalidDosDates) {
  for (std::uint32_t dos : {0xFFFFFFFFu, 0u, DosTime(2020, 13, 1, 0, 0, 0), DosTime(2020, 2, 0, 0, 0, 0),
                            DosTime(2020, 1, 1, 24, 0, 0)}) {
    ArchiveRecipe recipe;
    recipe.filetime = dos;
    WriteArchive(dir_ / "t.qv", recipe);
    HeaderRecord record;
    ASSERT_EQ(List(dir_ / "t.qv", record), kOk);
    EXPECT_EQ(record.FileTime(), 0) << std::hex << dos;
  }
  // The earliest date the format can hold, and a late one that still fits the
  // host's 32-bit field, are valid.
  for (std::uint32_t dos : {DosTime(1980, 1, 1, 0, 0, 0), DosTime(2037, 12, 31, 23, 59, 58)}) {
    ArchiveRecipe recipe;
    recipe.filetime = dos;
    WriteArchive(dir_ / "t.qv", recipe);
    HeaderRecord record;
    ASSERT_EQ(List(dir_ / "t.qv", record), kOk);
    EXPECT_EQ(record.FileTime(), static_cast<std::int32_t>(UnixFromDosTime(dos))) << std::hex << dos;
  }
}
#endif

TEST_F(Listing, AnswersAlternateBetweenTheEntryAndTheEnd) {
  WriteArchive(dir_ / "arc.qv", "one.txt", "1");
  HeaderRecord first;
  ASSERT_EQ(List(dir_ / "arc.qv", first), kOk);
  for (int round = 0; round < 3; ++round) {
    HeaderRecord end(0x33);
    EXPECT_EQ(plugin_.ReadHeader(handle_, end.data()), kEndArchive);
    EXPECT_EQ(end.StrayWrites(), std::vector<std::size_t>{}) << "the end answer wrote a field";
    HeaderRecord again;
    EXPECT_EQ(plugin_.ReadHeader(handle_, again.data()), kOk);
    EXPECT_EQ(again.FileName(), "one.txt");
  }
  // A host that skips entries with a null record moves on like any other.
  Close();
  handle_ = plugin_.Open(dir_ / "arc.qv");
  int calls = 0;
  while (calls < 5 && plugin_.ReadHeader(handle_, nullptr) == kOk) ++calls;
  EXPECT_EQ(calls, 1) << "a null record must not hold the listing at the first entry";
}

// Each handle names its own archive: two open at once on one thread list and
// extract their own contents, interleaved; a refused open leaves them alone;
// a closed or made-up handle gets an error code.
TEST_F(Listing, EachHandleNamesItsOwnArchive) {
  WriteArchive(dir_ / "a.qv", "a.txt", "aaa");
  WriteArchive(dir_ / "b.qv", "b.txt", "bbbbbb");
  WriteFile(dir_ / "junk", "junk");
  void* a = plugin_.Open(dir_ / "a.qv");
  void* b = plugin_.Open(dir_ / "b.qv");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  HeaderRecord ra, rb;
  ASSERT_EQ(plugin_.ReadHeader(a, ra.data()), kOk);
  ASSERT_EQ(plugin_.ReadHeader(b, rb.data()), kOk);
  EXPECT_EQ(ra.FileName(), "a.txt");
  EXPECT_EQ(rb.FileName(), "b.txt");
  int result = 0;
  EXPECT_EQ(plugin_.Open(dir_ / "junk", &result), nullptr);
  EXPECT_EQ(result, kUnknownFormat);
  EXPECT_EQ(plugin_.Process(a, kExtract, nullptr, (dir_ / "a.out").c_str()), kOk);
  EXPECT_EQ(plugin_.Process(b, kExtract, nullptr, (dir_ / "b.out").c_str()), kOk);
  EXPECT_EQ(ReadFile(dir_ / "a.out"), "aaa");
  EXPECT_EQ(ReadFile(dir_ / "b.out"), "bbbbbb");
  EXPECT_EQ(plugin_.ReadHeader(a, ra.data()), kEndArchive);
  EXPECT_EQ(plugin_.CloseArchive(a), kOk);
  EXPECT_EQ(plugin_.ReadHeader(b, rb.data()), kEndArchive) << "closing one archive touched the other";
  EXPECT_EQ(plugin_.CloseArchive(b), kOk);

  for (void* stale : {a, b, static_cast<void*>(nullptr), reinterpret_cast<void*>(0xDEADBEEF), kNoHandle}) {
    HeaderRecord record(0x33);
    EXPECT_EQ(plugin_.ReadHeader(stale, record.data()), kEOpen);
    EXPECT_EQ(record.StrayWrites(), std::vector<std::size_t>{});
    EXPECT_EQ(plugin_.Process(stale, kExtract, nullptr, (dir_ / "stale.out").c_str()), kEOpen);
    EXPECT_EQ(plugin_.CloseArchive(stale), 17);
  }
  EXPECT_FALSE(Exists(dir_ / "stale.out"));
  plugin_.SetChangeVolProc(nullptr, nullptr);
}

TEST_F(Listing, TruncatedHeaderReadsAsZeros) {
  ArchiveRecipe recipe;
  recipe.name = "long_name.txt";
  recipe.content = "content";
  std::string full = MakeArchive(recipe);

  // Only magic, unpsize and packsize: no time, no name.
  WriteFile(dir_ / "cut16.qv", full.substr(0, 16));
  HeaderRecord record;
  ASSERT_EQ(List(dir_ / "cut16.qv", record), kOk);
  EXPECT_EQ(record.UnpSize(), 7);
  EXPECT_EQ(record.PackSize(), static_cast<std::int32_t>(full.size() - 28 - 13));
  EXPECT_EQ(record.FileTime(), 0);
  EXPECT_EQ(record.FileName(), "cut16") << "an empty name lists as the archive's own name";
  EXPECT_EQ(record.StrayWrites(), std::vector<std::size_t>{});

  // Just the magic.
  WriteFile(dir_ / "magic.qv", full.substr(0, 8));
  HeaderRecord bare;
  ASSERT_EQ(List(dir_ / "magic.qv", bare), kOk);
  EXPECT_EQ(bare.UnpSize(), 0);
  EXPECT_EQ(bare.PackSize(), 0);
  EXPECT_EQ(bare.FileName(), "magic");

  // The name cut by the end of the file: the bytes that are there.
  WriteFile(dir_ / "cutname.qv", full.substr(0, 28 + 4));
  HeaderRecord cut;
  ASSERT_EQ(List(dir_ / "cutname.qv", cut), kOk);
  EXPECT_EQ(cut.FileName(), "long");
  EXPECT_EQ(cut.UnpSize(), 7);
}

TEST_F(Listing, StoredNamesAreReducedToAPlainFileName) {
  struct Case {
    std::string stored;
    std::string listed;
    std::string archive = "backup.tar.qv";
  } cases[] = {
      {"../../x", "x"},
      {"/etc/passwd", "passwd"},
      {"dir\\sub/file.txt", "file.txt"},
      {"..", "backup.tar"},
      {".", "backup.tar"},
      {"some/dir/", "backup.tar"},
      {"../..", "backup.tar"},
      {"", "backup.tar"},
      {std::string("ab\0cd", 5), "ab"},
      {"привет.txt", "привет.txt"},
      {"..", "noext", "noext"},
      // The archive's own name is no help either: a fixed name.
      {"..", "unnamed", "..qv"},
      {"", "unnamed", "...qv"},
      {"../", "unnamed", ".qv"},
#ifdef _WIN32
      {"..\\..\\evil.exe", "evil.exe"},
#else
      // Only "/" separates: a backslash is part of a Linux file name.
      {"a\\b.txt", "a\\b.txt"},
      {"..\\..\\evil.exe", "..\\..\\evil.exe"},
      // Names Windows cannot give a file are fine on Linux.
      {"CON", "CON"},
      {"aux.txt", "aux.txt"},
      {"a?b*<c>.txt", "a?b*<c>.txt"},
      {"trailing. ", "trailing. "},
#endif
  };
  for (const Case& c : cases) {
    ArchiveRecipe recipe;
    recipe.name = c.stored;
    EXPECT_EQ(ListedName(recipe, c.archive), c.listed) << "stored: " << c.stored << " in " << c.archive;
  }
}

TEST_F(Listing, LongestNamesListWhole) {
  ArchiveRecipe recipe;
  recipe.name = std::string(251, 'n') + ".txt";
  ASSERT_EQ(recipe.name.size(), 255u);
  EXPECT_EQ(ListedName(recipe), recipe.name);

  // namelen says 255 but the name has a zero byte at 200.
  recipe.name[200] = '\0';
  EXPECT_EQ(ListedName(recipe), std::string(200, 'n'));
}

// Double Commander lists on its UI thread while a worker thread reads another
// archive: each thread must see its own entry.
TEST_F(Listing, TwoThreadsListTwoArchivesEachSeeingItsOwn) {
  WriteArchive(dir_ / "alpha.qv", "alpha.txt", std::string(111, 'a'));
  WriteArchive(dir_ / "beta.qv", "beta.bin", std::string(2222, 'b'));
  constexpr int kRounds = 400;
  std::atomic<int> wrong{0};
  // A spin rather than std::barrier: GCC 12's atomic wait on mingw can miss
  // its wake-up and leave a thread waiting for good.
  std::atomic<int> arrived{0};
  auto worker = [&](std::string archive, std::string name, std::int32_t size) {
    ++arrived;
    while (arrived.load() < 2) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) {
      OpenRecord open(archive);
      void* handle = plugin_.OpenArchive(open.data());
      if (handle == nullptr) {
        ++wrong;
        continue;
      }
      HeaderRecord record;
      if (plugin_.ReadHeader(handle, record.data()) != kOk || record.FileName() != name ||
          record.UnpSize() != size) {
        ++wrong;
      }
      HeaderRecord end;
      if (plugin_.ReadHeader(handle, end.data()) != kEndArchive) ++wrong;
      if (plugin_.CloseArchive(handle) != kOk) ++wrong;
    }
  };
  std::thread a(worker, dir_ / "alpha.qv", "alpha.txt", 111);
  std::thread b(worker, dir_ / "beta.qv", "beta.bin", 2222);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
