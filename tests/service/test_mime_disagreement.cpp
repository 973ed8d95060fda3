/*
 * test_mime_disagreement.cpp - the strict reading paired with what the check
 * did, by the places of the parts and never by their names: a record that
 * says a part of the same name was removed elsewhere in the mail does not
 * cover the real attachment; a removed part covers exactly what lies
 * inside it.
 */
#include <gtest/gtest.h>

#include <string>

#include "../processors/fixtures.h"
#include "mailhdr/mailhdr.h"
#include "pf/platform.h"
#include "service/mime_disagreement.h"

namespace {

using namespace fixtures;

class Disagreement : public ::testing::Test {
  protected:
    void SetUp() override {
        mailhdr_init();
        ASSERT_EQ(0, rules.AddRule("s", "exe", "attachment: *.exe", 0, ACTION_REMOVE, nullptr, 0));
        path = (dir.path() / "m.eml").string();
    }

    // Loads `text` from a file, one record per part, and marks the record of
    // sub-part `removed` (of the root, or of its first sub-part) as removed
    // under `name`.
    bool Check(const std::string& text, std::vector<int> removed, const char* name) {
        WriteFile(path, text);
        CMimeMessage msg;
        EXPECT_EQ(0, msg.LoadMsg(path.c_str(), true));
        const CPartPlaceSnapshot places(&msg);
        CCheckReport report;
        AddRecords(report, &msg);
        CMimePart* part = &msg;
        for (int i : removed)
            part = part->GetPart(static_cast<unsigned>(i));
        PartReport* record = report.FindPart(part);
        EXPECT_NE(nullptr, record);
        std::free(record->name);
        record->name = pf::strdup(name);
        report.SetPartAction(part, nullptr, PART_REMOVED, nullptr);
        return CheckMimeDisagreement(path.c_str(), rules, "s", report, places);
    }

    ScratchDir dir;
    CRuleHelper rules;
    std::string path;
};

const std::string kHead = "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
const std::string kExe =
    "Content-Type: application/octet-stream; name=\"a.exe\"\r\n\r\nTVqQAAMAAAAEAAAA\r\n";

TEST_F(Disagreement, AReportedRemovalElsewhereNeverCoversTheRealAttachment) {
    const std::string mail =
        kHead + "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n--b\r\n" + kExe + "--b--\r\n";
    LogCapture log;
    // The text part was removed, reported under the attachment's name.
    EXPECT_TRUE(Check(mail, {0}, "a.exe"));
    EXPECT_TRUE(log.Has(QLOG_INFO,
                        "[MAILCHECK] [DISAGREEMENT] [strict: 2 a.exe] "
                        "[parser: multipart/mixed; a.exe; a.exe]"));
    // The attachment itself removed: agreed.
    EXPECT_FALSE(Check(mail, {1}, "a.exe"));
    // The whole mail replaced: everything inside went with it.
    EXPECT_FALSE(Check(mail, {}, "mail"));
}

TEST_F(Disagreement, APartRemovedWholeTakesWhatLiesInsideIt) {
    const std::string inner = "Content-Type: multipart/mixed; boundary=c\r\n\r\n--c\r\n" + kExe +
                              "--c\r\n" + kExe + "--c--\r\n";
    const std::string mail =
        kHead + "--b\r\n" + inner + "--b\r\nContent-Type: text/plain\r\n\r\n" + "bye\r\n--b--\r\n";
    EXPECT_FALSE(Check(mail, {0}, "multipart/mixed"));
    // One of the two inner parts removed: the other stays and is seen.
    LogCapture log;
    EXPECT_TRUE(Check(mail, {0, 0}, "a.exe"));
    EXPECT_TRUE(log.Contains(QLOG_INFO, "[strict: 1.2 a.exe]"));
    // The text part behind them removed: neither is covered.
    EXPECT_TRUE(Check(mail, {1}, "text/plain"));
}

}  // namespace
