/*
 * test_pf.cpp - the platform layer. Files: existence, reading, copy, delete,
 * replace in one step, mkdir -p, the exclusive owner-only file and its access
 * rights; every failure leaves the files as they were and sets last_error().
 * Strings: path splitting with _splitpath's rules, case-blind comparison, the
 * shared lower / trim / join / path helpers.
 * Threads: started by resume, timed waits, close before and while running.
 * Waits are generous bounds for a thread to get going, never speed goals.
 */
#include "pf/platform.h"
#include "pf/text.h"

#include "pf_scratch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

using pftest::ReadFile;
using pftest::Scratch;
using pftest::WriteFile;

// Bytes that show any shift, loss or repetition of a block.
std::string PatternBytes(std::size_t n) {
    std::mt19937 rng(2463534242u);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

// last_error() after a failed call: not 0, and `expected` when given.
void ExpectError(unsigned long expected = 0) {
    EXPECT_NE(pf::last_error(), 0ul);
    if (expected != 0) {
        EXPECT_EQ(pf::last_error(), expected);
    }
}

#if defined(_WIN32)
const unsigned long kNotFound = ERROR_FILE_NOT_FOUND, kExists = ERROR_FILE_EXISTS;
#else
const unsigned long kNotFound = ENOENT, kExists = EEXIST;
#endif

TEST(PfFileAttributes, ExistsAndDirectoryAndNullPaths) {
    Scratch s;
    std::string file = s.Path("a.poi"), missing = s.Path("nothing-here");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_TRUE(pf::file_exists(file.c_str()));
    EXPECT_FALSE(pf::is_directory(file.c_str()));
    EXPECT_TRUE(pf::file_exists(s.str().c_str()));
    EXPECT_TRUE(pf::is_directory(s.str().c_str()));
    EXPECT_FALSE(pf::file_exists(missing.c_str()));
    EXPECT_FALSE(pf::is_directory(missing.c_str()));

    EXPECT_FALSE(pf::file_exists(nullptr));
    ExpectError();
    EXPECT_FALSE(pf::copy_file(file.c_str(), nullptr));
    EXPECT_FALSE(pf::make_dirs(""));
}

// InputFile knows the size once open, reads in pieces to the end, and opens
// neither a folder nor a missing file.
TEST(PfInputFile, SizeThenBytesToTheEndAndNoFolders) {
    Scratch s;
    const std::string bytes = PatternBytes(100000), path = s.Path("mail.eml");
    ASSERT_TRUE(WriteFile(path, bytes));
    pf::InputFile file, folder, missing, empty;
    ASSERT_TRUE(file.open(path.c_str()));
    EXPECT_FALSE(file.open(path.c_str()));  // one file per object
    EXPECT_EQ(file.size(), bytes.size());
    std::string got(bytes.size() + 10, 'x');
    EXPECT_EQ(file.read(got.data(), 1000), 1000u);
    EXPECT_EQ(file.read(got.data() + 1000, got.size() - 1000), bytes.size() - 1000);
    got.resize(bytes.size());
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(file.read(got.data(), 10), 0u);
    EXPECT_FALSE(folder.open(s.str().c_str()));
    EXPECT_FALSE(missing.open(s.Path("nothing-here").c_str()));
    ExpectError(kNotFound);
    EXPECT_FALSE(missing.open(nullptr));
    ASSERT_TRUE(WriteFile(s.Path("empty"), ""));
    ASSERT_TRUE(empty.open(s.Path("empty").c_str()));
    EXPECT_EQ(empty.size(), 0u);
}

TEST(PfCopyFile, TargetGetsExactlyTheSourcesBytes) {
    Scratch s;
    const char raw[] = "From: a\r\n\r\nbody\n\0tail";
    // The big row is several copy chunks plus a partial one.
    struct Row {
        std::string name, bytes, oldTarget;
    } rows[] = {
        {"mail.poi", std::string(raw, sizeof raw - 1), std::string(10000, 'o')},  // longer target
        {"empty", "", "old contents"},
        {"big", PatternBytes(5 * 1024 * 1024 + 12345), ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string from = s.Path(r.name), to = s.Path(r.name + ".copy");
        ASSERT_TRUE(WriteFile(from, r.bytes));
        if (!r.oldTarget.empty()) {
            ASSERT_TRUE(WriteFile(to, r.oldTarget));
        }
        ASSERT_TRUE(pf::copy_file(from.c_str(), to.c_str()));
        std::string got = ReadFile(to);
        ASSERT_EQ(got.size(), r.bytes.size());
        EXPECT_TRUE(got == r.bytes && ReadFile(from) == r.bytes);
    }
}

TEST(PfCopyFile, FailuresLeaveEveryFileAsItWas) {
    Scratch s;
    std::string file = s.Path("mail.poi"), target = s.Path("target");
    ASSERT_TRUE(WriteFile(file, "the only copy of this mail"));
    ASSERT_TRUE(WriteFile(target, "keep me"));
    EXPECT_FALSE(pf::copy_file(s.Path("missing").c_str(), target.c_str()));
    ExpectError(kNotFound);
    EXPECT_EQ(ReadFile(target), "keep me");

    EXPECT_FALSE(pf::copy_file(file.c_str(), file.c_str()));  // onto itself
    ExpectError();
    // The same file under another spelling of its path.
    std::string other = s.str() + pf::path_sep() + "." + pf::path_sep() + "mail.poi";
    EXPECT_FALSE(pf::copy_file(file.c_str(), other.c_str()));
    EXPECT_EQ(ReadFile(file), "the only copy of this mail");

    std::string to = s.Path("t");
    EXPECT_FALSE(pf::copy_file(s.str().c_str(), to.c_str()));  // a directory as source
    EXPECT_FALSE(pf::file_exists(to.c_str()));
    std::string deep = s.Path("no-such-dir") + pf::path_sep() + "f";
    EXPECT_FALSE(pf::copy_file(file.c_str(), deep.c_str()));
    ExpectError();
}

TEST(PfDeleteAndReplace, DeleteFilesOnlyAndReplaceInOneStep) {
    Scratch s;
    std::string file = s.Path("tmp"), dir = s.Path("d");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_TRUE(pf::delete_file(file.c_str()));
    EXPECT_FALSE(pf::file_exists(file.c_str()));
    EXPECT_FALSE(pf::delete_file(file.c_str()));  // already gone
    ExpectError();
    ASSERT_TRUE(pf::make_dirs(dir.c_str()));
    EXPECT_FALSE(pf::delete_file(dir.c_str()));
    EXPECT_TRUE(pf::is_directory(dir.c_str()));

    std::string tmp = s.Path("mail.poi.tmp"), mail = s.Path("mail.poi");
    ASSERT_TRUE(WriteFile(mail, "old header\r\n\r\nbody"));
    ASSERT_TRUE(WriteFile(tmp, "new header\r\n\r\nbody"));
    ASSERT_TRUE(pf::replace_file(tmp.c_str(), mail.c_str()));
    EXPECT_EQ(ReadFile(mail), "new header\r\n\r\nbody");
    EXPECT_FALSE(pf::file_exists(tmp.c_str()));
    // To a new name; then a missing source fails and the target stays.
    std::string moved = s.Path("moved");
    ASSERT_TRUE(pf::replace_file(mail.c_str(), moved.c_str()));
    EXPECT_FALSE(pf::file_exists(mail.c_str()));
    EXPECT_FALSE(pf::replace_file(tmp.c_str(), moved.c_str()));
    ExpectError();
    EXPECT_EQ(ReadFile(moved), "new header\r\n\r\nbody");
}

TEST(PfMakeDirs, CreatesEveryMissingLevelButNotOverAFileOrTooLong) {
    Scratch s;
    const char sep = pf::path_sep();
    std::string deep = s.str() + sep + "data" + sep + "origmail" + sep + "x";
    ASSERT_TRUE(pf::make_dirs(deep.c_str()));
    EXPECT_TRUE(pf::is_directory(deep.c_str()));
    // Existing directory, trailing and doubled separators.
    EXPECT_TRUE(pf::make_dirs((deep + sep).c_str()));
    std::string doubled = s.str() + sep + sep + "y" + sep + sep + "z";
    EXPECT_TRUE(pf::make_dirs(doubled.c_str()));
    EXPECT_TRUE(pf::is_directory((s.Path("y") + sep + "z").c_str()));

    std::string file = s.Path("file");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_FALSE(pf::make_dirs(file.c_str()));
    ExpectError();
    EXPECT_FALSE(pf::make_dirs((file + sep + "below").c_str()));
    EXPECT_EQ(ReadFile(file), "x");

    std::string p = s.str();
    while (p.size() < PF_MAX_PATH)
        p += sep + std::string(40, 'd');
    EXPECT_FALSE(pf::path_fits(p));
    EXPECT_FALSE(pf::make_dirs(p.c_str()));
    ExpectError();
}

TEST(PfCreateExclusive, NewWritableBinaryFileOnly) {
    Scratch s;
    std::string path = s.Path("mailward-scan.tmp");
    std::FILE* f = pf::create_exclusive(path.c_str());
    ASSERT_NE(f, nullptr);
    const char data[] = "line\nnext\r\n\0end";
    ASSERT_EQ(std::fwrite(data, 1, sizeof data - 1, f), sizeof data - 1);
    ASSERT_EQ(std::fclose(f), 0);
    EXPECT_EQ(ReadFile(path), std::string(data, sizeof data - 1));  // no LF -> CR LF
    // An existing name is refused and kept.
    EXPECT_EQ(pf::create_exclusive(path.c_str()), nullptr);
    ExpectError(kExists);
    EXPECT_EQ(ReadFile(path), std::string(data, sizeof data - 1));
    EXPECT_TRUE(pf::delete_file(path.c_str()));

    EXPECT_EQ(pf::create_exclusive((s.Path("no-dir") + pf::path_sep() + "f").c_str()), nullptr);
    ExpectError();
}

// create_replacing takes a free name like create_exclusive and a taken one
// after removing the old file; a name it cannot free is refused.
TEST(PfCreateExclusive, ReplacingRemovesAStaleFileFirst) {
    Scratch s;
    const std::string path = s.Path("scan.tmp");
    for (const char* text : {"first", "second"}) {  // free name, then taken
        std::FILE* f = pf::create_replacing(path.c_str());
        ASSERT_NE(f, nullptr) << text;
        ASSERT_GE(std::fputs(text, f), 0);
        ASSERT_EQ(std::fclose(f), 0);
        EXPECT_EQ(ReadFile(path), text);
    }
    const std::string dir = s.Path("a-dir");
    ASSERT_TRUE(pf::make_dirs(dir.c_str()));
    EXPECT_EQ(pf::create_replacing(dir.c_str()), nullptr);
    EXPECT_TRUE(pf::is_directory(dir.c_str()));
}

#if !defined(_WIN32)
TEST(PfCreateExclusive, OnlyTheOwnerMayUseItAndLinksAreNotFollowed) {
    Scratch s;
    std::string path = s.Path("private");
    std::FILE* f = pf::create_exclusive(path.c_str());
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    EXPECT_EQ(st.st_mode & 0600, 0600u);

    std::string target = s.Path("planted-target"), link = s.Path("scan.tmp");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);  // dangling
    EXPECT_EQ(pf::create_exclusive(link.c_str()), nullptr);
    EXPECT_FALSE(pf::file_exists(target.c_str()));
    // Replacing removes the link itself and makes a private file in its place.
    f = pf::create_replacing(link.c_str());
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(pf::file_exists(target.c_str()));
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

// A temporary file about to replace a mail takes the mail's mode; one for a
// new mail takes the mode of a new file (0666 less the umask).
TEST(PfTakeAccess, ModeOfTheTargetOrOfANewFile) {
    Scratch s;
    auto modeOf = [](const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000u;
    };
    const std::string tmp = s.Path("mail.tmp"), mail = s.Path("mail");
    std::fclose(pf::create_exclusive(tmp.c_str()));
    WriteFile(mail, "old");
    for (mode_t mode : {0640u, 0604u, 0600u}) {
        ASSERT_EQ(::chmod(mail.c_str(), mode), 0);
        EXPECT_TRUE(pf::take_access(tmp.c_str(), mail.c_str()));
        EXPECT_EQ(modeOf(tmp), mode);
    }
    const mode_t saved = ::umask(027);
    EXPECT_TRUE(pf::take_access(tmp.c_str(), s.Path("new-mail").c_str()));
    EXPECT_EQ(modeOf(tmp), 0640u);
    ::umask(saved);
    EXPECT_FALSE(pf::take_access(s.Path("missing.tmp").c_str(), mail.c_str()));
    EXPECT_FALSE(pf::take_access(nullptr, mail.c_str()));
}
#else
// The SID of the user this process runs as.
std::string ProcessUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buf(size, '\0');
    BOOL ok = size > 0 && GetTokenInformation(token, TokenUser, buf.data(), size, &size);
    CloseHandle(token);
    if (!ok)
        return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
    return std::string(static_cast<const char*>(sid), GetLengthSid(sid));
}

TEST(PfCreateExclusive, NoAccountButTheProcessUserIsGrantedAccess) {
    // Wine reports the system account next to the owner for root's files, as
    // Windows does for files it owns; nobody else may appear.
    Scratch s;
    std::string path = s.Path("private");
    std::FILE* f = pf::create_exclusive(path.c_str());
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    DWORD size = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    ASSERT_GT(size, 0u);
    std::string buf(size, '\0');
    auto* sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(buf.data());
    ASSERT_TRUE(GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, sd, size, &size));
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(acl, nullptr);  // a null DACL would grant everyone everything
    std::string user = ProcessUserSid();
    ASSERT_FALSE(user.empty());
    bool userMayWrite = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&header)));
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &ace->SidStart;
        if (std::string(static_cast<const char*>(sid), GetLengthSid(sid)) == user) {
            userMayWrite = (ace->Mask & FILE_GENERIC_WRITE) == FILE_GENERIC_WRITE;
        } else {
            EXPECT_TRUE(IsWellKnownSid(sid, WinLocalSystemSid)) << "entry " << i;
        }
    }
    EXPECT_TRUE(userMayWrite);
}

