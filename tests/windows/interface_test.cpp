// What the plugin does differently on Windows, seen through its entry points:
// the header record's DOS time and archive attribute, drive-letter
// destinations and device names, sharing modes against other programs, and
// how lib64.dll is found beside the module.
#include "windows_support.h"

#include <atomic>
#include <thread>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "mempack.h"
#include "process.h"

namespace {

using qvtest::TempDir;
using qvtest::Holder;
using qvtest::Narrow;
using qvtest::OpenAndProcess;

constexpr std::uint32_t Dos(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<std::uint32_t>(year - 1980) << 25 | static_cast<std::uint32_t>(month) << 21 |
         static_cast<std::uint32_t>(day) << 16 | static_cast<std::uint32_t>(hour) << 11 |
         static_cast<std::uint32_t>(minute) << 5 | static_cast<std::uint32_t>(second / 2);
}

// Sets the last-write time from a local date and time.
void SetLocalWriteTime(const std::wstring& path, WORD year, WORD month, WORD day, WORD hour, WORD minute,
                       WORD second) {
  const SYSTEMTIME local = qvtest::Time(year, month, day, hour, minute, second);
  // By the rule for that date, as the plugin reads it back.
  SYSTEMTIME utc;
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
  qvtest::SetWriteTime(path, utc);
}

struct Listing {
  int open_result = -1;
  int read_result = -1;
  qvtest::HeaderRecord record;
};

Listing List(const qvtest::Plugin& plugin, const std::string& archive) {
  Listing listing;
  void* handle = plugin.Open(archive, &listing.open_result);
  if (handle) {
    listing.read_result = plugin.ReadHeader(handle, listing.record.data());
    plugin.CloseArchive(handle);
  }
  return listing;
}

std::wstring BuildTreeFile(const char* path) { return qvtest::FromBuildTree(path); }

// ---------------------------------------------------------------- records

TEST(WindowsRecords, HeaderRecordCarriesTheStoredDosTimeAndAttribute32) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  ASSERT_TRUE(plugin.Problem().empty()) << plugin.Problem();
  TempDir dir;
  // Windows hosts decode the stored value themselves: it passes unchanged,
  // even when it is no date at all.
  for (std::uint32_t stored : {Dos(2021, 6, 15, 12, 30, 44), Dos(1980, 1, 1, 0, 0, 0), Dos(2107, 12, 31, 23, 59, 58),
                               0xFFFFFFFFu, 0u, Dos(2000, 13, 40, 25, 61, 62)}) {
    qvtest::ArchiveRecipe recipe;
    recipe.content = "some content";
    recipe.filetime = stored;
    qvtest::WriteArchive(dir.Host(L"a.qv"), recipe);
    Listing listing = List(plugin, dir.Host(L"a.qv"));
    ASSERT_EQ(listing.read_result, qvtest::kOk);
    EXPECT_EQ(static_cast<std::uint32_t>(listing.record.FileTime()), stored);
    EXPECT_EQ(listing.record.FileAttr(), 32);
    EXPECT_EQ(listing.record.FileCRC(), 0);
    EXPECT_TRUE(listing.record.StrayWrites().empty());
  }
}

TEST(WindowsRecords, PackingStoresTheLocalLastWriteTimeAsDosTime) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  qvtest::WriteBytes(dir / L"dated.txt", "dated");
  struct Case {
    WORD year, month, day, hour, minute, second;
    std::uint32_t expected;
  };
  for (const Case& c : {Case{2019, 11, 2, 23, 59, 58, Dos(2019, 11, 2, 23, 59, 58)},
                        Case{2024, 2, 29, 7, 8, 9, Dos(2024, 2, 29, 7, 8, 8)},  // odd seconds round down
                        Case{1979, 12, 31, 12, 0, 0, 0xFFFFFFFFu},            // before DOS time begins
                        Case{2108, 1, 1, 12, 0, 0, 0xFFFFFFFFu}}) {            // after it ends
    SetLocalWriteTime(dir / L"dated.txt", c.year, c.month, c.day, c.hour, c.minute, c.second);
    ASSERT_EQ(plugin.Pack(dir.Host(L"dated.qv"), dir.path(), {"dated.txt"}), qvtest::kOk);
    Listing listing = List(plugin, dir.Host(L"dated.qv"));
    ASSERT_EQ(listing.read_result, qvtest::kOk);
    EXPECT_EQ(static_cast<std::uint32_t>(listing.record.FileTime()), c.expected) << c.year;
    EXPECT_EQ(listing.record.FileAttr(), 32);
  }
}

