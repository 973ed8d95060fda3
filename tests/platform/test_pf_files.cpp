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

// Bytes that show any shift, loss or repetition of a block: every position
// gets a value from a simple generator, with CR, LF and NUL among them.
std::string PatternBytes(std::size_t n) {
    std::string s(n, '\0');
    std::uint32_t x = 2463534242u;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x & 0xFF);
    }
    return s;
}

TEST(PfFileAttributes, ExistsAndDirectoryTellFilesFromDirectories) {
    Scratch s;
    std::string file = s.Path("a.poi");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_TRUE(pf::file_exists(file.c_str()));
    EXPECT_FALSE(pf::is_directory(file.c_str()));
    EXPECT_TRUE(pf::file_exists(s.Dir().c_str()));
    EXPECT_TRUE(pf::is_directory(s.Dir().c_str()));
    std::string missing = s.Path("nothing-here");
    EXPECT_FALSE(pf::file_exists(missing.c_str()));
    EXPECT_FALSE(pf::is_directory(missing.c_str()));
}

TEST(PfFileAttributes, NullPathIsRefusedWithAnError) {
    EXPECT_FALSE(pf::file_exists(nullptr));
    EXPECT_NE(pf::last_error(), 0ul);
    EXPECT_FALSE(pf::is_directory(nullptr));
    EXPECT_FALSE(pf::delete_file(nullptr));
    EXPECT_FALSE(pf::copy_file(nullptr, "x"));
    EXPECT_FALSE(pf::copy_file("x", nullptr));
    EXPECT_FALSE(pf::replace_file(nullptr, "x"));
    EXPECT_FALSE(pf::make_dirs(nullptr));
    EXPECT_FALSE(pf::make_dirs(""));
    EXPECT_EQ(pf::create_exclusive(nullptr), nullptr);
}