// A file's DACL entries, as bytes, to compare two files' rights.
std::string DaclEntries(const std::string& path) {
    DWORD size = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::string buf(size, '\0');
    auto* sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(buf.data());
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, sd, size, &size) ||
        !GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) || !present || acl == nullptr)
        return "(none)";
    return std::string(reinterpret_cast<const char*>(acl) + sizeof(ACL),
                       acl->AclSize - sizeof(ACL));
}

// The owner-only temporary file takes the target's entries, or those a new
// file in the folder gets, instead of keeping its single entry.
TEST(PfTakeAccess, DaclOfTheTargetOrOfANewFile) {
    Scratch s;
    const std::string tmp = s.Path("mail.tmp"), mail = s.Path("mail");
    const std::string fresh = s.Path("fresh"), tmp2 = s.Path("new.tmp");
    std::fclose(pf::create_exclusive(tmp.c_str()));
    std::fclose(pf::create_exclusive(tmp2.c_str()));
    WriteFile(mail, "old");
    WriteFile(fresh, "new");
    ASSERT_NE(DaclEntries(tmp), DaclEntries(mail));
    EXPECT_TRUE(pf::take_access(tmp.c_str(), mail.c_str()));
    EXPECT_EQ(DaclEntries(tmp), DaclEntries(mail));
    EXPECT_TRUE(pf::take_access(tmp2.c_str(), s.Path("new-mail").c_str()));
    EXPECT_EQ(DaclEntries(tmp2), DaclEntries(fresh));
    EXPECT_FALSE(pf::take_access(nullptr, mail.c_str()));
}
#endif

