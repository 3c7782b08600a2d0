// The platform layer on Windows: files with real sharing modes through
// CreateFileW, the ANSI code page for host strings, UTF-16 paths, lib64.dll
// beside the plugin for the compression library, MessageBoxW for messages.
#include "platform/platform.h"
#include "platform/system.h"

#include <windows.h>
// windows.h maps this name to its A/W variants; here it is ours.
#undef LoadLibrary

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/faults.h"
#include "utf8.h"

namespace platform {
namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// A function of a system module every process has loaded (kernel32,
// ntdll), looked up at run time: null where this system lacks it.
template <typename Function>
Function SystemFunction(const wchar_t* module, const char* name) {
  const HMODULE loaded = ::GetModuleHandleW(module);
  const FARPROC found = loaded ? ::GetProcAddress(loaded, name) : nullptr;
  return found ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found)) : nullptr;
}

// A buffer-filling call (GetFullPathNameW, GetTempPathW,
// GetEnvironmentVariableW...) as a string, the buffer grown as the call asks;
// empty when it fails.
template <typename Fill>
Path Filled(Fill fill) {
  std::wstring text(MAX_PATH + 1, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD length = fill(text.data(), static_cast<DWORD>(text.size()));
    if (length == 0) return {};
    if (length < text.size()) {
      text.resize(length);
      return text;
    }
    text.resize(length + 1);
  }
  return {};
}

// Wide to 8-bit text in code page `code_page`.  Characters the code page
// lacks become its default character rather than a look-alike ("best fit"
// would turn a Polish Ł into L and so name a different file).  UTF-8 takes no
// such flag.
std::string Narrow(std::wstring_view text, UINT code_page) {
  if (text.empty()) return {};
  UINT actual = code_page == CP_ACP ? ::GetACP() : code_page;
  DWORD flags = actual == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 4));
  int bytes = ::WideCharToMultiByte(actual, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string result(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(actual, flags, text.data(), length, result.data(), bytes, nullptr, nullptr);
  return result;
}

std::wstring Widen(std::string_view text, UINT code_page) {
  if (text.empty()) return {};
  int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 2));
  int chars = ::MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
  if (chars <= 0) return {};
  std::wstring result(static_cast<std::size_t>(chars), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(), length, result.data(), chars);
  return result;
}

// The system's reason for a failure, in the host's code page, without the
// line break FormatMessage ends it with.
std::string Reason(DWORD error) {
  wchar_t* text = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring reason;
  if (length > 0 && text) reason.assign(text, length);
  if (text) ::LocalFree(text);
  while (!reason.empty() && (reason.back() == L'\r' || reason.back() == L'\n' || reason.back() == L' ')) {
    reason.pop_back();
  }
  if (reason.empty()) return "system error " + std::to_string(error);
  return Narrow(reason, CP_ACP);
}

// Raises the failure to open (FileError) or to create (FileCreateError)
// `path`, for the system's `error`.
template <typename Error = FileError>
[[noreturn]] void ThrowFileError(const Path& path, DWORD error) {
  std::string message = ToHost(path) + ": " + Reason(error);
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) throw FileExistsError(message, path);
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) throw FileInUseError(message, path);
  throw Error(message, path);
}

DWORD ShareFlags(Share share) {
  switch (share) {
    case Share::kNone: return 0;
    case Share::kRead: return FILE_SHARE_READ;
    case Share::kReadWrite: return FILE_SHARE_READ | FILE_SHARE_WRITE;
  }
  return 0;
}

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Whether `name`, one path component, is one Windows takes for a device
// wherever it appears: the part before the first dot or colon, with the
// spaces Windows drops at its end, is a reserved device name ("nul.tar.gz",
// "CON .txt", "com1").
bool IsDeviceName(std::wstring_view name) {
  std::wstring_view base = name.substr(0, name.find_first_of(L".:"));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  std::wstring upper(base);
  for (wchar_t& c : upper) c = AsciiUpper(c);
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (upper == device) return true;
  }
  // COM1-COM9 and LPT1-LPT9; Windows counts the superscript digits 1-3 too.
  if (upper.size() != 4 || (upper.compare(0, 3, L"COM") != 0 && upper.compare(0, 3, L"LPT") != 0)) return false;
  const wchar_t digit = upper[3];
  return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiUpper(text[i]) != AsciiUpper(prefix[i])) return false;
  }
  return true;
}

