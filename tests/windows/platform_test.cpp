// The Windows platform layer from inside: sharing modes against handles held
// elsewhere, device names, DOS times and replacing files.
#include "windows_support.h"
// windows.h maps this name to its A/W variants; here it is the platform
// layer's.
#undef LoadLibrary

#include "files.h"
#include "platform/platform.h"

namespace {

using platform::File;
using platform::FileError;
using platform::Share;
using qvtest::Holder;
using qvtest::TempDir;

// Whether the plugin's own open of `path` with `share` succeeds.
bool PluginOpens(const std::wstring& path, Share share) {
  try {
    File file = File::OpenRead(path, share);
    return file.IsOpen();
  } catch (const FileError&) {
    return false;
  }
}

TEST(WindowsPlatform, ShareModesMeetOtherOpenersExactly) {
  TempDir dir;
  const std::wstring path = dir / L"shared.txt";
  qvtest::WriteBytes(path, "x");
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
    File mine = File::OpenReadWrite(path, Share::kNone);
    EXPECT_FALSE(Holder(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE).ok());
  }
  // A holder that excludes the plugin's open is told apart from other failures.
  Holder exclusive(path, GENERIC_READ, 0);
  EXPECT_THROW(File::OpenRead(path, Share::kRead), platform::FileInUseError);
}

TEST(WindowsPlatform, OpenErrorsNameTheFileAndTheReason) {
  TempDir dir;
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
  qvtest::WriteBytes(dir / L"taken.txt", "taken");
  EXPECT_THROW(File::CreateNew(dir / L"taken.txt", Share::kNone, platform::Visibility::kPrivate),
               platform::FileExistsError);
  EXPECT_EQ(qvtest::ReadBytes(dir / L"taken.txt"), "taken");
}

TEST(WindowsPlatform, DeviceNamesAreNoFilesInAnySpelling) {
  TempDir dir;
  for (const std::wstring& name :
       {std::wstring(L"NUL"), dir / L"NUL", dir / L"con", std::wstring(L"COM1"), dir / L"nul.tar.gz",
        dir / L"CONIN$", dir / L"conout$.log", dir / L"Aux .txt", dir / L"com\u00B2", dir / L"lpt1.",
        dir / L"COM1\\below", std::wstring(L"\\\\.\\pipe\\quorvane-none"), std::wstring(L"\\\\?\\pipe\\quorvane-none"),
        std::wstring(L"//./pipe/quorvane-none"), std::wstring(L"\\\\?\\GLOBALROOT\\Device\\Null"),
        std::wstring(L"\\\\.\\C:"), std::wstring(L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}"),
        std::wstring(L"\\\\.\\PhysicalDrive0"), L"\\\\?\\" + (dir / L"NUL")}) {
    SCOPED_TRACE(qvtest::Narrow(name));
    EXPECT_EQ(platform::KindOf(name), platform::FileKind::kOther);
    EXPECT_THROW(File::CreateNew(name, Share::kNone, platform::Visibility::kPublic), FileError);
    EXPECT_THROW(File::OpenRead(name, Share::kReadWrite), FileError);
  }
  EXPECT_EQ(platform::KindOf(dir.wide()), platform::FileKind::kDirectory);
  EXPECT_EQ(platform::KindOf(dir / L"nothing"), platform::FileKind::kMissing);
  EXPECT_THROW(File::OpenRead(dir.wide(), Share::kReadWrite), FileError);
  // Names close to device names, and disk paths in the device namespace,
  // are files.
  qvtest::WriteBytes(dir / L"a.qv", "a");
  for (const std::wstring& name : {dir / L"console", dir / L"COM10", dir / L"nul_x.txt", dir / L"lpt",
                                   L"\\\\?\\" + (dir / L"a.qv"), L"\\\\.\\" + (dir / L"a.qv")}) {
    SCOPED_TRACE(qvtest::Narrow(name));
    if (name.find(L"a.qv") == std::wstring::npos) qvtest::WriteBytes(name, "x");
    EXPECT_EQ(platform::KindOf(name), platform::FileKind::kRegular);
    EXPECT_TRUE(PluginOpens(name, Share::kReadWrite));
  }
}

TEST(WindowsPlatform, DosTimesRoundTripAndInvalidOnesAreRefused) {
  TempDir dir;
  qvtest::WriteBytes(dir / L"dated.txt", "dated");
  File file = File::OpenReadWrite(dir / L"dated.txt", Share::kNone);
  for (std::uint32_t dos : {0x00210000u /* 1980-01-01 00:00:00 */, 0x5A8F7BBDu /* 2025-04-15 15:29:58 */,
                            0xFF9FBF7Du /* 2107-12-31 23:59:58 */, 0x58590000u /* 2024-02-25 */}) {
    ASSERT_TRUE(file.SetDosTime(dos)) << std::hex << dos;
    EXPECT_EQ(file.DosTime(), dos) << std::hex << dos;
    EXPECT_EQ(platform::HostRecordTime(dos), dos);
  }
  const std::uint32_t before = file.DosTime();
  for (std::uint32_t bad : {platform::kNoDosTime, 0x00000000u /* month 0 */, 0x005F0000u /* 31 February 1980 */,
                            0x5A8FC000u /* 24:00:00 */, 0x5A8F7F1Eu /* 15:56:60 */}) {
    EXPECT_FALSE(file.SetDosTime(bad)) << std::hex << bad;
  }
  EXPECT_EQ(file.DosTime(), before);
  EXPECT_EQ(platform::HostRecordAttributes(), 32u);
}

// A pending file is marked to be deleted on close, so that an abandoned
// one, like a killed process's, leaves nothing; nobody starts reading the
// file it replaces meanwhile.
TEST(WindowsPlatform, PendingFilesReplaceTheirTargetOrLeaveNothing) {
  TempDir dir;
  const std::wstring target = dir / L"target";
  qvtest::WriteBytes(target, "old");
  const auto attributes = platform::PendingFile::Attributes::kTarget;
  {
    platform::PendingFile abandoned(target, attributes);
    abandoned.file().Write("lost", 4);
  }
  EXPECT_EQ(dir.WideList(), std::vector<std::wstring>{L"target"});
  platform::PendingFile pending(target, attributes);
  pending.file().Write("new", 3);
  EXPECT_FALSE(Holder(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE).ok());
  pending.Commit();
  EXPECT_EQ(qvtest::ReadBytes(target), "new");
  EXPECT_EQ(dir.WideList(), std::vector<std::wstring>{L"target"});
}

}  // namespace