// ---- strings ---------------------------------------------------------------

struct SplitCase {
    const char* path;
    const char* drive;
    const char* dir;
    const char* name;
    const char* ext;
};

void ExpectSplit(std::initializer_list<SplitCase> cases) {
    for (const SplitCase& c : cases) {
        pf::SplitPath sp = pf::split_path(c.path);
        SCOPED_TRACE(c.path != nullptr ? c.path : "<null>");
        EXPECT_EQ(sp.drive + "|" + sp.dir + "|" + sp.name + "|" + sp.ext,
                  std::string(c.drive) + "|" + c.dir + "|" + c.name + "|" + c.ext);
        // BackupMail builds the companion path by joining the four parts.
        if (c.path != nullptr) {
            EXPECT_EQ(sp.drive + sp.dir + sp.name + sp.ext, c.path);
        }
    }
}

TEST(PfSplitPath, CommonShapes) {
    ExpectSplit({
        {nullptr, "", "", "", ""},
        {"", "", "", "", ""},
        {"noext", "", "", "noext", ""},
        {"archive.tar.gz", "", "", "archive.tar", ".gz"},  // last dot
        {"trailingdot.", "", "", "trailingdot", "."},
        {".hidden", "", "", "", ".hidden"},
        {"/var/spool/x.d/abc", "", "/var/spool/x.d/", "abc", ""},  // dot in a folder only
        {"/var/spool/", "", "/var/spool/", "", ""},
        {"/a/b.c/d.poi", "", "/a/b.c/", "d", ".poi"},
        {"a//b..c", "", "a//", "b.", ".c"},
    });
}