// "X:" followed by a separator.
bool StartsWithDriveRoot(std::wstring_view path) {
  return path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
         path[1] == L':' && IsDirectorySeparator(path[2]);
}

// The form of `path` to hand the file system.  A path past what the plain
// forms take (MAX_PATH, less room for a name inside a folder) gets the
// extended-length prefix, which lifts the limit; since the system then
// takes the path as it stands, it is made absolute and cleaned first.
std::wstring SystemPath(const Path& path) {
  constexpr std::size_t kPlainLimit = MAX_PATH - 12;
  if (path.size() < kPlainLimit || path.rfind(L"\\\\?\\", 0) == 0) return path;
  const Path full = AbsolutePath(path);
  if (StartsWithDriveRoot(full)) return L"\\\\?\\" + full;
  if (full.size() > 2 && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'?' && full[2] != L'.') {
    return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  }
  return full;
}

// Whether the path, resolved as Windows resolves it, can name nothing but a
// device: a device name in any component ("NUL", "C:\out\COM1",
// "nul.tar.gz", "CONIN$"), the device namespace in any spelling
// ("\\.\pipe\x", "\\?\pipe\x", "//./pipe/x", "\\?\GLOBALROOT\..."), or a whole
// volume ("\\.\C:").  Opening such a name could talk to the device.  Disk
// paths written in the device namespace ("\\?\C:\dir\a.qv", "\\.\C:\dir\a.qv",
// "\\?\UNC\server\share\a.qv", "\\?\Volume{...}\a.qv") name files like any other.
bool NamesDevice(const Path& path) {
  const Path full = AbsolutePath(path);
  std::wstring_view rest(full);
  if (rest.size() >= 4 && IsDirectorySeparator(rest[0]) && IsDirectorySeparator(rest[1]) &&
      (rest[2] == L'?' || rest[2] == L'.') && IsDirectorySeparator(rest[3])) {
    rest.remove_prefix(4);
    if (StartsWithNoCase(rest, L"UNC\\")) {
      rest.remove_prefix(4);
    } else if (StartsWithNoCase(rest, L"Volume{")) {
      const std::size_t end = rest.find(L'}');
      if (end == std::wstring_view::npos || end + 1 >= rest.size() || !IsDirectorySeparator(rest[end + 1])) {
        return true;  // the volume itself
      }
      rest.remove_prefix(end + 2);
    } else if (!StartsWithDriveRoot(rest)) {
      return true;
    }
  } else if (rest.size() >= 2 && IsDirectorySeparator(rest[0]) && IsDirectorySeparator(rest[1])) {
    rest.remove_prefix(2);  // \\server\share\...
  } else if (!StartsWithDriveRoot(rest)) {
    return true;  // not resolved to anything Windows could open as a file
  }
  while (!rest.empty()) {
    std::size_t end = 0;
    while (end < rest.size() && !IsDirectorySeparator(rest[end])) ++end;
    if (IsDeviceName(rest.substr(0, end))) return true;
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return false;
}

// Attributes of what the path names, a link followed to its target; false
// when nothing is there.
bool AttributesOf(const Path& path, WIN32_FILE_ATTRIBUTE_DATA& data) noexcept try {
  if (path.empty() || !::GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  // Asking for no access at all keeps other openers' sharing modes out of it.
  HANDLE handle = ::CreateFileW(SystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
  ::CloseHandle(handle);
  if (!ok) return false;
  data.dwFileAttributes = info.dwFileAttributes;
  data.ftLastWriteTime = info.ftLastWriteTime;
  return true;
} catch (...) {
  return false;
}

// Opens or creates a regular file; a failure raises `Error`.  Devices are
// refused before the open; whatever else is not a disk file is refused
// before anything is read or written.
template <typename Error>
File OpenRegular(const Path& path, DWORD access, DWORD disposition, Share share,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  if (faults::Hit(faults::kOpen)) ThrowFileError<Error>(path, ERROR_OPEN_FAILED);
  if (path.empty()) ThrowFileError<Error>(path, ERROR_PATH_NOT_FOUND);
  if (NamesDevice(path)) ThrowFileError<Error>(path, ERROR_BAD_FILE_TYPE);
  Path name = path;  // copied first: nothing may fail while the handle is bare
  HANDLE handle = ::CreateFileW(SystemPath(path).c_str(), access, ShareFlags(share), nullptr, disposition, flags,
                                nullptr);
  if (handle == INVALID_HANDLE_VALUE) ThrowFileError<Error>(path, ::GetLastError());
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    ThrowFileError<Error>(path, ERROR_BAD_FILE_TYPE);
  }
  const bool writing = (access & GENERIC_WRITE) != 0;
  return File::FromHandle(reinterpret_cast<std::intptr_t>(handle), std::move(name), writing);
}

}  // namespace

// ---------------------------------------------------------------- strings

Path FromHost(const char* host) { return host ? Widen(host, CP_ACP) : Path(); }

std::string ToHost(PathView path) { return Narrow(path, CP_ACP); }

std::string MessageToHost(std::string_view utf8) { return Narrow(Widen(utf8, CP_UTF8), CP_ACP); }

std::wstring MessageToWide(std::string_view utf8) { return Widen(utf8, CP_UTF8); }

std::string CutAtCharacter(std::string_view host, std::size_t max_bytes) {
  if (host.size() <= max_bytes) return std::string(host);
  UINT code_page = ::GetACP();
  std::size_t end = 0;
  while (end < host.size()) {
    // A byte that starts no character of the code page stands alone.
    std::size_t length = 1;
    if (code_page == CP_UTF8) {
      length = std::max<std::size_t>(1, qvcommon::Utf8CharacterLength(host, end));
    } else if (::IsDBCSLeadByteEx(code_page, static_cast<BYTE>(host[end]))) {
      length = std::min<std::size_t>(2, host.size() - end);
    }
    if (end + length > max_bytes) break;
    end += length;
  }
  return std::string(host.substr(0, end));
}

// ------------------------------------------------------------------ paths

bool CanNameFile(PathView name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c < 32 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) return false;
  }
  // Windows drops a trailing dot or space: the file would get another name.
  if (name.back() == L'.' || name.back() == L' ') return false;
  return !IsDeviceName(name);
}

