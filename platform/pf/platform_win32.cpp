/*
 * platform_win32.cpp - the system calls of mailward on Windows (contract in
 * platform.h), through the ANSI Win32 calls: CopyFileA, DeleteFileA,
 * GetFileAttributesA, CreateFileA, MoveFileExA, CreateDirectoryA,
 * CreateThread/ResumeThread/WaitForSingleObject/CloseHandle and Sleep. Error
 * codes are GetLastError's.
 *
 * copy_file refuses to copy a file onto itself (same volume and file index)
 * before CopyFileA could open the target for writing; everything else is
 * CopyFileA's own behaviour, including that a read-only target is not
 * overwritten.
 *
 * create_exclusive gives the file a protected DACL with one entry, full
 * access for the user of the process token, so the scan copy of a part is not
 * readable by other accounts on the host; CREATE_NEW makes the creation
 * exclusive. take_access copies the target's DACL (GetNamedSecurityInfoA /
 * SetNamedSecurityInfoA), or, for a new target, sets an empty unprotected
 * DACL so that the file inherits its folder's entries.
 *
 * Threads: the thread starts suspended in a small entry function that owns its
 * start record (function, argument, cancel mark) and frees it when it ends. A
 * thread closed before it was resumed is marked cancelled and resumed, so it
 * ends at once without calling the function instead of staying suspended for
 * the life of the process.
 */
#include "pf/platform.h"
#include "pf/text.h"

#include <windows.h>

#include <aclapi.h>

#include <fcntl.h>
#include <io.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace pf {

namespace {

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Keeps GetLastError of the failure across the clean-up calls after it.
class ErrorKeeper {
  public:
    ErrorKeeper() : m_nSaved(GetLastError()) {}
    ~ErrorKeeper() { SetLastError(m_nSaved); }
    ErrorKeeper(const ErrorKeeper&) = delete;
    ErrorKeeper& operator=(const ErrorKeeper&) = delete;

  private:
    DWORD m_nSaved;
};

bool is_sep(char c) {
    return c == '\\' || c == '/';
}

// Volume serial number and file index: the identity of an open file.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok != FALSE;
}

// A security descriptor whose DACL grants full access to the process's user
// and to nobody else (no inherited entries).
class OwnerOnlySecurity {
  public:
    bool Build() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        if (size == 0) {
            ErrorKeeper keep;
            CloseHandle(token);
            return false;
        }
        m_user.resize(size);
        BOOL got = GetTokenInformation(token, TokenUser, m_user.data(), size, &size);
        {
            ErrorKeeper keep;
            CloseHandle(token);
        }
        if (!got)
            return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid;
        DWORD aclSize =
            sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
        m_acl.resize(aclSize);
        PACL acl = reinterpret_cast<PACL>(m_acl.data());
        return InitializeAcl(acl, aclSize, ACL_REVISION) &&
               AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
               InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&m_sd, TRUE, acl, FALSE) &&
               SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    SECURITY_ATTRIBUTES* Attributes() {
        m_sa.nLength = sizeof(m_sa);
        m_sa.lpSecurityDescriptor = &m_sd;
        m_sa.bInheritHandle = FALSE;
        return &m_sa;
    }

  private:
    std::vector<unsigned char> m_user;  // TOKEN_USER with its SID
    std::vector<unsigned char> m_acl;   // the one-entry DACL
    SECURITY_DESCRIPTOR m_sd{};
    SECURITY_ATTRIBUTES m_sa{};
};

}  // namespace

char path_sep() {
    return PATH_SEPARATOR;
}

