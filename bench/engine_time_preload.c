/*
 * engine_time_preload.c - times the engine calls of a mailward check from
 * inside the process (check_bench.sh loads it with LD_PRELOAD into the
 * mailward program).
 *
 * It defines AV_CheckFile and AV_CheckBuffer (the scans of parts in memory)
 * ahead of the engine library, passes every call on to the real function
 * and adds up the time spent in it. The engine library
 * is loaded with the mailward library (dlopen'ed by the program, so not in
 * the global scope): the real function is looked up through that library's
 * handle, not RTLD_NEXT.
 *
 * The check bench compares a check's "steady" time (first callback to last)
 * with the engine's share of the same run, so the engine time is also kept
 * from the second mail on: file calls on a path whose file name is not the scan
 * file of parts (MAILWARD_ENGINE_TIME_SCAN_FILE, default
 * "mailward-scan.tmp") are the whole-mail scans that open each mail, and
 * the worker checks the mails one after another.
 *
 * At exit one line "calls total_seconds steady_seconds" is appended to the
 * file named by MAILWARD_ENGINE_TIME_OUT (nothing is written without it).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef int (*check_file_fn)(const char*);

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
typedef int (*check_buffer_fn)(const void*, size_t, const char*);

static check_file_fn g_real;
static check_buffer_fn g_realBuffer;
static long g_calls;
static long g_mails; /* whole-mail scans seen so far */
static double g_total;
static double g_steady;

static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static check_file_fn real_check_file(void) {
    pthread_mutex_lock(&g_lock);
    if (g_real == NULL) {
        void* lib = dlopen("libvaveriz.so", RTLD_NOLOAD | RTLD_LAZY);
        if (lib != NULL) {
            g_real = (check_file_fn)dlsym(lib, "AV_CheckFile");
            g_realBuffer = (check_buffer_fn)dlsym(lib, "AV_CheckBuffer");
        }
    }
    pthread_mutex_unlock(&g_lock);
    return g_real;
}

static int is_scan_file(const char* path) {
    const char* name = getenv("MAILWARD_ENGINE_TIME_SCAN_FILE");
    if (name == NULL)
        name = "mailward-scan.tmp";
    const char* base = strrchr(path, '/');
    base = base != NULL ? base + 1 : path;
    return strcmp(base, name) == 0;
}

/* Adds one engine call of `spent` seconds; `mail` for a whole-mail scan. */
static void count_call(double spent, int mail) {
    pthread_mutex_lock(&g_lock);
    ++g_calls;
    g_total += spent;
    if (mail)
        ++g_mails;
    if (g_mails >= 2)
        g_steady += spent;
    pthread_mutex_unlock(&g_lock);
}

/* Exported although the project builds with hidden symbols by default. */
__attribute__((visibility("default"))) int AV_CheckFile(const char* path) {
    check_file_fn real = real_check_file();
    if (real == NULL)
        return -1;
    const double start = now_seconds();
    const int result = real(path);
    count_call(now_seconds() - start, path != NULL && !is_scan_file(path));
    return result;
}

__attribute__((visibility("default"))) int AV_CheckBuffer(const void* data, size_t size,
                                                          const char* name) {
    real_check_file();
    check_buffer_fn real = g_realBuffer;
    if (real == NULL)
        return -1;
    const double start = now_seconds();
    const int result = real(data, size, name);
    count_call(now_seconds() - start, 0);
    return result;
}

__attribute__((destructor)) static void report(void) {
    const char* out = getenv("MAILWARD_ENGINE_TIME_OUT");
    if (out == NULL)
        return;
    FILE* f = fopen(out, "a");
    if (f == NULL)
        return;
    fprintf(f, "%ld %.6f %.6f\n", g_calls, g_total, g_steady);
    fclose(f);
}
