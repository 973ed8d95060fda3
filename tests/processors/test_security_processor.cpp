/*
 * test_security_processor.cpp - the virus pass over real mails with the real
 * engine and the shipped signatures: an EICAR attachment removed with a
 * notice naming the virus, renamed in mode 12, left in other modes; a
 * failing engine stops the walk; the scan file is not left behind.
 */
#include <gtest/gtest.h>

#include "fixtures.h"
#include "miralib.h"
#include "processors/security_processor.h"

namespace {

using namespace fixtures;

class SecurityProcessor : public ::testing::Test {
  protected:
    ScratchDir temp;
    CCheckReport report;
    std::unique_ptr<CSecurityProcessor> av;
    CMimeMessage mail;

    void SetUp() override {
        miraconf_set("TempDir", temp.str().c_str());
        av = std::make_unique<CSecurityProcessor>(&report);
    }
    void TearDown() override {
        av.reset();
        miraconf_set("TempDir", nullptr);
    }
    void Load(const std::string& text) {
        ASSERT_EQ(mail.LoadMsgFromBuffer(text.data(), text.size(), true), 0);
        report.Reset();
        AddRecords(report, &mail);
    }
    std::string Infected() {
        return MultipartMail("hello", {{"a.exe", kEicarBase64}, {"b.txt", "aGk="}});
    }
};

TEST_F(SecurityProcessor, RemovesAnInfectedAttachmentWithANoticeNamingTheVirus) {
    ASSERT_EQ(av->ActivateAV(AV_MODE_REMOVE, "activation"), 0);
    Load(Infected());
    LogCapture log;
    EXPECT_EQ(av->ProcessParts(&mail), PART_REMOVED);
    ASSERT_EQ(mail.GetPartCount(), 3);
    CMimePart* notice = mail.GetPart(1);
    EXPECT_EQ(notice->GetName(), "removed-attachment.txt");
    std::string text = DecodedText(notice);
    EXPECT_EQ(text.rfind("An attachment of this message was removed because it contains a "
                         "virus.\r\n\r\nName: a.exe\r\nVirus: ",
                         0),
              0u)
        << text;
    const PartReport* rec = report.parts->next->next;
    EXPECT_EQ(rec->virusResult, VIRUS_FOUND);
    EXPECT_EQ(rec->action, PART_REMOVED);
    ASSERT_NE(rec->virusName, nullptr);
    EXPECT_NE(std::string(rec->virusName).find("EICAR"), std::string::npos) << rec->virusName;
    EXPECT_NE(text.find(rec->virusName), std::string::npos);
    ASSERT_NE(rec->engineVersion, nullptr);
    EXPECT_TRUE(log.Has(QLOG_INFO, std::string("[MAILCHECK] [VIRUSREMOVED] [a.exe] [") +
                                       rec->virusName + "] [" + rec->engineVersion + "]"));
    EXPECT_EQ(report.virusResult, VIRUS_FOUND);
    EXPECT_EQ(report.parts->next->next->next->virusResult, VIRUS_CLEAN);  // b.txt
    EXPECT_FALSE(fs::exists(CSecurityProcessor::ScanFilePath()));
}

TEST_F(SecurityProcessor, RenamesInModeTwelve) {
    ASSERT_EQ(av->ActivateAV(AV_MODE_RENAME, nullptr), 0);
    Load(Infected());
    EXPECT_EQ(av->ProcessParts(&mail), PART_RENAMED);
    EXPECT_EQ(mail.GetPart(1)->GetName(), "a.exe.infected");
    EXPECT_EQ(report.parts->next->next->action, PART_RENAMED);
    EXPECT_EQ(DecodedText(mail.GetPart(1)), kEicar);  // contents untouched
}

TEST_F(SecurityProcessor, LeavesInfectedPartsInOtherModes) {
    ASSERT_EQ(av->ActivateAV(5, nullptr), 0);
    Load(Infected());
    EXPECT_EQ(av->ProcessParts(&mail), 0);
    EXPECT_EQ(mail.GetPart(1)->GetName(), "a.exe");
    EXPECT_EQ(report.parts->next->next->virusResult, VIRUS_FOUND);
    EXPECT_EQ(report.parts->next->next->action, 0);
    EXPECT_EQ(report.virusResult, VIRUS_FOUND);
    EXPECT_EQ(report.modified, 0);
}

TEST_F(SecurityProcessor, ContainerWithoutDataIsCleanAndItsPartsAreScanned) {
    ASSERT_EQ(av->ActivateAV(AV_MODE_REMOVE, nullptr), 0);
    Load(MultipartMail("clean text", {{"b.txt", "aGk="}}));
    LogCapture log;
    debug_enable("MAILWARD_AV", 1);
    EXPECT_EQ(av->ProcessParts(&mail), 0);
    debug_enable("MAILWARD_AV", 0);
    for (const PartReport* r = report.parts; r != nullptr; r = r->next)
        EXPECT_EQ(r->virusResult, VIRUS_CLEAN) << r->name;
    EXPECT_TRUE(log.Has(QLOG_DEBUG,
                        "CSecurityProcessor::ProcessPart() - No Data in Part ->nothing to check"));
}

TEST_F(SecurityProcessor, UnwritableScanFolderStopsTheWalk) {
    ASSERT_EQ(av->ActivateAV(AV_MODE_REMOVE, nullptr), 0);
    Load(MultipartMail("first", {{"b.txt", "aGk="}, {"c.txt", "aGk="}}));
    miraconf_set("TempDir", "/nonexistent/mailward/scan");
    LogCapture log;
    EXPECT_EQ(av->ProcessParts(&mail), -1);
    EXPECT_TRUE(log.Has(QLOG_ERROR,
                        "CSecurityProcessor::ProcessPart() - AVCheckPart() failed. Check "
                        "av-engine!"));
    // The walk stopped at the first part with contents: nothing after it was scanned.
    EXPECT_EQ(report.parts->next->next->virusResult, VIRUS_NOT_CHECKED);
    EXPECT_EQ(report.parts->next->next->next->virusResult, VIRUS_NOT_CHECKED);
}

TEST_F(SecurityProcessor, PlantedLinkAtTheScanPathIsNotFollowed) {
    ASSERT_EQ(av->ActivateAV(AV_MODE_REMOVE, nullptr), 0);
    ScratchDir other;
    fs::path victim = other.path() / "victim";
    WriteFile(victim, "keep me");
    fs::create_symlink(victim, CSecurityProcessor::ScanFilePath());
    Load(MultipartMail("clean text", {}));
    EXPECT_EQ(av->ProcessParts(&mail), 0);
    EXPECT_EQ(ReadFile(victim), "keep me");
}

}  // namespace
