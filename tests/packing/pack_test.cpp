// Packing files through PackFiles, checked from the outside: round trips
// through the reading side, every header field against independent tools,
// the host's list forms, atomic replacement, progress and the about box.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "process.h"

namespace {

using namespace qvtest;

class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) old_ = buffer;
    if (chdir(dir.c_str()) != 0) std::perror("chdir");
  }
  ~ScopedCwd() {
    if (!old_.empty() && chdir(old_.c_str()) != 0) std::perror("chdir");
  }

 private:
  std::string old_;
};

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }

 private:
  mode_t old_;
};

// Everything written to standard error while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& file) : file_(file) {
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  std::string Finish() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    return ReadFile(file_);
  }
  ~StderrCapture() { Finish(); }

 private:
  std::string file_;
  int saved_ = -1;
};

class Packing : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_.Loaded() && plugin_.Missing().empty()) << plugin_.Problem();
    plugin_.SetProcessDataProc(nullptr, nullptr);
    ASSERT_EQ(mkdir(src_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(out_.c_str(), 0755), 0);
  }
  void TearDown() override { plugin_.SetProcessDataProc(nullptr, nullptr); }

  // Packs src_/name into `archive` the way Double Commander calls.
  int Pack(const std::string& archive, const std::vector<std::string>& names) {
    return plugin_.Pack(archive, src_ + "/", names, kPackSavePaths);
  }

  // Lists, tests and extracts `archive`, which must hold `content` as `name`.
  void ExpectRoundTrip(const std::string& archive, const std::string& name, const std::string& content) {
    void* handle = plugin_.Open(archive);
    ASSERT_NE(handle, nullptr);
    HeaderRecord record;
    ASSERT_EQ(plugin_.ReadHeader(handle, record.data()), kOk);
    EXPECT_EQ(record.FileName(), name);
    EXPECT_EQ(record.UnpSize(), static_cast<std::int32_t>(content.size()));
    EXPECT_EQ(plugin_.Process(handle, kTest, nullptr, ""), kOk);
    EXPECT_EQ(plugin_.Process(handle, kExtract, nullptr, (out_ + "/restored").c_str()), kOk);
    EXPECT_TRUE(ReadFile(out_ + "/restored") == content) << "extracted bytes differ";
    HeaderRecord end;
    EXPECT_EQ(plugin_.ReadHeader(handle, end.data()), kEndArchive);
    EXPECT_EQ(plugin_.CloseArchive(handle), 0);
  }

  Plugin& plugin_ = SharedPlugin();
  TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string out_ = dir_ / "out";
};

// ------------------------------------------------------------- round trips

TEST_F(Packing, RoundTripsThroughTheReadingSide) {
  const std::size_t sizes[] = {0, 1, 65536, 65537, 3 * 1024 * 1024 + 3};
  const char* kinds[] = {"text", "random", "zeros"};
  const std::string names[] = {"plain.txt", "привет.txt"};
  int round = 0;
  for (std::size_t size : sizes) {
    for (const char* kind : kinds) {
      const std::string& name = names[round++ % 2];
      SCOPED_TRACE(std::string(kind) + " " + std::to_string(size) + " " + name);
      std::string content = kind[0] == 't'   ? TextBytes(size)
                            : kind[0] == 'r' ? RandomBytes(size, static_cast<std::uint32_t>(size))
                                             : std::string(size, '\0');
      WriteFile(src_ + "/" + name, content);
      const std::string archive = out_ + "/rt.qv";
      ASSERT_EQ(Pack(archive, {name}), kOk);

      ExpectRoundTrip(archive, name, content);
    }
  }
}

// -------------------------------------------------- the archive, field by field

