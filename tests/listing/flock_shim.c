/* Preloaded into test programs to give flock() the behaviour of file systems
 * that lock differently from a local disk:
 *   QV_FLOCK_SHIM=nfs     an exclusive lock on a descriptor opened for
 *                         reading fails with EBADF, as on NFS (flock(2), NOTES)
 *   QV_FLOCK_SHIM=nolock  every lock fails with ENOLCK, as where the server
 *                         offers none
 * Anything else leaves flock() alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>

int flock(int fd, int operation) {
  const char* mode = getenv("QV_FLOCK_SHIM");
  if (mode != NULL && strcmp(mode, "nolock") == 0 && !(operation & LOCK_UN)) {
    errno = ENOLCK;
    return -1;
  }
  if (mode != NULL && strcmp(mode, "nfs") == 0 && (operation & LOCK_EX)) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) {
      errno = EBADF;
      return -1;
    }
  }
  int (*real_flock)(int, int) = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
  return real_flock(fd, operation);
}
