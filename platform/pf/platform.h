/*
 * platform.h - the operating-system calls mailward itself makes, behind one
 * small interface (namespace pf). platform_common.cpp holds what is the same
 * everywhere (path splitting, string helpers); platform_posix.cpp and
 * platform_win32.cpp hold the system calls.
 *
 * Paths: the library composes paths with pf::path_sep() between directory and
 * name ('\\' on Windows, '/' on POSIX). PF_MAX_PATH is the platform's path
 * buffer size (260 on Windows, PATH_MAX on POSIX), counting the terminating
 * NUL; a composed path that does not fit (pf::path_fits false) is refused,
 * never cut.
 *
 * Files: results are true/false (or a FILE* / null); on failure
 * pf::last_error() gives the system's error code (errno on POSIX,
 * GetLastError on Windows) for WINError2str. Null path arguments fail with
 * the system's "invalid argument" code; nothing here crashes on them.
 *   file_exists     the path names anything whose attributes can be read
 *                   (file or directory).
 *   is_directory    the path names a directory.
 *   copy_file       copies the bytes of `from` over `to` (created or
 *                   replaced). Copying a file onto itself fails and leaves
 *                   it as it was. A copy that fails part-way leaves no
 *                   partial `to` behind on POSIX.
 *   delete_file     removes a file (never a directory).
 *   replace_file    renames `from` to `to` in one step, replacing `to`; when
 *                   it fails both files stay as they were. Both paths must be
 *                   on one file system / volume.
 *   make_dirs       like mkdir -p; true when the directory exists afterwards.
 *   create_exclusive  a new file, refused when the name exists (also as a
 *                   dangling link), readable and writable only by its owner;
 *                   the result is a FILE* opened "wb" (bytes are written as
 *                   given: no LF to CR LF translation), or null.
 *   create_replacing  create_exclusive, but a file (or a link) already under
 *                   the name is removed first and never written through;
 *                   the common case, a free name, costs one system call.
 *   copy_to_new_file  copy_file into a new file made like create_exclusive
 *                   (never over or through anything under the name; a
 *                   failed copy leaves nothing behind).
 *   Every file opened for reading (InputFile, copy_file, copy_to_new_file)
 *   is opened without waiting (a FIFO or a device cannot block the open)
 *   and tested before any byte is read: anything but a regular file fails
 *   (EISDIR for a folder, EINVAL for the rest on POSIX;
 *   ERROR_INVALID_PARAMETER on Windows). copy_file's target must be a
 *   regular file too when it exists.
 *   make_private_dir  a new folder <parent>/<prefix><random letters> that
 *                   only its owner may use (POSIX 0700; Windows: a DACL of
 *                   the owner alone), made exclusively: never an existing
 *                   folder or a link. remove_dir removes an empty folder.
 *   make_private_dirs make_dirs, but the folders it makes are owner-only.
 *   is_private_dir  the path is a folder (not a link to one) of this
 *                   process's user that no one else may write into (POSIX:
 *                   owner is the effective user, no group or other write
 *                   bit; Windows: a folder).
 *   random_name     letters and digits from the system's random source.
 *   set_fault_hooks test seam: every block that copy_file and
 *                   copy_to_new_file write passes the hook first; false
 *                   fails the write as a full disk would (ENOSPC /
 *                   ERROR_DISK_FULL). Process-wide; set it while nothing is
 *                   copied.
 *   take_access     gives a closed file of ours (a temporary file about to
 *                   replace `target`) the access rights a file written in
 *                   place at `target` would have: those of the file there
 *                   now, or when there is none those of a new file there
 *                   (POSIX: 0666 less the umask; Windows: the folder's
 *                   inherited permissions). Owner and group stay ours.
 *
 * Threads: thread_create_suspended makes a thread that does not run `fn`
 * until thread_resume; the 32-bit id is never 0. thread_wait waits at most
 * `ms` milliseconds (PF_WAIT_FOREVER: without limit) for the end of `fn` and
 * is true when it has ended; it may be called again after a time-out or after
 * the end. thread_close releases the handle: a thread still running is
 * detached and goes on; a thread never resumed ends without calling `fn`.
 * One handle is used by one thread at a time (the owner's calls are not
 * guarded against each other); null handles give false / do nothing.
 *
 * Strings: strdup gives a malloc'ed copy (null for null); stricmp/strnicmp
 * compare ignoring ASCII letter case only (independent of the locale) and
 * order a null string before every other string.
 *
 * Character sets: charset_to_utf8 reads bytes in the character set a mail
 * names (MIME names in any case: "utf-8", "utf-16le", "iso-8859-1",
 * "windows-1252", "utf-7", "koi8-r", "shift_jis", ...) and gives them as
 * UTF-8: iconv on POSIX, the system's code pages on Windows. A "utf-16" or
 * "utf-32" text without a byte order mark is read big-endian (RFC 2781); a
 * byte order mark never stands in the result. False (`out` empty) for a
 * charset that is not known here, a name of other characters than letters,
 * digits and "-_.:+" or longer than CHARSET_NAME_MAX, or bytes that are not
 * text of the charset. Any thread may call it.
 */