#if defined(_WIN32)
TEST(PfSplitPath, WindowsDrivesAndBothSeparators) {
    ExpectSplit({
        {"C:\\mail\\in\\abc.poi", "C:", "\\mail\\in\\", "abc", ".poi"},
        {"c:abc.smi", "c:", "", "abc", ".smi"},
        {"D:", "D:", "", "", ""},
        {"C:/mixed\\seps/name.ext", "C:", "/mixed\\seps/", "name", ".ext"},
        {"\\\\server\\share\\f.txt", "", "\\\\server\\share\\", "f", ".txt"},
        {"dir.x\\file", "", "dir.x\\", "file", ""},
    });
    const char* paths[] = {
        "C:\\mail\\in\\abc.poi", "c:abc.smi", "x\\y.z\\w",       "..",    "a.b.c",
        "\\\\srv\\share\\f",     "C:\\",      "/unix/style.txt", "name.", ""};
    for (const char* p : paths) {  // as the runtime's own _splitpath does it
        char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
        _splitpath(p, drive, dir, name, ext);
        ExpectSplit({{p, drive, dir, name, ext}});
    }
}
#else
TEST(PfSplitPath, PosixHasNoDrivesAndKeepsBackslashesInNames) {
    ExpectSplit({
        {"C:abc.poi", "", "", "C:abc", ".poi"},
        {"/in/a\\b.txt", "", "/in/", "a\\b", ".txt"},
    });
}
#endif

int Sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(PfStrings, StrdupAndCaseBlindComparisonWithNullFirst) {
    char* copy = pf::strdup("Content-Type");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "Content-Type");
    std::free(copy);
    EXPECT_EQ(pf::strdup(nullptr), nullptr);

    struct Row {
        const char* a;
        const char* b;
        int sign;
    } rows[] = {
        {"Content-Type", "content-TYPE", 0},
        {"abc", "ABD", -1},
        {"ab", "abc", -1},  // a prefix comes first
        // '_' lies between 'Z' and 'a': folding to lower case puts it before
        // letters. Bytes above 127 are not folded and sort after ASCII.
        {"_", "A", -1},
        {"\xFC", "z", 1},
        {"\xFC", "\xDC", 1},
        {nullptr, nullptr, 0},
        {nullptr, "", -1},
        {"", nullptr, 1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.sign, Sign(pf::stricmp(r.a, r.b)))
            << (r.a != nullptr ? r.a : "<null>") << " vs " << (r.b != nullptr ? r.b : "<null>");
    }
    // strnicmp compares at most n characters and stops at the shorter end.
    EXPECT_EQ(pf::strnicmp("X-ZANAntiSpam: 1", "x-zanantispam: 2", 14), 0);
    EXPECT_NE(pf::strnicmp("X-ZANAntiSpam: 1", "x-zanantispam: 2", 16), 0);
    EXPECT_EQ(pf::strnicmp("abc", "xyz", 0), 0);
    EXPECT_EQ(pf::strnicmp("Ab", "aB", 100), 0);
    EXPECT_EQ(Sign(pf::strnicmp("a", "ab", 5)), -1);
    EXPECT_EQ(Sign(pf::strnicmp(nullptr, "a", 5)), -1);
}

