// The test host: module loading, raw host records, recorders.
#include "host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include "windows_support.h"
#else
#include <dlfcn.h>

#include <mutex>
#endif

namespace fs = std::filesystem;

namespace qvtest {

// ------------------------------------------------------------ entry points

std::string DefaultPluginPath() {
  if (const char* env = std::getenv("QUORVANE_PLUGIN"); env != nullptr && *env != '\0') {
    return env;
  }
#ifdef QUORVANE_PLUGIN_PATH
  return QUORVANE_PLUGIN_PATH;
#else
  return "quorvane.wcx";
#endif
}

Plugin::Plugin(std::string path) : path_(std::move(path)) {
#ifdef _WIN32
  HMODULE module = LoadLibraryW(FromBuildTree(path_).c_str());
  if (module == nullptr) {
    load_error_ = "LoadLibraryW(" + path_ + ") failed, error " + std::to_string(GetLastError());
    return;
  }
  module_ = reinterpret_cast<void*>(module);
#else
  module_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    const char* why = dlerror();
    load_error_ = "dlopen(" + path_ + ") failed: " + (why != nullptr ? why : "unknown reason");
    return;
  }
#endif
  GetPackerCaps = reinterpret_cast<GetPackerCapsFn>(Resolve("GetPackerCaps"));
  CanYouHandleThisFile = reinterpret_cast<CanYouHandleThisFileFn>(Resolve("CanYouHandleThisFile"));
  OpenArchive = reinterpret_cast<OpenArchiveFn>(Resolve("OpenArchive"));
  ReadHeader = reinterpret_cast<ReadHeaderFn>(Resolve("ReadHeader"));
  ReadHeaderEx = reinterpret_cast<ReadHeaderFn>(Resolve("ReadHeaderEx"));
  ProcessFile = reinterpret_cast<ProcessFileFn>(Resolve("ProcessFile"));
  CloseArchive = reinterpret_cast<CloseArchiveFn>(Resolve("CloseArchive"));
  SetChangeVolProc = reinterpret_cast<SetChangeVolProcFn>(Resolve("SetChangeVolProc"));
  SetProcessDataProc = reinterpret_cast<SetProcessDataProcFn>(Resolve("SetProcessDataProc"));
  PackFiles = reinterpret_cast<PackFilesFn>(Resolve("PackFiles"));
  ConfigurePacker = reinterpret_cast<ConfigurePackerFn>(Resolve("ConfigurePacker"));
  StartMemPack = reinterpret_cast<StartMemPackFn>(Resolve("StartMemPack"));
  PackToMem = reinterpret_cast<PackToMemFn>(Resolve("PackToMem"));
  DoneMemPack = reinterpret_cast<DoneMemPackFn>(Resolve("DoneMemPack"));
#ifndef _WIN32
  ExtensionInitialize = reinterpret_cast<ExtensionInitializeFn>(Resolve("ExtensionInitialize"));
#else
  CanYouHandleThisFileW = reinterpret_cast<CanYouHandleThisFileWFn>(Resolve("CanYouHandleThisFileW"));
  OpenArchiveW = reinterpret_cast<OpenArchiveFn>(Resolve("OpenArchiveW"));
  ReadHeaderExW = reinterpret_cast<ReadHeaderFn>(Resolve("ReadHeaderExW"));
  ProcessFileW = reinterpret_cast<ProcessFileWFn>(Resolve("ProcessFileW"));
  SetChangeVolProcW = reinterpret_cast<SetChangeVolProcWFn>(Resolve("SetChangeVolProcW"));
  SetProcessDataProcW = reinterpret_cast<SetProcessDataProcWFn>(Resolve("SetProcessDataProcW"));
  PackFilesW = reinterpret_cast<PackFilesWFn>(Resolve("PackFilesW"));
  StartMemPackW = reinterpret_cast<StartMemPackWFn>(Resolve("StartMemPackW"));
#endif
}

Plugin::~Plugin() {
  if (module_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(module_));
#else
  dlclose(module_);
#endif
}

void* Plugin::Resolve(const char* name) {
#ifdef _WIN32
  void* f = reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(module_), name));
#else
  void* f = dlsym(module_, name);
#endif
  if (f == nullptr) missing_.emplace_back(name);
  return f;
}

std::vector<std::string> Plugin::Missing() const { return missing_; }

std::string Plugin::Problem() const {
  if (!Loaded()) return load_error_;
  if (missing_.empty()) return {};
  std::string text = path_ + " lacks:";
  for (const std::string& name : missing_) text += " " + name;
  return text;
}

int Plugin::CanHandle(const std::string& path) const {
  std::string copy = path;
  return CanYouHandleThisFile(copy.data());
}

void* Plugin::Open(const std::string& archive, int* result) const {
  OpenRecord record(archive, 1);
  void* handle = OpenArchive(record.data());
  if (result != nullptr) *result = record.OpenResult();
  return handle;
}

