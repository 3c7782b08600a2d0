// The wide entry points, as a Windows host on code page 1252 drives them:
// names no ANSI code page can spell pack, list, test and extract under their
// own names, progress texts arrive as UTF-16, and long paths work.
#include "windows_support.h"

#include "archive.h"
#include "files.h"
#include "host.h"
#include "mempack.h"
#include "process.h"

namespace {

using qvtest::TempDir;

const std::wstring kChinese = L"\u4e2d\u6587.txt";                    // 中文.txt
const std::wstring kRussian = L"\u043f\u0440\u0438\u0432\u0435\u0442.txt";  // привет.txt

// Lists `archive` through the wide entry points and extracts its entry into
// `folder` under the name listed; the name, or "" when something failed.
std::wstring ListAndExtract(const qvtest::Plugin& plugin, const std::wstring& archive, const std::wstring& folder,
                            std::string* failure) {
  qvtest::OpenRecord open(archive);
  void* handle = plugin.OpenArchiveW(open.data());
  if (handle == nullptr) {
    *failure = "OpenArchiveW answered " + std::to_string(open.OpenResult());
    return {};
  }
  qvtest::HeaderRecord record(0x5A, qvtest::kHeaderExWLayout);
  std::wstring name;
  int result = plugin.ReadHeaderExW(handle, record.data());
  if (result == qvtest::kOk) {
    EXPECT_EQ(record.StrayWrites(), std::vector<std::size_t>{});
    const std::u16string listed = record.WideFileName();
    name.assign(listed.begin(), listed.end());
    result = plugin.ProcessFileW(handle, qvtest::kTest, nullptr, nullptr);
    if (result == qvtest::kOk) {
      std::wstring dest = folder, dest_name = name;
      result = plugin.ProcessFileW(handle, qvtest::kExtract, dest.data(), dest_name.data());
    }
  }
  plugin.CloseArchive(handle);
  if (result != qvtest::kOk) *failure = "answered " + std::to_string(result);
  return result == qvtest::kOk ? name : std::wstring();
}

class WindowsUnicode : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(plugin_.Problem().empty()) << plugin_.Problem(); }
  qvtest::Plugin& plugin_ = qvtest::SharedPlugin();
};

TEST_F(WindowsUnicode, NamesNoCodePageSpellsGoEndToEnd) {
  ASSERT_EQ(GetACP(), 1252u) << "run under code page 1252";
  for (const std::wstring& name : {kChinese, kRussian}) {
    SCOPED_TRACE(qvtest::Narrow(name, CP_UTF8));
    TempDir dir;
    const std::string content = qvtest::TextBytes(70000);
    qvtest::WriteBytes(dir / name, content);
    EXPECT_EQ(plugin_.CanYouHandleThisFileW((dir / name).data()), 0);

    // PackFiles: hosts propose NAME.qv for a file NAME.
    std::wstring archive = dir / (name + L".qv"), src = dir.wide() + L"\\";
    std::wstring list = name + L'\0';
    ASSERT_EQ(plugin_.PackFilesW(archive.data(), nullptr, src.data(), list.data(), 0), qvtest::kOk);
    EXPECT_EQ(plugin_.CanYouHandleThisFileW(archive.data()), -1);
    // The stored name is in the ANSI code page, as the format keeps it; it
    // cannot name the file, so the archive's own name stands in for it.
    auto parsed = qvtest::ParseArchive(qvtest::ReadBytes(archive));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name, qvtest::Narrow(name));
    ASSERT_TRUE(CreateDirectoryW((dir / L"out").c_str(), nullptr));
    std::string failure;
    EXPECT_EQ(ListAndExtract(plugin_, archive, dir / L"out", &failure), name) << failure;
    EXPECT_EQ(qvtest::ReadBytes(dir / (L"out\\" + name)), content);

    // In-memory packing: the target's base name comes back the same way.
    const std::wstring stem = name.substr(0, name.size() - 4);
    std::wstring target = dir / (stem + L".qv");
    const qvtest::MemPackRun mem = qvtest::RunMemPack(plugin_, plugin_.StartMemPackW(0, target.data()), content);
    ASSERT_TRUE(mem.Finished() && mem.Failure() == 0);
    qvtest::WriteBytes(target, mem.archive);
    ASSERT_TRUE(CreateDirectoryW((dir / L"mem").c_str(), nullptr));
    EXPECT_EQ(ListAndExtract(plugin_, target, dir / L"mem", &failure), stem) << failure;
    EXPECT_EQ(qvtest::ReadBytes(dir / (L"mem\\" + stem)), content);
  }
}

// Recorded by the wide callback.
std::vector<std::wstring> wide_reports;
int RecordWide(wchar_t* name, int) {
  wide_reports.push_back(name ? name : L"<null>");
  return 1;
}

TEST_F(WindowsUnicode, ProgressTextsArriveAsUtf16) {
  TempDir dir;
  qvtest::WriteBytes(dir / kRussian, qvtest::TextBytes(1000));
  std::wstring archive = dir / L"\u0430.qv", src = dir.wide(), list = kRussian + L'\0';
  wide_reports.clear();
  plugin_.SetProcessDataProcW(qvtest::kNoHandle, RecordWide);
  ASSERT_EQ(plugin_.PackFilesW(archive.data(), nullptr, src.data(), list.data(), 0), qvtest::kOk);
  plugin_.SetProcessDataProcW(qvtest::kNoHandle, nullptr);
  EXPECT_EQ(wide_reports,
            std::vector<std::wstring>{L"Orvel's Quorvane - \u0423\u043f\u0430\u043a\u043e\u0432\u043a\u0430: " +
                                      (dir / kRussian)});

  wide_reports.clear();
  qvtest::OpenRecord open(archive);
  void* handle = plugin_.OpenArchiveW(open.data());
  ASSERT_NE(handle, nullptr);
  plugin_.SetProcessDataProcW(handle, RecordWide);
  qvtest::HeaderRecord record(0x5A, qvtest::kHeaderExWLayout);
  ASSERT_EQ(plugin_.ReadHeaderExW(handle, record.data()), qvtest::kOk);
  EXPECT_EQ(plugin_.ProcessFileW(handle, qvtest::kTest, nullptr, nullptr), qvtest::kOk);
  plugin_.CloseArchive(handle);
  EXPECT_EQ(wide_reports, (std::vector<std::wstring>{
                              L"<null>", L"\u0420\u0430\u0441\u043f\u0430\u043a\u043e\u0432\u043a\u0430: " + archive}));
  plugin_.SetChangeVolProcW(handle, nullptr);
}

// Paths past MAX_PATH characters, which the wide entry points can carry.
TEST_F(WindowsUnicode, LongPathsWork) {
  TempDir dir;
  std::wstring deep = dir.wide();
  for (int level = 0; deep.size() < 300; ++level) {
    deep += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + level));
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << GetLastError();
  }
  const std::string content = qvtest::RandomBytes(100000, 5);
  {
    HANDLE h = CreateFileW((L"\\\\?\\" + deep + L"\\" + kChinese).c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(h);
  }
  std::wstring archive = deep + L"\\" + kChinese + L".qv", src = deep, list = kChinese + L'\0';
  ASSERT_EQ(plugin_.PackFilesW(archive.data(), nullptr, src.data(), list.data(), 0), qvtest::kOk);
  std::string failure;
  EXPECT_EQ(ListAndExtract(plugin_, archive, deep, &failure), kChinese) << failure;
}

}  // namespace