bool file_exists(const char* path) {
    if (path == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool is_directory(const char* path) {
    if (path == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

InputFile::~InputFile() {
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool InputFile::open(const char* path) {
    if (path == nullptr || m_handle != -1)
        return fail(ERROR_INVALID_PARAMETER);
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open. The sharing
    // is that of fopen: others may read and write meanwhile.
    HANDLE h =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        m_bNotRegular = code == ERROR_ACCESS_DENIED && is_directory(path);
        return fail(code);
    }
    LARGE_INTEGER size;
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;  // not a pipe or a device
    m_bNotRegular = !disk;
    if (!disk || !GetFileSizeEx(h, &size)) {
        const DWORD code = disk ? GetLastError() : ERROR_INVALID_PARAMETER;
        CloseHandle(h);
        return fail(code);
    }
    m_handle = reinterpret_cast<std::intptr_t>(h);
    m_nSize = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

std::size_t InputFile::read(void* buffer, std::size_t n) {
    std::size_t done = 0;
    while (m_handle != -1 && done < n) {
        const DWORD chunk = static_cast<DWORD>(n - done > 0x40000000u ? 0x40000000u : n - done);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(m_handle), static_cast<char*>(buffer) + done, chunk,
                      &got, nullptr) ||
            got == 0)
            break;
        done += got;
    }
    return done;
}

namespace {

// Whether `path` opens as a file on a disk (not a pipe, a console or another
// device); opening does not wait for anything.
bool is_disk_file(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    CloseHandle(h);
    return disk || fail(ERROR_INVALID_PARAMETER);
}

// Attempts of make_private_dir at a free random name.
constexpr int PRIVATE_DIR_ATTEMPTS = 100;
// Bytes moved per read/write pair in copy_to_new_file.
constexpr std::size_t COPY_CHUNK = 64 * 1024;

}  // namespace

bool copy_to_new_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    InputFile in;
    if (!in.open(from))
        return false;
    std::FILE* out = create_exclusive(to);
    if (out == nullptr)
        return false;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[COPY_CHUNK]);
    bool ok = buf != nullptr;
    DWORD code = ok ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    std::uint64_t left = in.size();
    while (ok && left > 0) {
        const std::size_t want = left < COPY_CHUNK ? static_cast<std::size_t>(left) : COPY_CHUNK;
        const std::size_t got = in.read(buf.get(), want);
        if (got != want) {
            ok = false;
            code = ERROR_READ_FAULT;
        } else if (!write_allowed(got) || std::fwrite(buf.get(), 1, got, out) != got) {
            ok = false;
            code = ERROR_DISK_FULL;
        }
        left -= got;
    }
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        code = ERROR_WRITE_FAULT;
    }
    if (!ok) {
        DeleteFileA(to);
        SetLastError(code);
    }
    return ok;
}

bool copy_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    if (!is_disk_file(from))
        return false;
    // CopyFileA writes in one call: the hook sees the whole size at once.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(from, GetFileExInfoStandard, &data) &&
        !write_allowed((static_cast<std::size_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow))
        return fail(ERROR_DISK_FULL);
    BY_HANDLE_FILE_INFORMATION a, b;
    if (file_identity(from, &a) && file_identity(to, &b) &&
        a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
        a.nFileIndexLow == b.nFileIndexLow) {
        return fail(ERROR_INVALID_PARAMETER);  // the same file under two names
    }
    return CopyFileA(from, to, FALSE) != FALSE;
}

