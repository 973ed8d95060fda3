/*
 * test_output.cpp - header text: the layout of fields and lines, the order
 * of fields, the size agreeing with what is written, fields without lines,
 * line ends inside names and values (folds kept, anything else never
 * starting a field), walking a record, dates and Received fields.
 */
#include "mailhdr_test_util.h"

#include <cstdlib>
#include <cstring>
#include <regex>

namespace {

// Fields without lines are left out; sprint appends to the buffer's text.
TEST(HeaderText, FieldsInIdentifierOrderThenListOrderFoldsWithThreeBlanks) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"Subject: first\n second\n", "Subject: first\r\n   second\r\n"},
        {"X-Late: 1\nFrom: a@example.com\nReceived: from one\nContent-Type: text/plain\n"
         "Mime-Version: 1.0\nReceived: from two\nX-Early: 2\n",
         "Received: from one\r\nReceived: from two\r\nFrom: a@example.com\r\n"
         "Mime-Version: 1.0\r\nContent-Type: text/plain\r\nX-Late: 1\r\nX-Early: 2\r\n"},
    };
    for (const auto& [block, written] : cases) {
        HdrPtr hdr = Parsed(block);
        EXPECT_EQ(written, Text(hdr.get()));
        EXPECT_EQ(static_cast<int>(std::strlen(written)), mailhdr_get_headersize(hdr.get()));
    }
    HdrPtr hdr = Parsed("Subject: s\n");
    ASSERT_NE(nullptr, mailhdr_addfld(hdr.get(), 2));
    ASSERT_EQ(0, mailhdr_setfld(hdr.get(), 1, nullptr));
    ASSERT_NE(nullptr, mailhdr_addfld_byname(hdr.get(), "X-Bare"));
    EXPECT_EQ("Subject: s\r\n", Text(hdr.get()));
    char buf[64] = "prefix|";
    EXPECT_EQ(12, mailhdr_sprint(hdr.get(), buf));
    EXPECT_STREQ("prefix|Subject: s\r\n", buf);
}

TEST(HeaderText, SingleFieldFormsNullRecordAndRefusedBuffer) {
    HdrPtr hdr = Parsed("Keywords: a\n\tb\n");
    const mailhdr_fld* fld = mailhdr_getfld(hdr.get(), 21);
    char text[64] = "";
    EXPECT_EQ(19, mailhdr_sprint_fld(text, fld));
    EXPECT_STREQ("Keywords: a\r\n   b\r\n", text);
    cbuf* buf = cbuf_alloc(0, -1, 16, 0);
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ(19, mailhdr_print_fld(buf, fld));
    EXPECT_STREQ("Keywords: a\r\n   b\r\n", cbuf_data(buf));
    EXPECT_EQ(-1, mailhdr_print_fld(buf, nullptr));
    EXPECT_EQ(-1, mailhdr_print(nullptr, buf));
    cbuf_free(buf);

    EXPECT_EQ(-1, mailhdr_get_headersize(nullptr));
    EXPECT_EQ(-1, mailhdr_sprint(nullptr, text));
    cbuf* small = cbuf_alloc(0, 8, 8, 0);  // refuses text past 8 characters
    ASSERT_NE(nullptr, small);
    EXPECT_EQ(-1, mailhdr_print(hdr.get(), small));
    cbuf_free(small);
}

// The library's own folds survive: an LF followed by a tab or blank is
// written as CR LF and that white space. Any other line end becomes a
// blank, so no value can start a field or a line of white space alone: read
// back, the text holds the one field that was set and no Bcc field.
TEST(HeaderTextLineEnds, FoldsAreKeptOtherLineEndsBecomeBlanks) {
    const std::pair<const char*, const char*> cases[] = {
        {"attachment;\n filename=a.txt", "attachment;\r\n filename=a.txt"},
        // A part name from a hostile mail: the encoded word
        // "=?us-ascii?Q?evil.txt=0D=0ABcc:_victim@example.com?=" decoded
        // into the folded value the part layer writes.
        {"attachment;\n\tfilename=\"evil.txt\r\nBcc: victim@example.com\"",
         "attachment;\r\n\tfilename=\"evil.txt  Bcc: victim@example.com\""},
        {"a\r\nBcc: x@example.com", "a  Bcc: x@example.com"},
        {"a\nBcc: x", "a Bcc: x"},
        {"a\rBcc: x", "a Bcc: x"},
        {"a\r\n\tb", "a \r\n\tb"},  // the CR is no part of the fold
        {"trailing\n", "trailing "},
        {"\n\nBcc: x", "  Bcc: x"},
        {"a\n\t\nBcc: x", "a \t Bcc: x"},
        {"a\n \t", "a  \t"},
        {"a\n \n\tb", "a  \r\n\tb"},
    };
    for (const auto& [value, written] : cases) {
        SCOPED_TRACE(value);
        HdrPtr hdr = NewHdr();
        ASSERT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_DISPOSITION, value));
        const std::string text = Text(hdr.get());
        EXPECT_EQ(std::string("Content-Disposition: ") + written + "\r\n", text);
        HdrPtr reread = Parsed(text);
        EXPECT_EQ(nullptr, mailhdr_getfld(reread.get(), 15));  // Bcc
        EXPECT_EQ(1, CountFields(reread.get()));
    }
    HdrPtr hdr = NewHdr();
    mailhdr_fld* fld = mailhdr_addfld_byname(hdr.get(), "X-A\r\nBcc");
    ASSERT_NE(nullptr, fld);
    ASSERT_EQ(0, stringlist_append_string(&fld->lines, "v"));
    EXPECT_EQ("X-A  Bcc: v\r\n", SprintText(hdr.get()));
}