Path AbsolutePath(const Path& path) {
  if (path.empty()) return path;
  Path full = Filled([&path](wchar_t* buffer, DWORD size) {
    return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
  });
  return full.empty() ? path : full;
}

// ------------------------------------------------------------------ files

File File::FromHandle(std::intptr_t handle, Path name, bool writing) {
  return File(handle, std::move(name), writing);
}

File::File(File&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)), writing_(other.writing_) {
  other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) ::CloseHandle(AsHandle(handle_));
    handle_ = other.handle_;
    name_ = std::move(other.name_);
    writing_ = other.writing_;
    other.handle_ = -1;
  }
  return *this;
}

File::~File() {
  if (handle_ != -1) ::CloseHandle(AsHandle(handle_));
}

File File::OpenRead(const Path& path, Share share) {
  return OpenRegular<FileError>(path, GENERIC_READ, OPEN_EXISTING, share);
}

File File::OpenReadWrite(const Path& path, Share share) {
  return OpenRegular<FileError>(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, share);
}

File File::CreateNew(const Path& path, Share share, Visibility) {
  // The temporary directory is the user's own, so a private file needs no
  // security descriptor of its own; CREATE_NEW never opens an existing name,
  // a planted link included.
  return OpenRegular<FileCreateError>(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, share);
}

bool File::IsOpen() const noexcept { return handle_ != -1; }

std::size_t File::Read(void* buffer, std::size_t count) {
  if (faults::Hit(faults::kRead)) {
    ::SetLastError(ERROR_READ_FAULT);
    Fail<FileReadError>("read");
  }
  std::size_t done = 0;
  while (done < count) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
    DWORD moved = 0;
    if (!::ReadFile(AsHandle(handle_), static_cast<char*>(buffer) + done, chunk, &moved, nullptr)) {
      DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) break;
      Fail<FileReadError>("read");
    }
    if (moved == 0) break;
    done += moved;
  }
  return done;
}