// The shared helpers of pf_text.h: every layer lower-cases, trims and joins
// through them, so their edges are the edges of every caller.
// Names and words of mails in the charsets they declare, as UTF-8.
TEST(PfCharset, MailCharsetsToUtf8) {
    const struct {
        const char* charset;
        std::string bytes, text;
    } rows[] = {
        {"utf-8", "evil.exe", "evil.exe"},
        {"UTF-8",
         "\xEF\xBB\xBF"
         "a",
         "a"},
        {"iso-8859-1", "r\xE9sum\xE9", "r\xC3\xA9sum\xC3\xA9"},
        {"windows-1252", "\x80", "\xE2\x82\xAC"},
        {"koi8-r", "\xC1", "\xD0\xB0"},
        {"utf-7", "evil+AC4-exe", "evil.exe"},
        {"utf-16le", std::string("a\0.\0", 4), "a."},
        {"utf-16be", std::string("\0a\0.", 4), "a."},
        {"utf-16",
         std::string("\xFF\xFE"
                     "a\0",
                     4),
         "a"},  // by its mark
        {"utf-16", std::string("\xFE\xFF\0a", 4), "a"},
        {"utf-16", std::string("\0a", 2), "a"},  // no mark: big-endian
        {"utf-16le", std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80"},  // a pair
        {"utf-32le", std::string("a\0\0\0", 4), "a"},
        {"shift_jis", "\x82\xA0", "\xE3\x81\x82"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.charset);
        std::string out = "old";
        EXPECT_TRUE(pf::charset_to_utf8(row.charset, row.bytes, out));
        EXPECT_EQ(row.text, out);
    }
    for (const char* bad : {"no-such-charset", "utf-8//IGNORE", "", "utf 8",
                            "a-name-that-is-much-longer-than-any-charset-name"}) {
        std::string out = "old";
        EXPECT_FALSE(pf::charset_to_utf8(bad, "abc", out)) << bad;
        EXPECT_EQ("", out);
    }
    std::string out;
    EXPECT_FALSE(pf::charset_to_utf8("utf-8", "\xC3", out));                     // cut short
    EXPECT_FALSE(pf::charset_to_utf8("utf-16le", std::string("a\0b", 3), out));  // odd length
    EXPECT_FALSE(pf::charset_to_utf8("utf-16le", std::string("\x3D\xD8", 2), out));
}

TEST(PfText, LowerTrimJoinAndPathsLeaveEightBitBytesAlone) {
    EXPECT_EQ(pf::ascii_lower(std::string_view("Invoice.EXE\xC4\xDC", 13)),
              std::string("invoice.exe\xC4\xDC", 13));
    EXPECT_EQ(pf::ascii_lower(std::string_view("A\0B", 3)), std::string("a\0b", 3));
    EXPECT_TRUE(pf::equals_nocase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(pf::equals_nocase("\xC4", "\xE4"));  // no locale folding
    EXPECT_FALSE(pf::equals_nocase("ab", "abc"));

    EXPECT_EQ(pf::trim("  \t a b \r\n"), "a b");
    EXPECT_EQ(pf::trim(" \r\n\t "), "");
    EXPECT_EQ(pf::trim(""), "");
    EXPECT_EQ(pf::trim(" .name. ", " ."), "name");
    EXPECT_EQ(pf::trim("\r x \n", " "), "\r x \n");  // only the set given

    EXPECT_EQ(pf::join({}, ", "), "");
    EXPECT_EQ(pf::join({"a"}, ", "), "a");
    EXPECT_EQ(pf::join({"a", "", "c"}, ", "), "a, , c");  // empty items kept

    const std::string sep(1, pf::PATH_SEPARATOR);
    EXPECT_EQ(pf::join_path("q", "a.exe"), "q" + sep + "a.exe");
    EXPECT_EQ(pf::join_path("q" + sep, "a.exe"), "q" + sep + "a.exe");
    EXPECT_EQ(pf::join_path("q/", "a.exe"), "q/a.exe");  // '/' counts everywhere
    EXPECT_EQ(pf::join_path("", "a.exe"), "a.exe");      // never the root
    EXPECT_EQ(pf::path_sep(), pf::PATH_SEPARATOR);
}

// The four character classes the library's readers cut and pad with; the
// table is the whole of each class over every byte value.
TEST(PfText, CharacterClassesAreExactlyTheirSets) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        SCOPED_TRACE(b);
        const bool wsp = b == ' ' || b == '\t';
        const bool line = wsp || b == '\r' || b == '\n';
        EXPECT_EQ(pf::is_wsp(c), wsp);
        EXPECT_EQ(pf::is_blank_or_line_end(c), line);
        EXPECT_EQ(pf::is_blank_or_line_end(c),
                  pf::BLANKS_AND_LINE_ENDS.find(c) != std::string_view::npos);
        EXPECT_EQ(pf::is_c_space(c), line || b == '\v' || b == '\f');
    }
}

