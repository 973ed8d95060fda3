/*
 * test_filter_processor.cpp - rule actions on the parts of real mails:
 * removal and move with notices, unique and safe file names, keyword
 * entries and the subject mark, invalid codes, and a move that fails.
 */
#include <gtest/gtest.h>

#include <cstring>

#include "fixtures.h"
#include "processors/filter_processor.h"
#include "rules/rulehelper.h"

namespace {

using namespace fixtures;

class FilterProcessor : public ::testing::Test {
  protected:
    CCheckReport report;
    CRuleHelper rules{0};
    CFilterProcessor filter{&report, &rules};
    CMimeMessage mail;

    void Load(const std::string& text) {
        ASSERT_EQ(mail.LoadMsgFromBuffer(text.data(), text.size(), true), 0);
        report.Reset();
        AddRecords(report, &mail);
    }
    void Rule(const char* text, int action, const char* dir = nullptr) {
        ASSERT_EQ(rules.AddRule("set", text, text, 0, action, dir, 0), 0);
    }
    int Run(std::uint32_t mode) {
        rules.m_nMatchMode = mode;
        return filter.FilterParts(&mail, "set");
    }
    std::string Antispam() {
        stringlist* lines = mailhdr_getfldvalue(mail.m_pHeader, MAILHDR_FLD_ANTISPAM);
        return lines != nullptr ? lines->str : "";
    }
};

TEST_F(FilterProcessor, RemovedAttachmentBecomesANoticeNamingIt) {
    Load(MultipartMail("hello", {{"a.exe", "TVqQAAMAAAAEAAAA"}, {"b.txt", "aGk="}}));
    Rule("attachment: *.exe", 9);
    LogCapture log;
    EXPECT_EQ(Run(MATCH_ATTACHMENT), PART_REMOVED);
    ASSERT_EQ(mail.GetPartCount(), 3);
    CMimePart* notice = mail.GetPart(1);
    EXPECT_EQ(notice->GetName(), "removed-attachment.txt");
    EXPECT_EQ(notice->GetContentType(), "text/plain");
    EXPECT_EQ(DecodedText(notice),
              "An attachment of this message was removed.\r\n\r\nName: a.exe\r\n");
    EXPECT_EQ(mail.GetPart(2)->GetName(), "b.txt");  // the others stay, in order
    EXPECT_TRUE(log.Has(QLOG_INFO, "[MAILCHECK] [REMOVED] [a.exe]"));
    EXPECT_EQ(report.modified, 1);
    ASSERT_NE(report.ruleChain, nullptr);
    EXPECT_STREQ(report.ruleChain->text, "attachment: *.exe");
}

TEST_F(FilterProcessor, MovedPartsGetUniqueNamesInTheTargetFolder) {
    ScratchDir dir;
    Rule("attachment: *.exe", 10, dir.str().c_str());
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}, {"A.EXE", "TVqQ"}}));
    EXPECT_EQ(Run(MATCH_ATTACHMENT), PART_MOVED);
    EXPECT_TRUE(fs::exists(dir.path() / "a.exe"));
    EXPECT_TRUE(fs::exists(dir.path() / "a2.exe"));  // names from a header are lower case
    const std::string second = (dir.path() / "a2.exe").string();
    EXPECT_EQ(DecodedText(mail.GetPart(2)),
              "An attachment of this message was moved to quarantine.\r\n\r\nName: a.exe --> " +
                  second + "\r\n");
    PartReport* rec = report.parts->next->next->next;
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->action, PART_MOVED);
    EXPECT_EQ(std::string(rec->targetPath), second);
    EXPECT_EQ(ReadFile(dir.path() / "a.exe"), std::string("MZ\x90", 3));
}

TEST_F(FilterProcessor, TrailingSeparatorGivesTheSamePaths) {
    ScratchDir dir;
    std::string withSep = dir.str() + "/";
    Rule("attachment: *.exe", 10, withSep.c_str());
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}}));
    Run(MATCH_ATTACHMENT);
    EXPECT_STREQ(report.parts->next->next->targetPath, (dir.path() / "a.exe").string().c_str());
}