void File::Write(const void* buffer, std::size_t count) {
  if (faults::Hit(faults::kWrite)) {
    ::SetLastError(ERROR_WRITE_FAULT);
    Fail<FileWriteError>("write");
  }
  std::size_t done = 0;
  while (done < count) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
    DWORD moved = 0;
    if (!::WriteFile(AsHandle(handle_), static_cast<const char*>(buffer) + done, chunk, &moved, nullptr)) {
      Fail<FileWriteError>("write");
    }
    if (moved == 0) {
      ::SetLastError(ERROR_DISK_FULL);  // no progress, and no reason given
      Fail<FileWriteError>("write");
    }
    done += moved;
  }
}

template <typename Error>
void File::Fail(const char* what) const {
  DWORD error = ::GetLastError();
  if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
  throw Error(ToHost(name_) + ": " + what + ": " + Reason(error), name_);
}

void File::FailUse(const char* what) const {
  if (writing_) Fail<FileWriteError>(what);
  Fail<FileReadError>(what);
}

std::int64_t File::Seek(std::int64_t offset, Origin origin) {
  DWORD method = origin == Origin::kBegin ? FILE_BEGIN : origin == Origin::kCurrent ? FILE_CURRENT : FILE_END;
  if (faults::Hit(faults::kSeek)) {
    ::SetLastError(ERROR_SEEK);
    FailUse("seek");
  }
  LARGE_INTEGER distance, position;
  distance.QuadPart = offset;
  if (!::SetFilePointerEx(AsHandle(handle_), distance, &position, method)) FailUse("seek");
  return position.QuadPart;
}

std::int64_t File::Size() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(AsHandle(handle_), &size)) FailUse("size");
  return size.QuadPart;
}

void File::Truncate() {
  if (!::SetEndOfFile(AsHandle(handle_))) Fail<FileWriteError>("truncate");
}

void File::Sync() {
  if (faults::Hit(faults::kWrite)) {
    ::SetLastError(ERROR_WRITE_FAULT);
    Fail<FileWriteError>("sync");
  }
  if (!::FlushFileBuffers(AsHandle(handle_))) Fail<FileWriteError>("sync");
}

void File::Close() {
  if (handle_ == -1) return;
  HANDLE handle = AsHandle(handle_);
  handle_ = -1;
  bool injected = faults::Hit(faults::kClose);
  if (!::CloseHandle(handle)) Fail<FileCreateError>("close");
  if (injected) {
    ::SetLastError(ERROR_WRITE_FAULT);
    Fail<FileCreateError>("close");
  }
}

FileKind KindOf(const Path& path) noexcept {
  try {
    if (path.empty()) return FileKind::kMissing;
    if (NamesDevice(path)) return FileKind::kOther;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!AttributesOf(path, data)) return FileKind::kMissing;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::kDirectory;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return FileKind::kOther;
    return FileKind::kRegular;
  } catch (...) {
    return FileKind::kMissing;
  }
}