TEST(PfCopyFile, CopiesToANewFile) {
    Scratch s;
    std::string from = s.Path("mail.poi"), to = s.Path("copy.poi");
    const char raw[] = "From: a\r\n\r\nbody\n\0tail";
    const std::string mail(raw, sizeof raw - 1);
    ASSERT_TRUE(WriteFile(from, mail));
    ASSERT_TRUE(pf::copy_file(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadFile(to), mail);
    EXPECT_EQ(ReadFile(from), mail);
}

TEST(PfCopyFile, OverwritesALongerTargetCompletely) {
    Scratch s;
    std::string from = s.Path("short"), to = s.Path("long");
    ASSERT_TRUE(WriteFile(from, "new"));
    ASSERT_TRUE(WriteFile(to, std::string(10000, 'o')));
    ASSERT_TRUE(pf::copy_file(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadFile(to), "new");
}

TEST(PfCopyFile, EmptySourceGivesEmptyTarget) {
    Scratch s;
    std::string from = s.Path("empty"), to = s.Path("target");
    ASSERT_TRUE(WriteFile(from, ""));
    ASSERT_TRUE(WriteFile(to, "old contents"));
    ASSERT_TRUE(pf::copy_file(from.c_str(), to.c_str()));
    EXPECT_TRUE(pf::file_exists(to.c_str()));
    EXPECT_EQ(ReadFile(to), "");
}

TEST(PfCopyFile, LargeFileIsCopiedByteForByte) {
    // Several copy chunks plus a partial one.
    Scratch s;
    std::string from = s.Path("big"), to = s.Path("big.copy");
    std::string bytes = PatternBytes(5 * 1024 * 1024 + 12345);
    ASSERT_TRUE(WriteFile(from, bytes));
    ASSERT_TRUE(pf::copy_file(from.c_str(), to.c_str()));
    std::string got = ReadFile(to);
    ASSERT_EQ(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes);
}

TEST(PfCopyFile, CopyTwiceToTheSameTargetKeepsTheLastCopy) {
    // The backup of a mail without companion copies the source twice.
    Scratch s;
    std::string a = s.Path("a"), b = s.Path("b"), to = s.Path("t");
    ASSERT_TRUE(WriteFile(a, "first"));
    ASSERT_TRUE(WriteFile(b, "second, longer"));
    ASSERT_TRUE(pf::copy_file(b.c_str(), to.c_str()));
    ASSERT_TRUE(pf::copy_file(a.c_str(), to.c_str()));
    EXPECT_EQ(ReadFile(to), "first");
}

TEST(PfCopyFile, MissingSourceFailsAndLeavesTargetAlone) {
    Scratch s;
    std::string from = s.Path("missing"), to = s.Path("target");
    ASSERT_TRUE(WriteFile(to, "keep me"));
    EXPECT_FALSE(pf::copy_file(from.c_str(), to.c_str()));
#if defined(_WIN32)
    EXPECT_EQ(pf::last_error(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
#else
    EXPECT_EQ(pf::last_error(), static_cast<unsigned long>(ENOENT));
#endif
    EXPECT_EQ(ReadFile(to), "keep me");
}

TEST(PfCopyFile, CopyOntoItselfFailsAndKeepsTheFile) {
    Scratch s;
    std::string file = s.Path("mail.poi");
    ASSERT_TRUE(WriteFile(file, "the only copy of this mail"));
    EXPECT_FALSE(pf::copy_file(file.c_str(), file.c_str()));
    EXPECT_NE(pf::last_error(), 0ul);
    // The same file under another spelling of its path.
    std::string other = s.Dir() + pf::path_sep() + "." + pf::path_sep() + "mail.poi";
    EXPECT_FALSE(pf::copy_file(file.c_str(), other.c_str()));
    EXPECT_EQ(ReadFile(file), "the only copy of this mail");
}

TEST(PfCopyFile, DirectoryAsSourceOrMissingTargetFolderFails) {
    Scratch s;
    std::string file = s.Path("f");
    ASSERT_TRUE(WriteFile(file, "data"));
    std::string to = s.Path("t");
    EXPECT_FALSE(pf::copy_file(s.Dir().c_str(), to.c_str()));
    EXPECT_FALSE(pf::file_exists(to.c_str()));
    std::string deep = s.Path("no-such-dir") + pf::path_sep() + "f";
    EXPECT_FALSE(pf::copy_file(file.c_str(), deep.c_str()));
    EXPECT_NE(pf::last_error(), 0ul);
}

TEST(PfDeleteFile, DeletesFilesButNotDirectories) {
    Scratch s;
    std::string file = s.Path("tmp");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_TRUE(pf::delete_file(file.c_str()));
    EXPECT_FALSE(pf::file_exists(file.c_str()));
    EXPECT_FALSE(pf::delete_file(file.c_str()));  // already gone
    EXPECT_NE(pf::last_error(), 0ul);
    std::string dir = s.Path("d");
    ASSERT_TRUE(pf::make_dirs(dir.c_str()));
    EXPECT_FALSE(pf::delete_file(dir.c_str()));
    EXPECT_TRUE(pf::is_directory(dir.c_str()));
}

TEST(PfReplaceFile, ReplacesAnExistingTarget) {
    Scratch s;
    std::string tmp = s.Path("mail.poi.tmp"), mail = s.Path("mail.poi");
    ASSERT_TRUE(WriteFile(mail, "old header\r\n\r\nbody"));
    ASSERT_TRUE(WriteFile(tmp, "new header\r\n\r\nbody"));
    ASSERT_TRUE(pf::replace_file(tmp.c_str(), mail.c_str()));
    EXPECT_EQ(ReadFile(mail), "new header\r\n\r\nbody");
    EXPECT_FALSE(pf::file_exists(tmp.c_str()));
}

TEST(PfReplaceFile, MovesToANewName) {
    Scratch s;
    std::string from = s.Path("a"), to = s.Path("b");
    ASSERT_TRUE(WriteFile(from, "x"));
    ASSERT_TRUE(pf::replace_file(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadFile(to), "x");
    EXPECT_FALSE(pf::file_exists(from.c_str()));
}

TEST(PfReplaceFile, MissingSourceFailsAndTheTargetStays) {
    Scratch s;
    std::string from = s.Path("missing"), to = s.Path("mail");
    ASSERT_TRUE(WriteFile(to, "the mail"));
    EXPECT_FALSE(pf::replace_file(from.c_str(), to.c_str()));
    EXPECT_NE(pf::last_error(), 0ul);
    EXPECT_EQ(ReadFile(to), "the mail");
}

TEST(PfMakeDirs, CreatesEveryMissingLevel) {
    Scratch s;
    const char sep = pf::path_sep();
    std::string deep = s.Dir() + sep + "data" + sep + "origmail" + sep + "x";
    ASSERT_TRUE(pf::make_dirs(deep.c_str()));
    EXPECT_TRUE(pf::is_directory(deep.c_str()));
    // Existing directory, trailing and doubled separators.
    EXPECT_TRUE(pf::make_dirs(deep.c_str()));
    EXPECT_TRUE(pf::make_dirs((deep + sep).c_str()));
    std::string doubled = s.Dir() + sep + sep + "y" + sep + sep + "z";
    EXPECT_TRUE(pf::make_dirs(doubled.c_str()));
    EXPECT_TRUE(pf::is_directory((s.Path("y") + sep + "z").c_str()));
}

TEST(PfMakeDirs, FileInTheWayFails) {
    Scratch s;
    std::string file = s.Path("file");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_FALSE(pf::make_dirs(file.c_str()));
    EXPECT_NE(pf::last_error(), 0ul);
    EXPECT_FALSE(pf::make_dirs((file + pf::path_sep() + "below").c_str()));
    EXPECT_EQ(ReadFile(file), "x");
}

TEST(PfMakeDirs, PathLongerThanThePathBufferIsRefused) {
    Scratch s;
    std::string p = s.Dir();
    while (p.size() < PF_MAX_PATH)
        p += pf::path_sep() + std::string(40, 'd');
    EXPECT_FALSE(pf::path_fits(p));
    EXPECT_FALSE(pf::make_dirs(p.c_str()));
    EXPECT_NE(pf::last_error(), 0ul);
}

TEST(PfCreateExclusive, CreatesAWritableBinaryFile) {
    Scratch s;
    std::string path = s.Path("mailward-scan.tmp");
    std::FILE* f = pf::create_exclusive(path.c_str());
    ASSERT_NE(f, nullptr);
    const char data[] = "line\nnext\r\n\0end";
    ASSERT_EQ(std::fwrite(data, 1, sizeof data - 1, f), sizeof data - 1);
    ASSERT_EQ(std::fclose(f), 0);
    EXPECT_EQ(ReadFile(path), std::string(data, sizeof data - 1));  // no LF -> CR LF
    EXPECT_TRUE(pf::delete_file(path.c_str()));
}

TEST(PfCreateExclusive, ExistingNameIsRefusedAndKept) {
    Scratch s;
    std::string path = s.Path("taken");
    ASSERT_TRUE(WriteFile(path, "someone else's"));
    EXPECT_EQ(pf::create_exclusive(path.c_str()), nullptr);
#if defined(_WIN32)
    EXPECT_EQ(pf::last_error(), static_cast<unsigned long>(ERROR_FILE_EXISTS));
#else
    EXPECT_EQ(pf::last_error(), static_cast<unsigned long>(EEXIST));
#endif
    EXPECT_EQ(ReadFile(path), "someone else's");
}

TEST(PfCreateExclusive, MissingFolderFails) {
    Scratch s;
    std::string path = s.Path("no-dir") + pf::path_sep() + "f";
    EXPECT_EQ(pf::create_exclusive(path.c_str()), nullptr);
    EXPECT_NE(pf::last_error(), 0ul);
}

#if !defined(_WIN32)
TEST(PfCreateExclusive, OnlyTheOwnerMayReadOrWrite) {
    Scratch s;
    std::string path = s.Path("private");
    std::FILE* f = pf::create_exclusive(path.c_str());
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    EXPECT_EQ(st.st_mode & 0600, 0600u);
}

TEST(PfCreateExclusive, DanglingLinkIsNotFollowed) {
    Scratch s;
    std::string target = s.Path("planted-target"), link = s.Path("scan.tmp");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
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
