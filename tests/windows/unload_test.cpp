// Loading and unloading the plugin any number of times, idle or after each
// kind of work, leaves the process as it was: no handle, thread, TLS slot or
// private memory stays behind.  A host that loads the plugin for every job
// would otherwise lose them one job at a time.
//
// Each case runs in a process of its own (ctest runs one test at a time),
// and no other copy of the plugin is loaded, so every FreeLibrary really
// unloads it.  Under Wine GetProcessHandleCount answers 0 and
// GetProcessMemoryInfo reports no private bytes, so the handles are counted
// in the system's handle table and the private memory is summed over the
// address space, the way both work on Windows too.
#include "windows_support.h"

#include <tlhelp32.h>

#include <functional>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "mempack.h"
#include "process.h"

namespace {

using qvtest::TempDir;
using qvtest::OpenAndProcess;

// The system handle table as NtQuerySystemInformation(SystemHandleInformation)
// returns it.
struct HandleEntry {
  ULONG process_id;
  BYTE object_type;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};
using QuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

long OwnHandles() {
  static const auto query = reinterpret_cast<QuerySystemInformationFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  LONG status;
  while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
         kInfoLengthMismatch) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return -1;
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  long own = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].process_id == GetCurrentProcessId()) ++own;
  }
  return own;
}

long OwnThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  long own = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++own;
  }
  CloseHandle(snapshot);
  return own;
}

std::size_t PrivateBytes() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
  }
  return total;
}

// TLS slots are handed out lowest first: one the module kept moves this up.
DWORD FirstFreeTlsSlot() {
  DWORD slot = TlsAlloc();
  TlsFree(slot);
  return slot;
}

// What a module could leave behind in the process.
struct Usage {
  long handles, threads;
  std::size_t private_bytes;
  DWORD first_free_tls_slot;
};

Usage Measure() { return {OwnHandles(), OwnThreads(), PrivateBytes(), FirstFreeTlsSlot()}; }

// Starts `body` on a thread made the way a host makes one (the test
// runtime's own threads would bring its lock objects into the count).
HANDLE StartThread(std::function<void()>* body) {
  return CreateThread(
      nullptr, 0, [](void* work) -> DWORD { return (*static_cast<std::function<void()>*>(work))(), 0; }, body, 0,
      nullptr);
}

void Join(HANDLE thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

using Work = std::function<void(const qvtest::Plugin&, const TempDir&)>;

void Extract(const qvtest::Plugin& plugin, const TempDir& dir) {
  EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, dir.path().c_str(), "out.txt"),
            qvtest::kOk);
}

// Work on a thread that is still alive when the plugin is unloaded: the
// module hears nothing of its end.
struct LingeringThread {
  std::function<void()> body;
  HANDLE thread = nullptr;
  HANDLE go_on = CreateEventW(nullptr, TRUE, FALSE, nullptr);
} lingering;

void WorkOnALingeringThread(const qvtest::Plugin& plugin, const TempDir& dir) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(lingering.go_on);
  lingering.body = [&plugin, &dir, done] {
    Extract(plugin, dir);
    SetEvent(done);
    WaitForSingleObject(lingering.go_on, INFINITE);
  };
  lingering.thread = StartThread(&lingering.body);
  WaitForSingleObject(done, INFINITE);
  CloseHandle(done);
}

