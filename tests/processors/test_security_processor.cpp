/*
 * test_security_processor.cpp - the virus pass over real mails with the real
 * engine and the shipped signatures: an EICAR attachment removed with a
 * notice naming the virus, renamed in mode 12, left in other modes; a
 * failing engine stops the walk; parts are scanned in memory, the scan file
 * route still finds the same and is not left behind.
 */
#include <gtest/gtest.h>

#include <memory>

#include "fixtures.h"
#include "miralib/miralib.h"
#include "processors/security_processor.h"

namespace {

using namespace fixtures;

const std::string kInfected = MultipartMail("hello", {{"a.exe", kEicarBase64}, {"b.txt", "aGk="}});

// The engine in one mode over one loaded mail.
struct Scan {
    CCheckReport report;
    CSecurityProcessor av{&report};
    CMimeMessage mail;

    void Load(int mode, const std::string& text) {
        ASSERT_EQ(av.ActivateAV(mode, nullptr), 0);
        ASSERT_EQ(mail.LoadMsgFromBuffer(text.data(), text.size(), true), 0);
        AddRecords(report, &mail);
    }
};

// Scan files go to a scratch folder.
class SecurityProcessor : public ::testing::Test, public Scan {
  protected:
    ScratchDir temp;
    void SetUp() override { miraconf_set("TempDir", temp.str().c_str()); }
    void TearDown() override { miraconf_set("TempDir", nullptr); }
};

TEST_F(SecurityProcessor, RemovesAnInfectedAttachmentWithANoticeNamingTheVirus) {
    Load(AV_MODE_REMOVE, kInfected);
    LogCapture log;
    EXPECT_EQ(av.ProcessParts(&mail), PART_REMOVED);
    ASSERT_EQ(mail.GetPartCount(), 3);
    CMimePart* notice = mail.GetPart(1);
    EXPECT_EQ(notice->GetName(), "removed-attachment.txt");
    std::string text = DecodedText(notice);
    EXPECT_EQ(text.rfind("An attachment of this message was removed because it contains a "
                         "virus.\r\n\r\nName: a.exe\r\nVirus: ",
                         0),
              0u)
        << text;
    const PartReport* rec = Record(report, 2);
    EXPECT_EQ(rec->virusResult, VIRUS_FOUND);
    EXPECT_EQ(rec->action, PART_REMOVED);
    ASSERT_NE(rec->virusName, nullptr);
    EXPECT_NE(std::string(rec->virusName).find("EICAR"), std::string::npos) << rec->virusName;
    EXPECT_NE(text.find(rec->virusName), std::string::npos);
    ASSERT_NE(rec->engineVersion, nullptr);
    EXPECT_TRUE(log.Has(QLOG_INFO, std::string("[MAILCHECK] [VIRUSREMOVED] [a.exe] [") +
                                       rec->virusName + "] [" + rec->engineVersion + "]"));
    EXPECT_EQ(report.virusResult, VIRUS_FOUND);
    EXPECT_EQ(Record(report, 3)->virusResult, VIRUS_CLEAN);  // b.txt
    EXPECT_FALSE(fs::exists(av.ScanFilePath()));
}

// Mode 12 renames the infected part, other modes leave it; the contents stay.
TEST_F(SecurityProcessor, RenamesInModeTwelveAndLeavesInOtherModes) {
    struct Row {
        int mode, ret;
        const char* name;
        int action, modified;
    };
    for (const Row& row : {Row{AV_MODE_RENAME, PART_RENAMED, "a.exe.infected", PART_RENAMED, 1},
                           Row{5, 0, "a.exe", 0, 0}}) {
        SCOPED_TRACE("mode " + std::to_string(row.mode));
        Scan s;
        s.Load(row.mode, kInfected);
        EXPECT_EQ(s.av.ProcessParts(&s.mail), row.ret);
        EXPECT_EQ(s.mail.GetPart(1)->GetName(), row.name);
        EXPECT_EQ(DecodedText(s.mail.GetPart(1)), kEicar);
        EXPECT_EQ(Record(s.report, 2)->virusResult, VIRUS_FOUND);
        EXPECT_EQ(Record(s.report, 2)->action, row.action);
        EXPECT_EQ(s.report.virusResult, VIRUS_FOUND);
        EXPECT_EQ(s.report.modified, row.modified);
    }
}

// A name with line ends reaches the virus notice, the new name and the log
// lines as one line: the rewritten mail keeps its parts.
TEST_F(SecurityProcessor, NamesWithLineEndsStayOneLineInNoticesNamesAndLogs) {
    for (int mode : {AV_MODE_REMOVE, AV_MODE_RENAME}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        Scan s;
        s.Load(mode, LowerBoundaryMail({{kInjectingName, kEicarBase64}, {"b.txt", "aGk="}}));
        LogCapture log("MAILWARD_AV");
        EXPECT_EQ(s.av.ProcessParts(&s.mail), mode == AV_MODE_REMOVE ? PART_REMOVED : PART_RENAMED);
        const std::string text =
            mode == AV_MODE_REMOVE ? DecodedText(s.mail.GetPart(1)) : s.mail.GetPart(1)->GetName();
        EXPECT_NE(text.find("a.exe --xx content-type: text/html"), std::string::npos) << text;
        EXPECT_EQ(DelimiterLinesAfterRewrite(s.mail, temp.path() / "out.eml"),
                  (std::vector<std::string>{"--xx", "--xx", "--xx", "--xx--"}));
        EXPECT_FALSE(LogHasForgedLine(log));
    }
}

TEST_F(SecurityProcessor, ContainerWithoutDataIsCleanAndItsPartsAreScanned) {
    Load(AV_MODE_REMOVE, MultipartMail("clean text", {{"b.txt", "aGk="}}));
    LogCapture log;
    debug_enable("MAILWARD_AV", 1);
    EXPECT_EQ(av.ProcessParts(&mail), 0);
    debug_enable("MAILWARD_AV", 0);
    for (const PartReport* r = report.parts; r != nullptr; r = r->next)
        EXPECT_EQ(r->virusResult, VIRUS_CLEAN) << r->name;
    EXPECT_TRUE(log.Has(QLOG_DEBUG,
                        "CSecurityProcessor::ProcessPart() - No Data in Part ->nothing to check"));
}

// Contents that start with a zero byte are not empty: the part is scanned.
TEST_F(SecurityProcessor, PartStartingWithAZeroByteIsScanned) {
    Load(AV_MODE_REMOVE,
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
         "Content-Type: application/octet-stream; name=\"z.bin\"\n\n" +
             std::string(1, '\0') + kEicar + "\n--b--\n");
    EXPECT_EQ(av.ProcessParts(&mail), PART_REMOVED);
    EXPECT_EQ(Record(report, 1)->virusResult, VIRUS_FOUND);
    EXPECT_EQ(mail.GetPart(0)->GetName(), "removed-attachment.txt");
}

// A part larger than the engine may scan fails its check (in memory and in
// the scan file alike), and the walk stops there.
TEST_F(SecurityProcessor, AScanStoppedAtALimitStopsTheWalk) {
    std::string big;
    for (int i = 0; i < 700; ++i)
        big += "YWFh";  // "aaa": 2100 bytes decoded
    miraconf_set("EngineMaxFileSize", "1");
    Load(AV_MODE_REMOVE, MultipartMail("first", {{"b.txt", big}, {"c.txt", "aGk="}}));
    LogCapture log;
    EXPECT_EQ(av.ProcessParts(&mail), -1);
    miraconf_set("EngineMaxFileSize", nullptr);
    EXPECT_TRUE(log.Has(QLOG_ERROR,
                        "CSecurityProcessor::ProcessPart() - AVCheckPart() failed. Check "
                        "av-engine!"));
    EXPECT_EQ(Record(report, 0)->virusResult, VIRUS_CLEAN);
    // The walk stopped at the big part: nothing after it was scanned.
    EXPECT_EQ(Record(report, 2)->virusResult, VIRUS_NOT_CHECKED);
    EXPECT_EQ(Record(report, 3)->virusResult, VIRUS_NOT_CHECKED);
}

// Parts go to the engine in memory: with the scan file's name blocked by a
// folder (no file can be written there), every part is still checked and
// found; only the file route fails.
TEST_F(SecurityProcessor, PartsAreScannedInMemoryWithoutAScanFile) {
    const std::string scanFile = av.ScanFilePath();
    ASSERT_FALSE(scanFile.empty());
    fs::create_directory(scanFile);
    Load(AV_MODE_REMOVE, kInfected);
    ASSERT_EQ(av.AVCheckPartFromFile(mail.GetPart(1)), -1);
    EXPECT_EQ(av.ProcessParts(&mail), PART_REMOVED);
    EXPECT_EQ(Record(report, 2)->virusResult, VIRUS_FOUND);
    EXPECT_EQ(Record(report, 3)->virusResult, VIRUS_CLEAN);
    EXPECT_TRUE(fs::is_empty(scanFile));
    fs::remove(scanFile);

    // The file route, still there for a failed scan in memory, finds the same.
    Scan byFile;
    byFile.Load(AV_MODE_REMOVE, kInfected);
    EXPECT_EQ(byFile.av.AVCheckPartFromFile(byFile.mail.GetPart(1)), 1);
    EXPECT_EQ(byFile.av.AVCheckPartFromFile(byFile.mail.GetPart(2)), 0);
    EXPECT_FALSE(fs::exists(byFile.av.ScanFilePath()));
}

// A link planted under the scan file's name in the shared TempDir is never
// written through: the scan file lives in the processor's own folder.
TEST_F(SecurityProcessor, PlantedLinkAtTheSharedScanNameIsNotFollowed) {
    Load(AV_MODE_REMOVE, MultipartMail("clean text", {}));
    ScratchDir other;
    WriteFile(other.path() / "victim", "keep me");
    fs::create_symlink(other.path() / "victim", temp.path() / "mailward-scan.tmp");
    EXPECT_EQ(av.ProcessParts(&mail), 0);
    EXPECT_EQ(ReadFile(other.path() / "victim"), "keep me");
    EXPECT_EQ(Record(report, 0)->virusResult, VIRUS_CLEAN);
}

// Two processors (two services, or two processes) with one TempDir: each has
// its own owner-only folder below it, so neither deletes or overwrites the
// other's scan file; a TempDir that changes or a folder that vanishes gets a
// new folder at the next scan; the folder goes with its processor.
TEST_F(SecurityProcessor, EachProcessorScansInItsOwnPrivateFolder) {
    Scan second;
    const std::string a = av.ScanFilePath(), b = second.av.ScanFilePath();
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(a, b);
    for (const std::string& file : {a, b}) {
        const fs::path folder = fs::path(file).parent_path();
        EXPECT_EQ(folder.parent_path(), temp.path());
        EXPECT_EQ(folder.filename().string().rfind("mailward-", 0), 0u) << folder;
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_EQ(fs::path(file).filename(), "mailward-scan.tmp");
    }
    // The other's scan file at the moment of this one's scan stays as it is.
    WriteFile(b, "the other mail's part");
    Load(AV_MODE_REMOVE, kInfected);
    EXPECT_EQ(av.AVCheckPartFromFile(mail.GetPart(1)), 1);
    EXPECT_EQ(av.ProcessParts(&mail), PART_REMOVED);
    EXPECT_EQ(ReadFile(b), "the other mail's part");

    // Gone mid-run: scans in memory go on, and the next use of the file
    // route makes a new folder and succeeds.
    const std::string vanished = second.av.ScanFolder();
    fs::remove_all(vanished);
    second.Load(AV_MODE_REMOVE, kInfected);
    EXPECT_EQ(second.av.ProcessParts(&second.mail), PART_REMOVED);
    EXPECT_FALSE(fs::exists(vanished));
    EXPECT_EQ(second.av.AVCheckPartFromFile(second.mail.GetPart(2)), 0);
    EXPECT_TRUE(fs::is_directory(second.av.ScanFolder()));
    EXPECT_NE(second.av.ScanFolder(), vanished);

    // TempDir changed: a folder below the new one; the old one is removed.
    ScratchDir moved;
    const std::string before = second.av.ScanFolder();
    miraconf_set("TempDir", moved.str().c_str());
    EXPECT_EQ(fs::path(second.av.ScanFilePath()).parent_path().parent_path(), moved.path());
    EXPECT_FALSE(fs::exists(before));

    auto gone = std::make_unique<Scan>();
    const std::string folder = gone->av.ScanFolder();
    EXPECT_TRUE(fs::is_directory(folder));
    gone.reset();
    EXPECT_FALSE(fs::exists(folder));
}

}  // namespace