// Collects the names; stops at From with -7 when `stop` is set.
template <bool stop>
int Visit(void* context, mailhdr_fld* fld) {
    static_cast<Strings*>(context)->push_back(fld->name);
    return stop ? (fld->id == 3 ? -7 : 1) : 2;
}

int Release(void*, mailhdr_fld* fld) {
    mailhdr_fld_free(fld);
    return 1;
}

TEST(WalkFields, SumsResultsInOutputOrderStopsAtANegativeOneMayRelease) {
    HdrPtr hdr = Parsed("X-A: 1\nFrom: f@x\nReceived: r1\nReceived: r2\n");
    Strings seen;
    EXPECT_EQ(8, mailhdr_foreach_fld(hdr.get(), &seen, Visit<false>));
    EXPECT_EQ((Strings{"Received", "Received", "From", "X-A"}), seen);
    seen.clear();
    EXPECT_EQ(-7, mailhdr_foreach_fld(hdr.get(), &seen, Visit<true>));
    EXPECT_EQ((Strings{"Received", "Received", "From"}), seen);
    EXPECT_EQ(0, mailhdr_foreach_fld(hdr.get(), &seen, nullptr));
    EXPECT_EQ(0, mailhdr_foreach_fld(nullptr, &seen, Visit<false>));
    EXPECT_EQ(4, mailhdr_foreach_fld(hdr.get(), nullptr, Release));
    for (mailhdr_fld*& head : hdr->flds)
        head = nullptr;  // the walk released them all
    hdr->current = nullptr;
}

// Sets TZ while it lives and puts the old value back.
struct TimeZone {
    explicit TimeZone(const char* tz) : had(std::getenv("TZ") != nullptr) {
        old = had ? std::getenv("TZ") : "";
        setenv("TZ", tz, 1);
    }
    ~TimeZone() { had ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ"); }
    bool had;
    std::string old;
};

TEST(Date, ZonesAndDaylightSavingTime) {
    const time_t tuesday = 1709644029;    // 2024-03-05 13:07:09 UTC
    const time_t julyNight = 1719873000;  // 2024-07-01 22:30:00 UTC
    struct Case {
        const char* tz;  // POSIX: east of UTC is negative
        time_t when;
        const char* date;
    };
    const Case cases[] = {
        {"UTC0", tuesday, "Tue, 5 Mar 2024 13:07:09 -0000"},
        {"XYZ-1", tuesday, "Tue, 5 Mar 2024 14:07:09 +0100"},
        {"XYZ5", tuesday, "Tue, 5 Mar 2024 08:07:09 -0500"},
        {"XYZ-5:30", tuesday, "Tue, 5 Mar 2024 18:37:09 +0530"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", julyNight, "Tue, 2 Jul 2024 00:30:00 +0200"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", tuesday, "Tue, 5 Mar 2024 14:07:09 +0100"},
    };
    for (const Case& c : cases) {
        TimeZone tz(c.tz);
        char out[MAILHDR_DATE_SIZE];
        EXPECT_EQ(out, mailhdr_date_at(out, c.when));
        EXPECT_STREQ(c.date, out) << c.tz;
    }
}

TEST(Date, CurrentDateHasTheMailForm) {
    char out[MAILHDR_DATE_SIZE];
    ASSERT_EQ(out, mailhdr_date(out));
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-3]?[0-9] [A-Z][a-z]{2} [0-9]{4} )"
                        R"([0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4})")))
        << out;
    EXPECT_EQ(nullptr, mailhdr_date(nullptr));
}

TEST(Received, ClausesInOrderGoFirst) {
    TimeZone tz("UTC0");
    HdrPtr hdr = Parsed("Received: older\n");
    ASSERT_EQ(0, mailhdr_add_received(hdr.get(), "a.example", "b.example", nullptr, "ESMTP",
                                      "42@b.example"));
    mailhdr_fld* first = mailhdr_getfld(hdr.get(), 1);
    Strings lines = Lines(first->lines);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ((Strings{"from a.example", "by b.example", "with ESMTP", "id <42@b.example>"}),
              Strings(lines.begin(), lines.begin() + 4));
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(; \w{3}, .* -0000)"))) << lines[4];
    EXPECT_STREQ("Received", first->name);
    ASSERT_NE(nullptr, first->next);
    EXPECT_EQ((Strings{"older"}), Lines(first->next->lines));
}

TEST(Received, OnlyTheDateWithoutClausesAndLongClausesAreCut) {
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_add_received(hdr.get(), nullptr, nullptr, nullptr, nullptr, nullptr));
    Strings lines = Lines(mailhdr_getfldvalue(hdr.get(), 1));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("; ", lines[0].substr(0, 2));

    std::string host(5000, 'h');
    ASSERT_EQ(
        0, mailhdr_add_received(hdr.get(), host.c_str(), nullptr, nullptr, nullptr, host.c_str()));
    lines = Lines(mailhdr_getfldvalue(hdr.get(), 1));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(static_cast<std::size_t>(MAILHDR_RECEIVED_CLAUSE_SIZE - 1), lines[0].size());
    EXPECT_EQ("from hhh", lines[0].substr(0, 8));
    EXPECT_EQ(static_cast<std::size_t>(MAILHDR_RECEIVED_CLAUSE_SIZE - 1), lines[1].size());
    EXPECT_EQ(-1, mailhdr_add_received(nullptr, "a", "b", "c", "d", "e"));
}

}  // namespace
