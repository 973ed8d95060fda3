/*
 * test_filter_processor.cpp - rule actions on the parts of real mails:
 * removal and move with notices, unique and safe file names, keyword
 * entries and the subject mark, invalid codes, and a move that fails.
 */
#include <gtest/gtest.h>

#include "fixtures.h"
#include "processors/filter_processor.h"
#include "rules/rulehelper.h"

namespace {

using namespace fixtures;

// A filter over one loaded mail with its own report and rules.
struct Filter {
    CCheckReport report;
    CRuleHelper rules{0};
    CFilterProcessor filter{&report, &rules};
    CMimeMessage mail;

    void Load(const std::string& text) {
        ASSERT_EQ(mail.LoadMsgFromBuffer(text.data(), text.size(), true), 0);
        AddRecords(report, &mail);
    }
    void Rule(const char* text, int action, const char* dir = nullptr) {
        ASSERT_EQ(rules.AddRule("set", text, text, 0, action, dir, 0), 0);
    }
    int Apply(std::uint32_t mode) {
        rules.m_nMatchMode = mode;
        return filter.FilterParts(&mail, "set");
    }
    std::string Header(int field) {
        stringlist* lines = mailhdr_getfldvalue(mail.m_pHeader, field);
        return lines != nullptr ? lines->str : "";
    }
};

class FilterProcessor : public ::testing::Test, public Filter {};

// The target folder is given with a trailing separator: the paths have none doubled.
TEST_F(FilterProcessor, MovedPartsGetUniqueNamesInTheTargetFolder) {
    ScratchDir dir;
    Rule("attachment: *.exe", 10, (dir.str() + "/").c_str());
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}, {"A.EXE", "TVqQ"}}));
    EXPECT_EQ(Apply(MATCH_ATTACHMENT), PART_MOVED);
    const std::string first = (dir.path() / "a.exe").string();
    const std::string second = (dir.path() / "a2.exe").string();  // names from a header: lower case
    EXPECT_EQ(ReadFile(first), std::string("MZ\x90", 3));
    EXPECT_TRUE(fs::exists(second));
    EXPECT_NE(DecodedText(mail.GetPart(2)).find("Name: a.exe --> " + second + "\r\n"),
              std::string::npos);
    EXPECT_STREQ(Record(report, 2)->targetPath, first.c_str());
    EXPECT_EQ(Record(report, 3)->action, PART_MOVED);
    EXPECT_EQ(report.modified, 1);
    EXPECT_STREQ(Record(report, 3)->targetPath, second.c_str());
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
    EXPECT_EQ(Apply(MATCH_ATTACHMENT), PART_MOVED);
    // Seven regular files directly in the target folder, no control byte in
    // their names, nothing beside the folder.
    std::size_t entries = 0;
    for (auto& e : fs::recursive_directory_iterator(outer.path())) {
        ++entries;
        if (e.path() == target)
            continue;
        EXPECT_EQ(e.path().parent_path(), target);
        EXPECT_TRUE(e.is_regular_file()) << e.path();
        for (unsigned char c : e.path().filename().string())
            EXPECT_GE(c, 32) << "control byte in " << e.path();
    }
    EXPECT_EQ(entries, 8u);
    EXPECT_FALSE(fs::exists("/etc/passwd2"));
}

TEST_F(FilterProcessor, FailedMoveKeepsThePartInTheMail) {
    Rule("attachment: *.exe", 10, "/nonexistent/folder/for/mailward");
    Rule("attachment: *.com", 10);  // no target directory at all
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}, {"b.com", "TVqQ"}}));
    LogCapture log;
    EXPECT_EQ(Apply(MATCH_ATTACHMENT), 0);
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

// One entry per part (the first rule that matches it), one subject mark per mail.
TEST_F(FilterProcessor, KeywordPartsAddOneEntryEachAndMarkTheSubjectOnce) {
    Load(MultipartMail("Get free money today, buy viagra now",
                       {{"b.txt", "YnV5IHZpYWdyYSBub3c=" /* buy viagra now */}}, "Hi"));
    Rule("body: free money", 4);
    Rule("body: viagra", 6);
    EXPECT_EQ(Apply(MATCH_KEYWORD), PART_KEYWORD);
    EXPECT_EQ(Header(MAILHDR_FLD_ANTISPAM),
              "Schluesselwoerter:  free money, Schluesselwoerter:  viagra");
    EXPECT_EQ(Header(MAILHDR_FLD_SUBJECT), "[SPAM] Hi");
    EXPECT_TRUE(report.status & ST_PART_RULE);
    EXPECT_EQ(report.headerChanged, 1);
    EXPECT_EQ(report.modified, 0);
}

