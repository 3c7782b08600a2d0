/* A stand-in for lib64.dll that has only some of the six bzip2 functions the
   plugin binds, as a damaged or foreign library of that name might.  The
   functions it has fail at once, so a plugin that calls them anyway gets an
   error status rather than a crash. */
__declspec(dllexport) int BZ2_bzCompressInit(void* strm, int block_size, int verbosity, int work_factor) {
  (void)strm; (void)block_size; (void)verbosity; (void)work_factor;
  return -3;
}

__declspec(dllexport) int BZ2_bzDecompressInit(void* strm, int verbosity, int small) {
  (void)strm; (void)verbosity; (void)small;
  return -3;
}