int Plugin::Process(void* handle, int operation, const char* dest_path, const char* dest_name) const {
  std::optional<std::string> path;
  std::optional<std::string> name;
  if (dest_path != nullptr) path = dest_path;
  if (dest_name != nullptr) name = dest_name;
  return ProcessFile(handle, operation, path ? path->data() : nullptr,
                     name ? name->data() : nullptr);
}

std::vector<char> MakeAddList(const std::vector<std::string>& names) {
  std::vector<char> list;
  for (const std::string& name : names) {
    list.insert(list.end(), name.begin(), name.end());
    list.push_back('\0');
  }
  list.push_back('\0');
  if (names.empty()) list.push_back('\0');
  return list;
}

int Plugin::Pack(const std::string& packed_file, const std::string& src_path,
                 const std::vector<std::string>& names, int flags, const char* sub_path) const {
  std::string packed = packed_file;
  std::string src = src_path;
  std::optional<std::string> sub;
  if (sub_path != nullptr) sub = sub_path;
  std::vector<char> list = MakeAddList(names);
  return PackFiles(packed.data(), sub ? sub->data() : nullptr, src.data(), list.data(), flags);
}

Plugin& SharedPlugin() {
  static Plugin plugin;
  return plugin;
}

// ----------------------------------------------------------------- records

