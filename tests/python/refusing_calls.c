/* Preloaded into a child (LD_PRELOAD) to make the system refuse what a
 * test needs refused, where no real file system would on demand:
 *   REFUSE_FALLOCATE=N   every fallocate fails with errno N;
 *   FAIL_WRITES_TO=INODE writes to the file with that inode fail once 1 MiB
 *                        of it is written: with errno FAIL_WRITES_WITH (EIO
 *                        if unset), and only the first time if
 *                        FAIL_WRITES_ONCE is set.
 * Everything else goes to the real calls. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static const off_t kWritesBeforeFailing = 1 << 20;

typedef int (*fallocate_call)(int, int, off_t, off_t);
typedef ssize_t (*write_call)(int, const void*, size_t);

static int refuse_fallocate(int fd, int mode, off_t offset, off_t length, const char* name) {
  const char* refusal = getenv("REFUSE_FALLOCATE");
  if (refusal != NULL) {
    errno = atoi(refusal);
    return -1;
  }
  fallocate_call real = (fallocate_call)dlsym(RTLD_NEXT, name);
  return real(fd, mode, offset, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  return refuse_fallocate(fd, mode, offset, length, "fallocate");
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
  return refuse_fallocate(fd, mode, offset, length, "fallocate64");
}

static int failed_writes = 0;

ssize_t write(int fd, const void* bytes, size_t count) {
  const char* failing = getenv("FAIL_WRITES_TO");
  struct stat st;
  if (failing != NULL && fstat(fd, &st) == 0 && st.st_ino == (ino_t)strtoull(failing, NULL, 10) &&
      lseek(fd, 0, SEEK_CUR) >= kWritesBeforeFailing &&
      !(failed_writes > 0 && getenv("FAIL_WRITES_ONCE") != NULL)) {
    const char* error = getenv("FAIL_WRITES_WITH");
    ++failed_writes;
    errno = error != NULL ? atoi(error) : EIO;
    return -1;
  }
  write_call real = (write_call)dlsym(RTLD_NEXT, "write");
  return real(fd, bytes, count);
}
