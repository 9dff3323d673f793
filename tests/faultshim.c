/* Fault injection for build tests, loaded with LD_PRELOAD into a child interpreter.
 *
 * Fails one kind of system call on the build's temporary file:
 *   FAULT_CALL    open | write | pwrite | fsync | rename | close
 *   FAULT_ERRNO   the errno to fail with (decimal)
 *   FAULT_MATCH   path suffix that marks the temporary file (open: its path; rename:
 *                 the source path); write, pwrite, fsync and close act on descriptors
 *                 opened with a matching path only
 *   FAULT_SKIP    matching calls to let through before the first failure (default 0)
 *   FAULT_TIMES   matching calls to fail after that (default 1, -1 for all)
 *   FAULT_REPORT  file that gets one line "<call> <errno>" per injected failure
 *   FAULT_SIGNAL  a signal number: instead of failing, the matching call sends it to
 *                 the process and then runs, as when Ctrl-C comes in the middle of it
 * A failed close still closes the descriptor, as Linux does. Every other call passes
 * through unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_TRACKED_FD 4096

static int tracked[MAX_TRACKED_FD];
static int skip_left = -1; /* -1 until the configuration is read */
static int fail_left;

static void *real(const char *name) {
  void *fn = dlsym(RTLD_NEXT, name);
  if (fn == NULL) abort();
  return fn;
}

static void load_config(void) {
  if (skip_left >= 0) return;
  const char *skip = getenv("FAULT_SKIP");
  const char *times = getenv("FAULT_TIMES");
  skip_left = skip ? atoi(skip) : 0;
  fail_left = times ? atoi(times) : 1;
}

static int matches(const char *path) {
  const char *suffix = getenv("FAULT_MATCH");
  if (suffix == NULL || path == NULL) return 0;
  size_t n = strlen(path), m = strlen(suffix);
  return n >= m && strcmp(path + n - m, suffix) == 0;
}

static int is_tracked(int fd) { return fd >= 0 && fd < MAX_TRACKED_FD && tracked[fd]; }

static void report(const char *call, int err) {
  const char *file = getenv("FAULT_REPORT");
  if (file == NULL) return;
  int (*real_open)(const char *, int, ...) = real("open");
  ssize_t (*real_write)(int, const void *, size_t) = real("write");
  int (*real_close)(int) = real("close");
  int fd = real_open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[64];
  int len = snprintf(line, sizeof line, "%s %d\n", call, err);
  if (real_write(fd, line, (size_t)len) < 0) { /* best effort */ }
  real_close(fd);
}

/* True when this call of `call` is to fail; sets errno for it. With FAULT_SIGNAL, sends
 * the signal instead and lets the call run. */
static int inject(const char *call) {
  const char *which = getenv("FAULT_CALL");
  if (which == NULL || strcmp(which, call) != 0) return 0;
  load_config();
  if (skip_left > 0) {
    --skip_left;
    return 0;
  }
  if (fail_left == 0) return 0;
  if (fail_left > 0) --fail_left;
  const char *sig = getenv("FAULT_SIGNAL");
  if (sig != NULL) {
    report(call, 0);
    raise(atoi(sig));
    return 0;
  }
  const char *err = getenv("FAULT_ERRNO");
  int code = err ? atoi(err) : EIO;
  report(call, code);
  errno = code;
  return 1;
}

static int opened(int fd, const char *path) {
  if (fd >= 0 && fd < MAX_TRACKED_FD) tracked[fd] = matches(path);
  return fd;
}

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);

static int do_open(const char *name, const char *path, int flags, mode_t mode) {
  if (matches(path) && inject("open")) return -1;
  return opened(((open_fn)real(name))(path, flags, mode), path);
}

static int do_openat(const char *name, int dirfd, const char *path, int flags, mode_t mode) {
  if (matches(path) && inject("open")) return -1;
  return opened(((openat_fn)real(name))(dirfd, path, flags, mode), path);
}

#define MODE_ARG(flags, mode)                          \
  mode_t mode = 0;                                     \
  if ((flags) & (O_CREAT | O_TMPFILE)) {               \
    va_list ap;                                        \
    va_start(ap, flags);                               \
    mode = (mode_t)va_arg(ap, int);                    \
    va_end(ap);                                        \
  }

int open(const char *path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_open("open", path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_open("open64", path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_openat("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_openat("openat64", dirfd, path, flags, mode);
}

/* The fortified forms, for code built with _FORTIFY_SOURCE. */
int __open_2(const char *path, int flags) { return do_open("open", path, flags, 0); }
int __open64_2(const char *path, int flags) { return do_open("open64", path, flags, 0); }

ssize_t write(int fd, const void *buf, size_t n) {
  static ssize_t (*real_write)(int, const void *, size_t);
  if (real_write == NULL) real_write = real("write");
  if (is_tracked(fd) && inject("write")) return -1;
  return real_write(fd, buf, n);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t offset) {
  static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);
  if (real_pwrite == NULL) real_pwrite = real("pwrite");
  if (is_tracked(fd) && inject("pwrite")) return -1;
  return real_pwrite(fd, buf, n, offset);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t offset) {
  static ssize_t (*real_pwrite64)(int, const void *, size_t, off_t);
  if (real_pwrite64 == NULL) real_pwrite64 = real("pwrite64");
  if (is_tracked(fd) && inject("pwrite")) return -1;
  return real_pwrite64(fd, buf, n, offset);
}

int fsync(int fd) {
  static int (*real_fsync)(int);
  if (real_fsync == NULL) real_fsync = real("fsync");
  if (is_tracked(fd) && inject("fsync")) return -1;
  return real_fsync(fd);
}

int close(int fd) {
  static int (*real_close)(int);
  if (real_close == NULL) real_close = real("close");
  if (!is_tracked(fd)) return real_close(fd);
  tracked[fd] = 0;
  int failing = inject("close");
  int saved = errno;
  int r = real_close(fd);
  if (!failing) return r;
  errno = saved;
  return -1;
}

int rename(const char *from, const char *to) {
  static int (*real_rename)(const char *, const char *);
  if (real_rename == NULL) real_rename = real("rename");
  if (matches(from) && inject("rename")) return -1;
  return real_rename(from, to);
}