TEST_F(Packing, EveryFieldCheckedIndependently) {
  const std::string content = TextBytes(150000);
  WriteFile(src_ + "/report.txt", content);
  // An odd second: DOS times count in steps of two.
  SetModificationTime(src_ + "/report.txt", LocalUnixTime(2022, 8, 9, 10, 11, 13));
  const std::string archive = out_ + "/report.qv";
  ASSERT_EQ(Pack(archive, {"report.txt"}), kOk);

  const std::string bytes = ReadFile(archive);
  std::optional<ParsedHeader> h = ParseArchive(bytes);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->magic, "QUORVANE");
  EXPECT_EQ(h->unpsize, content.size());
  EXPECT_EQ(h->namelen, 10);
  EXPECT_EQ(h->name, "report.txt");
  EXPECT_EQ(std::size_t{h->packsize} + h->namelen + 28, bytes.size());
  EXPECT_EQ(h->filetime, DosTime(2022, 8, 9, 10, 11, 12));
  EXPECT_EQ(h->reserved, (std::array<std::uint8_t, 3>{0, 0, 0}));

  ASSERT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(h->crc, Crc32(content));
  if (RunShell("python3 -c 'pass' 2>/dev/null") == 0) {
    const std::string crc_file = dir_ / "crc";
    ASSERT_EQ(RunShell("python3 -c \"import sys, zlib; print(zlib.crc32(open(sys.argv[1], 'rb').read()))\" " +
                    ShellQuote(src_ + "/report.txt") + " > " + ShellQuote(crc_file)),
              0);
    EXPECT_EQ(std::strtoul(ReadFile(crc_file).c_str(), nullptr, 10), h->crc) << "zlib disagrees";
  }

  // The payload is one plain bzip2 stream of block size 9 with nothing after it.
  EXPECT_EQ(h->payload.substr(0, 4), "BZh9");
  std::optional<std::string> strict = Bzip2Decompress(h->payload);
  ASSERT_TRUE(strict.has_value()) << "not exactly one complete bzip2 stream";
  EXPECT_TRUE(*strict == content);
  const std::string payload_file = dir_ / "payload.bz2";
  WriteFile(payload_file, h->payload);
  EXPECT_EQ(RunShell("bzip2 -t " + ShellQuote(payload_file) + " 2> " + ShellQuote(dir_ / "t.err")), 0);
  EXPECT_EQ(ReadFile(dir_ / "t.err"), "") << "bzip2 -t complains";
  EXPECT_EQ(RunShell("bzip2 -dc " + ShellQuote(payload_file) + " > " + ShellQuote(dir_ / "by_bzip2") + " 2> " +
                  ShellQuote(dir_ / "d.err")),
            0);
  EXPECT_TRUE(ReadFile(dir_ / "by_bzip2") == content) << "bzip2 -d restores something else";
  EXPECT_EQ(ReadFile(dir_ / "d.err"), "");
}

TEST_F(Packing, EmptyFilesAndTimesOutsideDosRange) {
  WriteFile(src_ + "/empty", "");
  SetModificationTime(src_ + "/empty", LocalUnixTime(1975, 5, 5, 5, 5, 5));
  ASSERT_EQ(Pack(out_ + "/e.qv", {"empty"}), kOk);
  std::optional<ParsedHeader> h = ParseArchive(ReadFile(out_ + "/e.qv"));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->unpsize, 0u);
  EXPECT_EQ(h->crc, 0u);
  EXPECT_EQ(h->filetime, 0xFFFFFFFFu) << "1975 cannot be a DOS date";
  std::optional<std::string> data = Bzip2Decompress(h->payload);
  ASSERT_TRUE(data.has_value()) << "an empty file still gets a complete stream";
  EXPECT_EQ(*data, "");
}

// ----------------------------------------------------------- the host's list