TEST_F(FilterProcessor, HostileNamesNeverLeaveTheTargetFolder) {
    ScratchDir outer;
    fs::path target = outer.path() / "q";
    fs::create_directories(target);
    Rule("attachment: *", 10, target.string().c_str());
    Load(MultipartMail("x", {{"../../evil.exe", "TVqQ"},
                             {"..\\\\..\\\\win.exe", "TVqQ"},
                             {"/etc/passwd", "TVqQ"},
                             {"C:\\\\boot.ini", "TVqQ"},
                             {"con.txt", "TVqQ"},
                             {"..", "TVqQ"},
                             {"=?utf-8?q?a=0D=0Ab.exe?=", "TVqQ"}}));
    EXPECT_EQ(Run(MATCH_ATTACHMENT), PART_MOVED);
    // Everything landed directly in the target folder, nothing beside it.
    std::vector<std::string> outside;
    for (auto& e : fs::recursive_directory_iterator(outer.path()))
        if (e.path().parent_path() != target && e.path() != target)
            outside.push_back(e.path().string());
    EXPECT_TRUE(outside.empty()) << outside.front();
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(target)) {
        names.push_back(e.path().filename().string());
        EXPECT_TRUE(e.is_regular_file());
        for (char c : names.back())
            EXPECT_TRUE(static_cast<unsigned char>(c) >= 32) << "control byte in a file name";
    }
    EXPECT_EQ(names.size(), 7u);
    EXPECT_FALSE(fs::exists("/etc/passwd2"));
}

TEST_F(FilterProcessor, FailedMoveKeepsThePartInTheMail) {
    Rule("attachment: *.exe", 10, "/nonexistent/folder/for/mailward");
    Rule("attachment: *.com", 10);  // no target directory at all
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}, {"b.com", "TVqQ"}}));
    LogCapture log;
    EXPECT_EQ(Run(MATCH_ATTACHMENT), 0);
    EXPECT_EQ(mail.GetPart(1)->GetName(), "a.exe");
    EXPECT_EQ(mail.GetPart(2)->GetName(), "b.com");
    EXPECT_TRUE(report.errors & ERR_PART_ACTION);
    EXPECT_EQ(report.modified, 0);
    EXPECT_TRUE(log.Has(QLOG_ERROR,
                        "CFilterProcessor::ProcessPart() - move_part_to_dir failed. invalid "
                        "target dir"));
    EXPECT_TRUE(log.HasPrefix(QLOG_ERROR,
                              "CFilterProcessor::ProcessPart() - move_part_to_dir failed. "
                              "target-dir: /nonexistent"));
}

TEST_F(FilterProcessor, KeywordRulesAddEntriesAndMarkTheSubjectOnce) {
    Load(MultipartMail("Get free money today, buy viagra now", {}, "Hello"));
    Rule("body: free money", 4);
    Rule("body: viagra", 6);
    EXPECT_EQ(Run(MATCH_KEYWORD), PART_KEYWORD);
    EXPECT_EQ(Antispam(), "Schluesselwoerter:  free money");
    EXPECT_TRUE(report.status & ST_PART_RULE);
    EXPECT_EQ(report.headerChanged, 1);
    EXPECT_EQ(report.modified, 0);
    stringlist* subject = mailhdr_getfldvalue(mail.m_pHeader, MAILHDR_FLD_SUBJECT);
    ASSERT_NE(subject, nullptr);
    EXPECT_STREQ(subject->str, "[SPAM] Hello");
}

TEST_F(FilterProcessor, SecondKeywordPartAddsAnEntryButNoSecondMark) {
    Load(MultipartMail("free money", {{"b.txt", "YnV5IHZpYWdyYSBub3c="}}, "Hi"));
    Rule("body: free money", 4);
    Rule("body: viagra", 6);
    Run(MATCH_KEYWORD);
    EXPECT_EQ(Antispam(), "Schluesselwoerter:  free money, Schluesselwoerter:  viagra");
    EXPECT_STREQ(mailhdr_getfldvalue(mail.m_pHeader, MAILHDR_FLD_SUBJECT)->str, "[SPAM] Hi");
}