TEST_F(FilterProcessor, KeywordExceptionAddsItsEntryWithoutMark) {
    Load(MultipartMail("newsletter inside", {}, "News"));
    Rule("body: newsletter", 1);
    EXPECT_EQ(Apply(MATCH_KEYWORD_EXCEPTION), PART_KEYWORD);
    EXPECT_EQ(Header(MAILHDR_FLD_ANTISPAM), "Schluesselwoerter-Ausnahme:  newsletter");
    EXPECT_EQ(Header(MAILHDR_FLD_SUBJECT), "News");
}

// Remove (9), no change (11), mark the mail (8) and invalid codes on one attachment.
TEST(FilterActions, ActionCodesOnAnAttachment) {
    struct Row {
        int action, ret;
        int record, recordAction;  // the record that takes the action
        int modified;
        bool error;
        const char* part;  // the name of the attachment's place afterwards
    };
    const Row rows[] = {
        {9, PART_REMOVED, 2, PART_REMOVED, 1, false, "removed-attachment.txt"},
        {11, 0, 2, 0, 0, false, "a.exe"},
        {8, PART_MAIL_MARKED, 0, PART_MAIL_MARKED, 1, false, "a.exe"},
        {2, 0, 2, 0, 0, true, "a.exe"},
        {12, 0, 2, 0, 0, true, "a.exe"},
        {0, 0, 2, 0, 0, true, "a.exe"},
        {-5, 0, 2, 0, 0, true, "a.exe"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("action " + std::to_string(row.action));
        Filter f;
        f.Load(MultipartMail("x", {{"a.exe", "TVqQ"}, {"b.txt", "aGk="}}));
        f.Rule("attachment: *.exe", row.action);
        LogCapture log;
        EXPECT_EQ(f.Apply(MATCH_ATTACHMENT), row.ret);
        ASSERT_EQ(f.mail.GetPartCount(), 3);
        EXPECT_EQ(f.mail.GetPart(1)->GetName(), row.part);
        EXPECT_EQ(f.mail.GetPart(2)->GetName(), "b.txt");  // the others stay, in order
        EXPECT_EQ(Record(f.report, row.record)->action, row.recordAction);
        EXPECT_EQ(f.report.modified, row.modified);
        EXPECT_EQ((f.report.errors & ERR_PART_ACTION) != 0, row.error);
        EXPECT_EQ(log.Has(QLOG_ERROR, "CFilterProcessor::ProcessPart() - invalid action code."),
                  row.error);
        if (!row.error) {  // a rule that acted is recorded with the part
            EXPECT_NE(Record(f.report, 2)->rules.first, nullptr);
        }
    }
}

// A name with line ends and delimiters reaches notices and log lines as one
// line: the rewritten mail has the parts it had, no log line is the sender's.
TEST(FilterActions, NamesWithLineEndsStayOneLineInNoticesAndLogs) {
    for (int action : {9, 10}) {
        SCOPED_TRACE("action " + std::to_string(action));
        ScratchDir dir;
        Filter f;
        f.Load(LowerBoundaryMail({{kInjectingName, "TVqQ"}, {"b.txt", "aGk="}}));
        f.Rule("attachment: a.exe*", action, dir.str().c_str());
        LogCapture log("MAILWARD_Filter");
        EXPECT_EQ(f.Apply(MATCH_ATTACHMENT), action == 9 ? PART_REMOVED : PART_MOVED);
        const std::string notice = DecodedText(f.mail.GetPart(1));
        EXPECT_NE(notice.find("Name: a.exe --xx content-type: text/html"), std::string::npos)
            << notice;
        EXPECT_EQ(DelimiterLinesAfterRewrite(f.mail, dir.path() / "out.eml"),
                  (std::vector<std::string>{"--xx", "--xx", "--xx", "--xx--"}));
        EXPECT_FALSE(LogHasForgedLine(log));
        EXPECT_TRUE(log.HasPrefix(QLOG_INFO, action == 9 ? "[MAILCHECK] [REMOVED] [a.exe --xx "
                                                         : "[MAILCHECK] [MOVED] [a.exe --xx "));
    }
}

TEST(UniqueFileName, CountsUpBeforeTheFirstDotOfTheName) {
    ScratchDir dir;
    for (const char* name : {"archive.tar.gz", "archive2.tar.gz", "noext"})
        WriteFile(dir.path() / name, "x");
    EXPECT_EQ(CFilterProcessor::MakeUniqueFileName((dir.path() / "archive.tar.gz").string()),
              (dir.path() / "archive3.tar.gz").string());
    EXPECT_EQ(CFilterProcessor::MakeUniqueFileName((dir.path() / "noext").string()),
              (dir.path() / "noext2").string());
}

}  // namespace