TEST_F(Packing, OneEntryIsPackedUnderItsNamePart) {
  // An archive holds one file: a longer list is refused whole, so the host
  // can tell the user instead of losing the other files.
  WriteFile(src_ + "/a.txt", "first file");
  WriteFile(src_ + "/b.txt", "second file");
  EXPECT_EQ(Pack(out_ + "/ab.qv", {"a.txt", "b.txt"}), kTooManyFiles);
  EXPECT_EQ(Pack(out_ + "/abc.qv", {"a.txt", "b.txt", "a.txt"}), kTooManyFiles);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{});

  std::optional<ParsedHeader> h;
  ASSERT_EQ(mkdir((src_ + "/sub").c_str(), 0755), 0);
  WriteFile(src_ + "/sub/a.txt", "in a folder");
  ASSERT_EQ(Pack(out_ + "/sub.qv", {"sub/a.txt"}), kOk);
  h = ParseArchive(ReadFile(out_ + "/sub.qv"));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->name, "a.txt");
  EXPECT_EQ(h->namelen, 5);
  EXPECT_EQ(Bzip2Decompress(h->payload), std::optional<std::string>("in a folder"));

  // A link is followed and stored under its own name.
  ASSERT_EQ(symlink((src_ + "/b.txt").c_str(), (src_ + "/link.txt").c_str()), 0);
  ASSERT_EQ(Pack(out_ + "/link.qv", {"link.txt"}), kOk);
  h = ParseArchive(ReadFile(out_ + "/link.qv"));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->name, "link.txt");
  EXPECT_EQ(Bzip2Decompress(h->payload), std::optional<std::string>("second file"));
}

TEST_F(Packing, SourceFolderAndFlagsInEveryForm) {
  WriteFile(src_ + "/a.txt", "content");
  for (int flags : {0, kPackSavePaths, 1 | kPackSavePaths}) {
    EXPECT_EQ(plugin_.Pack(out_ + "/with.qv", src_ + "/", {"a.txt"}, flags), kOk) << flags;
    EXPECT_EQ(plugin_.Pack(out_ + "/without.qv", src_, {"a.txt"}, flags), kOk) << flags;
    EXPECT_EQ(plugin_.Pack(out_ + "/sub.qv", src_ + "/", {"a.txt"}, flags, "inner/dir"), kOk) << flags;
    for (const char* name : {"with.qv", "without.qv", "sub.qv"}) {
      std::optional<ParsedHeader> h = ParseArchive(ReadFile(out_ + "/" + name));
      ASSERT_TRUE(h.has_value()) << name;
      EXPECT_EQ(h->name, "a.txt") << name;
    }
  }
  EXPECT_TRUE(Exists(src_ + "/a.txt")) << "the source was moved or deleted";
}