// ------------------------------------------------------------------ paths

// The path with "/" for every "\".
std::string WithSlashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

TEST(WindowsPaths, DestinationsInEverySpellingReachTheSameFile) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  ASSERT_EQ(dir.path().substr(1, 2), ":\\") << "expected a drive path, got " << dir.path();
  const std::string content = qvtest::TextBytes(70000);
  qvtest::WriteArchive(dir.Host(L"a.qv"), "stored.txt", content);
  ASSERT_TRUE(CreateDirectoryW((dir / L"out").c_str(), nullptr));
  const std::wstring target = dir / L"out\\a.txt";
  const std::string out = dir.Host(L"out");

  struct Form {
    std::optional<std::string> dest_path;
    std::string dest_name;
  };
  const std::string slashed = WithSlashes(out);
  for (const Form& form : {Form{out, "a.txt"}, Form{out + "\\", "a.txt"}, Form{std::nullopt, out + "\\a.txt"},
                           Form{out, "elsewhere\\a.txt"}, Form{out, "D:a.txt"}, Form{slashed, "a.txt"},
                           Form{slashed + "/", "a.txt"}, Form{std::nullopt, slashed + "/a.txt"},
                           Form{out, "elsewhere/a.txt"}, Form{out + "\\", "/a.txt"}}) {
    SCOPED_TRACE((form.dest_path ? *form.dest_path : "NULL") + " + " + form.dest_name);
    DeleteFileW(target.c_str());
    EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract,
                             form.dest_path ? form.dest_path->c_str() : nullptr, form.dest_name.c_str()),
              qvtest::kOk);
    EXPECT_EQ(qvtest::ReadBytes(target), content);
    EXPECT_EQ(dir.WideList(), (std::vector<std::wstring>{L"a.qv", L"out"}));
  }
}

TEST(WindowsPaths, AnInMemoryTargetWithSlashesStoresItsBaseName) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  const std::string slashed = WithSlashes(dir.path());
  const qvtest::MemPackRun mem = qvtest::RunMemPack(plugin, slashed + "/memory.qv", "tar data");
  ASSERT_TRUE(mem.Finished());
  ASSERT_EQ(mem.Failure(), 0);
  std::optional<qvtest::ParsedHeader> header = qvtest::ParseArchive(mem.archive);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->name, "memory.tar");
}