bool delete_file(const char* path) {
    if (path == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return DeleteFileA(path) != FALSE;
}

bool replace_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool sync_file(std::FILE* file) {
    if (file == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    if (std::fflush(file) != 0)
        return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (h == INVALID_HANDLE_VALUE)
        return fail(ERROR_INVALID_HANDLE);
    return FlushFileBuffers(h) != FALSE;
}

bool make_dirs(const char* path) {
    if (path == nullptr || *path == '\0')
        return fail(ERROR_INVALID_PARAMETER);
    std::string p(path);
    if (!path_fits(p))
        return fail(ERROR_FILENAME_EXCED_RANGE);
    while (p.size() > 1 && is_sep(p.back()) && !(p.size() == 3 && p[1] == ':'))
        p.pop_back();
    if (is_directory(p.c_str()))
        return true;  // the common case: one look instead of one per level
    // The root part is never created: "X:", "X:\", "\", or "\\server\share\".
    std::size_t start = 0;
    if (p.size() >= 2 && p[1] == ':') {
        start = 2;
    } else if (p.size() >= 2 && is_sep(p[0]) && is_sep(p[1])) {
        int seps = 0;
        for (start = 2; start < p.size() && seps < 2; ++start) {
            if (is_sep(p[start]))
                ++seps;
        }
    }
    while (start < p.size() && is_sep(p[start]))
        ++start;
    for (std::size_t i = start + 1; i <= p.size(); ++i) {
        if (i < p.size() && !is_sep(p[i]))
            continue;
        if (is_sep(p[i - 1]))
            continue;  // "a\\\\b": the empty piece
        std::string prefix = p.substr(0, i);
        DWORD a = GetFileAttributesA(prefix.c_str());
        if (a != INVALID_FILE_ATTRIBUTES) {
            if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0)
                return fail(ERROR_DIRECTORY);
            continue;
        }
        if (!CreateDirectoryA(prefix.c_str(), nullptr)) {
            // Someone else may have made it in between.
            if (GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
            if (!is_directory(prefix.c_str()))
                return fail(ERROR_DIRECTORY);
        }
    }
    return is_directory(p.c_str()) || fail(ERROR_PATH_NOT_FOUND);
}

std::string make_private_dir(const char* parent, const char* prefix) {
    if (parent == nullptr || prefix == nullptr || *parent == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return "";
    }
    OwnerOnlySecurity security;
    if (!security.Build())
        return "";
    std::string base(parent);
    if (!is_sep(base.back()))
        base += '\\';
    base += prefix;
    for (int attempt = 0; attempt < PRIVATE_DIR_ATTEMPTS; ++attempt) {
        std::string path = base + random_name(PRIVATE_DIR_RANDOM);
        if (!path_fits(path)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return "";
        }
        if (CreateDirectoryA(path.c_str(), security.Attributes()))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return "";
    }
    return "";
}

bool make_private_dirs(const char* path) {
    if (path == nullptr || *path == '\0')
        return fail(ERROR_INVALID_PARAMETER);
    if (is_directory(path))
        return true;
    std::string p(path);
    while (p.size() > 1 && is_sep(p.back()))
        p.pop_back();
    const std::size_t sep = p.find_last_of("\\/");
    if (sep != std::string::npos && sep > 0 && !(sep == 2 && p[1] == ':') &&
        !make_private_dirs(p.substr(0, sep).c_str()))
        return false;
    OwnerOnlySecurity security;
    if (!security.Build())
        return false;
    if (CreateDirectoryA(p.c_str(), security.Attributes()))
        return true;
    return (GetLastError() == ERROR_ALREADY_EXISTS && is_directory(p.c_str())) ||
           fail(ERROR_DIRECTORY);
}

bool remove_dir(const char* path) {
    if (path == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return RemoveDirectoryA(path) != FALSE;
}

bool name_taken(const char* path) {
    if (path == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;  // links: their own
}

bool is_private_dir(const char* path) {
    if (path == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    const DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES)
        return false;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0 || (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return fail(ERROR_DIRECTORY);
    return true;
}

std::FILE* create_exclusive(const char* path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    OwnerOnlySecurity security;
    if (!security.Build())
        return nullptr;
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, security.Attributes(), CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        DeleteFileA(path);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "wb");
    if (f == nullptr) {
        _close(fd);
        DeleteFileA(path);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return f;
}

std::FILE* create_replacing(const char* path) {
    std::FILE* f = create_exclusive(path);
    if (f == nullptr &&
        (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
        DeleteFileA(path);
        f = create_exclusive(path);
    }
    return f;
}

bool take_access(const char* path, const char* target) {
    if (path == nullptr || target == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetNamedSecurityInfoA(target, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, &dacl, nullptr, &sd);
    if (rc == ERROR_SUCCESS) {
        // The target's own entries, and inheritance as the target has it.
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(sd, &control, &revision);
        const SECURITY_INFORMATION info =
            DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
        rc = SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT, info, nullptr, nullptr,
                                   dacl, nullptr);
        LocalFree(sd);
    } else if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) {
        // No entries of its own and inheritance on: what a new file in the
        // folder gets.
        ACL empty;
        if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION))
            return false;
        rc =
            SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &empty, nullptr);
    }
    return rc == ERROR_SUCCESS || fail(rc);
}

unsigned long last_error() {
    return GetLastError();
}

void sleep_ms(unsigned ms) {
    Sleep(ms);
}

/* ------------------------------------------------------------------------ */
/* Threads                                                                  */

namespace {

struct StartRecord {
    thread_fn fn;
    void* arg;
    bool cancelled;  // set before the thread first runs, read once by it
};

DWORD WINAPI thread_entry(LPVOID p) {
    std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(p));
    if (!start->cancelled)
        start->fn(start->arg);
    return 0;
}

}  // namespace

struct Thread {
    HANDLE handle;
    StartRecord* start;  // the thread's own once resumed; ours until then
    bool resumed;
};

Thread* thread_create_suspended(thread_fn fn, void* arg, std::uint32_t* id) {
    if (fn == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::unique_ptr<StartRecord> start(new (std::nothrow) StartRecord{fn, arg, false});
    std::unique_ptr<Thread> t(new (std::nothrow) Thread{nullptr, nullptr, false});
    if (start == nullptr || t == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 0, thread_entry, start.get(), CREATE_SUSPENDED, &tid);
    if (h == nullptr)
        return nullptr;
    t->handle = h;
    t->start = start.release();
    if (id != nullptr)
        *id = tid;
    return t.release();
}

bool thread_resume(Thread* t) {
    if (t == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (ResumeThread(t->handle) == static_cast<DWORD>(-1))
        return false;
    t->resumed = true;
    return true;
}

bool thread_wait(Thread* t, unsigned ms) {
    if (t == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    DWORD rc = WaitForSingleObject(t->handle, ms == PF_WAIT_FOREVER ? INFINITE : ms);
    if (rc == WAIT_OBJECT_0)
        return true;
    if (rc == WAIT_TIMEOUT)
        SetLastError(WAIT_TIMEOUT);
    return false;
}

void thread_close(Thread* t) {
    if (t == nullptr)
        return;
    if (!t->resumed) {
        t->start->cancelled = true;
        // ResumeThread is a full barrier: the thread sees the mark. Should it
        // fail, the record stays the thread's (leaked, never freed under it).
        ResumeThread(t->handle);
    }
    CloseHandle(t->handle);
    delete t;
}

namespace {

// The code pages of the charsets mails name most, by MIME name.
struct CodePage {
    const char* name;
    UINT page;
};
const CodePage CODE_PAGES[] = {
    {"utf-8", CP_UTF8},     {"utf8", CP_UTF8},      {"utf-7", CP_UTF7},
    {"us-ascii", 20127},    {"ascii", 20127},       {"iso-8859-1", 28591},
    {"latin1", 28591},      {"iso-8859-2", 28592},  {"iso-8859-3", 28593},
    {"iso-8859-4", 28594},  {"iso-8859-5", 28595},  {"iso-8859-6", 28596},
    {"iso-8859-7", 28597},  {"iso-8859-8", 28598},  {"iso-8859-9", 28599},
    {"iso-8859-13", 28603}, {"iso-8859-15", 28605}, {"windows-1250", 1250},
    {"windows-1251", 1251}, {"windows-1252", 1252}, {"windows-1253", 1253},
    {"windows-1254", 1254}, {"windows-1255", 1255}, {"windows-1256", 1256},
    {"windows-1257", 1257}, {"windows-1258", 1258}, {"koi8-r", 20866},
    {"koi8-u", 21866},      {"shift_jis", 932},     {"shift-jis", 932},
    {"cp932", 932},         {"euc-jp", 20932},      {"iso-2022-jp", 50220},
    {"gb2312", 936},        {"gbk", 936},           {"gb18030", 54936},
    {"big5", 950},          {"euc-kr", 51949},      {"ks_c_5601-1987", 949},
    {"ibm850", 850},        {"cp850", 850},         {"ibm437", 437},
    {"cp437", 437},         {"macintosh", 10000},   {"tis-620", 874},
};

}  // namespace

bool convert_charset(const std::string& charset, std::string_view bytes, std::string& out) {
    UINT page = 0;
    for (const CodePage& c : CODE_PAGES) {
        if (charset == c.name)
            page = c.page;
    }
    if (page == 0)
        return false;
    if (bytes.empty()) {
        out.clear();
        return true;
    }
    if (bytes.size() > 0x7FFFFFFF)
        return false;
    const DWORD flags = page == CP_UTF7 || page >= 50000 ? 0 : MB_ERR_INVALID_CHARS;
    const int n = static_cast<int>(bytes.size());
    const int wide = MultiByteToWideChar(page, flags, bytes.data(), n, nullptr, 0);
    if (wide <= 0)
        return false;
    std::vector<wchar_t> w(static_cast<std::size_t>(wide));
    if (MultiByteToWideChar(page, flags, bytes.data(), n, w.data(), wide) != wide)
        return false;
    const int narrow =
        WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    if (narrow <= 0)
        return false;
    out.assign(static_cast<std::size_t>(narrow), '\0');
    return WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), narrow, nullptr, nullptr) ==
           narrow;
}

}  // namespace pf