TEST(PfText, CopyTerminatedKeepsZeroBytesAndEndsWithOne) {
    char* copy = pf::copy_terminated("a\0b", 3);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy, 4), std::string("a\0b\0", 4));
    std::free(copy);
    copy = pf::copy_terminated(nullptr, 0);  // an empty span makes ""
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[0], '\0');
    std::free(copy);
}

// Control characters of a mail's text become blanks, everything else
// (8-bit bytes too) stays, and the length never changes.
TEST(PfText, BlankControlsKeepsLengthAndEightBitBytes) {
    const std::string in("a\r\nb\tc\x1b[0m\x7f\xe4~ ", 14);
    const std::string out = pf::blank_controls(in);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(out, std::string("a  b c [0m \xe4~ "));
    EXPECT_EQ(pf::blank_controls(std::string_view("x\0y", 3)), "x y");  // blanked, not cut
    EXPECT_EQ(pf::blank_controls(""), "");
}

// ---- threads ---------------------------------------------------------------

// Enough for a thread to be scheduled on a busy machine; a bound to end.
constexpr unsigned kSettleMs = 100, kEndMs = 10000;

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<bool> release{false};  // a blocked body may end
    std::atomic<bool> finished{false};
};

void Count(void* p) {
    static_cast<Probe*>(p)->runs.fetch_add(1);
}

void BlockUntilReleased(void* p) {
    auto* probe = static_cast<Probe*>(p);
    probe->runs.fetch_add(1);
    while (!probe->release.load())
        pf::sleep_ms(1);
    probe->finished.store(true);
}