FileKind EntryKindOf(const Path& path) noexcept try {
  if (path.empty()) return FileKind::kMissing;
  if (NamesDevice(path)) return FileKind::kOther;
  DWORD attributes = ::GetFileAttributesW(SystemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::kDirectory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::kOther;
  return FileKind::kRegular;
} catch (...) {
  return FileKind::kMissing;
}

Path ResolveLinks(const Path& path) {
  if (EntryKindOf(path) != FileKind::kLink) return path;
  HANDLE handle = ::CreateFileW(SystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return path;  // a dangling link is replaced, not followed
  // The handle goes on every way out, an allocation that fails included.
  const std::unique_ptr<void, decltype(&::CloseHandle)> closer(handle, &::CloseHandle);
  Path target = Filled([handle](wchar_t* buffer, DWORD size) {
    return ::GetFinalPathNameByHandleW(handle, buffer, size, 0);
  });
  return target.empty() ? path : target;
}

bool RemoveFile(const Path& path) noexcept {
  try {
    return !path.empty() && ::DeleteFileW(SystemPath(path).c_str());
  } catch (...) {
    return false;
  }
}

// --------------------------------------------------------------- times

namespace {

// The date and time fields of a DOS date/time, checked to name a real moment.
bool DosToSystemTime(std::uint32_t dos, SYSTEMTIME& time) {
  time = {};
  time.wYear = static_cast<WORD>(((dos >> 25) & 0x7F) + 1980);
  time.wMonth = static_cast<WORD>((dos >> 21) & 0x0F);
  time.wDay = static_cast<WORD>((dos >> 16) & 0x1F);
  time.wHour = static_cast<WORD>((dos >> 11) & 0x1F);
  time.wMinute = static_cast<WORD>((dos >> 5) & 0x3F);
  time.wSecond = static_cast<WORD>((dos & 0x1F) * 2);
  if (dos == kNoDosTime || time.wMonth < 1 || time.wMonth > 12 || time.wDay < 1 || time.wHour > 23 ||
      time.wMinute > 59 || time.wSecond > 59) {
    return false;
  }
  // SystemTimeToFileTime refuses days the month does not have (31 February).
  FILETIME unused;
  return ::SystemTimeToFileTime(&time, &unused) != 0;
}

using ZoneConversion = BOOL(WINAPI*)(const DYNAMIC_TIME_ZONE_INFORMATION*, const SYSTEMTIME*, LPSYSTEMTIME);

// Converts between UTC and local time by the rule for the date itself,
// never the offset in force today: a summer time stamp read in winter keeps
// its wall-clock hour, as on Linux, and a date of a year whose rule differed
// from today's gets that year's.  The dynamic forms where the system has
// them (Windows 7 on), else the year's rule looked up by hand (Wine lacks
// them).
bool ConvertTime(const SYSTEMTIME& from, SYSTEMTIME& to, bool to_local) {
  DYNAMIC_TIME_ZONE_INFORMATION zone{};
  if (::GetDynamicTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return false;
  const auto dynamic = SystemFunction<ZoneConversion>(
      L"kernel32.dll", to_local ? "SystemTimeToTzSpecificLocalTimeEx" : "TzSpecificLocalTimeToSystemTimeEx");
  if (dynamic) return dynamic(&zone, &from, &to) != 0;
  TIME_ZONE_INFORMATION rule{};
  if (!::GetTimeZoneInformationForYear(from.wYear, &zone, &rule)) return false;
  return (to_local ? ::SystemTimeToTzSpecificLocalTime(&rule, &from, &to)
                   : ::TzSpecificLocalTimeToSystemTime(&rule, &from, &to)) != 0;
}

// A moment as a local DOS date/time, or kNoDosTime.
std::uint32_t LocalDosTime(const FILETIME& moment) {
  SYSTEMTIME utc, local;
  if (!::FileTimeToSystemTime(&moment, &utc) || !ConvertTime(utc, local, true) || local.wYear < 1980 ||
      local.wYear > 2107) {
    return kNoDosTime;
  }
  return static_cast<std::uint32_t>(local.wYear - 1980) << 25 | static_cast<std::uint32_t>(local.wMonth) << 21 |
         static_cast<std::uint32_t>(local.wDay) << 16 | static_cast<std::uint32_t>(local.wHour) << 11 |
         static_cast<std::uint32_t>(local.wMinute) << 5 | static_cast<std::uint32_t>(local.wSecond / 2);
}

}  // namespace

std::uint32_t File::DosTime() const noexcept {
  FILETIME written;
  if (!::GetFileTime(AsHandle(handle_), nullptr, nullptr, &written)) return kNoDosTime;
  return LocalDosTime(written);
}

bool File::SetDosTime(std::uint32_t dos_time) noexcept {
  SYSTEMTIME local, utc_time;
  FILETIME utc;
  return DosToSystemTime(dos_time, local) && ConvertTime(local, utc_time, false) &&
         ::SystemTimeToFileTime(&utc_time, &utc) && ::SetFileTime(AsHandle(handle_), nullptr, nullptr, &utc);
}

// Windows hosts read the DOS date/time and the attribute bits as they are.
std::uint32_t HostRecordTime(std::uint32_t dos_time) noexcept { return dos_time; }

std::uint32_t HostRecordAttributes() noexcept { return FILE_ATTRIBUTE_ARCHIVE; }

// ------------------------------------------------- temporary and pending files

namespace {

// The native rename record (FILE_RENAME_INFORMATION).  Only the native call
// takes a name relative to RootDirectory everywhere: Wine's
// SetFileInformationByHandle makes it absolute against the current folder.
struct TRenameRecord {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
};
struct TIoStatus {
  LONG_PTR status;
  ULONG_PTR information;
};
using SetInformationFile = LONG(NTAPI*)(HANDLE, TIoStatus*, void*, ULONG, int);
using StatusToError = ULONG(NTAPI*)(LONG);
constexpr int kFileRenameInformation = 10;

// Renames the open file `file` to `name` inside the open folder `folder`,
// replacing what is there; the system's error code, or 0.
DWORD RenameInto(HANDLE file, HANDLE folder, const Path& name) {
  const auto set_information = SystemFunction<SetInformationFile>(L"ntdll.dll", "NtSetInformationFile");
  const auto to_error = SystemFunction<StatusToError>(L"ntdll.dll", "RtlNtStatusToDosError");
  if (!set_information || !to_error) return ERROR_CALL_NOT_IMPLEMENTED;
  std::vector<char> buffer(sizeof(TRenameRecord) + name.size() * sizeof(wchar_t));
  auto* record = reinterpret_cast<TRenameRecord*>(buffer.data());
  record->ReplaceIfExists = TRUE;
  record->RootDirectory = folder;
  record->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::copy(name.begin(), name.end(), record->FileName);
  TIoStatus status{};
  const LONG result =
      set_information(file, &status, record, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
  return result == 0 ? 0 : to_error(result);
}

// Marks an open file to be deleted when its last handle closes, or takes
// the mark back; false when the system refuses.
bool MarkForDeletion(std::intptr_t handle, bool deleted) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = deleted ? TRUE : FALSE;
  return ::SetFileInformationByHandle(AsHandle(handle), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

File CreateScratchFile(const Path& directory, PathView prefix, PathView suffix) {
  Path name;
  return CreateUnique(directory + Path(prefix), suffix, directory, name, [](const Path& candidate) {
    return OpenRegular<FileCreateError>(candidate, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW, Share::kNone,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  });
}

PendingFile::PendingFile(const Path& target, Attributes attributes)
    : target_(target), name_(NamePart(target)) {
  // A device is no file to replace, whatever entry point names it.
  if (name_.empty() || NamesDevice(target)) ThrowFileError<FileCreateError>(target, ERROR_BAD_FILE_TYPE);
  Path directory = DirectoryPart(target);
  if (faults::Hit(faults::kOpen)) ThrowFileError<FileCreateError>(target, ERROR_OPEN_FAILED);
  // Shared for everything: the user may still rename or remove the folder.
  HANDLE folder = ::CreateFileW(SystemPath(directory.empty() ? Path(L".") : directory).c_str(),
                                FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) ThrowFileError<FileCreateError>(target, ::GetLastError());
  folder_ = File::FromHandle(reinterpret_cast<std::intptr_t>(folder), std::move(directory), false);

  // A folder or a device is not the user's file to replace.
  const FileKind existing = EntryKindOf(target);
  if (existing == FileKind::kDirectory) ThrowFileError<FileCreateError>(target, ERROR_DIRECTORY);
  if (existing == FileKind::kOther) ThrowFileError<FileCreateError>(target, ERROR_BAD_FILE_TYPE);
  if (attributes == Attributes::kTarget && existing == FileKind::kRegular) {
    // Not the read-only bit: Windows replaces no read-only file, so it could
    // only keep the new file from being removed after that failure.
    constexpr DWORD kKept =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (AttributesOf(target, data)) {
      attributes_ = data.dwFileAttributes & kKept;
      keep_attributes_ = true;
    }
    // Readers share only reading: while they hold the old file it is not
    // replaced under them, and while it is held here nobody starts reading.
    Path held_name = target;  // copied first: nothing may fail while the handle is bare
    HANDLE held = ::CreateFileW(SystemPath(target).c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held != INVALID_HANDLE_VALUE) {
      claim_ = File::FromHandle(reinterpret_cast<std::intptr_t>(held), std::move(held_name), false);
    } else if (::GetLastError() == ERROR_SHARING_VIOLATION) {
      ThrowFileError<FileCreateError>(target, ERROR_SHARING_VIOLATION);
    }
  }
  file_ = CreateUnique(directory + L".qv", Path(), target, temporary_, [](const Path& candidate) {
    return OpenRegular<FileCreateError>(candidate, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW, Share::kNone);
  });
  // A process that dies before the commit leaves nothing behind.
  MarkForDeletion(file_.handle_, true);
}

PendingFile::~PendingFile() {
  if (!committed_ && file_.IsOpen()) MarkForDeletion(file_.handle_, true);
}

void PendingFile::Commit(std::uint32_t dos_time) {
  if (dos_time != kNoDosTime) file_.SetDosTime(dos_time);
  if (keep_attributes_) {
    FILE_BASIC_INFO basic{};  // times of zero stay as they are
    basic.FileAttributes = attributes_ != 0 ? attributes_ : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(AsHandle(file_.handle_), FileBasicInfo, &basic, sizeof basic);
  }
  file_.Sync();
  if (!MarkForDeletion(file_.handle_, false)) ThrowFileError<FileCreateError>(target_, ::GetLastError());
  claim_ = File();  // Windows renames nothing over a file that is open
  if (faults::Hit(faults::kRename)) ThrowFileError<FileCreateError>(target_, ERROR_WRITE_FAULT);
  // Renamed by its handle into the folder opened at the start, wherever
  // that folder is now.
  if (const DWORD error = RenameInto(AsHandle(file_.handle_), AsHandle(folder_.handle_), name_)) {
    ThrowFileError<FileCreateError>(target_, error);
  }
  committed_ = true;
  file_.Close();
}

// --------------------------------------------------------------- threads

std::uint64_t CurrentThreadId() noexcept { return ::GetCurrentThreadId(); }

int ProcessorCount() noexcept {
  DWORD_PTR process = 0, system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0) {
    return __builtin_popcountll(process);
  }
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return std::max<int>(1, static_cast<int>(info.dwNumberOfProcessors));
}

namespace {

// What a new thread starts with: its body, and the module reference it
// gives back when it ends.
struct ThreadStart {
  std::function<void()> body;
  HMODULE module = nullptr;
};

DWORD WINAPI ThreadMain(void* context) {
  HMODULE module;
  {
    const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(context));
    module = start->module;
    try {
      start->body();
    } catch (...) {
      // The body reports its own failures.
    }
  }
  // The last reference may unload the module: nothing of it may run after.
  ::FreeLibraryAndExitThread(module, 0);
}

}  // namespace

Thread Thread::Start(std::function<void()> body) {
  auto start = std::make_unique<ThreadStart>();
  start->body = std::move(body);
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadMain),
                            &start->module)) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "GetModuleHandleExW");
  }
  HANDLE thread = ::CreateThread(nullptr, 0, ThreadMain, start.get(), 0, nullptr);
  if (!thread) {
    const DWORD error = ::GetLastError();
    ::FreeLibrary(start->module);
    throw std::system_error(static_cast<int>(error), std::system_category(), "CreateThread");
  }
  start.release();
  Thread started;
  started.handle_ = reinterpret_cast<std::uintptr_t>(thread);
  started.started_ = true;
  return started;
}