TEST(WindowsPaths, TheDeviceNamespaceIsRefusedWithoutOpeningAnything) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  qvtest::WriteArchive(dir.Host(L"a.qv"), "a.txt", "data");
  qvtest::WriteBytes(dir / L"source.txt", "source");
  // A pipe server of the test's own, listening: it sees any client that
  // connects, which the plugin must never be.
  const std::wstring name = L"quorvane-test-" + std::to_wstring(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  OVERLAPPED connected{};
  connected.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_FALSE(ConnectNamedPipe(server, &connected));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  const std::string pipe = Narrow(name);
  for (const std::string& prefix : {std::string("\\\\.\\pipe\\"), std::string("\\\\?\\pipe\\"),
                                    std::string("//./pipe/"), std::string("//?/pipe/"),
                                    std::string("\\\\?\\GLOBALROOT\\Device\\NamedPipe\\")}) {
    const std::string path = prefix + pipe;
    SCOPED_TRACE(path);
    EXPECT_EQ(plugin.CanHandle(path), 0);
    int result = -1;
    EXPECT_EQ(plugin.Open(path, &result), nullptr);
    EXPECT_EQ(result, qvtest::kEOpen) << "never opened, so not known to be foreign";
    EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, nullptr, path.c_str()), qvtest::kECreate);
    EXPECT_EQ(plugin.Pack(path, dir.path(), {"source.txt"}), qvtest::kEWrite);
    EXPECT_EQ(plugin.Pack(dir.Host(L"b.qv"), prefix.substr(0, prefix.size() - 1), {pipe}), qvtest::kNoFiles);
    EXPECT_EQ(WaitForSingleObject(connected.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "connected";
  }
  EXPECT_EQ(dir.WideList(), (std::vector<std::wstring>{L"a.qv", L"source.txt"}));
  {
    // The server does see a client that connects.
    Holder client(L"\\\\.\\pipe\\" + name, GENERIC_READ, 0);
    EXPECT_EQ(WaitForSingleObject(connected.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  }
  CloseHandle(server);
  CloseHandle(connected.hEvent);
}

TEST(WindowsPaths, DiskPathsWrittenInTheDeviceNamespaceAreFiles) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  qvtest::WriteArchive(dir.Host(L"a.qv"), "stored.txt", "in the device namespace");
  for (const std::string prefix : {"\\\\.\\", "\\\\?\\"}) {
    const std::string folder = prefix + dir.path();
    SCOPED_TRACE(folder);
    EXPECT_EQ(plugin.CanHandle(folder + "\\a.qv"), -1);
    EXPECT_EQ(List(plugin, folder + "\\a.qv").record.FileName(), "stored.txt");
    EXPECT_EQ(OpenAndProcess(plugin, folder + "\\a.qv", qvtest::kExtract, folder.c_str(), "stored.txt"), qvtest::kOk);
    EXPECT_EQ(qvtest::ReadBytes(dir / L"stored.txt"), "in the device namespace");
    DeleteFileW((dir / L"stored.txt").c_str());
  }
}

TEST(WindowsPaths, DeviceNamesAreNeitherOpenedNorWritten) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  qvtest::WriteArchive(dir.Host(L"a.qv"), "a.txt", "data");
  for (const char* device : {"NUL", "CON", "aux", "COM1", "\\\\.\\pipe\\quorvane-none"}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(plugin.CanHandle(device), 0);
    int result = -1;
    EXPECT_EQ(plugin.Open(device, &result), nullptr);
    EXPECT_EQ(result, qvtest::kEOpen);
  }
  for (const char* device : {"NUL", "CON", "aux", "nul.tar.gz", "CONIN$", "con .txt", "COM1"}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, dir.path().c_str(), device),
              qvtest::kECreate);
    EXPECT_EQ(plugin.Pack(dir.Host(L"a2.qv"), dir.path(), {device}), qvtest::kNoFiles);
  }
  // Nor is an archive packed into one.
  qvtest::WriteBytes(dir / L"source.txt", "source");
  for (const wchar_t* device : {L"COM\u00B9", L"LPT\u00B3.x", L"aux.qv"}) {
    std::wstring archive = dir / device, source = dir.wide() + L"\\", list = std::wstring(L"source.txt") + L'\0';
    EXPECT_EQ(plugin.PackFilesW(archive.data(), nullptr, source.data(), list.data(), 0), qvtest::kEWrite);
  }
  EXPECT_EQ(dir.WideList(), (std::vector<std::wstring>{L"a.qv", L"source.txt"}));
}

// ------------------------------------------------------------------ names

// Names an archive made on Linux may store.  One Windows cannot give a file
// lists as the archive's own name, so that the host can extract it.
TEST(WindowsNames, StoredNamesWindowsCannotCreateListAsTheArchivesName) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  struct Case {
    std::string stored;
    std::string listed;
  };
  const Case cases[] = {
      // Devices, with or without an extension, in any case, with the spaces
      // Windows drops before the extension.
      {"aux.txt", "entries"}, {"CON", "entries"}, {"nul.tar.gz", "entries"}, {"COM1", "entries"},
      {"lpt9.log", "entries"}, {"CONIN$", "entries"}, {"conout$.txt", "entries"}, {"Prn .txt", "entries"},
      // Names Windows would change or refuse.
      {"...", "entries"}, {"   ", "entries"}, {"trailing.", "entries"}, {"trailing ", "entries"},
      {"a?b", "entries"}, {"a*b", "entries"}, {"a<b>", "entries"}, {"say \"hi\"", "entries"},
      {"a|b", "entries"}, {"bell\x07", "entries"}, {"tab\there", "entries"}, {"\x1f", "entries"},
      // Close to those, and fine.
      {"CONSOLE.txt", "CONSOLE.txt"}, {"COM10", "COM10"}, {"LPT", "LPT"}, {"nul_device.txt", "nul_device.txt"},
      {".profile", ".profile"}, {"a..b", "a..b"}, {" leading", " leading"}, {"con-fig", "con-fig"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("stored: " + c.stored);
    qvtest::ArchiveRecipe recipe;
    recipe.name = c.stored;
    recipe.content = "content of " + c.stored;
    qvtest::WriteArchive(dir.Host(L"entries.qv"), recipe);
    Listing listing = List(plugin, dir.Host(L"entries.qv"));
    ASSERT_EQ(listing.read_result, qvtest::kOk);
    EXPECT_EQ(listing.record.FileName(), c.listed);
    EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"entries.qv"), qvtest::kExtract, dir.path().c_str(),
                             listing.record.FileName().c_str()),
              qvtest::kOk);
    const std::wstring extracted = dir / qvtest::Widen(c.listed);
    EXPECT_EQ(qvtest::ReadBytes(extracted), recipe.content);
    DeleteFileW(extracted.c_str());
    EXPECT_EQ(dir.WideList(), std::vector<std::wstring>{L"entries.qv"});
  }
}

