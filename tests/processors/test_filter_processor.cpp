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

// A move that cannot save its copy leaves the part in the mail (code 0,
// ERR_PART_ACTION): a folder that does not exist, none at all, an empty one
// (which would be the root) and a relative one (wherever the host runs).
TEST(FilterMove, FailedMoveKeepsThePartInTheMail) {
    struct Row {
        const char* dir;  // null: the rule names no folder
        const char* line;
    };
    for (const Row& row :
         {Row{"/nonexistent/folder/for/mailward",
              "CFilterProcessor::ProcessPart() - move_part_to_dir failed. target-dir: "
              "/nonexistent"},
          Row{nullptr,
              "CFilterProcessor::ProcessPart() - move_part_to_dir failed. invalid target "
              "dir"},
          Row{"", "CFilterProcessor::move_part_to_dir() - target folder \"\" is not an absolute"},
          Row{"quarantine",
              "CFilterProcessor::move_part_to_dir() - target folder \"quarantine\""}}) {
        SCOPED_TRACE(row.dir != nullptr ? row.dir : "(none)");
        Filter f;
        f.Rule("attachment: *.exe", 10, row.dir);
        f.Load(MultipartMail("x", {{"a.exe", "TVqQ"}}));
        LogCapture log;
        EXPECT_EQ(f.Apply(MATCH_ATTACHMENT), 0);
        EXPECT_EQ(f.mail.GetPart(1)->GetName(), "a.exe");
        EXPECT_EQ(DecodedText(f.mail.GetPart(1)), std::string("MZ\x90", 3));
        EXPECT_TRUE(f.report.errors & ERR_PART_ACTION);
        EXPECT_EQ(f.report.modified, 0);
        EXPECT_EQ(Record(f.report, 2)->action, 0);
        EXPECT_TRUE(log.HasPrefix(QLOG_ERROR, row.line));
        EXPECT_FALSE(fs::exists("/a.exe"));
        EXPECT_FALSE(fs::exists("quarantine"));
    }
}

// Names already in the quarantine, of any kind, are passed over and never
// written through: a file, a link to a file elsewhere, a dangling link.
TEST_F(FilterProcessor, TakenNamesInTheQuarantineAreNeverFollowed) {
    ScratchDir dir, elsewhere;
    WriteFile(dir.path() / "a.exe", "first");
    WriteFile(elsewhere.path() / "victim", "keep me");
    fs::create_symlink(elsewhere.path() / "victim", dir.path() / "a2.exe");
    fs::create_symlink(elsewhere.path() / "planted", dir.path() / "a3.exe");
    Rule("attachment: *.exe", 10, dir.str().c_str());
    Load(MultipartMail("x", {{"a.exe", "TVqQ"}}));
    EXPECT_EQ(Apply(MATCH_ATTACHMENT), PART_MOVED);
    EXPECT_EQ(ReadFile(dir.path() / "a.exe"), "first");
    EXPECT_EQ(ReadFile(elsewhere.path() / "victim"), "keep me");
    EXPECT_FALSE(fs::exists(elsewhere.path() / "planted"));
    EXPECT_STREQ(Record(report, 2)->targetPath, (dir.path() / "a4.exe").string().c_str());
    EXPECT_EQ(ReadFile(dir.path() / "a4.exe"), std::string("MZ\x90", 3));
}

// With a move-everything rule the notices the check put in are never moved
// again, not even by a later pass: one quarantined file per attachment,
// every notice in the mail. (A notice may be made at the address of a part
// freed by an earlier move, whose report record the walk then finds.)
TEST_F(FilterProcessor, InsertedNoticesAreNotMovedAgain) {
    constexpr int ATTACHMENTS = 400;
    ScratchDir dir;
    Rule("attachment: *", 10, dir.str().c_str());
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < ATTACHMENTS; ++i)
        files.emplace_back("f" + std::to_string(i) + ".bin", "TVqQ");
    Load(MultipartMail("x", files));
    LogCapture log;  // one line per move
    EXPECT_EQ(Apply(MATCH_ATTACHMENT), PART_MOVED);
    // A later pass of the same check (the service runs the keyword passes
    // after this one) finds nothing left to act on.
    EXPECT_EQ(Apply(MATCH_ATTACHMENT), 0);
    int attachments = 0, notices = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        const std::string name = e.path().filename().string();
        attachments += name[0] == 'f' ? 1 : 0;
        notices += name.rfind("removed-attachment", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(attachments, ATTACHMENTS);
    EXPECT_EQ(notices, 0);
    ASSERT_EQ(mail.GetPartCount(), ATTACHMENTS + 1);
    for (int i = 1; i < mail.GetPartCount(); ++i)
        EXPECT_EQ(mail.GetPart(static_cast<unsigned>(i))->GetName(), "removed-attachment.txt");
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
        // Our own tolerant parser, which finds delimiters in mid-line too,
        // reads the rewritten mail back with the parts it was written with.
        CMimeMessage back;
        ASSERT_EQ(back.LoadMsg((dir.path() / "out.eml").string().c_str(), true), 0);
        EXPECT_EQ(back.GetPartCount(), f.mail.GetPartCount());
        EXPECT_FALSE(LogHasForgedLine(log));
        EXPECT_TRUE(log.HasPrefix(QLOG_INFO, action == 9 ? "[MAILCHECK] [REMOVED] [a.exe --xx "
                                                         : "[MAILCHECK] [MOVED] [a.exe --xx "));
    }
}

// Unique names count up before the first dot; the search goes on from the
// number used last and jumps over runs of taken names, so its cost does not
// grow with the folder: a thousand taken names cost a few dozen look-ups
// for the first move and a handful for each one after it.
TEST(UniqueFileName, CountsUpBeforeTheFirstDotAndSkipsTakenRunsQuickly) {
    constexpr int TAKEN = 1000;
    constexpr int MOVES = 50;
    ScratchDir dir;
    for (const char* name : {"archive.tar.gz", "archive2.tar.gz", "noext"})
        WriteFile(dir.path() / name, "x");
    for (int n = 1; n <= TAKEN; ++n)
        WriteFile(dir.path() / (n == 1 ? std::string("invoice.pdf")
                                       : "invoice" + std::to_string(n) + ".pdf"),
                  "x");
    CCheckReport report;
    CRuleHelper rules{0};
    CFilterProcessor filter{&report, &rules};
    auto create = [&](const std::string& name) {
        std::string chosen;
        std::FILE* f = filter.CreateUniqueFile((dir.path() / name).string(), chosen);
        if (f != nullptr)
            std::fclose(f);
        return fs::path(chosen).filename().string();
    };
    EXPECT_EQ(create("archive.tar.gz"), "archive3.tar.gz");
    EXPECT_EQ(create("noext"), "noext2");
    EXPECT_EQ(create("noext"), "noext3");

    const std::size_t before = filter.NamesTried();
    for (int i = 1; i <= MOVES; ++i)
        EXPECT_EQ(create("invoice.pdf"), "invoice" + std::to_string(TAKEN + i) + ".pdf");
    // Counting up from 1 each time would take TAKEN tries per move.
    EXPECT_LT(filter.NamesTried() - before, static_cast<std::size_t>(4 * 10 + 2 * MOVES));
}

}  // namespace