TEST_F(Packing, NothingToPack) {
  WriteFile(src_ + "/a.txt", "a");
  ASSERT_EQ(mkdir((src_ + "/folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((src_ + "/fifo").c_str(), 0600), 0);
  const std::string archive = out_ + "/none.qv";
  EXPECT_EQ(Pack(archive, {"folder"}), kNoFiles);
  EXPECT_EQ(Pack(archive, {}), kNoFiles);
  EXPECT_EQ(Pack(archive, {"missing.txt"}), kNoFiles);
  std::optional<int> fifo = RunIsolated([&] { return Pack(archive, {"fifo"}); }, 10);
  ASSERT_TRUE(fifo.has_value()) << "packing a FIFO hung or crashed";
  EXPECT_EQ(*fifo, kNoFiles);
  std::optional<int> device = RunIsolated(
      [&] { return plugin_.Pack(archive, "/dev/", {"null"}, kPackSavePaths); }, 10);
  ASSERT_TRUE(device.has_value()) << "packing a device hung or crashed";
  EXPECT_EQ(*device, kNoFiles);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{});
}

TEST_F(Packing, RelativeArchivePathResolvesAgainstTheCurrentDirectory) {
  WriteFile(src_ + "/a.txt", "relative");
  ASSERT_EQ(mkdir((out_ + "/deeper").c_str(), 0755), 0);
  {
    ScopedCwd cwd(out_);
    EXPECT_EQ(Pack("rel.qv", {"a.txt"}), kOk);
    EXPECT_EQ(Pack("deeper/../deeper/rel2.qv", {"a.txt"}), kOk);
  }
  EXPECT_EQ(ListDir(out_), (std::vector<std::string>{"deeper", "rel.qv"}));
  EXPECT_EQ(ListDir(out_ + "/deeper"), std::vector<std::string>{"rel2.qv"});
  EXPECT_EQ(plugin_.CanHandle(out_ + "/rel.qv"), -1);
}

TEST_F(Packing, LongUtf8NamesStayWhole) {
  // 85 three-byte characters: the 255 bytes the format can carry.
  std::string name;
  for (int i = 0; i < 85; ++i) name += "€";
  ASSERT_EQ(name.size(), 255u);
  WriteFile(src_ + "/" + name, "euro");
  ASSERT_EQ(Pack(out_ + "/long.qv", {name}), kOk);
  std::optional<ParsedHeader> h = ParseArchive(ReadFile(out_ + "/long.qv"));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->namelen, 255);
  EXPECT_EQ(h->name, name);
  ExpectRoundTrip(out_ + "/long.qv", name, "euro");

  // Archive names up to the file system's limit: the new archive grows
  // under a short name of its own beside them.
  for (std::size_t length = 240; length <= 255; ++length) {
    const std::string archive = out_ + "/" + std::string(length - 3, 'a') + ".qv";
    EXPECT_EQ(Pack(archive, {name}), kOk) << length;
    EXPECT_EQ(plugin_.CanHandle(archive), -1) << length;
    ASSERT_EQ(unlink(archive.c_str()), 0);
  }
  EXPECT_EQ(ListDir(out_), (std::vector<std::string>{"long.qv", "restored"}));
}

// Linux file names stop at 255 bytes, so a longer stored name can only come
// from the archive name of in-memory packing ("<name>.tar").
TEST_F(Packing, NamesLongerThan255BytesAreCutAtACharacter) {
  std::string base;
  for (int i = 0; i < 140; ++i) base += "я";  // 280 bytes
  std::string target = out_ + "/" + base + ".qv";
  void* handle = plugin_.StartMemPack(0, target.data());
  ASSERT_NE(handle, nullptr);
  std::string input = "streamed";
  int taken = 0, written = 0;
  std::vector<char> buffer(65536);
  ASSERT_EQ(plugin_.PackToMem(handle, input.data(), static_cast<int>(input.size()), &taken,
                              buffer.data(), static_cast<int>(buffer.size()), &written, 0),
            0);
  std::string archive;
  int answer = 0;
  for (int calls = 0; calls < 1000 && answer == 0; ++calls) {
    written = 0;
    answer = plugin_.PackToMem(handle, input.data(), 0, &taken, buffer.data(),
                               static_cast<int>(buffer.size()), &written, 0);
    archive.append(buffer.data(), static_cast<std::size_t>(std::max(written, 0)));
  }
  plugin_.DoneMemPack(handle);
  ASSERT_EQ(answer, 1);
  std::optional<ParsedHeader> h = ParseArchive(archive);
  ASSERT_TRUE(h.has_value());
  std::string expected;
  for (int i = 0; i < 127; ++i) expected += "я";  // 254 bytes: 255 would split a character
  EXPECT_EQ(h->namelen, 254);
  EXPECT_EQ(h->name, expected);
  EXPECT_EQ(Bzip2Decompress(h->payload), std::optional<std::string>("streamed"));
}

// --------------------------------------------------------- atomic replace

TEST_F(Packing, StoppedPackingLeavesTheOldArchive) {
  WriteFile(src_ + "/big.bin", RandomBytes(65536 * 4 + 1, 21));
  const std::string archive = out_ + "/keep.qv";
  const std::string old_bytes = MakeArchive(ArchiveRecipe{});
  WriteFile(archive, old_bytes);

  for (std::size_t stop_at : {std::size_t{0}, std::size_t{2}}) {
    ProgressRecorder recorder;
    recorder.StopAt(stop_at);
    plugin_.SetProcessDataProc(kNoHandle, ProgressRecorder::Callback);
    EXPECT_EQ(Pack(archive, {"big.bin"}), kEAborted) << stop_at;
    EXPECT_EQ(recorder.Count(), stop_at + 1) << "reports went on after the stop";
    EXPECT_TRUE(ReadFile(archive) == old_bytes) << "stopped at " << stop_at;
    EXPECT_EQ(ListDir(out_), std::vector<std::string>{"keep.qv"}) << "stopped at " << stop_at;
    // A stopped packing under a new name leaves nothing at all.
    recorder.Clear();
    EXPECT_EQ(Pack(out_ + "/new.qv", {"big.bin"}), kEAborted);
    EXPECT_EQ(ListDir(out_), std::vector<std::string>{"keep.qv"});
  }
  plugin_.SetProcessDataProc(kNoHandle, nullptr);
}

// A new archive gets the mode of a new file; one that replaces another keeps
// the old one's, and where the archive's path is a symbolic link, the file
// it points to is replaced and the link stays.
TEST_F(Packing, ReplacingKeepsTheArchivesIdentity) {
  WriteFile(src_ + "/a.txt", "mode");
  const std::string archive = out_ + "/mode.qv";
  {
    ScopedUmask mask(022);
    ASSERT_EQ(Pack(archive, {"a.txt"}), kOk);
    EXPECT_EQ(ModeOf(archive) & 07777, 0644);
  }
  ASSERT_EQ(chmod(archive.c_str(), 0600), 0);
  {
    // Nothing in the folder is readable by others meanwhile, the new
    // archive that has no name yet (and the old one, held) included.
    ScopedUmask mask(022);
    std::vector<struct stat> open;
    int others = 0;
    ProgressRecorder recorder;
    recorder.At(0, [&] {
      open = FilesOpenIn(out_);
      for (const struct stat& file : open) others |= static_cast<int>(file.st_mode) & 077;
      for (const std::string& name : ListDir(out_)) others |= ModeOf(out_ + "/" + name) & 077;
    });
    plugin_.SetProcessDataProc(kNoHandle, ProgressRecorder::Callback);
    ASSERT_EQ(Pack(archive, {"a.txt"}), kOk);
    EXPECT_EQ(open.size(), 2u);
    EXPECT_EQ(others, 0) << "a file was readable by others during the re-pack";
    EXPECT_EQ(ModeOf(archive) & 07777, 0600) << "a replaced archive keeps its permissions";
  }
  ASSERT_EQ(symlink("mode.qv", (out_ + "/link.qv").c_str()), 0);
  WriteFile(src_ + "/a.txt", "through the link");
  ASSERT_EQ(Pack(out_ + "/link.qv", {"a.txt"}), kOk);
  EXPECT_TRUE(S_ISLNK(ModeOf(out_ + "/link.qv"))) << "the link itself was replaced";
  EXPECT_EQ(ModeOf(archive) & 07777, 0600);
  std::optional<ParsedHeader> h = ParseArchive(ReadFile(archive));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(Bzip2Decompress(h->payload), std::optional<std::string>("through the link"));
  EXPECT_EQ(ListDir(out_), (std::vector<std::string>{"link.qv", "mode.qv"}));
}

// An archive the plugin has open is being read: packing does not wait for
// it, and leaves it whole.
TEST_F(Packing, AnArchiveThatIsBeingReadIsNotReplaced) {
  WriteFile(src_ + "/a.txt", "new contents");
  const std::string archive = out_ + "/read.qv", old_bytes = MakeArchive(ArchiveRecipe{});
  WriteFile(archive, old_bytes);
  void* reader = plugin_.Open(archive);
  EXPECT_EQ(Pack(archive, {"a.txt"}), kEOpen);
  EXPECT_TRUE(ReadFile(archive) == old_bytes);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"read.qv"});
  EXPECT_EQ(plugin_.CloseArchive(reader), kOk);
  EXPECT_EQ(Pack(archive, {"a.txt"}), kOk);
}