// ----------------------------------------------------- temporary folder

// How many of the plugin's temporary files are in `folder`.
int TemporaryFilesIn(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\quorvane$*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 1;
  while (FindNextFileW(search, &found)) ++count;
  FindClose(search);
  return count;
}

// With %TMP% and %TEMP% naming a folder beyond the path limit, or one that
// does not exist, a fresh copy of the plugin keeps an in-memory job's data
// in the Windows temporary folder, never in the current one.
TEST(WindowsTemp, AnUnusableTempFolderFallsBackToTheWindowsOne) {
  TempDir module_dir("qvmodule"), work_dir("qvwork"), long_dir("qvlong");
  qvtest::Copy(BuildTreeFile(qvtest::DefaultPluginPath().c_str()), module_dir / L"quorvane.wcx64");
  wchar_t windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::wstring windows_temp = std::wstring(windows) + L"\\Temp";
  std::wstring longest = long_dir.wide();
  while (longest.size() <= MAX_PATH) {
    longest += L"\\a-folder-of-a-deep-tree";
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + longest).c_str(), nullptr)) << GetLastError();
  }
  wchar_t previous[MAX_PATH + 1], tmp[32768], temp_variable[32768];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  const bool had_tmp = GetEnvironmentVariableW(L"TMP", tmp, 32768) > 0;
  const bool had_temp = GetEnvironmentVariableW(L"TEMP", temp_variable, 32768) > 0;
  for (const std::wstring& temp : {longest, work_dir / L"no such folder"}) {
    SCOPED_TRACE(Narrow(temp));
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    ASSERT_TRUE(SetCurrentDirectoryW(work_dir.wide().c_str()));
    const int before = TemporaryFilesIn(windows_temp);
    {
      qvtest::Plugin plugin(module_dir.Host(L"quorvane.wcx64"));
      std::string target = work_dir.Host(L"mem.qv");
      void* job = plugin.StartMemPack(0, target.data());
      EXPECT_EQ(TemporaryFilesIn(windows_temp), before + 1);
      plugin.DoneMemPack(job);
    }
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(TemporaryFilesIn(windows_temp), before);
    EXPECT_TRUE(work_dir.WideList().empty());
  }
  SetEnvironmentVariableW(L"TMP", had_tmp ? tmp : nullptr);
  SetEnvironmentVariableW(L"TEMP", had_temp ? temp_variable : nullptr);
  for (; longest.size() > long_dir.wide().size(); longest.resize(longest.rfind(L'\\'))) {
    RemoveDirectoryW((L"\\\\?\\" + longest).c_str());
  }
}

// ---------------------------------------------------------------- sharing

TEST(WindowsSharing, ArchiveHeldByAWriterCannotBeRead) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  const std::string archive = dir.Host(L"a.qv");
  qvtest::WriteArchive(archive, "a.txt", "held archive");
  // A program that holds the archive without sharing it, or writes it, keeps
  // the plugin out; an archive the plugin has open keeps such a program out
  // until it is closed, so that what was listed is what is read.
  for (const auto& [access, share] : {std::pair<DWORD, DWORD>{GENERIC_READ, 0},
                                      std::pair<DWORD, DWORD>{GENERIC_WRITE, FILE_SHARE_READ}}) {
    SCOPED_TRACE(testing::Message() << "access " << std::hex << access << " share " << share);
    {
      Holder other(dir / L"a.qv", access, share);
      ASSERT_TRUE(other.ok());
      EXPECT_EQ(plugin.CanHandle(archive), 0);
      // Busy is not foreign: the host hears that it cannot be opened.
      int result = -1;
      EXPECT_EQ(plugin.Open(archive, &result), nullptr);
      EXPECT_EQ(result, qvtest::kEOpen);
    }
    void* handle = plugin.Open(archive);
    ASSERT_NE(handle, nullptr);
    EXPECT_FALSE(Holder(dir / L"a.qv", access, share).ok());
    EXPECT_EQ(plugin.CloseArchive(handle), qvtest::kOk);
  }
  // Once the other program lets go, everything works again.
  EXPECT_EQ(OpenAndProcess(plugin, archive, qvtest::kExtract, dir.path().c_str(), "out.txt"), qvtest::kOk);
  EXPECT_EQ(qvtest::ReadBytes(dir / L"out.txt"), "held archive");
}

