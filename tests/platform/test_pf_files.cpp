/*
 * test_pf_files.cpp - the platform calls that keep files of other processes
 * and other users out of reach: only regular files are read (a FIFO, a
 * device, a folder fail at once), new files never go over or through what
 * is under their name, private folders are owner-only and unique, the
 * private-folder test, random names, and the write fault hook. FIFOs,
 * devices, links and modes are POSIX's: those tests run there only.
 */
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <set>

#include "pf_scratch.h"
#include "pf/platform.h"

namespace {

namespace fs = std::filesystem;
using pftest::ReadFile;

#if defined(_WIN32)
constexpr unsigned long DISK_FULL = 112;  // ERROR_DISK_FULL
#else
constexpr unsigned long DISK_FULL = ENOSPC;
#endif
using pftest::Scratch;
using pftest::WriteFile;

#if !defined(_WIN32)
unsigned ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000u;
}

// Every reader refuses what is not a regular file before reading a byte:
// a FIFO without a writer does not block, /dev/zero is not copied without
// end, a folder is no mail. A regular file (also through a link) reads.
TEST(PfRegularFiles, OnlyRegularFilesAreReadOrCopied) {
    Scratch s;
    ASSERT_EQ(::mkfifo(s.Path("fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", s.Path("zero"));
    fs::create_directory(s.Path("folder"));
    ASSERT_TRUE(WriteFile(s.Path("mail"), "text"));
    fs::create_symlink(s.Path("mail"), s.Path("link"));
    struct Row {
        const char* name;
        bool regular;
    };
    for (const Row& row : {Row{"fifo", false}, Row{"zero", false}, Row{"folder", false},
                           Row{"mail", true}, Row{"link", true}}) {
        SCOPED_TRACE(row.name);
        pf::InputFile in;
        EXPECT_EQ(in.open(s.Path(row.name).c_str()), row.regular);
        EXPECT_EQ(in.not_regular(), !row.regular);
        const std::string copy = s.Path(std::string(row.name) + ".copy");
        const std::string fresh = s.Path(std::string(row.name) + ".new");
        EXPECT_EQ(pf::copy_file(s.Path(row.name).c_str(), copy.c_str()), row.regular);
        EXPECT_EQ(pf::copy_to_new_file(s.Path(row.name).c_str(), fresh.c_str()), row.regular);
        if (row.regular) {
            char buf[8] = {};
            EXPECT_EQ(in.read(buf, sizeof buf), 4u);
            EXPECT_EQ(ReadFile(copy), "text");
            EXPECT_EQ(ReadFile(fresh), "text");
            EXPECT_EQ(ModeOf(fresh), 0600u);
        } else {
            EXPECT_FALSE(fs::exists(copy));
            EXPECT_FALSE(fs::exists(fresh));
        }
    }
    // Nor is a FIFO under the target's name written into.
    EXPECT_FALSE(pf::copy_file(s.Path("mail").c_str(), s.Path("fifo").c_str()));
    EXPECT_TRUE(fs::is_fifo(s.Path("fifo")));
}

// A new file never goes over or through anything under its name: a file,
// a link to a file, a dangling link all stay as they were.
TEST(PfNewFiles, TakenNamesAreNeverOverwrittenOrFollowed) {
    Scratch s;
    ASSERT_TRUE(WriteFile(s.Path("src"), "new"));
    ASSERT_TRUE(WriteFile(s.Path("victim"), "keep"));
    ASSERT_TRUE(WriteFile(s.Path("file"), "old"));
    fs::create_symlink(s.Path("victim"), s.Path("link"));
    fs::create_symlink(s.Path("planted"), s.Path("dangling"));
    for (const char* name : {"file", "link", "dangling"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(pf::copy_to_new_file(s.Path("src").c_str(), s.Path(name).c_str()));
        std::FILE* f = pf::create_exclusive(s.Path(name).c_str());
        EXPECT_EQ(f, nullptr);
        if (f != nullptr)
            std::fclose(f);
        EXPECT_TRUE(pf::name_taken(s.Path(name).c_str()));
    }
    EXPECT_EQ(ReadFile(s.Path("file")), "old");
    EXPECT_EQ(ReadFile(s.Path("victim")), "keep");
    EXPECT_FALSE(fs::exists(s.Path("planted")));
    EXPECT_FALSE(pf::name_taken(s.Path("free").c_str()));
}

// Private folders: owner-only, unique names with the prefix, never an
// existing folder; the private test wants our own folder that only we may
// write, not a link to one; remove_dir takes an empty folder.
TEST(PfPrivateFolders, AreOwnerOnlyUniqueAndTestedForOthersAccess) {
    Scratch s;
    std::set<std::string> made;
    for (int i = 0; i < 20; ++i) {
        const std::string dir = pf::make_private_dir(s.str().c_str(), "mailward-");
        ASSERT_FALSE(dir.empty());
        EXPECT_EQ(fs::path(dir).parent_path(), fs::path(s.str()));
        EXPECT_EQ(fs::path(dir).filename().string().size(),
                  std::string("mailward-").size() + pf::PRIVATE_DIR_RANDOM);
        EXPECT_EQ(ModeOf(dir), 0700u);
        EXPECT_TRUE(pf::is_private_dir(dir.c_str()));
        made.insert(dir);
    }
    EXPECT_EQ(made.size(), 20u);
    EXPECT_EQ(pf::make_private_dir(s.Path("missing").c_str(), "x-"), "");

    struct Row {
        const char* name;
        unsigned mode;  // 0: a link to a private folder
        bool privateDir;
    };
    fs::create_directory(s.Path("target"));
    ::chmod(s.Path("target").c_str(), 0700);
    for (const Row& row : {Row{"own", 0755, true}, Row{"group", 0770, false},
                           Row{"others", 0703, false}, Row{"link", 0, false}}) {
        SCOPED_TRACE(row.name);
        if (row.mode == 0) {
            fs::create_directory_symlink(s.Path("target"), s.Path(row.name));
        } else {
            fs::create_directory(s.Path(row.name));
            ::chmod(s.Path(row.name).c_str(), row.mode);
        }
        EXPECT_EQ(pf::is_private_dir(s.Path(row.name).c_str()), row.privateDir);
    }
    EXPECT_FALSE(pf::is_private_dir(s.Path("missing").c_str()));

    EXPECT_TRUE(pf::make_private_dirs(s.Path("a/b/c").c_str()));
    for (const char* dir : {"a", "a/b", "a/b/c"})
        EXPECT_EQ(ModeOf(s.Path(dir)), 0700u) << dir;
    EXPECT_FALSE(pf::remove_dir(s.Path("a").c_str()));  // not empty
    EXPECT_TRUE(pf::remove_dir(s.Path("a/b/c").c_str()));
    EXPECT_FALSE(fs::exists(s.Path("a/b/c")));
}

#endif

TEST(PfRandomNames, HoldLettersAndDigitsAndDiffer) {
    std::set<std::string> names;
    for (int i = 0; i < 100; ++i) {
        const std::string name = pf::random_name(12);
        ASSERT_EQ(name.size(), 12u);
        for (char c : name)
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 100u);
}

// A full disk in the middle of a copy: the copy fails with ENOSPC and leaves
// no partial file; the hook sees every block.
TEST(PfFaultHooks, AFullDiskFailsTheCopyAndLeavesNothing) {
    Scratch s;
    const std::string big(200 * 1024, 'x');
    ASSERT_TRUE(WriteFile(s.Path("src"), big));
    static std::size_t s_allowed, s_seen;
    pf::FaultHooks hooks;
    hooks.beforeWrite = [](std::size_t n, void*) {
        s_seen += n;
        return s_seen <= s_allowed;
    };
    for (const bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "copy_to_new_file" : "copy_file");
        const std::string to = s.Path(fresh ? "new" : "copy");
        s_allowed = big.size() / 2;
        s_seen = 0;
        pf::set_fault_hooks(&hooks);
        const bool ok = fresh ? pf::copy_to_new_file(s.Path("src").c_str(), to.c_str())
                              : pf::copy_file(s.Path("src").c_str(), to.c_str());
        const unsigned long code = pf::last_error();
        pf::set_fault_hooks(nullptr);
        EXPECT_FALSE(ok);
        EXPECT_EQ(code, DISK_FULL);
        EXPECT_FALSE(fs::exists(to));
        EXPECT_TRUE(pf::copy_file(s.Path("src").c_str(), to.c_str()));  // hook gone
        EXPECT_EQ(ReadFile(to), big);
        fs::remove(to);
    }
}

}  // namespace
