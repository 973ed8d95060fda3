/*
 * platform_posix.cpp - the system calls of mailward on POSIX (contract in
 * platform.h): files through open/read/write/rename/unlink/mkdir, threads
 * through pthreads.
 *
 * copy_file streams the source through a buffer of COPY_CHUNK bytes, so any
 * file size works with constant memory; it opens the target without
 * truncating, checks that it is not the source itself, and only then cuts it,
 * so a copy onto itself cannot destroy the mail. A copy that fails part-way
 * removes the half-written target rather than leave a short file that looks
 * like a backup. Sources are opened with O_NONBLOCK and tested with fstat
 * before the first read (open_regular), so a FIFO or a device given as a
 * mail fails at once instead of blocking or reading without end.
 *
 * Private folders (make_private_dir) are made with mkdir 0700 under random
 * names; mkdir never follows a link, so a name planted by another user only
 * costs another try.
 *
 * Character sets go through iconv. Each thread keeps the converters of the
 * last CHARSET_CACHE charsets it used (and the names iconv did not know), so
 * that names in the same few charsets cost no iconv_open each.
 *
 * Threads: POSIX has no suspended threads, so each thread waits at a start
 * gate (mutex + condition variable) until thread_resume opens it. The end
 * of the thread's function sets an `ended` flag under the same mutex, which
 * gives thread_wait its time-out; the thread is joined once it has ended and
 * detached when its handle is closed before that. The state is shared by
 * the handle and the thread, and released by whichever lets go of it last
 * (a count of two references; no std::shared_ptr, whose type-tag statics
 * would show up among the library's exported symbols).
 */
#include "pf/platform.h"
#include "pf/text.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace pf {

namespace {

// Bytes moved per read/write pair in copy_file.
constexpr std::size_t COPY_CHUNK = 64 * 1024;
// Directories made by make_dirs get these bits (less the umask), as mkdir -p.
constexpr mode_t DIR_MODE = 0777;
// The exclusive file: owner may read and write, nobody else anything.
constexpr mode_t EXCLUSIVE_MODE = 0600;
// Private folders: the owner alone may list, enter and change them.
constexpr mode_t PRIVATE_DIR_MODE = 0700;
// Random names tried by make_private_dir before it gives up (each clash
// is a one-in-62^12 chance, or a folder full of planted names).
constexpr int PRIVATE_DIR_ATTEMPTS = 100;

// Keeps errno of the failure across the clean-up calls after it.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : m_nSaved(errno) {}
    ~ErrnoKeeper() { errno = m_nSaved; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

  private:
    int m_nSaved;
};

bool write_all(int fd, const char* p, std::size_t n) {
    if (!write_allowed(n)) {
        errno = ENOSPC;
        return false;
    }
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool fail(int code) {
    errno = code;
    return false;
}

// Opens `path` for reading without waiting (a FIFO without a writer or a
// device would block a plain open for ever), then tests what it is: only a
// regular file is kept, and it reads in blocking mode from then on. The fd,
// or -1 with errno (EISDIR for a folder, EINVAL for anything else that is
// not a regular file).
int open_regular(const char* path, struct stat* st) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    int code = 0;
    if (::fstat(fd, st) != 0)
        code = errno;
    else if (!S_ISREG(st->st_mode))
        code = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        code = errno;
    if (code != 0) {
        ::close(fd);
        errno = code;
        return -1;
    }
    return fd;
}

// Streams `in` into `out` (both open; both closed here) and cuts `out`
// behind the new end. A copy that fails removes `to`, the target's name,
// rather than leave a short file that looks like a whole one.
bool stream_copy(int in, int out, const char* to) {
    // The old contents are overwritten in place and cut behind the new end
    // afterwards: truncating an existing file to nothing first makes ext4
    // flush it at once (its "replace by truncate" rule), which costs a
    // synchronous write per backup copy.
    bool ok = true;
    off_t written = 0;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[COPY_CHUNK]);
    if (buf == nullptr) {
        errno = ENOMEM;
        ok = false;
    }
    while (ok) {
        ssize_t r = ::read(in, buf.get(), COPY_CHUNK);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
        } else if (r == 0) {
            break;
        } else {
            ok = write_all(out, buf.get(), static_cast<std::size_t>(r));
            written += r;
        }
    }
    if (ok)
        ok = ::ftruncate(out, written) == 0;
    int err = ok ? 0 : errno;  // the first failure is the one reported
    ::close(in);
    if (::close(out) != 0 && ok) {  // a late write error shows here
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(to);
        errno = err;
    }
    return ok;
}

}  // namespace