TEST(PfThread, RunsOnlyAfterResumeWithDistinctIdsAndNeverWhenClosedBefore) {
    Probe probe;
    std::uint32_t a = 0, b = 0;
    pf::Thread* ta = pf::thread_create_suspended(&Count, &probe, &a);
    pf::Thread* tb = pf::thread_create_suspended(&Count, &probe, &b);
    pf::Thread* never = pf::thread_create_suspended(&Count, &probe, nullptr);
    ASSERT_NE(ta, nullptr);
    ASSERT_NE(tb, nullptr);
    ASSERT_NE(never, nullptr);
    pf::thread_close(never);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_FALSE(pf::thread_wait(ta, kSettleMs));
    EXPECT_EQ(probe.runs.load(), 0);
    ASSERT_TRUE(pf::thread_resume(ta));
    EXPECT_TRUE(pf::thread_wait(ta, kEndMs));
    EXPECT_EQ(probe.runs.load(), 1);
    ASSERT_TRUE(pf::thread_resume(tb));
    EXPECT_TRUE(pf::thread_wait(tb, kEndMs));
    EXPECT_EQ(probe.runs.load(), 2);
    pf::thread_close(ta);
    pf::thread_close(tb);
    pf::sleep_ms(kSettleMs);
    EXPECT_EQ(probe.runs.load(), 2);  // the closed one never ran

    EXPECT_EQ(pf::thread_create_suspended(nullptr, nullptr, nullptr), nullptr);
    EXPECT_FALSE(pf::thread_resume(nullptr));
    EXPECT_FALSE(pf::thread_wait(nullptr, 0));
    pf::thread_close(nullptr);  // does nothing
}

// The service's Stop waits in rounds until the job in progress ends.
TEST(PfThread, TimedWaitsInRoundsUntilTheThreadEnds) {
    Probe probe;
    pf::Thread* t = pf::thread_create_suspended(&BlockUntilReleased, &probe, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(pf::thread_resume(t));
    EXPECT_FALSE(pf::thread_wait(t, 0));
    EXPECT_FALSE(pf::thread_wait(t, kSettleMs));
    EXPECT_FALSE(probe.finished.load());
    int rounds = 0;
    while (!pf::thread_wait(t, 20)) {
        if (++rounds == 3)
            probe.release.store(true);
        ASSERT_LT(rounds, 1000);
    }
    EXPECT_GE(rounds, 3);
    EXPECT_TRUE(probe.finished.load());
    EXPECT_TRUE(pf::thread_wait(t, 0));
    EXPECT_TRUE(pf::thread_wait(t, PF_WAIT_FOREVER));
    pf::thread_close(t);
}

TEST(PfThread, CloseWhileRunningDetaches) {
    auto* probe = new Probe;  // outlives the handle; freed after the thread ends
    pf::Thread* t = pf::thread_create_suspended(&BlockUntilReleased, probe, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(pf::thread_resume(t));
    pf::thread_close(t);
    probe->release.store(true);
    for (unsigned waited = 0; waited < kEndMs && !probe->finished.load(); waited += 5)
        pf::sleep_ms(5);
    EXPECT_TRUE(probe->finished.load());
    EXPECT_EQ(probe->runs.load(), 1);
    pf::sleep_ms(kSettleMs);  // let the detached thread leave its body
    delete probe;
}

// Owners on several threads run their own workers at once, as services in
// one host process do.
TEST(PfThread, ManyThreadsFromSeveralOwnersAllRunOnce) {
    constexpr int kOwners = 4, kEach = 25;
    Probe probe;
    std::atomic<int> failures{0};
    std::vector<std::thread> owners;
    for (int o = 0; o < kOwners; ++o) {
        owners.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                pf::Thread* t = pf::thread_create_suspended(&Count, &probe, nullptr);
                if (t == nullptr || !pf::thread_resume(t) || !pf::thread_wait(t, kEndMs))
                    failures.fetch_add(1);
                pf::thread_close(t);
            }
        });
    }
    for (auto& th : owners)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(probe.runs.load(), kOwners * kEach);
}

// A lower bound only: sleep must not return early by a whole tick.
TEST(PfSleep, SleepsAtLeastRoughlyTheTimeAsked) {
    auto start = std::chrono::steady_clock::now();
    pf::sleep_ms(50);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 40);
}

}  // namespace
