// Stand-ins for libbz2.so.1.0, to put beside a copy of the plugin.
//
// QV_FAKE_FORWARDING: five functions that really work (they hand over to the
// system's library) and no BZ2_bzDecompressEnd, so a binding that looked up
// only what it was about to call would get far and then call a null pointer.
// QV_FAKE_OTHER_BLOCKS: all six, handed over, but compressing with smaller
// blocks than asked: at level 9 only (QV_FAKE_OTHER_BLOCKS=9), or at every
// level (=1), as a library whose input stage differs would.
// Otherwise: only the four init and end functions, which pretend to succeed,
// so the coding calls themselves are missing.
#include <dlfcn.h>

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

#if defined(QV_FAKE_FORWARDING) || defined(QV_FAKE_OTHER_BLOCKS)

namespace {
void* Real(const char* name) {
  static void* const library = dlopen("libbz2.so.1.0", RTLD_NOW | RTLD_LOCAL);
  return library != nullptr ? dlsym(library, name) : nullptr;
}

template <typename Function>
Function RealFunction(const char* name) {
  return reinterpret_cast<Function>(Real(name));
}

constexpr int kConfigError = -9;

#ifdef QV_FAKE_OTHER_BLOCKS
int BlockSize(int asked) {
  if (asked == 9 || QV_FAKE_OTHER_BLOCKS == 1) return asked == 1 ? 2 : asked - 1;
  return asked;
}
#else
int BlockSize(int asked) { return asked; }
#endif
}  // namespace

QV_EXPORT int BZ2_bzCompressInit(void* strm, int block_size, int verbosity, int work_factor) {
  const auto real = RealFunction<int (*)(void*, int, int, int)>("BZ2_bzCompressInit");
  return real != nullptr ? real(strm, BlockSize(block_size), verbosity, work_factor) : kConfigError;
}
QV_EXPORT int BZ2_bzCompress(void* strm, int action) {
  const auto real = RealFunction<int (*)(void*, int)>("BZ2_bzCompress");
  return real != nullptr ? real(strm, action) : kConfigError;
}
QV_EXPORT int BZ2_bzCompressEnd(void* strm) {
  const auto real = RealFunction<int (*)(void*)>("BZ2_bzCompressEnd");
  return real != nullptr ? real(strm) : kConfigError;
}
QV_EXPORT int BZ2_bzDecompressInit(void* strm, int verbosity, int small) {
  const auto real = RealFunction<int (*)(void*, int, int)>("BZ2_bzDecompressInit");
  return real != nullptr ? real(strm, verbosity, small) : kConfigError;
}
QV_EXPORT int BZ2_bzDecompress(void* strm) {
  const auto real = RealFunction<int (*)(void*)>("BZ2_bzDecompress");
  return real != nullptr ? real(strm) : kConfigError;
}
#ifdef QV_FAKE_OTHER_BLOCKS
QV_EXPORT int BZ2_bzDecompressEnd(void* strm) {
  const auto real = RealFunction<int (*)(void*)>("BZ2_bzDecompressEnd");
  return real != nullptr ? real(strm) : kConfigError;
}
#endif

#else

QV_EXPORT int BZ2_bzCompressInit(void*, int, int, int) { return 0; }
QV_EXPORT int BZ2_bzCompressEnd(void*) { return 0; }
QV_EXPORT int BZ2_bzDecompressInit(void*, int, int) { return 0; }
QV_EXPORT int BZ2_bzDecompressEnd(void*) { return 0; }

#endif
