// Host strings in the ANSI code page.  ctest starts this program three times,
// with Wine's code page set to 1252 (western), 1251 (Cyrillic) and 932
// (Japanese, double-byte) through the locale; QV_EXPECTED_ACP says which.
#include "windows_support.h"

#include <cstdlib>
#include <filesystem>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "mempack.h"
#include "process.h"

namespace {

using qvtest::TempDir;
using qvtest::Narrow;

UINT ExpectedCodePage() {
  const char* expected = std::getenv("QV_EXPECTED_ACP");
  return expected ? static_cast<UINT>(std::atoi(expected)) : 0;
}

class WindowsCodePage : public testing::Test {
 protected:
  void SetUp() override {
    UINT expected = ExpectedCodePage();
    if (expected != 0) {
      ASSERT_EQ(GetACP(), expected) << "Wine did not take the code page from LC_ALL";
    }
    ASSERT_TRUE(plugin_.Problem().empty()) << plugin_.Problem();
    plugin_.SetProcessDataProc(qvtest::kNoHandle, qvtest::ProgressRecorder::Callback);
  }
  qvtest::Plugin& plugin_ = qvtest::SharedPlugin();
};

// The two progress texts as the host must receive them.
std::string UnpackingText() {
  switch (GetACP()) {
    case 1251: return "\xD0\xE0\xF1\xEF\xE0\xEA\xEE\xE2\xEA\xE0: ";
    case 1252: return "??????????: ";
    default: return Narrow(L"\u0420\u0430\u0441\u043f\u0430\u043a\u043e\u0432\u043a\u0430: ");
  }
}

std::string PackingText() {
  switch (GetACP()) {
    case 1251: return "Orvel's Quorvane - \xD3\xEF\xE0\xEA\xEE\xE2\xEA\xE0: ";
    case 1252: return "Orvel's Quorvane - ????????: ";
    default: return "Orvel's Quorvane - " + Narrow(L"\u0423\u043f\u0430\u043a\u043e\u0432\u043a\u0430: ");
  }
}

const std::wstring kPrivet = L"\u041f\u0440\u0438\u0432\u0435\u0442";  // Привет
const std::wstring kHyo = L"\u8868";  // 表: its second Shift-JIS byte is a backslash

TEST_F(WindowsCodePage, ProgressTextsArriveInTheAnsiCodePage) {
  TempDir dir;
  qvtest::WriteBytes(dir / L"plain.txt", qvtest::TextBytes(150000));
  {
    qvtest::ProgressRecorder recorder;
    ASSERT_EQ(plugin_.Pack(dir.Host(L"plain.qv"), dir.path(), {"plain.txt"}), qvtest::kOk);
    ASSERT_EQ(recorder.Count(), 3u);
    EXPECT_EQ(recorder.Sizes(PackingText() + dir.Host(L"plain.txt")).size(), 3u) << recorder.Reports()[0].name;
  }
  {
    qvtest::ProgressRecorder recorder;
    void* handle = plugin_.Open(dir.Host(L"plain.qv"));
    ASSERT_NE(handle, nullptr);
    qvtest::HeaderRecord record;
    plugin_.SetProcessDataProc(handle, qvtest::ProgressRecorder::Callback);
    ASSERT_EQ(plugin_.ReadHeader(handle, record.data()), qvtest::kOk);
    ASSERT_EQ(plugin_.Process(handle, qvtest::kExtract, dir.path().c_str(), "out.txt"), qvtest::kOk);
    plugin_.CloseArchive(handle);
    ASSERT_EQ(recorder.Count(), 4u);
    EXPECT_TRUE(recorder.Reports()[0].null_name);
    EXPECT_EQ(recorder.Sizes(UnpackingText() + dir.Host(L"plain.qv")).size(), 3u) << recorder.Reports()[1].name;
  }
}

TEST_F(WindowsCodePage, ACyrillicFileNamePacksListsAndExtractsAsItsAnsiBytes) {
  if (GetACP() == 1252) GTEST_SKIP() << "code page 1252 has no Cyrillic letters to name the file with";
  const std::string name = GetACP() == 1251 ? "\xCF\xF0\xE8\xE2\xE5\xF2.txt" : Narrow(kPrivet + L".txt");
  TempDir dir;
  const std::string content = qvtest::TextBytes(1000);
  qvtest::WriteBytes(dir / (kPrivet + L".txt"), content);
  {
    qvtest::ProgressRecorder recorder;
    ASSERT_EQ(plugin_.Pack(dir.Host(L"cyr.qv"), dir.path(), {name}), qvtest::kOk);
    EXPECT_EQ(recorder.Sizes(PackingText() + dir.path() + "\\" + name).size(), 1u);
  }
  auto parsed = qvtest::ParseArchive(qvtest::ReadBytes(dir / L"cyr.qv"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->name, name);

  void* handle = plugin_.Open(dir.Host(L"cyr.qv"));
  ASSERT_NE(handle, nullptr);
  qvtest::HeaderRecord record;
  ASSERT_EQ(plugin_.ReadHeader(handle, record.data()), qvtest::kOk);
  EXPECT_EQ(record.FileName(), name);
  ASSERT_TRUE(CreateDirectoryW((dir / L"out").c_str(), nullptr));
  EXPECT_EQ(plugin_.Process(handle, qvtest::kExtract, dir.Host(L"out").c_str(), record.FileName().c_str()),
            qvtest::kOk);
  plugin_.CloseArchive(handle);
  EXPECT_EQ(qvtest::ReadBytes(dir / (L"out\\" + kPrivet + L".txt")), content);
}

// Paths live as UTF-16 inside: a temporary folder whose name the code page
// cannot spell still works, and only the texts for the host lose letters.
TEST_F(WindowsCodePage, ATemporaryFolderTheCodePageCannotSpellStillWorks) {
  TempDir base, module_dir("qvmodule");
  // "Временная" and a Polish Ł: no code page here has both.
  const std::wstring temp = base / L"\u0412\u0440\u0435\u043c\u0435\u043d\u043d\u0430\u044f\u0141";
  ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
  qvtest::Copy(qvtest::FromBuildTree(qvtest::DefaultPluginPath()), module_dir / L"quorvane.wcx64");
  qvtest::Copy(qvtest::FromBuildTree(QUORVANE_LIB64DLL_PATH), module_dir / L"lib64.dll");
  std::wstring old_tmp(32768, L'\0');
  old_tmp.resize(GetEnvironmentVariableW(L"TMP", old_tmp.data(), 32768));
  SetEnvironmentVariableW(L"TMP", temp.c_str());
  {
    // The temporary folder is taken when the module loads.
    qvtest::Plugin plugin(module_dir.Host(L"quorvane.wcx64"));
    ASSERT_TRUE(plugin.Problem().empty()) << plugin.Problem();
    plugin.SetProcessDataProc(qvtest::kNoHandle, qvtest::ProgressRecorder::Callback);
    qvtest::ProgressRecorder recorder;
    const std::string data = qvtest::TextBytes(100000);
    // The job's target lies in that folder too; progress names it.
    std::wstring target = temp + L"\\backup.qv";
    const qvtest::MemPackRun mem = qvtest::RunMemPack(plugin, plugin.StartMemPackW(0, target.data()), data);
    EXPECT_EQ(mem.Failure(), 0);
    EXPECT_TRUE(mem.Finished());
    auto parsed = qvtest::ParseArchive(mem.archive);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name, "backup.tar");
    EXPECT_EQ(qvtest::Bzip2Decompress(parsed->payload), data);

    ASSERT_EQ(recorder.Count(), 2u);
    // What the code page lacks becomes '?', never a look-alike letter.
    std::string folder;
    switch (GetACP()) {
      case 1251: folder = "\xC2\xF0\xE5\xEC\xE5\xED\xED\xE0\xFF?"; break;
      case 1252: folder = "??????????"; break;
      default: folder = Narrow(temp.substr(base.wide().size() + 1, 9)) + "?"; break;
    }
    const std::string expected = PackingText() + base.path() + "\\" + folder + "\\backup.qv";
    for (const qvtest::ProgressReport& report : recorder.Reports()) {
      EXPECT_EQ(report.name, expected);
    }

    // Testing reads the archive from there.
    qvtest::WriteBytes(base / L"backup.qv", mem.archive);
    void* handle = plugin.Open(base.Host(L"backup.qv"));
    ASSERT_NE(handle, nullptr);
    qvtest::HeaderRecord record;
    ASSERT_EQ(plugin.ReadHeader(handle, record.data()), qvtest::kOk);
    EXPECT_EQ(plugin.Process(handle, qvtest::kTest, nullptr, nullptr), qvtest::kOk);
    plugin.CloseArchive(handle);
  }
  SetEnvironmentVariableW(L"TMP", old_tmp.empty() ? nullptr : old_tmp.c_str());
  EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(temp)));
}