char path_sep() {
    return PATH_SEPARATOR;
}

bool file_exists(const char* path) {
    if (path == nullptr)
        return fail(EINVAL);
    struct stat st;
    return ::stat(path, &st) == 0;
}

bool is_directory(const char* path) {
    if (path == nullptr)
        return fail(EINVAL);
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

InputFile::~InputFile() {
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

bool InputFile::open(const char* path) {
    if (path == nullptr || m_handle >= 0)
        return fail(EINVAL);
    struct stat st;
    const int fd = open_regular(path, &st);
    if (fd < 0) {
        m_bNotRegular = errno == EISDIR || errno == EINVAL;
        return false;
    }
    m_handle = fd;
    m_nSize = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::size_t InputFile::read(void* buffer, std::size_t n) {
    std::size_t done = 0;
    while (m_handle >= 0 && done < n) {
        const ssize_t r =
            ::read(static_cast<int>(m_handle), static_cast<char*>(buffer) + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

bool copy_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr)
        return fail(EINVAL);
    struct stat src;
    int in = open_regular(from, &src);
    if (in < 0)
        return false;
    // Owner keeps write access so that a later copy can replace this one.
    // O_NONBLOCK: a FIFO under the target's name must not block the open.
    mode_t mode = (src.st_mode & 0777) | S_IWUSR;
    int out = ::open(to, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, mode);
    if (out < 0) {
        ErrnoKeeper keep;
        ::close(in);
        return false;
    }
    struct stat dst;
    int code = 0;
    if (::fstat(out, &dst) != 0)
        code = errno;
    else if (!S_ISREG(dst.st_mode))
        code = EINVAL;  // a FIFO or a device: never written into
    else if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)
        code = EINVAL;  // the same file under two names
    else if (::fcntl(out, F_SETFL, ::fcntl(out, F_GETFL) & ~O_NONBLOCK) != 0)
        code = errno;
    if (code != 0) {
        ::close(in);
        ::close(out);
        return fail(code);
    }
    return stream_copy(in, out, to);
}

bool copy_to_new_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr)
        return fail(EINVAL);
    struct stat src;
    int in = open_regular(from, &src);
    if (in < 0)
        return false;
    // O_EXCL with O_CREAT never opens what is there, a link included;
    // O_NOFOLLOW says the same for systems that would.
    int out = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, EXCLUSIVE_MODE);
    if (out < 0) {
        ErrnoKeeper keep;
        ::close(in);
        return false;
    }
    return stream_copy(in, out, to);
}

bool delete_file(const char* path) {
    if (path == nullptr)
        return fail(EINVAL);
    return ::unlink(path) == 0;
}

bool replace_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr)
        return fail(EINVAL);
    return ::rename(from, to) == 0;
}

