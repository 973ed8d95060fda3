/*
 * test_fldtable.cpp - the field table and its lookups: every row under any
 * letter case, the hashed lookup against a plain walk of the rows, illegal
 * identifiers, and the bounded line scan.
 */
#include "mailhdr_test_util.h"

#include "platform/qorcsock_capture.h"

#include <cctype>
#include <iterator>
#include <random>
#include <sstream>

namespace {

// The table by identifier, written out independently of the library: the
// names, and the types as digits (0 text, 1 text list, 2 address, 3 list).
const Strings kNames = [] {
    std::istringstream in(
        "Return-Path Received Date From Subject Sender To Cc Reply-To Resent-Reply-To "
        "Resent-Sender Resent-From Resent-Date Resent-To Resent-Cc Bcc Resent-Bcc Message-Id "
        "Resent-Message-Id In-Reply-To References Keywords Comment Encrypted Apparently-To "
        "Apparently-From Expires Mail-Reply-To Mail-Followup-To Supersedes Precedence "
        "Mime-Version Content-Type X-Envelope-From X-Envelope-To X-ZANRecTime X-ZANCtrl X-ZANId "
        "X-ZANLocalGen X-ZANOnTour X-ZANRelayed X-ZANAntiSpam X-ZANLocalAssing X-Priority "
        "X-VaveRiz4Zan Content-Transfer-Encoding Content-Disposition Content-Location X-ENTRYID "
        "Other:");
    return Strings(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}();
const char kTypes[] = "01020233332203333000000032033000123001010000100001";

// What the lookup must agree with: every name compared, ignoring case.
int WalkLookup(const std::string& name) {
    for (int id = 0; id <= MAILHDR_FLD_OTHER; ++id) {
        const std::string& row = kNames[id];
        bool same = row.size() == name.size();
        for (std::size_t i = 0; same && i < row.size(); ++i)
            same = std::tolower(static_cast<unsigned char>(row[i])) ==
                   std::tolower(static_cast<unsigned char>(name[i]));
        if (same)
            return id;
    }
    return MAILHDR_FLD_OTHER;
}

std::string Cased(std::string s, int (*to)(int)) {
    for (char& c : s)
        c = static_cast<char>(to(static_cast<unsigned char>(c)));
    return s;
}

TEST(FieldTable, EveryRowUnderAnyLetterCase) {
    ASSERT_EQ(0, mailhdr_init());
    ASSERT_EQ(MAILHDR_FLD_OTHER + 1u, kNames.size());
    for (int id = 0; id <= MAILHDR_FLD_OTHER; ++id) {
        const std::string name = kNames[id];
        SCOPED_TRACE(name);
        EXPECT_EQ(id, mailhdr_getfldid(name.c_str()));
        EXPECT_EQ(id, mailhdr_getfldid(Cased(name, std::toupper).c_str()));
        EXPECT_EQ(id, mailhdr_getfldid(Cased(name, std::tolower).c_str()));
        EXPECT_EQ(kTypes[id] - '0', mailhdr_getfldtype(id));
        EXPECT_STREQ(name.c_str(), mailhdr_getfldname(id));
    }
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid(""));
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfldid(nullptr));
    mailhdr_exit();
}

// Names one byte away from table names, one byte short or long, and random
// bytes: the hashed lookup must give what walking the rows gives.
TEST(FieldTable, HashedLookupAgreesWithWalkingTheRows) {
    std::mt19937 rng(20240305);
    std::uniform_int_distribution<int> byte(1, 255);
    int checked = 0;
    for (const std::string& base : kNames) {
        for (std::size_t i = 0; i < base.size(); ++i) {
            // Every byte value in every place: the word-wise case folding
            // must leave '@', '[', '`', '{' and 8-bit bytes alone.
            for (int c = 1; c < 256; ++c) {
                std::string changed = base;
                changed[i] = static_cast<char>(c);
                if (WalkLookup(changed) != mailhdr_getfldid(changed.c_str()))
                    ADD_FAILURE() << changed;
                ++checked;
            }
            const std::string dropped = base.substr(0, i) + base.substr(i + 1);
            for (const std::string& name : {dropped, base + "-", "X" + base}) {
                EXPECT_EQ(WalkLookup(name), mailhdr_getfldid(name.c_str())) << name;
                ++checked;
            }
        }
    }
    for (int n = 0; n < 2000; ++n) {
        std::string name(static_cast<std::size_t>(1 + n % 30), 'a');
        for (char& c : name)
            c = static_cast<char>(byte(rng));
        EXPECT_EQ(WalkLookup(name), mailhdr_getfldid(name.c_str()));
        ++checked;
    }
    EXPECT_GT(checked, 2000);
}

TEST(FieldTable, IllegalIdentifiersAreTextWithoutNameAndLogged) {
    for (int id : {50, 1000, -1})
        EXPECT_EQ(FLDTYPE_TEXT, mailhdr_getfldtype(id)) << id;
    LogCapture cap;
    EXPECT_EQ(nullptr, mailhdr_getfldname(50));
    EXPECT_EQ(nullptr, mailhdr_getfldname(-1));
    EXPECT_EQ(2u, cap.Count(QLOG_BUG));
    EXPECT_TRUE(cap.Contains(QLOG_BUG, "mailhdr_getfldname: called with illegal parameter"));
}

// Without a colon the whole line is the name.
TEST(FieldTableLine, IdentifierOfTheNameBeforeTheFirstColon) {
    const std::pair<const char*, int> cases[] = {
        {"subject: a: b", 4}, {"From:", 3}, {"Subject", 4}, {"X-Spam: From: x", -1},
        {"Subject : x", -1},  {"", -1},     {nullptr, -1}};
    for (const auto& [line, id] : cases)
        EXPECT_EQ(id < 0 ? MAILHDR_FLD_OTHER : id, mailhdr_getfldid_line(line))
            << (line ? line : "(null)");
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
