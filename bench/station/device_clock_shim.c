// SPDX-License-Identifier: GPL-3.0-or-later
/* Preloaded (LD_PRELOAD) into marvane running with the virtual sound card, to
 * time the card's two sides on CLOCK_MONOTONIC, the clock a measuring script
 * shares with the station:
 *
 *   capture NS FRAMES          each read of capture.wav; the capture device
 *                              reads a block's samples right before it
 *                              completes the block
 *   playback NS OFFSET BYTES   each write of samples to playback.wav, made as
 *                              the playback device plays them
 *
 * one line each, appended to the file named by MARVANE_DEVICE_CLOCK_LOG. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

typedef sf_count_t (*readf_short_fn)(SNDFILE*, short*, sf_count_t);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);

static pthread_once_t once = PTHREAD_ONCE_INIT;
static int log_fd = -1;
static readf_short_fn real_readf_short;
static pwrite_fn real_pwrite;

static void setup(void) {
    real_readf_short = (readf_short_fn)dlsym(RTLD_NEXT, "sf_readf_short");
    real_pwrite = (pwrite_fn)dlsym(RTLD_NEXT, "pwrite");
    const char* path = getenv("MARVANE_DEVICE_CLOCK_LOG");
    if (path && *path) log_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* One line in one write, so lines from two threads never mix. */
static void log_line(const char* line, int length) {
    if (log_fd >= 0 && write(log_fd, line, (size_t)length) < 0) { /* nothing to do */ }
}

sf_count_t sf_readf_short(SNDFILE* file, short* ptr, sf_count_t frames) {
    pthread_once(&once, setup);
    sf_count_t n = real_readf_short(file, ptr, frames);
    char line[64];
    int length = snprintf(line, sizeof line, "capture %lld %lld\n", now_ns(), (long long)n);
    log_line(line, length);
    return n;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    pthread_once(&once, setup);
    long long t = now_ns();
    ssize_t n = real_pwrite(fd, buf, count, offset);
    /* The 44-byte header at offset 0 is not audio. */
    if (offset >= 44 && fd != log_fd) {
        char line[80];
        int length = snprintf(line, sizeof line, "playback %lld %lld %zu\n", t,
                              (long long)offset, count);
        log_line(line, length);
    }
    return n;
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    return pwrite(fd, buf, count, offset);
}