bool sync_file(std::FILE* file) {
    if (file == nullptr)
        return fail(EINVAL);
    if (std::fflush(file) != 0)
        return false;
    int fd = ::fileno(file);
    // The contents and the size are what a reader of the file needs after a
    // crash; fdatasync writes those and skips the rest of the inode
    // (timestamps), which fsync would add to every write of a mail.
#if defined(__linux__)
    while (::fdatasync(fd) != 0) {
#else
    while (::fsync(fd) != 0) {
#endif
        if (errno != EINTR)
            return false;
    }
    return true;
}

bool make_dirs(const char* path) {
    if (path == nullptr || *path == '\0')
        return fail(EINVAL);
    std::string p(path);
    if (!path_fits(p))
        return fail(ENAMETOOLONG);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (is_directory(p.c_str()))
        return true;  // the common case: one stat instead of one per level
    // Each prefix ending before a '/' (and the whole path) in turn.
    for (std::size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/')
            continue;
        if (p[i - 1] == '/')
            continue;  // "a//b": the empty piece
        std::string prefix = p.substr(0, i);
        struct stat st;
        if (::stat(prefix.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return fail(ENOTDIR);
            continue;
        }
        if (::mkdir(prefix.c_str(), DIR_MODE) != 0) {
            // Someone else may have made it in between.
            if (errno != EEXIST || !is_directory(prefix.c_str())) {
                if (errno == EEXIST)
                    errno = ENOTDIR;
                return false;
            }
        }
    }
    return true;
}

bool make_private_dirs(const char* path) {
    if (path == nullptr || *path == '\0')
        return fail(EINVAL);
    std::string p(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (is_directory(p.c_str()))
        return true;
    const std::size_t slash = p.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !make_private_dirs(p.substr(0, slash).c_str()))
        return false;
    if (::mkdir(p.c_str(), PRIVATE_DIR_MODE) == 0)
        return true;
    // Someone else may have made it in between.
    if (errno == EEXIST && is_directory(p.c_str()))
        return true;
    if (errno == EEXIST)
        errno = ENOTDIR;
    return false;
}

std::string make_private_dir(const char* parent, const char* prefix) {
    if (parent == nullptr || prefix == nullptr || *parent == '\0') {
        errno = EINVAL;
        return "";
    }
    std::string base(parent);
    if (base.back() != '/')
        base += '/';
    base += prefix;
    for (int attempt = 0; attempt < PRIVATE_DIR_ATTEMPTS; ++attempt) {
        std::string path = base + random_name(PRIVATE_DIR_RANDOM);
        if (!path_fits(path)) {
            errno = ENAMETOOLONG;
            return "";
        }
        // mkdir never follows a link under the name: it fails with EEXIST.
        if (::mkdir(path.c_str(), PRIVATE_DIR_MODE) == 0)
            return path;
        if (errno != EEXIST)
            return "";
    }
    return "";
}

bool remove_dir(const char* path) {
    if (path == nullptr)
        return fail(EINVAL);
    return ::rmdir(path) == 0;
}

bool name_taken(const char* path) {
    if (path == nullptr)
        return fail(EINVAL);
    struct stat st;
    return ::lstat(path, &st) == 0;
}

bool is_private_dir(const char* path) {
    if (path == nullptr)
        return fail(EINVAL);
    struct stat st;
    if (::lstat(path, &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode))
        return fail(ENOTDIR);
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return fail(EPERM);
    return true;
}

std::FILE* create_exclusive(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, EXCLUSIVE_MODE);
    if (fd < 0)
        return nullptr;
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) {
        ErrnoKeeper keep;
        ::close(fd);
        ::unlink(path);
    }
    return f;
}

std::FILE* create_replacing(const char* path) {
    std::FILE* f = create_exclusive(path);
    if (f == nullptr && errno == EEXIST) {
        ::unlink(path);
        f = create_exclusive(path);
    }
    return f;
}

namespace {

// The process's umask without changing it (umask() would, for a moment, for
// every thread): Linux shows it in /proc/self/status; elsewhere the common
// 022.
mode_t current_umask() {
    mode_t mask = 022;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value & 0777);
                break;
            }
        }
        std::fclose(f);
    }
    return mask;
}

}  // namespace

bool take_access(const char* path, const char* target) {
    if (path == nullptr || target == nullptr)
        return fail(EINVAL);
    struct stat st;
    mode_t mode;
    if (::stat(target, &st) == 0) {
        mode = st.st_mode & 0777;
    } else if (errno == ENOENT) {
        mode = 0666 & ~current_umask();
    } else {
        return false;
    }
    return ::chmod(path, mode) == 0;
}

unsigned long last_error() {
    return static_cast<unsigned long>(errno);
}

