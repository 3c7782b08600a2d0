// A bare-bones host, built for both systems from this one file, that packs a
// file or extracts an archive through a given build of the plugin.  The
// cross-platform test drives a Linux and a Windows copy of it so that an
// archive made on one system is unpacked on the other.
//
//   windows_interop_host pack    <plugin> <source-file> <archive>
//   windows_interop_host extract <plugin> <archive> <output-file>
//
// Exit status 0 on success; otherwise the plugin's result code (or 100+ for
// a problem of the host itself) with a line on standard error.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define QV_STDCALL __stdcall
#else
#include <dlfcn.h>
#define QV_STDCALL
#endif

namespace {

using OpenArchiveFn = void*(QV_STDCALL*)(void*);
using ReadHeaderFn = int(QV_STDCALL*)(void*, void*);
using ProcessFileFn = int(QV_STDCALL*)(void*, int, char*, char*);
using CloseArchiveFn = int(QV_STDCALL*)(void*);
using PackFilesFn = int(QV_STDCALL*)(char*, char*, char*, char*, int);

int Fail(int code, const std::string& what) {
  std::fprintf(stderr, "windows_interop_host: %s\n", what.c_str());
  return code;
}

// Paths arrive in Linux form from the test script; under Wine the root of
// the Linux file system is drive Z:.
std::string NativePath(std::string path) {
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return path;
}

void* Load(const std::string& path) {
#ifdef _WIN32
  return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

void* Function(void* module, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
  return dlsym(module, name);
#endif
}

template <typename Fn>
Fn Resolve(void* module, const char* name) {
  return reinterpret_cast<Fn>(Function(module, name));
}

int Pack(void* plugin, const std::string& source, std::string archive) {
  auto pack_files = Resolve<PackFilesFn>(plugin, "PackFiles");
  if (!pack_files) return Fail(101, "PackFiles is missing");
  std::size_t cut = source.find_last_of("\\/");
  std::string directory = cut == std::string::npos ? std::string() : source.substr(0, cut);
  std::vector<char> add_list(source.begin() + static_cast<std::ptrdiff_t>(cut + 1), source.end());
  add_list.push_back('\0');
  add_list.push_back('\0');
  int result = pack_files(archive.data(), nullptr, directory.data(), add_list.data(), 0);
  return result == 0 ? 0 : Fail(result, "PackFiles answered " + std::to_string(result));
}

int Extract(void* plugin, std::string archive, std::string output) {
  auto open_archive = Resolve<OpenArchiveFn>(plugin, "OpenArchive");
  auto read_header = Resolve<ReadHeaderFn>(plugin, "ReadHeader");
  auto process_file = Resolve<ProcessFileFn>(plugin, "ProcessFile");
  auto close_archive = Resolve<CloseArchiveFn>(plugin, "CloseArchive");
  if (!open_archive || !read_header || !process_file || !close_archive) {
    return Fail(101, "an entry point of the reading side is missing");
  }
  alignas(8) unsigned char open_record[64] = {};
  char* name = archive.data();
  std::memcpy(open_record, &name, sizeof name);
  void* handle = open_archive(open_record);
  std::int32_t open_result;
  std::memcpy(&open_result, open_record + 12, sizeof open_result);
  if (!handle) return Fail(open_result, "OpenArchive refused the archive with " + std::to_string(open_result));

  alignas(8) unsigned char header[576] = {};
  int result = read_header(handle, header);
  if (result != 0) {
    close_archive(handle);
    return Fail(result, "ReadHeader answered " + std::to_string(result));
  }
  std::printf("stored name: %s\n", reinterpret_cast<const char*>(header + 260));
  result = process_file(handle, 2, nullptr, output.data());
  if (result == 0 && read_header(handle, header) != 10) result = 102;
  close_archive(handle);
  return result == 0 ? 0 : Fail(result, "extraction answered " + std::to_string(result));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[1], "pack") != 0 && std::strcmp(argv[1], "extract") != 0)) {
    return Fail(100, "usage: pack|extract <plugin> <input> <output>");
  }
  void* plugin = Load(NativePath(argv[2]));
  if (!plugin) return Fail(100, std::string("cannot load ") + argv[2]);
  if (std::strcmp(argv[1], "pack") == 0) return Pack(plugin, NativePath(argv[3]), NativePath(argv[4]));
  return Extract(plugin, NativePath(argv[3]), NativePath(argv[4]));
}
