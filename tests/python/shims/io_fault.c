/*
 * An LD_PRELOAD shim that makes chosen I/O calls of one process fail, for
 * the fault-injection tests. Nothing happens unless ROWMEND_FAULT_CALL is
 * set; then only calls on files whose path matches ROWMEND_FAULT_PATH (an
 * fnmatch pattern, matched against the descriptor's /proc/self/fd link for
 * read, write and fsync, and against the source path for rename) misbehave:
 *
 *   ROWMEND_FAULT_CALL   read | write | fsync | rename
 *   ROWMEND_FAULT_PATH   pattern of the affected file
 *   ROWMEND_FAULT_AFTER  bytes that matching reads or writes still transfer,
 *                        counted over all matching descriptors (default 0);
 *                        the call that reaches the limit is cut short there
 *   ROWMEND_FAULT_ERRNO  the errno of the failure; 0 (the default) makes a
 *                        write report zero bytes written instead of failing
 *
 * Once the limit is reached every further matching call fails the same way,
 * so a best-effort retry fails too. fsync and rename need a non-zero errno.
 *
 * Independently, ROWMEND_WATCH_PATH (another pattern) counts the reads and
 * writes on matching files that came back interrupted (EINTR), which tells a
 * test that signals really did cut into the module's I/O.
 *
 * When the process exits, the number of calls made to fail and the number of
 * interrupted calls seen are written to the file named by
 * ROWMEND_FAULT_REPORT, if set, so that a test can tell the fault was hit.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static const char* fault_call;
static const char* fault_path;
static const char* watch_path;
static size_t fault_after;
static int fault_errno;
static size_t transferred;
static unsigned long injected;
static unsigned long interrupted;

static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_write)(int, const void*, size_t);
static int (*real_fsync)(int);
static int (*real_rename)(const char*, const char*);

static void report(void) {
    const char* target = getenv("ROWMEND_FAULT_REPORT");
    if (target == NULL)
        return;
    int fd = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char text[64];
    int size = snprintf(text, sizeof text, "%lu %lu\n", injected, interrupted);
    if (size > 0)
        (void)real_write(fd, text, (size_t)size);
    close(fd);
}

__attribute__((constructor)) static void load(void) {
    real_read = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    real_rename = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    fault_call = getenv("ROWMEND_FAULT_CALL");
    fault_path = getenv("ROWMEND_FAULT_PATH");
    watch_path = getenv("ROWMEND_WATCH_PATH");
    const char* after = getenv("ROWMEND_FAULT_AFTER");
    const char* code = getenv("ROWMEND_FAULT_ERRNO");
    fault_after = after != NULL ? (size_t)strtoull(after, NULL, 10) : 0;
    fault_errno = code != NULL ? atoi(code) : 0;
    if (fault_call != NULL || watch_path != NULL)
        atexit(report);
}

static int fd_path(int fd, char* path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, path, size - 1);
    if (length < 0)
        return 0;
    path[length] = '\0';
    return 1;
}

static int affects(const char* call, int fd) {
    if (fault_call == NULL || strcmp(fault_call, call) != 0 || fd <= 2 || fault_path == NULL)
        return 0;
    char path[PATH_MAX];
    return fd_path(fd, path, sizeof path) && fnmatch(fault_path, path, 0) == 0;
}

/* Counts a call on a watched file that a signal interrupted. */
static void watch(int fd, ssize_t result) {
    if (watch_path == NULL || result >= 0 || errno != EINTR || fd <= 2)
        return;
    const int saved = errno;
    char path[PATH_MAX];
    if (fd_path(fd, path, sizeof path) && fnmatch(watch_path, path, 0) == 0)
        ++interrupted;
    errno = saved;
}

static ssize_t fail(void) {
    ++injected;
    errno = fault_errno;
    return fault_errno == 0 ? 0 : -1;
}

/* How many of `count` bytes the call may still transfer; 0 means fail it. */
static size_t allowance(size_t count) {
    size_t left = fault_after > transferred ? fault_after - transferred : 0;
    return count < left ? count : left;
}

ssize_t read(int fd, void* buffer, size_t count) {
    if (count == 0 || !affects("read", fd)) {
        ssize_t done = real_read(fd, buffer, count);
        watch(fd, done);
        return done;
    }
    size_t allowed = allowance(count);
    if (allowed == 0)
        return fail();
    ssize_t done = real_read(fd, buffer, allowed);
    if (done > 0)
        transferred += (size_t)done;
    return done;
}

ssize_t write(int fd, const void* buffer, size_t count) {
    if (count == 0 || !affects("write", fd)) {
        ssize_t done = real_write(fd, buffer, count);
        watch(fd, done);
        return done;
    }
    size_t allowed = allowance(count);
    if (allowed == 0)
        return fail();
    ssize_t done = real_write(fd, buffer, allowed);
    if (done > 0)
        transferred += (size_t)done;
    return done;
}

int fsync(int fd) {
    if (!affects("fsync", fd))
        return real_fsync(fd);
    return (int)fail();
}

int rename(const char* from, const char* to) {
    if (fault_call == NULL || strcmp(fault_call, "rename") != 0 || fault_path == NULL ||
        fnmatch(fault_path, from, 0) != 0) {
        return real_rename(from, to);
    }
    return (int)fail();
}