// The source is read once, to its end: a file that grows while it is packed
// gives an archive that matches what was read, however the file ends up.
TEST_F(Packing, ASourceThatGrowsWhilePackedIsStoredAsRead) {
  static std::string growing;
  growing = src_ + "/log.txt";
  WriteFile(growing, TextBytes(65536 * 3));
  const auto append_once = [](char*, int) -> int {
    static bool appended;
    if (!appended) {
      appended = true;
      std::FILE* file = std::fopen(growing.c_str(), "ab");
      std::fputs("a line written while the file was being packed\n", file);
      std::fclose(file);
    }
    return 1;
  };
  plugin_.SetProcessDataProc(kNoHandle, append_once);
  ASSERT_EQ(Pack(out_ + "/log.qv", {"log.txt"}), kOk);
  plugin_.SetProcessDataProc(kNoHandle, nullptr);
  const std::string stored = ReadFile(growing);
  ASSERT_GT(stored.size(), 65536u * 3) << "the source did not grow";
  ExpectRoundTrip(out_ + "/log.qv", "log.txt", stored);
}

// ---------------------------------------------------------------- progress

TEST_F(Packing, ProgressNamesTheSourceAndCountsEveryByte) {
  const std::string folder = src_ + "/папка";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  for (std::size_t size : {std::size_t{0}, std::size_t{65536}, std::size_t{65536 * 2 + 5}}) {
    SCOPED_TRACE(size);
    WriteFile(folder + "/файл.bin", RandomBytes(size, 5));
    ProgressRecorder recorder;
    plugin_.SetProcessDataProc(kNoHandle, ProgressRecorder::Callback);
    ASSERT_EQ(plugin_.Pack(out_ + "/p.qv", folder + "/", {"файл.bin"}), kOk);
    const std::size_t reports = size == 0 ? 1 : (size + 65535) / 65536;
    EXPECT_EQ(recorder.Count(), reports);
    EXPECT_EQ(recorder.Sizes("Orvel's Quorvane - Упаковка: " + folder + "/файл.bin").size(), reports);
    EXPECT_EQ(recorder.TotalSize(), static_cast<long long>(size));
  }
}

