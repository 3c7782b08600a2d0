// The file checksum, called directly: known answers, buffer boundaries, and
// files that another program holds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "archive_maker.h"
#include "crc32.h"
#include "host.h"
#include "platform/platform.h"

namespace {

using namespace qvtest;

std::uint32_t WholeCrc(std::string_view data) {
  if (data.empty()) return 0;
  return quorvane::UpdateCRC32(0xFFFFFFFFu, data.data(), data.size()) ^ 0xFFFFFFFFu;
}

// An open file description of its own, holding a flock.
class LockedFile {
 public:
  LockedFile(const std::string& path, int flags, int operation) {
    fd_ = open(path.c_str(), flags | O_CLOEXEC);
    locked_ = fd_ >= 0 && flock(fd_, operation | LOCK_NB) == 0;
  }
  ~LockedFile() {
    if (fd_ >= 0) close(fd_);
  }
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

class Checksum : public testing::Test {
 protected:
  void SetUp() override {
    ClearRecordedMessages();
    platform::SetHostMessageBox(RecordMessageBox);
  }
  void TearDown() override { platform::SetHostMessageBox(nullptr); }

  std::uint32_t OfFile(const std::string& name, std::string_view contents) {
    WriteFile(dir_ / name, contents);
    return quorvane::FileCRC32(dir_ / name);
  }

  TempDir dir_;
};

TEST_F(Checksum, KnownAnswers) {
  EXPECT_EQ(quorvane::kCRC32Table[0], 0u);
  EXPECT_EQ(quorvane::kCRC32Table[1], 0x77073096u);
  EXPECT_EQ(quorvane::kCRC32Table[255], 0x2D02EF8Du);
  EXPECT_EQ(WholeCrc("123456789"), 0xCBF43926u);
  EXPECT_EQ(OfFile("digits", "123456789"), 0xCBF43926u);
  EXPECT_EQ(OfFile("empty", ""), 0u);
  EXPECT_EQ(OfFile("fox", "The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  EXPECT_TRUE(RecordedMessages().empty());
}

// The register must not depend on how the bytes are split into calls (the
// fast path takes eight bytes a step; its tail and alignment are where it
// can go wrong).
TEST_F(Checksum, SplittingTheInputDoesNotChangeTheResult) {
  std::string data = RandomBytes(1000, 7);
  std::uint32_t expected = Crc32(data);
  for (std::size_t offset = 0; offset < 9; ++offset) {
    std::string_view tail(data.data() + offset, data.size() - offset);
    EXPECT_EQ(WholeCrc(tail), Crc32(tail)) << "offset " << offset;
  }
  for (std::size_t step : {1u, 3u, 7u, 8u, 9u, 15u, 17u, 333u}) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < data.size(); i += step) {
      crc = quorvane::UpdateCRC32(crc, data.data() + i, std::min(step, data.size() - i));
    }
    EXPECT_EQ(crc ^ 0xFFFFFFFFu, expected) << "step " << step;
  }
}

// The file is read in 32 KiB pieces: sizes at and around multiples of that.
TEST_F(Checksum, FilesAroundTheReadSize) {
  for (std::size_t n : {1u, 2u, 3u}) {
    for (std::size_t size : {32768 * n - 1, 32768 * n, 32768 * n + 1}) {
      std::string data = RandomBytes(size, static_cast<std::uint32_t>(size));
      EXPECT_EQ(OfFile("f", data), Crc32(data)) << size;
    }
  }
  std::string zeros(32768 * 4, '\0');
  EXPECT_EQ(OfFile("zeros", zeros), Crc32(zeros));
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(Checksum, FileOpenElsewhereForWritingOrSharedReadingIsRead) {
  std::string data = TextBytes(50000);
  WriteFile(dir_ / "busy", data);
  {
    LockedFile writer(dir_ / "busy", O_WRONLY, LOCK_SH);
    ASSERT_TRUE(writer.locked());
    EXPECT_EQ(quorvane::FileCRC32(dir_ / "busy"), Crc32(data));
  }
  {
    int fd = open((dir_ / "busy").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quorvane::FileCRC32(dir_ / "busy"), Crc32(data));
    close(fd);
  }
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(Checksum, FileHeldExclusivelyGivesTheMessageAndZero) {
  std::string path = dir_ / "held.txt";
  WriteFile(path, "held by somebody else");
  LockedFile holder(path, O_RDONLY, LOCK_EX);
  ASSERT_TRUE(holder.locked());

  EXPECT_EQ(quorvane::FileCRC32(path), 0u);
  std::vector<RecordedMessage> messages = RecordedMessages();
  ASSERT_EQ(messages.size(), 1u);
  const std::string& text = messages[0].text;
  const std::string head = "Ошибка '";
  const std::string tail = "' при обработке файла '" + path + "'";
  EXPECT_EQ(text.rfind(head, 0), 0u) << text;
  ASSERT_GE(text.size(), head.size() + tail.size()) << text;
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
  std::string reason = text.substr(head.size(), text.size() - head.size() - tail.size());
  EXPECT_NE(reason.find(path), std::string::npos) << "the error text names the file: " << text;
  EXPECT_EQ(messages[0].flags, 0) << "one OK button, no icon";
}

TEST_F(Checksum, MissingFilesAndFoldersDoNotFail) {
  // Any value will do; the call must come back.
  quorvane::FileCRC32(dir_ / "missing");
  quorvane::FileCRC32(dir_.path());
  SUCCEED();
}

}  // namespace
