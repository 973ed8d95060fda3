/*
 * test_fldtable.cpp - the field table and its lookups: every row found under
 * any letter case, the hashed lookup agreeing with a walk of the rows in
 * order, names near table names staying outside, and the bounded line scan.
 */
#include "mailhdr_test_util.h"

#include "platform/qorcsock_capture.h"

#include <cctype>
#include <cstring>
#include <random>
#include <vector>

namespace {

struct Row {
    const char* name;
    int id;
    int type;
};

// The rows in table order, written out independently of the library.
const Row kRows[] = {
    {"Return-Path", 0, 0},
    {"Received", 1, 1},
    {"Date", 2, 0},
    {"From", 3, 2},
    {"Subject", 4, 0},
    {"Sender", 5, 2},
    {"To", 6, 3},
    {"Cc", 7, 3},
    {"Reply-To", 8, 3},
    {"Resent-Reply-To", 9, 3},
    {"Resent-Sender", 10, 2},
    {"Resent-From", 11, 2},
    {"Resent-Date", 12, 0},
    {"Resent-To", 13, 3},
    {"Resent-Cc", 14, 3},
    {"Bcc", 15, 3},
    {"Resent-Bcc", 16, 3},
    {"Message-Id", 17, 0},
    {"Resent-Message-Id", 18, 0},
    {"In-Reply-To", 19, 0},
    {"References", 20, 0},
    {"Keywords", 21, 0},
    {"Comment", 22, 0},
    {"Encrypted", 23, 0},
    {"Apparently-To", 24, 3},
    {"Apparently-From", 25, 2},
    {"Expires", 26, 0},
    {"Mail-Reply-To", 27, 3},
    {"Mail-Followup-To", 28, 3},
    {"Mime-Version", 31, 0},
    {"Content-Type", 32, 1},
    {"Supersedes", 29, 0},
    {"Precedence", 30, 0},
    {"X-Envelope-From", 33, 2},
    {"X-Envelope-To", 34, 3},
    {"X-ZANRecTime", 35, 0},
    {"X-ZANCtrl", 36, 0},
    {"X-ZANId", 37, 1},
    {"X-ZANOnTour", 39, 1},
    {"X-ZANLocalGen", 38, 0},
    {"X-ZANRelayed", 40, 0},
    {"X-ZANAntiSpam", 41, 0},
    {"X-ZANLocalAssing", 42, 0},
    {"X-Priority", 43, 0},
    {"X-VaveRiz4Zan", 44, 1},
    {"Content-Transfer-Encoding", 45, 0},
    {"Content-Disposition", 46, 0},
    {"Content-Location", 47, 0},
    {"X-ENTRYID", 48, 0},
    {"Other:", 49, 1},
};

// What the lookup must agree with: the rows walked in order, _stricmp-like.
int WalkLookup(const char* name) {
    for (const Row& row : kRows) {
        const char* a = row.name;
        const char* b = name;
        while (*a != '\0' && std::tolower(static_cast<unsigned char>(*a)) ==
                                 std::tolower(static_cast<unsigned char>(*b))) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0')
            return row.id;
    }
    return MAILHDR_FLD_OTHER;
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(FieldTable, EveryRowHasItsIdentifierTypeAndName) {
    ASSERT_EQ(0, mailhdr_init());
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.id, mailhdr_getfldid(row.name));
        EXPECT_EQ(row.type, mailhdr_getfldtype(row.id));
        EXPECT_STREQ(row.name, mailhdr_getfldname(row.id));
    }
    mailhdr_exit();
}

TEST(FieldTable, LetterCaseOfTheNameDoesNotMatter) {
    for (const Row& row : kRows) {
        EXPECT_EQ(row.id, mailhdr_getfldid(Upper(row.name).c_str())) << row.name;
        EXPECT_EQ(row.id, mailhdr_getfldid(Lower(row.name).c_str())) << row.name;
    }
    EXPECT_EQ(17, mailhdr_getfldid("MESSAGE-ID"));
    EXPECT_EQ(45, mailhdr_getfldid("content-TRANSFER-encoding"));
}