#ifndef MAILWARD_PLATFORM_H
#define MAILWARD_PLATFORM_H

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(_WIN32)
#define PF_MAX_PATH 260
#else
#include <climits>
#define PF_MAX_PATH PATH_MAX
#endif

// thread_wait: wait until the thread has ended, however long that takes.
#define PF_WAIT_FOREVER 0xFFFFFFFFu

namespace pf {

char path_sep();
// True when `path` fits a path buffer of PF_MAX_PATH characters with its NUL.
inline bool path_fits(const std::string& path) {
    return path.size() < PF_MAX_PATH;
}

bool file_exists(const char* path);  // attributes can be read
bool is_directory(const char* path);
bool copy_file(const char* from, const char* to);  // overwrites `to`
bool delete_file(const char* path);
// Replaces `to` by `from` in one step (rename / MoveFileEx with replace).
bool replace_file(const char* from, const char* to);
// Flushes an open file's buffers and asks the system to put its contents on
// disk (fflush + fdatasync or fsync / FlushFileBuffers), so that a file renamed over a mail
// afterwards never turns up empty after a crash. False when either fails.
bool sync_file(std::FILE* file);
bool make_dirs(const char* path);  // like mkdir -p; true when it exists after
// Creates a new file exclusively with owner-only permissions; the result is a
// FILE* opened "wb", or null (also when the path already exists).
std::FILE* create_exclusive(const char* path);
// create_exclusive after removing what is under the name (see the top).
std::FILE* create_replacing(const char* path);
// See the top of this file; false when the rights could not be read or set.
bool take_access(const char* path, const char* target);
// Copies `from` into a new owner-only file `to` (see the top).
bool copy_to_new_file(const char* from, const char* to);
// <parent>/<prefix><PRIVATE_DIR_RANDOM random characters>, made owner-only and
// exclusively; the path, or "" on failure (last_error says why).
std::string make_private_dir(const char* parent, const char* prefix);
bool make_private_dirs(const char* path);  // make_dirs, new folders owner-only
bool remove_dir(const char* path);         // an empty folder
bool is_private_dir(const char* path);     // ours, writable by us alone
// Something is under the name, of any kind (a dangling link too).
bool name_taken(const char* path);
// `n` characters of [0-9A-Za-z] from the system's random source.
std::string random_name(std::size_t n);
constexpr std::size_t PRIVATE_DIR_RANDOM = 12;

// Test seam for the writes of copy_file / copy_to_new_file (see the top).
struct FaultHooks {
    // Called before `n` bytes are written; false: the write fails.
    bool (*beforeWrite)(std::size_t n, void* user) = nullptr;
    void* user = nullptr;
};
void set_fault_hooks(const FaultHooks* hooks);  // copied; null removes them
// Whether the installed hook lets `n` bytes be written (true without one).
bool write_allowed(std::size_t n);
unsigned long last_error();
void sleep_ms(unsigned ms);

// A file opened for reading from start to end: its size is known once it is
// open, and a directory does not open (on POSIX a folder would open and
// report a length of its own). read() fills `n` bytes, or fewer only at the
// end of the file or on a read error; the file closes with the object.
class InputFile {
  public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool open(const char* path);  // false: no such file, no access, a folder
    std::uint64_t size() const { return m_nSize; }
    // After a failed open: the name was there, but not a regular file (a
    // folder, a FIFO, a device, a link to one of them).
    bool not_regular() const { return m_bNotRegular; }
    std::size_t read(void* buffer, std::size_t n);

  private:
    std::intptr_t m_handle = -1;  // fd on POSIX, HANDLE on Windows
    std::uint64_t m_nSize = 0;
    bool m_bNotRegular = false;
};

// _splitpath: drive ("" on POSIX), directory (with its trailing separator),
// file name without extension, extension with its dot ("" when none). The
// extension starts at the last '.' of the last path component. Separators:
// '/' on POSIX; '\\' and '/' on Windows, where "X:" at the start is the
// drive. A null path gives four empty parts.
struct SplitPath {
    std::string drive, dir, name, ext;
};
SplitPath split_path(const char* path);

// Characters of a charset name charset_to_utf8 accepts.
constexpr std::size_t CHARSET_NAME_MAX = 40;
bool charset_to_utf8(std::string_view charset, std::string_view bytes, std::string& out);
// The system's own converter behind charset_to_utf8 (platform_posix.cpp,
// platform_win32.cpp): `charset` is checked and in lower case.
bool convert_charset(const std::string& charset, std::string_view bytes, std::string& out);

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
