/* Fault injection for tests: an LD_PRELOAD library that makes chosen read(),
 * write() or close() calls on chosen files fail (a full disk, a short write,
 * a failing close), or interrupts a run at a chosen point. Only descriptors
 * opened through open/openat/creat (and their 64 forms) whose path, as
 * passed, matches the fnmatch pattern FAULT_PATH are watched; calls that
 * stdio makes internally are not seen.
 *   FAULT_WRITE_AT      the k-th write() to a watched descriptor (1-based, over
 *                       all of them) misbehaves: FAULT_WRITE_ERRNO 0 makes it
 *                       write nothing and return 0, else return -1 with it
 *   FAULT_READ_AT, FAULT_READ_ERRNO   the same for read()
 *   FAULT_CLOSE_ERRNO   close() of a watched descriptor closes it, then fails
 *   FAULT_FWRITE=1      fwrite() to a watched stream counts as a write too
 *                       (failing with FAULT_WRITE_ERRNO, or ENOSPC for 0)
 * Whatever FAULT_PATH says:
 *   FAULT_KILL_AT       SIGKILL just before the k-th event: a write, fwrite or
 *                       fflush (every log line is one), a creating open,
 *                       remove, unlink, rename, renameat2, mkdir, rmdir or
 *                       symlink
 *   FAULT_EVENTS_FILE   at exit, the number of events is written there
 *   FAULT_HOLD_PATH     patterns separated by ":": an open of a matching path
 *                       waits, in the opening thread only, until "<path>.go"
 *                       exists; FAULT_HOLD_READS=1 holds opens for reading only;
 *                       FAULT_HOLD_MARK=1 first makes "<path>.held", so that a
 *                       test knows when to act
 *   FAULT_SYNCFS_MARK   a file that syncfs() and sync() fsync as well: FUSE
 *                       hands its daemon no syncfs, so the tests' power-cut
 *                       file system (support/powercut_fs.cpp) learns of one so
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FDS 4096

static unsigned char watched[MAX_FDS];

struct fault {
  const char* prefix; /* "FAULT_WRITE" or "FAULT_READ" */
  int loaded;
  long at, err;
  long calls; /* calls on watched descriptors so far */
};

static struct fault write_fault = {"FAULT_WRITE", 0, 0, 0, 0};
static struct fault read_fault = {"FAULT_READ", 0, 0, 0, 0};

static long env_long(const char* prefix, const char* suffix, long fallback) {
  char name[64];
  int i = 0;
  for (const char* p = prefix; *p && i < 40; p++) name[i++] = *p;
  for (const char* p = suffix; *p && i < 62; p++) name[i++] = *p;
  name[i] = '\0';
  const char* v = getenv(name);
  return v != NULL && *v != '\0' ? strtol(v, NULL, 10) : fallback;
}

static void* real(const char* name) { return dlsym(RTLD_NEXT, name); }

static void watch(int fd, const char* path) {
  if (fd < 0 || fd >= MAX_FDS || path == NULL) return;
  const char* pattern = getenv("FAULT_PATH");
  watched[fd] = pattern != NULL && fnmatch(pattern, path, 0) == 0;
}

static long events;

/* Sent to the calling thread, which then dies before its next
 * instruction; a signal to the process may be taken by another thread while
 * this one runs on. A raw system call: a sanitizer runtime would defer a
 * raised signal. */
static void signal_this_thread(int sig) {
  syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), sig);
}

/* One event of the run; dies before the FAULT_KILL_AT-th. The setting is read
 * every time: a sanitizer runtime makes calls before the environment can be
 * read, and a value cached then would be wrong. */
static void event(void) {
  long kill_at = env_long("FAULT_KILL", "_AT", 0);
  long n = __atomic_add_fetch(&events, 1, __ATOMIC_ACQ_REL);
  if (kill_at > 0 && n >= kill_at) signal_this_thread(SIGKILL);
}

__attribute__((destructor)) static void report_events(void) {
  const char* path = getenv("FAULT_EVENTS_FILE");
  if (path == NULL || *path == '\0') return;
  FILE* (*fopen_real)(const char*, const char*) = dlsym(RTLD_NEXT, "fopen");
  FILE* f = fopen_real(path, "w");
  if (f == NULL) return;
  fprintf(f, "%ld\n", events);
  fclose(f);
}