void Thread::Join() noexcept {
  if (!started_) return;
  ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), INFINITE);
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  started_ = false;
}

// ------------------------------------------------------------ directories

namespace {

// The longest name the plugin gives a temporary file ("quorvane$" or
// "quorvane.", ten digits, ".$$$").
constexpr std::size_t kLongestTemporaryName = 23;

// `directory` with a trailing separator when temporary files can be made in
// it: it exists, and a temporary name still fits the classic path limit.
// Otherwise empty.
Path UsableTempDirectory(const Path& directory) {
  if (directory.empty()) return {};
  Path result = WithTrailingSeparator(directory);
  if (result.size() + kLongestTemporaryName >= MAX_PATH || KindOf(result) != FileKind::kDirectory) return {};
  return result;
}

// `directory` + `below`, or nothing when `directory` is not known.
Path Below(const Path& directory, const wchar_t* below) { return directory.empty() ? directory : directory + below; }

Path EnvironmentVariable(const wchar_t* name) {
  return Filled([name](wchar_t* buffer, DWORD size) { return ::GetEnvironmentVariableW(name, buffer, size); });
}

}  // namespace

std::string EnvironmentValue(const char* name) { return Narrow(EnvironmentVariable(Widen(name, CP_UTF8).c_str()), CP_UTF8); }