// Readers share: while other programs read the archive, and while the
// plugin itself reads it on another thread, listing, testing and extracting
// all work.
TEST(WindowsSharing, ReadersShareTheArchive) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  const std::string content = qvtest::RandomBytes(300000, 3);
  qvtest::WriteArchive(dir.Host(L"a.qv"), "a.bin", content);
  Holder viewer(dir / L"a.qv", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(viewer.ok());
  std::atomic<int> failures{0};
  const auto reader = [&](const wchar_t* out) {
    for (int round = 0; round < 3; ++round) {
      failures += OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kTest, nullptr, nullptr) != qvtest::kOk;
      failures += OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, dir.path().c_str(),
                                 Narrow(out).c_str()) != qvtest::kOk;
      failures += List(plugin, dir.Host(L"a.qv")).read_result != qvtest::kOk;
    }
  };
  std::thread first(reader, L"one.bin");
  std::thread second(reader, L"two.bin");
  first.join();
  second.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(qvtest::ReadBytes(dir / L"one.bin"), content);
  EXPECT_EQ(qvtest::ReadBytes(dir / L"two.bin"), content);
}

TEST(WindowsSharing, OutputsHeldElsewhereAreLeftAloneAndReplacedOnesKeepTheirAttributes) {
  qvtest::Plugin& plugin = qvtest::SharedPlugin();
  TempDir dir;
  qvtest::WriteArchive(dir.Host(L"a.qv"), "a.txt", "new content");
  qvtest::WriteBytes(dir / L"out.txt", "old content");
  qvtest::WriteBytes(dir / L"source.txt", qvtest::TextBytes(100000));
  qvtest::WriteBytes(dir / L"old.qv", "old archive");
  {
    // A viewer reading the extraction target.
    Holder reader(dir / L"out.txt", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, dir.path().c_str(), "out.txt"),
              qvtest::kECreate);
  }
  EXPECT_EQ(qvtest::ReadBytes(dir / L"out.txt"), "old content");
  {
    // A viewer reading the archive that packing would replace: in use, at once.
    Holder reader(dir / L"old.qv", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(plugin.Pack(dir.Host(L"old.qv"), dir.path(), {"source.txt"}), qvtest::kEOpen);
  }
  EXPECT_EQ(qvtest::ReadBytes(dir / L"old.qv"), "old archive");
  {
    // A program still writing the source (it lets others read).
    Holder writer(dir / L"source.txt", GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_TRUE(writer.ok());
    EXPECT_NE(plugin.Pack(dir.Host(L"new.qv"), dir.path(), {"source.txt"}), qvtest::kOk);
  }
  // A hidden archive stays hidden when packing replaces it.
  const std::wstring old = dir / L"old.qv";
  ASSERT_TRUE(SetFileAttributesW(old.c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(plugin.Pack(dir.Host(L"old.qv"), dir.path(), {"source.txt"}), qvtest::kOk);
  EXPECT_TRUE(GetFileAttributesW(old.c_str()) & FILE_ATTRIBUTE_HIDDEN);
  // No half-built archive or temporary file stays behind in any case.
  EXPECT_EQ(dir.WideList(), (std::vector<std::wstring>{L"a.qv", L"old.qv", L"out.txt", L"source.txt"}));
}

// ------------------------------------------------------- library binding

// Packs a file, lists, tests and extracts it again through `plugin`.
void ExpectRoundTrip(const qvtest::Plugin& plugin, const TempDir& dir) {
  const std::string content = qvtest::RandomBytes(200000, 7);
  qvtest::WriteBytes(dir / L"in.bin", content);
  ASSERT_EQ(plugin.Pack(dir.Host(L"in.qv"), dir.path(), {"in.bin"}), qvtest::kOk);
  EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"in.qv"), qvtest::kTest, nullptr, nullptr), qvtest::kOk);
  EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"in.qv"), qvtest::kExtract, dir.path().c_str(), "out.bin"),
            qvtest::kOk);
  EXPECT_EQ(qvtest::ReadBytes(dir / L"out.bin"), content);
}