void sleep_ms(unsigned ms) {
    struct timespec req;
    req.tv_sec = static_cast<time_t>(ms / 1000);
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    struct timespec rem;
    while (::nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

/* ------------------------------------------------------------------------ */
/* Threads                                                                  */

namespace {

struct ThreadState {
    std::mutex m;
    std::condition_variable cv;
    bool go = false;         // the start gate is open
    bool cancelled = false;  // closed before resuming: do not run fn
    bool ended = false;      // fn has returned (or was skipped)
    thread_fn fn = nullptr;
    void* arg = nullptr;
    std::atomic<int> refs{2};  // the handle and the thread
};

void release(ThreadState* st) {
    if (st->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete st;
}

std::atomic<std::uint32_t> g_nextThreadId{1};

void* thread_entry(void* p) {
    ThreadState& st = *static_cast<ThreadState*>(p);
    bool run;
    {
        std::unique_lock<std::mutex> lock(st.m);
        st.cv.wait(lock, [&] { return st.go; });
        run = !st.cancelled;
    }
    if (run)
        st.fn(st.arg);
    {
        std::lock_guard<std::mutex> lock(st.m);
        st.ended = true;
        st.cv.notify_all();
    }
    release(&st);
    return nullptr;
}

}  // namespace

struct Thread {
    ThreadState* state = nullptr;
    pthread_t tid;
    bool resumed = false;
    bool joined = false;
};

Thread* thread_create_suspended(thread_fn fn, void* arg, std::uint32_t* id) {
    if (fn == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::unique_ptr<Thread> t(new (std::nothrow) Thread);
    auto* st = new (std::nothrow) ThreadState;
    if (t == nullptr || st == nullptr) {
        delete st;
        errno = ENOMEM;
        return nullptr;
    }
    st->fn = fn;
    st->arg = arg;
    int rc = ::pthread_create(&t->tid, nullptr, thread_entry, st);
    if (rc != 0) {
        delete st;
        errno = rc;
        return nullptr;
    }
    t->state = st;
    std::uint32_t n = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    if (n == 0)
        n = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);  // wrapped
    if (id != nullptr)
        *id = n;
    return t.release();
}

bool thread_resume(Thread* t) {
    if (t == nullptr)
        return fail(EINVAL);
    {
        std::lock_guard<std::mutex> lock(t->state->m);
        t->state->go = true;
    }
    t->state->cv.notify_all();
    t->resumed = true;
    return true;
}

bool thread_wait(Thread* t, unsigned ms) {
    if (t == nullptr)
        return fail(EINVAL);
    ThreadState& st = *t->state;
    {
        std::unique_lock<std::mutex> lock(st.m);
        auto ended = [&] { return st.ended; };
        if (ms == PF_WAIT_FOREVER) {
            st.cv.wait(lock, ended);
        } else if (!st.cv.wait_for(lock, std::chrono::milliseconds(ms), ended)) {
            return fail(ETIMEDOUT);
        }
    }
    if (!t->joined) {
        // Only the return of thread_entry is left, so this does not block.
        ::pthread_join(t->tid, nullptr);
        t->joined = true;
    }
    return true;
}

void thread_close(Thread* t) {
    if (t == nullptr)
        return;
    if (!t->resumed) {
        {
            std::lock_guard<std::mutex> lock(t->state->m);
            t->state->cancelled = true;
            t->state->go = true;
        }
        t->state->cv.notify_all();
    }
    if (!t->joined)
        ::pthread_detach(t->tid);
    release(t->state);
    delete t;
}

namespace {

// Converters kept per thread.
constexpr std::size_t CHARSET_CACHE = 8;

class ConverterCache {
  public:
    ~ConverterCache() {
        for (Entry& e : m_entries) {
            if (e.cd != NONE)
                ::iconv_close(e.cd);
        }
    }
    // The converter of `charset` to UTF-8 in its initial state, or NONE.
    iconv_t Get(const std::string& charset) {
        for (Entry& e : m_entries) {
            if (e.used && e.name == charset) {
                if (e.cd != NONE)
                    ::iconv(e.cd, nullptr, nullptr, nullptr, nullptr);
                return e.cd;
            }
        }
        Entry& e = m_entries[m_next];
        m_next = (m_next + 1) % CHARSET_CACHE;
        if (e.used && e.cd != NONE)
            ::iconv_close(e.cd);
        e.used = true;
        e.name = charset;
        e.cd = ::iconv_open("UTF-8", charset.c_str());
        return e.cd;
    }
    static inline const iconv_t NONE = reinterpret_cast<iconv_t>(-1);

  private:
    struct Entry {
        bool used = false;
        std::string name;
        iconv_t cd = NONE;
    };
    Entry m_entries[CHARSET_CACHE];
    std::size_t m_next = 0;
};

thread_local ConverterCache t_converters;

}  // namespace

bool convert_charset(const std::string& charset, std::string_view bytes, std::string& out) {
    iconv_t cd = t_converters.Get(charset);
    if (cd == ConverterCache::NONE)
        return false;
    // UTF-8 takes at most four bytes a character and no charset takes less
    // than one a character, but a stateful one (UTF-7, ISO-2022) may need
    // more room: the block grows while iconv asks for it.
    std::string block(4 * bytes.size() + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    std::size_t used = 0;
    for (;;) {
        char* dst = block.data() + used;
        std::size_t dstLeft = block.size() - used;
        const std::size_t rc = ::iconv(cd, inLeft > 0 ? &in : nullptr, &inLeft, &dst, &dstLeft);
        used = block.size() - dstLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            if (inLeft == 0)
                break;
            continue;
        }
        if (errno == E2BIG) {
            block.resize(2 * block.size());
            continue;
        }
        return false;  // EILSEQ, EINVAL: not text of the charset
    }
    out.assign(block.data(), used);
    return true;
}

}  // namespace pf