// The system's choice comes first (%TMP%, %TEMP%, ...).  When it fails (a
// %TEMP% longer than the path limit makes GetTempPathW fail), or names no
// folder, the Windows folder's Temp is next, then the user profile's; the
// current folder only when none of them exists.
Path TempDirectory() {
  const Path candidates[] = {
      Filled([](wchar_t* buffer, DWORD size) { return ::GetTempPathW(size, buffer); }),
      Below(Filled([](wchar_t* buffer, DWORD size) { return ::GetWindowsDirectoryW(buffer, size); }), L"\\Temp"),
      Below(EnvironmentVariable(L"LOCALAPPDATA"), L"\\Temp"),
      Below(EnvironmentVariable(L"USERPROFILE"), L"\\AppData\\Local\\Temp"),
  };
  for (const Path& candidate : candidates) {
    if (Path usable = UsableTempDirectory(candidate); !usable.empty()) return usable;
  }
  return WithTrailingSeparator(AbsolutePath(L"."));
}

Path ModuleDirectory() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleDirectory), &module)) {
    return L"\\";
  }
  // The module's path may be longer than MAX_PATH; the call cuts it short
  // silently, so the buffer grows until it fits.
  std::wstring file(MAX_PATH + 1, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(module, file.data(), static_cast<DWORD>(file.size()));
    if (length == 0) return L"\\";
    if (length < file.size()) {
      file.resize(length);
      break;
    }
    if (file.size() >= 32768) return L"\\";
    file.resize(file.size() * 2);
  }
  Path directory = DirectoryPart(file);
  return directory.empty() ? Path(L"\\") : directory;
}

