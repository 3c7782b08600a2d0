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
#include <optional>

#include "archive_maker.h"
#include "host.h"

namespace {

using qvwin::Folder;
using qvwin::OpenAndProcess;

// What a module could leave behind in the process.
struct Usage {
  long handles = 0;
  long threads = 0;
  std::size_t private_bytes = 0;
  DWORD first_free_tls_slot = 0;
};

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

Usage Measure() { return {OwnHandles(), OwnThreads(), PrivateBytes(), FirstFreeTlsSlot()}; }

// One kind of work done between loading and unloading.
using Work = std::function<void(const qvtest::Plugin&, const Folder&)>;

std::string ListedName(const qvtest::Plugin& plugin, const std::string& archive) {
  void* handle = plugin.Open(archive);
  if (!handle) return "<not opened>";
  qvtest::HeaderRecord record;
  std::string name = plugin.ReadHeader(handle, record.data()) == qvtest::kOk ? record.FileName() : "<no entry>";
  EXPECT_EQ(plugin.ReadHeader(handle, record.data()), qvtest::kEndArchive);
  plugin.CloseArchive(handle);
  return name;
}

void Extract(const qvtest::Plugin& plugin, const Folder& dir) {
  ASSERT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, dir.host().c_str(), "out.txt"),
            qvtest::kOk);
}

// A thread of the host's own, made the way a host makes it (the C++
// runtime's threads would bring lock objects of the test's own runtime into
// the count).
class HostThread {
 public:
  explicit HostThread(std::function<void()> body)
      : body_(std::move(body)), handle_(CreateThread(nullptr, 0, Run, this, 0, nullptr)) {}
  ~HostThread() { Join(); }
  HostThread(const HostThread&) = delete;
  HostThread& operator=(const HostThread&) = delete;

  void Join() {
    if (!handle_) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<HostThread*>(self)->body_();
    return 0;
  }
  std::function<void()> body_;
  HANDLE handle_;
};

// Work on a thread that is still alive when the plugin is unloaded: the
// module hears nothing of its end.
struct LingeringThread {
  std::optional<HostThread> thread;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE go_on = CreateEventW(nullptr, TRUE, FALSE, nullptr);
} lingering;

void WorkOnALingeringThread(const qvtest::Plugin& plugin, const Folder& dir) {
  ResetEvent(lingering.done);
  ResetEvent(lingering.go_on);
  lingering.thread.emplace([&plugin, &dir] {
    Extract(plugin, dir);
    SetEvent(lingering.done);
    WaitForSingleObject(lingering.go_on, INFINITE);
  });
  WaitForSingleObject(lingering.done, INFINITE);
}

void EndLingeringThread() {
  SetEvent(lingering.go_on);
  lingering.thread.reset();
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
  const std::wstring module_path = qvwin::FromBuildTree(plugin_path);
  ASSERT_EQ(GetModuleHandleW(module_path.c_str()), nullptr) << "another copy of the plugin is loaded";
  Folder dir;
  qvtest::WriteArchive(dir.Host(L"a.qv"), "a.txt", qvtest::TextBytes(70000));
  qvwin::WriteBytes(dir / L"source.txt", qvtest::TextBytes(70000));
  const Work& work = GetParam().work;
  const auto cycle = [&] {
    {
      qvtest::Plugin plugin(plugin_path);
      ASSERT_TRUE(plugin.Problem().empty()) << plugin.Problem();
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

void List(const qvtest::Plugin& plugin, const Folder& dir) {
  EXPECT_EQ(ListedName(plugin, dir.Host(L"a.qv")), "a.txt");
}

void Test(const qvtest::Plugin& plugin, const Folder& dir) {
  EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kTest, nullptr, nullptr), qvtest::kOk);
}

void Pack(const qvtest::Plugin& plugin, const Folder& dir) {
  EXPECT_EQ(plugin.Pack(dir.Host(L"b.qv"), dir.host(), {"source.txt"}), qvtest::kOk);
}

void PackInMemory(const qvtest::Plugin& plugin, const Folder& dir) {
  qvwin::MemPackOutcome outcome = qvwin::MemPack(plugin, dir.Host(L"c.qv"), "in memory");
  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.failure, 0);
}

// A failure throws inside the plugin, which sets up the exception
// machinery's per-thread state.
void FailToExtract(const qvtest::Plugin& plugin, const Folder& dir) {
  EXPECT_EQ(OpenAndProcess(plugin, dir.Host(L"a.qv"), qvtest::kExtract, dir.Host(L"missing").c_str(), "out.txt"),
            qvtest::kECreate);
}

void ExtractOnAnotherThread(const qvtest::Plugin& plugin, const Folder& dir) {
  HostThread([&plugin, &dir] { Extract(plugin, dir); }).Join();
}

const Case kCases[] = {
    {"Idle", [](const qvtest::Plugin&, const Folder&) {}},
    {"List", List},
    {"Test", Test},
    {"Extract", Extract},
    {"PackFiles", Pack},
    {"InMemoryJob", PackInMemory},
    {"FailingExtraction", FailToExtract},
    {"WorkOnAnotherThread", ExtractOnAnotherThread},
    {"WorkOnAThreadThatOutlivesTheUnload", WorkOnALingeringThread, EndLingeringThread},
};

INSTANTIATE_TEST_SUITE_P(Cases, WindowsUnload, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
