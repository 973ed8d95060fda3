/*
 * test_files_and_faults.cpp - the files a check reads and writes, through
 * the exported interface with the real worker: only regular files of at
 * most MaxMailSize are checked (a FIFO, a link to a device, a sparse file
 * above 4 GiB, a too large mail are refused with ERR_LOAD and left as they
 * are); backups get names of their own per check and never follow links;
 * a backup folder open to others is refused; a full disk while the backup,
 * a moved part or the mail is written, a target folder that cannot be
 * written, a TempDir that vanishes and an engine that fails all leave the
 * original mail recoverable and reported.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "../processors/fixtures.h"
#include "mailward.h"
#include "mime/mimeoutput.h"
#include "miralib/miralib.h"
#include "pf/platform.h"

namespace {

using namespace fixtures;

// Bytes of the sparse mail: 4 GiB and 342, read as 342 by a 32-bit size.
constexpr std::uint64_t SPARSE_SIZE = (std::uint64_t{1} << 32) + 342;

struct Seen {
    std::uint32_t errors = 0;
    int modified = 0, virusResult = 0;
};

class FilesAndFaults : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Seen> seen;

    fs::path Data() const { return dir.path() / "data"; }
    fs::path Backups() const { return Data() / "origmail"; }
    fs::path Temp() const { return dir.path() / "tmp"; }

    void SetUp() override {
        fs::create_directories(Temp());
        miraconf_set("DataDir", Data().string().c_str());
        miraconf_set("TempDir", Temp().string().c_str());
        miraconf_set("BackupMode", "1");
        ASSERT_EQ(MAILWARD_init(), 0);
    }
    void TearDown() override {
        MAILWARD_exit();
        pf::set_fault_hooks(nullptr);
        MimeSetFileHooks(nullptr);
        miraconf_reset();
    }

    static void MAILWARD_CALL OnReport(const CheckReport* r, uintptr_t user) {
        auto* self = reinterpret_cast<FilesAndFaults*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.push_back(Seen{r->errors, r->modified, r->virusResult});
        self->cv.notify_all();
    }

    fs::path Mail(const std::string& name, const std::string& text) {
        fs::path p = dir.path() / name;
        fs::create_directories(p.parent_path());
        WriteFile(p, text);
        return p;
    }

    // Checks `source`; a callback that does not come within the time is a
    // failure (a worker blocked on a FIFO never calls back).
    Seen Check(const fs::path& source, int flags) {
        std::size_t before;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = seen.size();
        }
        EXPECT_EQ(MAILWARD_check_mail("set", nullptr, source.string().c_str(), nullptr, flags,
                                      nullptr, 0, &OnReport, reinterpret_cast<uintptr_t>(this)),
                  0);
        std::unique_lock<std::mutex> lock(mutex);
        const bool called =
            cv.wait_for(lock, std::chrono::seconds(20), [&] { return seen.size() > before; });
        EXPECT_TRUE(called) << "no callback for " << source;
        return called ? seen.back() : Seen{~0u, -1, -1};
    }

    // Backups in origmail whose name starts with `name` + ".", with their texts.
    std::vector<std::string> BackupsOf(const std::string& name) {
        std::vector<std::string> texts;
        if (!fs::exists(Backups()))
            return texts;
        for (const auto& e : fs::directory_iterator(Backups())) {
            if (e.path().filename().string().rfind(name + ".", 0) == 0 && e.is_regular_file())
                texts.push_back(ReadFile(e.path()));
        }
        return texts;
    }

    std::string Infected() { return MultipartMail("x", {{"a.exe", kEicarBase64}}); }
};

// Anything but a regular file, and a mail above MaxMailSize, is refused with
// ERR_LOAD and its error line before a byte is read: nothing blocks, nothing
// is cut, copied, backed up or rewritten.
TEST_F(FilesAndFaults, OnlyRegularFilesWithinTheSizeLimitAreChecked) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *", 0, 9, nullptr, 0), 0);
    const fs::path fifo = dir.path() / "fifo.eml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path device = dir.path() / "zero.eml";
    fs::create_symlink("/dev/zero", device);
    const fs::path sparse = Mail("sparse.eml", "");
    ASSERT_EQ(::truncate(sparse.c_str(), static_cast<off_t>(SPARSE_SIZE)), 0);
    const fs::path big = Mail("big.eml", MultipartMail("x", {{"a.exe", "TVqQ"}}));
    struct Row {
        fs::path mail;
        const char* maxSize;  // null: the default
        const char* line;
    };
    for (const Row& row : {Row{fifo, nullptr, "[MAILCHECK] [ERROR] [not a regular file "},
                           Row{device, nullptr, "[MAILCHECK] [ERROR] [not a regular file "},
                           Row{Temp(), nullptr, "[MAILCHECK] [ERROR] [not a regular file "},
                           Row{sparse, nullptr, "[MAILCHECK] [ERROR] [larger than MaxMailSize "},
                           Row{big, "100", "[MAILCHECK] [ERROR] [larger than MaxMailSize "}}) {
        SCOPED_TRACE(row.mail.string());
        miraconf_set("MaxMailSize", row.maxSize);
        const std::string before = row.mail == big ? ReadFile(big) : "";
        LogCapture log;
        const Seen s = Check(row.mail, JOB_ATTACHMENT_FILTER);
        EXPECT_EQ(s.errors, ERR_LOAD);
        EXPECT_EQ(s.modified, 0);
        EXPECT_TRUE(log.Has(QLOG_ERROR, row.line + row.mail.string() + "]"));
        EXPECT_TRUE(BackupsOf(row.mail.filename().string()).empty());
        if (row.mail == big) {
            EXPECT_EQ(ReadFile(big), before);
        }
    }
    EXPECT_EQ(fs::file_size(sparse), SPARSE_SIZE);
    EXPECT_TRUE(fs::is_fifo(fifo));
    // Within the limit the same mail is checked and rewritten.
    miraconf_set("MaxMailSize", nullptr);
    EXPECT_EQ(Check(big, JOB_ATTACHMENT_FILTER).modified, 1);
}

// Backups of two mails with one file name (two spool folders) are files of
// their own: the unchanged mail's temporary backup goes, the changed mail's
// stays with its own text. Links planted in origmail under the names a
// backup would once have taken are never followed.
TEST_F(FilesAndFaults, BackupsHaveNamesOfTheirOwnAndNeverFollowLinks) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    ScratchDir elsewhere;
    WriteFile(elsewhere.path() / "victim", "keep me");
    fs::create_directories(Backups());
    fs::permissions(Data(), fs::perms::owner_all);
    fs::permissions(Backups(), fs::perms::owner_all);
    fs::create_symlink(elsewhere.path() / "victim", Backups() / "m.eml");
    fs::create_symlink(elsewhere.path() / "planted", Backups() / "m.poc");

    const std::string changed = MultipartMail("first", {{"a.exe", "TVqQ"}});
    const fs::path a = Mail("A/m.eml", changed);
    EXPECT_EQ(Check(a, JOB_ATTACHMENT_FILTER).modified, 1);
    const fs::path b = Mail("B/m.eml", MultipartMail("second", {{"b.txt", "aGk="}}));
    EXPECT_EQ(Check(b, JOB_ATTACHMENT_FILTER).modified, 0);

    EXPECT_EQ(BackupsOf("m.eml"), std::vector<std::string>{changed});
    EXPECT_EQ(ReadFile(elsewhere.path() / "victim"), "keep me");
    EXPECT_FALSE(fs::exists(elsewhere.path() / "planted"));
    EXPECT_TRUE(fs::is_symlink(Backups() / "m.eml"));

    // The companion follows the mail's name with the same suffix.
    miraconf_set("BackupMode", "2");
    const fs::path poi = Mail("C/k.poi", MultipartMail("third", {}));
    Mail("C/k.poc", "companion");
    Check(poi, 0);
    std::string mailName, companionName;
    for (const auto& e : fs::directory_iterator(Backups())) {
        const std::string name = e.path().filename().string();
        if (name.rfind("k.poi.", 0) == 0)
            mailName = name;
        if (name.rfind("k.poc.", 0) == 0)
            companionName = name;
    }
    ASSERT_FALSE(mailName.empty());
    EXPECT_EQ(companionName, "k.poc." + mailName.substr(6));
    EXPECT_EQ(ReadFile(Backups() / companionName), "companion");
    EXPECT_EQ(fs::status(Backups() / mailName).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// A backup folder that others may write into (or that is not a folder) is
// not used: the error line names it, no copy is made, the check goes on.
// A missing one is made owner-only.
TEST_F(FilesAndFaults, BackupFolderOpenToOthersIsRefused) {
    miraconf_set("BackupMode", "2");
    const fs::path mail = Mail("m.eml", MultipartMail("x", {}));
    Check(mail, 0);
    EXPECT_EQ(fs::status(Backups()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(Data()).permissions() & fs::perms::all, fs::perms::owner_all);
    ASSERT_EQ(BackupsOf("m.eml").size(), 1u);
    fs::remove_all(Backups());

    struct Row {
        const char* what;
        void (*make)(const fs::path& folder);
    };
    for (const Row& row : {Row{"group writable",
                               [](const fs::path& f) {
                                   fs::create_directories(f);
                                   fs::permissions(f, fs::perms::owner_all | fs::perms::group_all);
                               }},
                           Row{"world writable",
                               [](const fs::path& f) {
                                   fs::create_directories(f);
                                   fs::permissions(f, fs::perms::all);
                               }},
                           Row{"a link to a folder", [](const fs::path& f) {
                                   fs::create_directories(f.parent_path() / "real");
                                   fs::permissions(f.parent_path() / "real", fs::perms::owner_all);
                                   fs::create_directory_symlink(f.parent_path() / "real", f);
                               }}}) {
        SCOPED_TRACE(row.what);
        row.make(Backups());
        LogCapture log;
        const Seen s = Check(mail, 0);
        EXPECT_EQ(s.errors, 0);
        EXPECT_TRUE(log.HasPrefix(QLOG_ERROR, "CMailWard::BackupMail() - backup folder " +
                                                  Backups().string() +
                                                  " is not the service's own"));
        EXPECT_TRUE(log.Has(QLOG_ERROR, "CMailWard::BackupMail() - error backuping m"));
        EXPECT_TRUE(BackupsOf("m.eml").empty());
        EXPECT_FALSE(fs::exists(Data() / "real") && !fs::is_empty(Data() / "real"));
        fs::remove_all(Backups());
        fs::remove_all(Data() / "real");
    }
}

// Faults while a check writes: each leaves the original mail on disk (in
// place, or as its backup when the check changed it) and is reported; the
// worker goes on with the next mail.
TEST_F(FilesAndFaults, FaultsLeaveTheOriginalMailRecoverable) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    const fs::path quarantine = dir.path() / "q";
    fs::create_directories(quarantine);
    ASSERT_EQ(MAILWARD_add_rule("set", "move", "attachment: *.exe", 0, 10,
                                quarantine.string().c_str(), 0),
              0);
    ASSERT_EQ(MAILWARD_add_rule("set", "file", "attachment: *.com", 0, 10,
                                (dir.path() / "not-a-folder").string().c_str(), 0),
              0);
    WriteFile(dir.path() / "not-a-folder", "");
    static int s_allowedWrites;
    auto failAfter = [](std::size_t, void*) { return s_allowedWrites-- > 0; };
    struct Row {
        const char* what;
        std::string mail;
        int pfWrites, mimeWrites;  // writes allowed; -1: no fault
        std::uint32_t errors;
        bool changed;  // the rewritten mail is on disk, the original in a backup
    };
    const std::string exe = MultipartMail("x", {{"a.exe", "TVqQ"}});
    for (const Row& row : {
             Row{"backup disk full", exe, 0, -1, 0, true},
             Row{"moved part disk full", exe, -1, 0, ERR_PART_ACTION, false},
             Row{"mail disk full", exe, -1, 1, ERR_SAVE, false},
             Row{"target folder not writable", MultipartMail("x", {{"b.com", "TVqQ"}}), -1, -1,
                 ERR_PART_ACTION, false},
         }) {
        SCOPED_TRACE(row.what);
        const fs::path mail = Mail("m.eml", row.mail);
        pf::FaultHooks pfHooks;
        pfHooks.beforeWrite = failAfter;
        MimeFileHooks mimeHooks{};
        mimeHooks.beforeWrite = failAfter;
        s_allowedWrites = row.pfWrites >= 0 ? row.pfWrites : row.mimeWrites;
        pf::set_fault_hooks(row.pfWrites >= 0 ? &pfHooks : nullptr);
        MimeSetFileHooks(row.mimeWrites >= 0 ? &mimeHooks : nullptr);
        const Seen s = Check(mail, JOB_ATTACHMENT_FILTER);
        pf::set_fault_hooks(nullptr);
        MimeSetFileHooks(nullptr);
        EXPECT_EQ(s.errors, row.errors);
        if (row.changed) {
            EXPECT_NE(ReadFile(mail), row.mail);
        } else {
            EXPECT_EQ(ReadFile(mail), row.mail);
        }
        // Whenever the mail changed or met an error, its backup stays.
        if (row.pfWrites < 0 && (row.changed || row.errors != 0)) {
            EXPECT_EQ(BackupsOf("m.eml"), std::vector<std::string>{row.mail});
        }
        if (row.pfWrites >= 0) {
            EXPECT_TRUE(BackupsOf("m.eml").empty());  // no half backup
        }
        fs::remove_all(Backups());
        for (const auto& e : fs::directory_iterator(quarantine))
            fs::remove(e.path());
    }

    // The private scan folder vanishes between two checks: the next scan
    // makes a new one and still finds the virus.
    const std::string infected = Infected();
    EXPECT_EQ(Check(Mail("v1.eml", infected), JOB_AV_CHECK).virusResult, VIRUS_FOUND);
    for (const auto& e : fs::directory_iterator(Temp()))
        fs::remove_all(e.path());
    EXPECT_EQ(Check(Mail("v2.eml", infected), JOB_AV_CHECK).virusResult, VIRUS_FOUND);

    // The engine cannot scan the parts (reloaded with no TempDir for its own
    // temporary folder): the check fails with ERR_CHECK and the mail stays
    // as it came.
    miraconf_set("TempDir", (dir.path() / "gone").string().c_str());
    ASSERT_EQ(MAILWARD_install_update_av(0), 0);
    const std::string clean = MultipartMail("x", {{"b.txt", "aGk="}});
    const fs::path mail = Mail("e.eml", clean);
    const Seen s = Check(mail, JOB_AV_CHECK);
    EXPECT_TRUE(s.errors & ERR_CHECK);
    EXPECT_EQ(ReadFile(mail).find("b.txt") != std::string::npos, true);
    EXPECT_EQ(BackupsOf("e.eml"), std::vector<std::string>{clean});
}

}  // namespace
