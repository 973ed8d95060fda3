/*
 * test_pf_files.cpp - the file calls of the platform layer: existence,
 * copy with overwrite (also of files larger than one copy chunk), deletion,
 * replacement in one step, mkdir -p and the exclusive owner-only file. Every
 * failure case checks that the files involved stay as they were and that
 * last_error() names a reason.
 */
#include "platform.h"

#include "pf_scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

using pftest::ReadFile;
using pftest::Scratch;
using pftest::WriteFile;

// Bytes that show any shift, loss or repetition of a block, with CR, LF and
// NUL among them.
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
    EXPECT_TRUE(pf::file_exists(s.Dir().c_str()));
    EXPECT_TRUE(pf::is_directory(s.Dir().c_str()));
    EXPECT_FALSE(pf::file_exists(missing.c_str()));
    EXPECT_FALSE(pf::is_directory(missing.c_str()));

    EXPECT_FALSE(pf::file_exists(nullptr));
    ExpectError();
    EXPECT_FALSE(pf::copy_file(file.c_str(), nullptr));
    EXPECT_FALSE(pf::make_dirs(""));
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
        EXPECT_TRUE(got == r.bytes);
        EXPECT_TRUE(ReadFile(from) == r.bytes);
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
    std::string other = s.Dir() + pf::path_sep() + "." + pf::path_sep() + "mail.poi";
    EXPECT_FALSE(pf::copy_file(file.c_str(), other.c_str()));
    EXPECT_EQ(ReadFile(file), "the only copy of this mail");

    std::string to = s.Path("t");
    EXPECT_FALSE(pf::copy_file(s.Dir().c_str(), to.c_str()));  // a directory as source
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
    std::string deep = s.Dir() + sep + "data" + sep + "origmail" + sep + "x";
    ASSERT_TRUE(pf::make_dirs(deep.c_str()));
    EXPECT_TRUE(pf::is_directory(deep.c_str()));
    // Existing directory, trailing and doubled separators.
    EXPECT_TRUE(pf::make_dirs((deep + sep).c_str()));
    std::string doubled = s.Dir() + sep + sep + "y" + sep + sep + "z";
    EXPECT_TRUE(pf::make_dirs(doubled.c_str()));
    EXPECT_TRUE(pf::is_directory((s.Path("y") + sep + "z").c_str()));

    std::string file = s.Path("file");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_FALSE(pf::make_dirs(file.c_str()));
    ExpectError();
    EXPECT_FALSE(pf::make_dirs((file + sep + "below").c_str()));
    EXPECT_EQ(ReadFile(file), "x");

    std::string p = s.Dir();
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
#endif

}  // namespace