TEST_F(WindowsCodePage, DoubleByteNamesStayWhole) {
  if (GetACP() != 932) GTEST_SKIP() << "needs a double-byte code page";
  ASSERT_EQ(Narrow(kHyo), "\x95\x5C");
  TempDir dir;
  // A name the whole way through packing and listing, trail byte 0x5C included.
  qvtest::WriteBytes(dir / (kHyo + L".txt"), "hyo");
  ASSERT_EQ(plugin_.Pack(dir.Host(L"hyo.qv"), dir.path(), {"\x95\x5C.txt"}), qvtest::kOk);
  auto parsed = qvtest::ParseArchive(qvtest::ReadBytes(dir / L"hyo.qv"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->name, "\x95\x5C.txt");
  void* handle = plugin_.Open(dir.Host(L"hyo.qv"));
  ASSERT_NE(handle, nullptr);
  qvtest::HeaderRecord record;
  ASSERT_EQ(plugin_.ReadHeader(handle, record.data()), qvtest::kOk);
  plugin_.CloseArchive(handle);
  EXPECT_EQ(record.FileName(), "\x95\x5C.txt");

  // A stored name longer than 255 bytes is cut between characters: 150 of
  // them plus ".tar" make 304 bytes, of which 127 whole characters fit.
  std::wstring long_name;
  for (int i = 0; i < 150; ++i) long_name += kHyo;
  const qvtest::MemPackRun mem = qvtest::RunMemPack(plugin_, dir.path() + "\\" + Narrow(long_name) + ".qv", "long");
  ASSERT_TRUE(mem.Finished());
  parsed = qvtest::ParseArchive(mem.archive);
  ASSERT_TRUE(parsed);
  std::string expected;
  for (int i = 0; i < 127; ++i) expected += "\x95\x5C";
  EXPECT_EQ(parsed->namelen, 254);
  EXPECT_EQ(parsed->name, expected);
  qvtest::WriteBytes(dir / L"long.qv", mem.archive);
  handle = plugin_.Open(dir.Host(L"long.qv"));
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(plugin_.ReadHeader(handle, record.data()), qvtest::kOk);
  plugin_.CloseArchive(handle);
  EXPECT_EQ(record.FileName(), expected);
}

}  // namespace