namespace {

std::int32_t Load32(const unsigned char* p) {
  std::uint32_t v = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                    static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  return static_cast<std::int32_t>(v);
}

void Store32(unsigned char* p, std::int32_t value) {
  auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

OpenRecord::OpenRecord(std::string arc_name, int open_mode) : name_(std::move(arc_name)) {
  Lay(name_.data(), open_mode);
}

#ifdef _WIN32
OpenRecord::OpenRecord(std::wstring arc_name, int open_mode) : wide_name_(std::move(arc_name)) {
  Lay(wide_name_.data(), open_mode);
}
#endif

void OpenRecord::Lay(void* name, int open_mode) {
  bytes_.fill(kFill);
  std::memcpy(bytes_.data() + kArcNameOffset, &name, sizeof name);
  Store32(bytes_.data() + kOpenModeOffset, open_mode);
}

std::int32_t OpenRecord::OpenResult() const { return Load32(bytes_.data() + kOpenResultOffset); }

std::int32_t OpenRecord::OpenMode() const { return Load32(bytes_.data() + kOpenModeOffset); }

void OpenRecord::SetOpenResult(std::int32_t value) {
  Store32(bytes_.data() + kOpenResultOffset, value);
}

bool OpenRecord::TailUntouched() const {
  return std::all_of(bytes_.begin() + 16, bytes_.end(), [](unsigned char b) { return b == kFill; });
}

void OpenRecord::SetNullName() {
  char* name = nullptr;
  std::memcpy(bytes_.data() + kArcNameOffset, &name, sizeof name);
}

HeaderRecord::HeaderRecord(unsigned char fill, const HeaderLayout& layout)
    : layout_(layout), fill_(fill), bytes_(layout.size + kGuard, fill) {}

void HeaderRecord::Fill(unsigned char fill) {
  fill_ = fill;
  std::fill(bytes_.begin(), bytes_.end(), fill);
}

std::string HeaderRecord::FileName() const {
  const char* begin = reinterpret_cast<const char*>(bytes_.data() + layout_.file_name_offset);
  const char* end = static_cast<const char*>(std::memchr(begin, '\0', layout_.file_name_size));
  return std::string(begin, end != nullptr ? end : begin + layout_.file_name_size);
}

std::u16string HeaderRecord::WideFileName() const {
  std::u16string name;
  for (std::size_t i = 0; i + 1 < layout_.file_name_size; i += 2) {
    const auto unit = static_cast<char16_t>(bytes_[layout_.file_name_offset + i] |
                                            bytes_[layout_.file_name_offset + i + 1] << 8);
    if (unit == 0) break;
    name += unit;
  }
  return name;
}

std::int32_t HeaderRecord::Get32(std::size_t offset) const { return Load32(bytes_.data() + offset); }

namespace {
std::uint64_t Join(std::int32_t low, std::int32_t high) {
  return static_cast<std::uint32_t>(low) | std::uint64_t{static_cast<std::uint32_t>(high)} << 32;
}
}  // namespace

std::uint64_t HeaderRecord::PackSize64() const {
  return Join(PackSize(), layout_.pack_size_high_offset ? Get32(layout_.pack_size_high_offset) : 0);
}

std::uint64_t HeaderRecord::UnpSize64() const {
  return Join(UnpSize(), layout_.unp_size_high_offset ? Get32(layout_.unp_size_high_offset) : 0);
}

std::vector<std::size_t> HeaderRecord::StrayWrites() const {
  const HeaderLayout& l = layout_;
  auto field = [](std::size_t i, std::size_t offset, std::size_t size) {
    return offset != 0 && i >= offset && i < offset + size;
  };
  auto writable = [&](std::size_t i) {
    return field(i, l.file_name_offset, l.file_name_size) || field(i, l.pack_size_offset, 4) ||
           field(i, l.pack_size_high_offset, 4) || field(i, l.unp_size_offset, 4) ||
           field(i, l.unp_size_high_offset, 4) || field(i, l.file_crc_offset, 4) ||
           field(i, l.file_time_offset, 4) || field(i, l.file_attr_offset, 4);
  };
  std::vector<std::size_t> stray;
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (!writable(i) && bytes_[i] != fill_) stray.push_back(i);
  }
  return stray;
}

// ---------------------------------------------------------------- progress

namespace {
thread_local ProgressRecorder* current_recorder = nullptr;
}

ProgressRecorder::ProgressRecorder() : previous_(current_recorder) { current_recorder = this; }

ProgressRecorder::~ProgressRecorder() { current_recorder = previous_; }

long long ProgressRecorder::TotalSize() const {
  long long total = 0;
  for (const ProgressReport& r : reports_) total += r.size;
  return total;
}

std::vector<int> ProgressRecorder::Sizes(const std::string& name) const {
  std::vector<int> sizes;
  for (const ProgressReport& r : reports_) {
    if (!r.null_name && r.name == name) sizes.push_back(r.size);
  }
  return sizes;
}

long long ProgressRecorder::SizeSum(const std::string& name) const {
  long long sum = 0;
  for (int size : Sizes(name)) sum += size;
  return sum;
}

int QV_STDCALL ProgressRecorder::Callback(char* file_name, int size) {
  ProgressRecorder* self = current_recorder;
  if (self == nullptr) return 1;
  ProgressReport report;
  report.null_name = file_name == nullptr;
  if (file_name != nullptr) report.name = file_name;
  report.size = size;
  self->reports_.push_back(std::move(report));
  if (self->action_ && self->reports_.size() - 1 == self->action_at_) self->action_();
  if (self->stop_at_ && self->reports_.size() - 1 >= *self->stop_at_) return 0;
  return 1;
}

// ------------------------------------------------------------ message box

namespace {

std::vector<RecordedMessage> messages;

// The win32 thread model of mingw has no std::mutex.
#ifdef _WIN32
SRWLOCK message_lock = SRWLOCK_INIT;
struct MessageLock {
  MessageLock() { AcquireSRWLockExclusive(&message_lock); }
  ~MessageLock() { ReleaseSRWLockExclusive(&message_lock); }
};
#else
std::mutex message_mutex;
struct MessageLock {
  std::lock_guard<std::mutex> guard{message_mutex};
};
#endif

}  // namespace

int RecordMessageBox(char* text, char* caption, long flags) {
  MessageLock lock;
  messages.push_back({text != nullptr ? text : "", caption != nullptr ? caption : "", flags});
  return 1;
}

std::vector<RecordedMessage> RecordedMessages() {
  MessageLock lock;
  return messages;
}

void ClearRecordedMessages() {
  MessageLock lock;
  messages.clear();
}

bool InitializeExtension(const Plugin& plugin, MessageBoxProc message_box,
                         std::uint32_t struct_size) {
  if (plugin.ExtensionInitialize == nullptr) return false;
  // Always as large as the full record, whatever StructSize claims, so that a
  // plugin which ignores StructSize reads our marker rather than past the end.
  std::vector<unsigned char> record(std::max<std::size_t>(struct_size, kExtensionFullSize), 0);
  std::memcpy(record.data(), &struct_size, sizeof struct_size);
  std::string dir = fs::path(plugin.Path()).parent_path().string();
  std::memcpy(record.data() + 4, dir.data(), std::min<std::size_t>(dir.size(), 16383));
  std::memcpy(record.data() + kExtensionMessageBoxOffset, &message_box, sizeof message_box);
  plugin.ExtensionInitialize(record.data());
  return true;
}

// ------------------------------------------------------------ the module

std::string CopyPlugin(const std::string& dir, const std::string& from) {
#ifdef _WIN32
  // Windows has no bzip2 of its own: the copy needs lib64.dll beside it, as
  // the original has.
  const fs::path source(FromBuildTree(from));
  const fs::path library = source.parent_path() / "lib64.dll";
  std::error_code ec;
  if (fs::exists(library, ec)) {
    fs::copy_file(library, fs::path(dir) / "lib64.dll", fs::copy_options::overwrite_existing);
  }
#else
  const fs::path source(from);
#endif
  fs::path target = fs::path(dir) / source.filename();
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  return target.string();
}

}  // namespace qvtest