struct Case {
  const char* name;
  Work work;
  std::function<void()> after_unload = [] {};
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class WindowsUnload : public testing::TestWithParam<Case> {};

TEST_P(WindowsUnload, TwoHundredCyclesLeaveNothingBehind) {
  const std::string plugin_path = qvtest::DefaultPluginPath();
  const std::wstring module_path = qvtest::FromBuildTree(plugin_path);
  ASSERT_EQ(GetModuleHandleW(module_path.c_str()), nullptr) << "another copy of the plugin is loaded";
  TempDir dir;
  // Two blocks of 100 kB: testing and extracting run the plugin's workers.
  qvtest::ArchiveRecipe recipe;
  recipe.name = "a.txt";
  recipe.content = qvtest::TextBytes(150000);
  recipe.block_size = 1;
  qvtest::WriteArchive(dir.Host(L"a.qv"), recipe);
  qvtest::WriteBytes(dir / L"big.txt", qvtest::RandomBytes(1000000));
  const Work& work = GetParam().work;
  SetEnvironmentVariableW(L"QUORVANE_THREADS", L"2");
  const auto cycle = [&] {
    {
      qvtest::Plugin plugin(plugin_path);
      ASSERT_TRUE(plugin.Problem().empty()) << plugin.Problem();
      ASSERT_NE(GetModuleHandleW(module_path.c_str()), nullptr);
      work(plugin, dir);
    }
    GetParam().after_unload();
    ASSERT_EQ(GetModuleHandleW(module_path.c_str()), nullptr) << "the plugin was not unloaded";
  };
  // The first loads bring in the system libraries the plugin uses, and the
  // test's own first allocations.
  for (int i = 0; i < 10 && !HasFatalFailure(); ++i) cycle();
  const Usage before = Measure();
  for (int i = 0; i < 200 && !HasFatalFailure(); ++i) cycle();
  const Usage after = Measure();

  EXPECT_GT(before.handles, 0) << "the handle table could not be read";
  EXPECT_EQ(after.handles, before.handles) << "handles left behind";
  EXPECT_EQ(after.threads, before.threads) << "threads left behind";
  EXPECT_EQ(after.first_free_tls_slot, before.first_free_tls_slot) << "TLS slots left behind";
  // The runtime's lost exception reserve came to 14 MiB over 200 cycles; the
  // heap may still grow by a chunk of its own.
  EXPECT_LT(after.private_bytes, before.private_bytes + 64 * 1024)
      << "private memory grew by " << (after.private_bytes - before.private_bytes) << " bytes";
}

const Case kCases[] = {
    {"Idle", [](const qvtest::Plugin&, const TempDir&) {}},
    {"List",
     [](const qvtest::Plugin& plugin, const TempDir& dir) {
       EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kSkip, nullptr, nullptr), qvtest::kOk);
     }},
    {"Test",
     [](const qvtest::Plugin& plugin, const TempDir& dir) {
       EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kTest, nullptr, nullptr), qvtest::kOk);
     }},
    {"Extract", Extract},
    // Two blocks on two threads: the plugin's workers run while the host's
    // thread waits, and are gone before the unload.
    {"PackFilesOnAnotherThreadWithWorkers",
     [](const qvtest::Plugin& plugin, const TempDir& dir) {
       std::function<void()> body = [&plugin, &dir] {
         EXPECT_EQ(plugin.Pack(dir.Host(L"b.qv"), dir.path(), {"big.txt"}), qvtest::kOk);
       };
       SetEnvironmentVariableW(L"QUORVANE_THREADS", L"2");
       Join(StartThread(&body));
       SetEnvironmentVariableW(L"QUORVANE_THREADS", nullptr);
     }},
    {"InMemoryJob",
     [](const qvtest::Plugin& plugin, const TempDir& dir) {
       EXPECT_EQ(qvtest::RunMemPack(plugin, dir.Host(L"c.qv"), "in memory").Failure(), 0);
     }},
    // A failure throws inside the plugin, which sets up the exception
    // machinery's per-thread state.
    {"FailingExtraction",
     [](const qvtest::Plugin& plugin, const TempDir& dir) {
       EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, dir.Host(L"missing").c_str(), "out.txt"),
                 qvtest::kECreate);
     }},
    {"WorkOnAnotherThread",
     [](const qvtest::Plugin& plugin, const TempDir& dir) {
       std::function<void()> body = [&plugin, &dir] { Extract(plugin, dir); };
       Join(StartThread(&body));
     }},
    {"WorkOnAThreadThatOutlivesTheUnload", WorkOnALingeringThread, [] {
       SetEvent(lingering.go_on);
       Join(lingering.thread);
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, WindowsUnload, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
