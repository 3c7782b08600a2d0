// The Windows platform layer and the file checksum from inside: sharing
// modes against handles held elsewhere (where the checksum's read-error
// message can be staged exactly), device names, and DOS times.
#include "windows_support.h"
// windows.h maps these names to its A/W variants; here they are the platform
// layer's.
#undef LoadLibrary
#undef ReplaceFile

#include <mutex>

#include "crc32.h"
#include "platform/platform.h"

namespace {

using platform::File;
using platform::FileError;
using platform::Share;
using qvwin::Folder;
using qvwin::Holder;

std::mutex messages_mutex;
std::vector<std::pair<std::string, std::string>> messages;

int RecordMessage(char* text, char* caption, long) {
  std::lock_guard lock(messages_mutex);
  messages.emplace_back(text, caption);
  return 1;
}

class WindowsPlatform : public testing::Test {
 protected:
  void SetUp() override {
    platform::SetHostMessageBox(RecordMessage);
    messages.clear();
  }
  void TearDown() override { platform::SetHostMessageBox(nullptr); }
};

std::uint32_t Crc32Of(std::string_view bytes) {
  return ~quorvane::UpdateCRC32(0xFFFFFFFF, bytes.data(), bytes.size());
}

// Whether the plugin's own open of `path` with `share` succeeds.
bool PluginOpens(const std::wstring& path, Share share) {
  try {
    File file = File::OpenRead(path, share);
    return file.IsOpen();
  } catch (const FileError&) {
    return false;
  }
}

TEST_F(WindowsPlatform, ChecksumOfAFileHeldWithoutSharingShowsTheErrorAndGivesZero) {
  Folder dir;
  const std::wstring path = dir / L"locked.txt";
  qvwin::WriteBytes(path, "123456789");
  {
    Holder other(path, GENERIC_READ, 0);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(quorvane::FileCRC32(path), 0u);
  }
  ASSERT_EQ(messages.size(), 1u);
  const std::string& text = messages[0].first;
  const std::string host_path = platform::ToHost(path);
  const std::string opening = platform::MessageToHost("Ошибка '");
  const std::string middle = platform::MessageToHost("' при обработке файла '");
  ASSERT_EQ(text.rfind(opening, 0), 0u) << text;
  ASSERT_GE(text.size(), opening.size() + middle.size() + host_path.size() + 1);
  EXPECT_EQ(text.substr(text.size() - middle.size() - host_path.size() - 1), middle + host_path + "'") << text;
  // The error part names the file and gives the system's reason after it.
  std::string error = text.substr(opening.size(), text.size() - opening.size() - middle.size() - host_path.size() - 1);
  EXPECT_EQ(error.rfind(host_path + ": ", 0), 0u) << error;
  EXPECT_GT(error.size(), host_path.size() + 2) << error;

  // Once the file is free again, the checksum is right and nobody is bothered.
  messages.clear();
  EXPECT_EQ(quorvane::FileCRC32(path), 0xCBF43926u);
  EXPECT_TRUE(messages.empty());
}

TEST_F(WindowsPlatform, WithoutAHostMessageBoxTheSystemBoxReturnsAndTheChecksumIsZero) {
  platform::SetHostMessageBox(nullptr);
  Folder dir;
  const std::wstring path = dir / L"locked.txt";
  qvwin::WriteBytes(path, "123456789");
  Holder other(path, GENERIC_READ, 0);
  ASSERT_TRUE(other.ok());
  // Under Wine without a display MessageBoxW returns at once.
  EXPECT_EQ(quorvane::FileCRC32(path), 0u);
}

TEST_F(WindowsPlatform, AFileBeingWrittenElsewhereCanStillBeChecksummed) {
  Folder dir;
  const std::wstring path = dir / L"growing.log";
  const std::string content = qvtest::TextBytes(100000);
  qvwin::WriteBytes(path, content);
  for (DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
    Holder writer(path, GENERIC_WRITE, share);
    ASSERT_TRUE(writer.ok());
    EXPECT_EQ(quorvane::FileCRC32(path), Crc32Of(content));
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(WindowsPlatform, ShareModesMeetOtherOpenersExactly) {
  Folder dir;
  const std::wstring path = dir / L"shared.txt";
  qvwin::WriteBytes(path, "x");
  // Another program holds the file; can the plugin open it?
  struct Case {
    DWORD access, share;
    bool none, read, read_write;
  };
  for (const Case& c : {Case{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, false, true, true},
                        Case{GENERIC_READ, FILE_SHARE_READ, false, true, true},
                        Case{GENERIC_WRITE, FILE_SHARE_READ, false, false, true},
                        Case{GENERIC_READ, 0, false, false, false}}) {
    SCOPED_TRACE(testing::Message() << "access " << std::hex << c.access << " share " << c.share);
    Holder other(path, c.access, c.share);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(PluginOpens(path, Share::kNone), c.none);
    EXPECT_EQ(PluginOpens(path, Share::kRead), c.read);
    EXPECT_EQ(PluginOpens(path, Share::kReadWrite), c.read_write);
  }
  // And the other way round: the plugin holds it.
  {
    File mine = File::OpenRead(path, Share::kRead);
    EXPECT_TRUE(Holder(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE).ok());
    EXPECT_FALSE(Holder(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).ok());
  }
  {
    File mine = File::Create(path, Share::kNone);
    EXPECT_FALSE(Holder(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE).ok());
  }
}

TEST_F(WindowsPlatform, OpenErrorsNameTheFileAndTheReason) {
  Folder dir;
  const std::wstring missing = dir / L"missing.txt";
  try {
    File::OpenRead(missing, Share::kNone);
    FAIL() << "opened a missing file";
  } catch (const FileError& error) {
    std::string text = error.what();
    EXPECT_EQ(text.rfind(platform::ToHost(missing) + ": ", 0), 0u) << text;
    EXPECT_GT(text.size(), platform::ToHost(missing).size() + 2) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
  // CREATE_NEW never opens a name that exists, and says so in its own way.
  qvwin::WriteBytes(dir / L"taken.txt", "taken");
  EXPECT_THROW(File::CreateNew(dir / L"taken.txt", Share::kNone, platform::Visibility::kPrivate),
               platform::FileExistsError);
  EXPECT_EQ(qvwin::ReadBytes(dir / L"taken.txt"), "taken");
}

TEST_F(WindowsPlatform, DeviceNamesAreNoFilesInAnySpelling) {
  Folder dir;
  for (const std::wstring& name :
       {std::wstring(L"NUL"), dir / L"NUL", dir / L"con", std::wstring(L"COM1"), dir / L"nul.tar.gz",
        dir / L"CONIN$", dir / L"conout$.log", dir / L"Aux .txt", dir / L"com\u00B2", dir / L"lpt1.",
        dir / L"COM1\\below", std::wstring(L"\\\\.\\pipe\\quorvane-none"), std::wstring(L"\\\\?\\pipe\\quorvane-none"),
        std::wstring(L"//./pipe/quorvane-none"), std::wstring(L"\\\\?\\GLOBALROOT\\Device\\Null"),
        std::wstring(L"\\\\.\\C:"), std::wstring(L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}"),
        std::wstring(L"\\\\.\\PhysicalDrive0"), L"\\\\?\\" + (dir / L"NUL")}) {
    SCOPED_TRACE(qvwin::Narrow(name));
    EXPECT_EQ(platform::KindOf(name), platform::FileKind::kOther);
    EXPECT_THROW(File::Create(name, Share::kNone), FileError);
    EXPECT_THROW(File::OpenRead(name, Share::kReadWrite), FileError);
  }
  EXPECT_EQ(platform::KindOf(dir.wide()), platform::FileKind::kDirectory);
  EXPECT_EQ(platform::KindOf(dir / L"nothing"), platform::FileKind::kMissing);
  EXPECT_THROW(File::OpenRead(dir.wide(), Share::kReadWrite), FileError);
  // Names close to device names, and disk paths in the device namespace,
  // are files.
  qvwin::WriteBytes(dir / L"a.qv", "a");
  for (const std::wstring& name : {dir / L"console", dir / L"COM10", dir / L"nul_x.txt", dir / L"lpt",
                                   L"\\\\?\\" + (dir / L"a.qv"), L"\\\\.\\" + (dir / L"a.qv")}) {
    SCOPED_TRACE(qvwin::Narrow(name));
    if (name.find(L"a.qv") == std::wstring::npos) qvwin::WriteBytes(name, "x");
    EXPECT_EQ(platform::KindOf(name), platform::FileKind::kRegular);
    EXPECT_TRUE(PluginOpens(name, Share::kReadWrite));
  }
}

TEST_F(WindowsPlatform, DosTimesRoundTripAndInvalidOnesAreRefused) {
  Folder dir;
  const std::wstring path = dir / L"dated.txt";
  qvwin::WriteBytes(path, "dated");
  for (std::uint32_t dos : {0x00210000u /* 1980-01-01 00:00:00 */, 0x5A8F7BBDu /* 2025-04-15 15:29:58 */,
                            0xFF9FBF7Du /* 2107-12-31 23:59:58 */, 0x58590000u /* 2024-02-25 */}) {
    ASSERT_TRUE(platform::SetFileDosTime(path, dos)) << std::hex << dos;
    EXPECT_EQ(platform::FileDosTime(path), dos) << std::hex << dos;
    EXPECT_EQ(platform::HostRecordTime(dos), dos);
  }
  const std::uint32_t before = platform::FileDosTime(path);
  for (std::uint32_t bad : {platform::kNoDosTime, 0x00000000u /* month 0 */, 0x005F0000u /* 31 February 1980 */,
                            0x5A8FC000u /* 24:00:00 */, 0x5A8F7F1Eu /* 15:56:60 */}) {
    EXPECT_FALSE(platform::SetFileDosTime(path, bad)) << std::hex << bad;
  }
  EXPECT_EQ(platform::FileDosTime(path), before);
  EXPECT_FALSE(platform::SetFileDosTime(dir / L"missing", 0x5A8F7BBDu));
  EXPECT_EQ(platform::FileDosTime(dir / L"missing"), platform::kNoDosTime);
  EXPECT_EQ(platform::FileDosTime(dir.wide()), platform::kNoDosTime);
  EXPECT_EQ(platform::HostRecordAttributes(), 32u);
}

TEST_F(WindowsPlatform, ReplaceFileTakesTheTargetsPlaceUnlessItIsHeld) {
  Folder dir;
  qvwin::WriteBytes(dir / L"new", "new");
  qvwin::WriteBytes(dir / L"target", "old");
  {
    Holder reader(dir / L"target", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.ok());
    EXPECT_THROW(platform::ReplaceFile(dir / L"new", dir / L"target"), FileError);
  }
  EXPECT_EQ(qvwin::ReadBytes(dir / L"target"), "old");
  platform::ReplaceFile(dir / L"new", dir / L"target");
  EXPECT_EQ(qvwin::ReadBytes(dir / L"target"), "new");
  EXPECT_EQ(dir.List(), std::vector<std::wstring>{L"target"});
}

}  // namespace
