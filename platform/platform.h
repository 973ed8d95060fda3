/*
 * platform.h - the operating-system calls mailward itself makes, behind one
 * small interface (POSIX in platform_posix.cpp, Win32 in platform_win32.cpp).
 *
 * Paths: the library composes paths with pf_path_sep() between directory and
 * name ('\\' on Windows, '/' on POSIX). PF_MAX_PATH is the platform's path
 * buffer size (260 on Windows, PATH_MAX on POSIX); a composed path that does
 * not fit is refused, never cut.
 *
 * Files: results are true/false; on failure pf_last_error() gives the
 * system's error code for WINError2str.
 *
 * Threads: pf_thread_create_suspended makes a thread that does not run until
 * pf_thread_resume; pf_thread_wait waits at most `ms` milliseconds for its
 * end (true when it ended); pf_thread_close releases the handle (a thread
 * still running is detached and goes on).
 */
#ifndef MAILWARD_PLATFORM_H
#define MAILWARD_PLATFORM_H

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#define PF_MAX_PATH 260
#else
#include <climits>
#define PF_MAX_PATH PATH_MAX
#endif

namespace pf {

char path_sep();
bool file_exists(const char* path);  // attributes can be read
bool is_directory(const char* path);
bool copy_file(const char* from, const char* to);  // overwrites `to`
bool delete_file(const char* path);
// Replaces `to` by `from` in one step (rename / MoveFileEx with replace).
bool replace_file(const char* from, const char* to);
bool make_dirs(const char* path);  // like mkdir -p; true when it exists after
// Creates a new file exclusively with owner-only permissions; the result is a
// FILE* opened "wb", or null (also when the path already exists).
std::FILE* create_exclusive(const char* path);
unsigned long last_error();
void sleep_ms(unsigned ms);

// _splitpath: drive ("" on POSIX), directory (with its trailing separator),
// file name without extension, extension with its dot ("" when none). The
// extension starts at the last '.' of the last path component.
struct SplitPath {
    std::string drive, dir, name, ext;
};
SplitPath split_path(const char* path);

char* strdup(const char* s);  // malloc'ed copy; null for null
int stricmp(const char* a, const char* b);
int strnicmp(const char* a, const char* b, std::size_t n);

// Threads.
using thread_fn = void (*)(void* arg);
struct Thread;  // opaque
Thread* thread_create_suspended(thread_fn fn, void* arg, std::uint32_t* id);
bool thread_resume(Thread* t);
bool thread_wait(Thread* t, unsigned ms);
void thread_close(Thread* t);

}  // namespace pf

#endif