TEST_F(FilterProcessor, KeywordExceptionAddsItsEntryWithoutMark) {
    Load(MultipartMail("newsletter inside", {}, "News"));
    Rule("body: newsletter", 1);
    EXPECT_EQ(Run(MATCH_KEYWORD_EXCEPTION), PART_KEYWORD);
    EXPECT_EQ(Antispam(), "Schluesselwoerter-Ausnahme:  newsletter");
    EXPECT_STREQ(mailhdr_getfldvalue(mail.m_pHeader, MAILHDR_FLD_SUBJECT)->str, "News");
}

TEST_F(FilterProcessor, NoChangeRuleIsRecordedAndTheWalkGoesOn) {
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}}));
    Rule("attachment: *", 11);
    EXPECT_EQ(Run(MATCH_ATTACHMENT), 0);
    const PartReport* rec = report.parts->next->next;
    EXPECT_EQ(rec->action, 0);
    EXPECT_NE(rec->rules.first, nullptr);
    EXPECT_EQ(report.modified, 0);
}

TEST_F(FilterProcessor, InvalidActionCodesLeaveThePartAndSetTheErrorBit) {
    for (int action : {2, 12, 0, -5}) {
        CRuleHelper fresh(0);
        CCheckReport rep;
        CFilterProcessor f(&rep, &fresh);
        CMimeMessage m;
        std::string text = MultipartMail("x", {{"a.exe", "TVqQ"}});
        ASSERT_EQ(m.LoadMsgFromBuffer(text.data(), text.size(), true), 0);
        AddRecords(rep, &m);
        ASSERT_EQ(fresh.AddRule("set", "r", "attachment: *.exe", 0, action, nullptr, 0), 0);
        LogCapture log;
        fresh.m_nMatchMode = MATCH_ATTACHMENT;
        EXPECT_EQ(f.FilterParts(&m, "set"), 0) << action;
        EXPECT_EQ(m.GetPart(1)->GetName(), "a.exe");
        EXPECT_TRUE(rep.errors & ERR_PART_ACTION);
        EXPECT_TRUE(log.Has(QLOG_ERROR, "CFilterProcessor::ProcessPart() - invalid action code."));
    }
}

TEST_F(FilterProcessor, MarkRuleRecordsTheWholeMail) {
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}}));
    Rule("attachment: *.exe", 8);
    EXPECT_EQ(Run(MATCH_ATTACHMENT), PART_MAIL_MARKED);
    EXPECT_EQ(report.parts->action, PART_MAIL_MARKED);  // the root's record
    EXPECT_EQ(report.modified, 1);
}

TEST_F(FilterProcessor, UnknownSetVisitsNothing) {
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}}));
    rules.m_nMatchMode = MATCH_ATTACHMENT;
    EXPECT_EQ(filter.FilterParts(&mail, "no-such-set"), -1);
    EXPECT_EQ(report.parts->next->next->rules.first, nullptr);
}

TEST(UniqueFileName, CountsUpBeforeTheFirstDotOfTheName) {
    ScratchDir dir;
    WriteFile(dir.path() / "archive.tar.gz", "x");
    WriteFile(dir.path() / "archive2.tar.gz", "x");
    WriteFile(dir.path() / "noext", "x");
    EXPECT_EQ(CFilterProcessor::MakeUniqueFileName((dir.path() / "archive.tar.gz").string()),
              (dir.path() / "archive3.tar.gz").string());
    EXPECT_EQ(CFilterProcessor::MakeUniqueFileName((dir.path() / "noext").string()),
              (dir.path() / "noext2").string());
    EXPECT_EQ(CFilterProcessor::MakeUniqueFileName((dir.path() / "free.txt").string()),
              (dir.path() / "free.txt").string());
}

}  // namespace