TEST(WindowsLibrary, Lib64DllIsFoundBesideThePluginFromAnotherFolder) {
  TempDir module_dir("qvmodule"), work_dir("qvwork"), data_dir("qvdata");
  qvtest::Copy(BuildTreeFile(qvtest::DefaultPluginPath().c_str()), module_dir / L"quorvane.wcx64");
  qvtest::Copy(BuildTreeFile(QUORVANE_LIB64DLL_PATH), module_dir / L"lib64.dll");

  wchar_t previous[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(work_dir.wide().c_str()));
  {
    qvtest::Plugin plugin(module_dir.Host(L"quorvane.wcx64"));
    ASSERT_TRUE(plugin.Problem().empty()) << plugin.Problem();
    ExpectRoundTrip(plugin, data_dir);
  }
  SetCurrentDirectoryW(previous);
  EXPECT_TRUE(work_dir.WideList().empty());
}

// Every operation that needs the library, against a copy of the plugin
// whose folder holds `lib64` (nothing, or a stand-in) as lib64.dll.
void ExpectMissingLibraryCodes(const std::string& lib64) {
  TempDir module_dir("qvmodule"), data_dir("qvdata");
  qvtest::Copy(BuildTreeFile(qvtest::DefaultPluginPath().c_str()), module_dir / L"quorvane.wcx64");
  if (lib64 == "text") qvtest::WriteBytes(module_dir / L"lib64.dll", "this is no library");
  if (lib64 == "partial") qvtest::Copy(BuildTreeFile(QUORVANE_PARTIAL_BZ2_PATH), module_dir / L"lib64.dll");
  qvtest::Plugin plugin(module_dir.Host(L"quorvane.wcx64"));
  ASSERT_TRUE(plugin.Problem().empty()) << plugin.Problem();

  qvtest::WriteArchive(data_dir.Host(L"a.qv"), "a.txt", "needs bzip2");
  qvtest::WriteBytes(data_dir / L"source.txt", "needs bzip2 too");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(OpenAndProcess(plugin, data_dir.Host(L"a.qv"), qvtest::kExtract, data_dir.path().c_str(), "out.txt"),
              qvtest::kEOpen);
    EXPECT_EQ(OpenAndProcess(plugin, data_dir.Host(L"a.qv"), qvtest::kTest, nullptr, nullptr), qvtest::kEOpen);
    EXPECT_EQ(plugin.Pack(data_dir.Host(L"new.qv"), data_dir.path(), {"source.txt"}), qvtest::kEWrite);
    const qvtest::MemPackRun mem = qvtest::RunMemPack(plugin, data_dir.Host(L"mem.qv"), "streamed data");
    EXPECT_EQ(mem.Failure(), qvtest::kEWrite);
    EXPECT_TRUE(mem.Finished());
  }
  // Listing needs no library.
  Listing listing = List(plugin, data_dir.Host(L"a.qv"));
  EXPECT_EQ(listing.read_result, qvtest::kOk);
  EXPECT_EQ(listing.record.FileName(), "a.txt");
  EXPECT_EQ(data_dir.WideList(), (std::vector<std::wstring>{L"a.qv", L"source.txt"}));

  // The library is bound per operation: once it is there, packing works.
  qvtest::Copy(BuildTreeFile(QUORVANE_LIB64DLL_PATH), module_dir / L"lib64.dll");
  ExpectRoundTrip(plugin, data_dir);
}

TEST(WindowsLibrary, WithoutLib64DllEveryOperationFailsWithItsCode) { ExpectMissingLibraryCodes("none"); }

TEST(WindowsLibrary, ALib64DllThatIsNoLibraryCountsAsMissing) { ExpectMissingLibraryCodes("text"); }

TEST(WindowsLibrary, ALib64DllLackingFunctionsCountsAsMissing) { ExpectMissingLibraryCodes("partial"); }

}  // namespace