TEST_F(Packing, NoDescriptorIsLeftOpen) {
  WriteFile(src_ + "/a.txt", TextBytes(200000));
  int before = CountOpenFds();
  plugin_.SetProcessDataProc(kNoHandle, ProgressRecorder::Callback);
  for (int i = 0; i < 5; ++i) {
    Pack(out_ + "/a.qv", {"a.txt"});
    Pack(out_ + "/missing/a.qv", {"a.txt"});
    Pack(out_ + "/a.qv", {"nothing"});
    ProgressRecorder stopper;
    stopper.StopAt(1);
    Pack(out_ + "/a.qv", {"a.txt"});
  }
  EXPECT_EQ(CountOpenFds(), before);
}

// ------------------------------------------------------------------- about

TEST(About, ShownThroughTheHostsMessageBox) {
  Plugin& plugin = SharedPlugin();
  ASSERT_TRUE(plugin.Loaded() && plugin.Missing().empty()) << plugin.Problem();
  ClearRecordedMessages();
  ASSERT_TRUE(InitializeExtension(plugin));
  plugin.ConfigurePacker(nullptr, nullptr);
  std::vector<RecordedMessage> messages = RecordedMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "QuorvaneTC\rSimply plugin for working with Orvel's Quorvane archives\r"
            "Quorvane developers");
  EXPECT_EQ(messages[0].flags, 0) << "one OK button, no icon";
}

TEST(About, WithoutAMessageBoxItGoesToStandardErrorAsOneLine) {
  TempDir dir;
  // A fresh module whose host's record is too short to hold MessageBox.
  Plugin plugin(CopyPlugin(dir.path()));
  ASSERT_TRUE(plugin.Loaded()) << plugin.Problem();
  ClearRecordedMessages();
  ASSERT_TRUE(InitializeExtension(plugin, RecordMessageBox, kExtensionMessageBoxOffset + 4));
  StderrCapture capture(dir / "stderr");
  plugin.ConfigurePacker(nullptr, nullptr);
  std::string text = capture.Finish();
  EXPECT_TRUE(RecordedMessages().empty()) << "a MessageBox beyond StructSize was used";
  EXPECT_NE(text.find("QuorvaneTC"), std::string::npos) << text;
  EXPECT_NE(text.find("Simply plugin for working with Orvel's Quorvane archives"), std::string::npos);
  EXPECT_NE(text.find("Quorvane developers"), std::string::npos);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), text.size() - 1) << "not one line: " << text;
}

}  // namespace