static void maybe_hold(const char* path, int flags) {
  const char* patterns = getenv("FAULT_HOLD_PATH");
  if (patterns == NULL || path == NULL || strlen(path) > 4000) return;
  const char* reads = getenv("FAULT_HOLD_READS");
  if (reads != NULL && *reads == '1' && (flags & O_ACCMODE) != O_RDONLY) return;
  char list[4096];
  snprintf(list, sizeof list, "%s", patterns);
  char* rest = list;
  for (char* p = strsep(&rest, ":"); p != NULL; p = strsep(&rest, ":")) {
    if (fnmatch(p, path, 0) != 0) continue;
    char go[4100];
    const char* mark = getenv("FAULT_HOLD_MARK");
    if (mark != NULL && *mark == '1') {
      snprintf(go, sizeof go, "%s.held", path);
      int fd = (int)syscall(SYS_openat, AT_FDCWD, go, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
    }
    snprintf(go, sizeof go, "%s.go", path);
    while (access(go, F_OK) != 0) usleep(5000);
    return;
  }
}

static void opening(const char* path, int flags) {
  maybe_hold(path, flags);
  if (flags & O_CREAT) event();
}

static int is_watched(int fd) { return fd >= 0 && fd < MAX_FDS && watched[fd]; }

/* True when this call on a watched descriptor is the one that must fail. */
static int strikes(struct fault* f) {
  if (!__atomic_load_n(&f->loaded, __ATOMIC_ACQUIRE)) {
    f->at = env_long(f->prefix, "_AT", 0);
    f->err = env_long(f->prefix, "_ERRNO", 0);
    __atomic_store_n(&f->loaded, 1, __ATOMIC_RELEASE);
  }
  return f->at > 0 && __atomic_add_fetch(&f->calls, 1, __ATOMIC_ACQ_REL) == f->at;
}

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

#define OPEN_LIKE(name)                                                  \
  int name(const char* path, int flags, ...) {                           \
    va_list ap;                                                          \
    va_start(ap, flags);                                                 \
    mode_t mode = mode_arg(flags, ap);                                   \
    va_end(ap);                                                          \
    int (*f)(const char*, int, ...) = real(#name);                       \
    opening(path, flags);                                                \
    int fd = f(path, flags, mode);                                       \
    watch(fd, path);                                                     \
    return fd;                                                           \
  }

#define OPENAT_LIKE(name)                                                \
  int name(int dirfd, const char* path, int flags, ...) {                \
    va_list ap;                                                          \
    va_start(ap, flags);                                                 \
    mode_t mode = mode_arg(flags, ap);                                   \
    va_end(ap);                                                          \
    int (*f)(int, const char*, int, ...) = real(#name);                  \
    opening(path, flags);                                                \
    int fd = f(dirfd, path, flags, mode);                                \
    watch(fd, path);                                                     \
    return fd;                                                           \
  }

#define CREAT_LIKE(name)                                                 \
  int name(const char* path, mode_t mode) {                              \
    int (*f)(const char*, mode_t) = real(#name);                         \
    opening(path, O_CREAT);                                              \
    int fd = f(path, mode);                                              \
    watch(fd, path);                                                     \
    return fd;                                                           \
  }

OPEN_LIKE(open)
OPEN_LIKE(open64)
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)
CREAT_LIKE(creat)
CREAT_LIKE(creat64)

ssize_t write(int fd, const void* buffer, size_t size) {
  static ssize_t (*f)(int, const void*, size_t);
  if (f == NULL) f = real("write");
  event();
  if (is_watched(fd) && strikes(&write_fault)) {
    if (write_fault.err == 0) return 0;
    errno = (int)write_fault.err;
    return -1;
  }
  return f(fd, buffer, size);
}

ssize_t read(int fd, void* buffer, size_t size) {
  static ssize_t (*f)(int, void*, size_t);
  if (f == NULL) f = real("read");
  if (is_watched(fd) && strikes(&read_fault)) {
    errno = (int)read_fault.err;
    return -1;
  }
  return f(fd, buffer, size);
}

int close(int fd) {
  static int (*f)(int);
  if (f == NULL) f = real("close");
  int was_watched = is_watched(fd);
  if (fd >= 0 && fd < MAX_FDS) watched[fd] = 0;
  int rc = f(fd);
  long err = was_watched ? env_long("FAULT_CLOSE", "_ERRNO", 0) : 0;
  if (rc == 0 && err != 0) {
    errno = (int)err;
    return -1;
  }
  return rc;
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  static size_t (*f)(const void*, size_t, size_t, FILE*);
  if (f == NULL) f = real("fwrite");
  event();
  if (env_long("FAULT_FWRITE", "", 0) && is_watched(fileno(stream)) && strikes(&write_fault)) {
    errno = write_fault.err != 0 ? (int)write_fault.err : ENOSPC;
    return 0;
  }
  return f(buffer, size, count, stream);
}

int fflush(FILE* stream) {
  static int (*f)(FILE*);
  if (f == NULL) f = real("fflush");
  event();
  return f(stream);
}

#define PATH_EVENT(name, params, args)      \
  int name params {                         \
    static int(*f) params;                  \
    if (f == NULL) f = real(#name);         \
    event();                                \
    return f args;                          \
  }

PATH_EVENT(remove, (const char* path), (path))
PATH_EVENT(unlink, (const char* path), (path))
PATH_EVENT(rename, (const char* from, const char* to), (from, to))
PATH_EVENT(mkdir, (const char* path, mode_t mode), (path, mode))
PATH_EVENT(rmdir, (const char* path), (path))
PATH_EVENT(symlink, (const char* target, const char* path), (target, path))
PATH_EVENT(renameat2, (int from_dir, const char* from, int to_dir, const char* to, unsigned flags),
           (from_dir, from, to_dir, to, flags))

static void tell_sync(void) {
  const char* mark = getenv("FAULT_SYNCFS_MARK");
  if (mark == NULL || *mark == '\0') return;
  int (*open_real)(const char*, int, ...) = real("open");
  int fd = open_real(mark, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  int (*close_real)(int) = real("close");
  close_real(fd);
}

int syncfs(int fd) {
  static int (*f)(int);
  if (f == NULL) f = real("syncfs");
  int rc = f(fd);
  if (rc == 0) tell_sync();
  return rc;
}

void sync(void) {
  static void (*f)(void);
  if (f == NULL) f = real("sync");
  f();
  tell_sync();
}