// ------------------------------------------------------------- libraries

Path CompressionLibraryPath(const Path& module_directory) { return module_directory + L"lib64.dll"; }

LibraryHandle LoadLibrary(const Path& path) noexcept {
  // A damaged lib64.dll must not bring up the system's error box; the
  // caller reports the missing library itself.
  DWORD old_mode = 0;
  bool changed = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode) != 0;
  HMODULE library = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (changed) ::SetThreadErrorMode(old_mode, nullptr);
  return reinterpret_cast<LibraryHandle>(library);
}

void FreeLibrary(LibraryHandle library) noexcept {
  if (library) ::FreeLibrary(static_cast<HMODULE>(library));
}

void* LibraryFunction(LibraryHandle library, const char* name) noexcept {
  if (!library || faults::Hit(faults::kLookup)) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

// ----------------------------------------------------------------- locks

static_assert(sizeof(SRWLOCK) == sizeof(void*), "Mutex keeps an SRWLOCK in a pointer");

void Mutex::lock() noexcept { ::AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

void Mutex::unlock() noexcept { ::ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

bool Mutex::try_lock() noexcept { return ::TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)) != 0; }

static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*), "ConditionVariable keeps one in a pointer");

void ConditionVariable::notify_one() noexcept { ::WakeConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&state_)); }

void ConditionVariable::notify_all() noexcept {
  ::WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&state_));
}

void ConditionVariable::wait(std::unique_lock<Mutex>& lock) noexcept {
  ::SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&state_),
                              reinterpret_cast<PSRWLOCK>(&lock.mutex()->state_), INFINITE, 0);
}

std::cv_status ConditionVariable::wait_for(std::unique_lock<Mutex>& lock,
                                           std::chrono::milliseconds timeout) noexcept {
  const auto ms = static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1));
  return ::SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&state_),
                                     reinterpret_cast<PSRWLOCK>(&lock.mutex()->state_), ms, 0)
             ? std::cv_status::no_timeout
             : std::cv_status::timeout;
}

// ----------------------------------------------------------- message box

void ShowSystemMessage(const std::string& text, const std::string& caption) noexcept {
  try {
    // No parent window is known: task-modal keeps the host's windows from
    // going on while the message is up.
    ::MessageBoxW(nullptr, Widen(text, CP_ACP).c_str(), Widen(caption, CP_ACP).c_str(), MB_OK | MB_TASKMODAL);
  } catch (...) {
    // Nowhere left to report to.
  }
}

}  // namespace platform