TEST(FieldTable, NamesOutsideTheTableAreOther) {
    for (const char* name : {"", "X-Mailer", "Subject ", " Subject", "Subjec", "Subjectx",
                             "From:", "Other", "DKIM-Signature", "Content-Transfer-Encodingx",
                             "Re\xE7"
                             "eived"}) {
        EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid(name)) << name;
    }
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid(nullptr));
}

// Names one edit away from table names, random case, and random bytes: the
// hashed lookup must give what walking the rows gives, for every one.
TEST(FieldTable, HashedLookupAgreesWithWalkingTheRows) {
    std::mt19937 rng(20240305);
    std::uniform_int_distribution<int> byte(1, 255);
    int checked = 0;
    for (const Row& row : kRows) {
        std::string base = row.name;
        for (std::size_t i = 0; i < base.size(); ++i) {
            std::string changed = base;
            changed[i] = static_cast<char>(byte(rng));
            std::string dropped = base.substr(0, i) + base.substr(i + 1);
            std::string flipped = base;
            flipped[i] = static_cast<char>(flipped[i] ^ 0x20);  // case flip or other byte
            for (const std::string& name : {changed, dropped, flipped, base + "-", "X" + base}) {
                EXPECT_EQ(WalkLookup(name.c_str()), mailhdr_getfldid(name.c_str())) << name;
                ++checked;
            }
        }
    }
    for (int n = 0; n < 2000; ++n) {
        std::string name(static_cast<std::size_t>(1 + n % 30), 'a');
        for (char& c : name)
            c = static_cast<char>(byte(rng));
        EXPECT_EQ(WalkLookup(name.c_str()), mailhdr_getfldid(name.c_str()));
        ++checked;
    }
    EXPECT_GT(checked, 2000);
}

TEST(FieldTable, TypeOutsideTheIdentifiersIsText) {
    EXPECT_EQ(FLDTYPE_TEXT, mailhdr_getfldtype(50));
    EXPECT_EQ(FLDTYPE_TEXT, mailhdr_getfldtype(1000));
    EXPECT_EQ(FLDTYPE_TEXT, mailhdr_getfldtype(-1));
    EXPECT_EQ(FLDTYPE_TEXTLIST, mailhdr_getfldtype(MAILHDR_FLD_OTHER));
}

TEST(FieldTable, NameOfAnIllegalIdentifierIsNullAndLogged) {
    LogCapture cap;
    EXPECT_EQ(nullptr, mailhdr_getfldname(50));
    EXPECT_EQ(nullptr, mailhdr_getfldname(-1));
    EXPECT_EQ(2u, cap.Count(QLOG_BUG));
    EXPECT_TRUE(cap.Contains(QLOG_BUG, "mailhdr_getfldname: called with illegal parameter"));
    EXPECT_STREQ("Other:", mailhdr_getfldname(MAILHDR_FLD_OTHER));
}

TEST(FieldTableLine, IdentifierOfTheNameBeforeTheFirstColon) {
    EXPECT_EQ(4, mailhdr_getfldid_line("subject: a: b"));
    EXPECT_EQ(3, mailhdr_getfldid_line("From:"));
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid_line("X-Spam: From: x"));
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid_line("Subject : x"));
    EXPECT_EQ(4, mailhdr_getfldid_line("Subject"));  // no colon: the whole line
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid_line(""));
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid_line(nullptr));
}

// The scan stops after MAILHDR_FLDID_LINE_MAX characters. A buffer of that
// many name bytes without any terminator is read safely (a sanitizer build
// catches any read past it); a colon far behind a long name is not sought.
TEST(FieldTableLine, ReadsAtMostTheLineLimit) {
    std::vector<char> unterminated(MAILHDR_FLDID_LINE_MAX, 'n');
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid_line(unterminated.data()));
    std::string long_value = "Cc:" + std::string(10 * MAILHDR_FLDID_LINE_MAX, 'v');
    EXPECT_EQ(7, mailhdr_getfldid_line(long_value.c_str()));
    std::string late_colon = std::string(MAILHDR_FLDID_LINE_MAX + 100, 'n') + ":v";
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid_line(late_colon.c_str()));
}

}  // namespace
