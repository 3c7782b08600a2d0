// The file checksum, called directly: known answers, read-size boundaries,
// and files that another program holds.
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
  EXPECT_EQ(OfFile("digits", "123456789"), 0xCBF43926u);
  EXPECT_EQ(OfFile("empty", ""), 0u);
  EXPECT_EQ(OfFile("fox", "The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  EXPECT_TRUE(RecordedMessages().empty());
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

// Nothing to read, nothing to tell: the caller's comparison with the stored
// value reports the mismatch.
TEST_F(Checksum, MissingFilesAndFoldersGiveZeroQuietly) {
  EXPECT_EQ(quorvane::FileCRC32(dir_ / "missing"), 0u);
  EXPECT_EQ(quorvane::FileCRC32(dir_.path()), 0u);
  EXPECT_TRUE(RecordedMessages().empty());
}

}  // namespace
