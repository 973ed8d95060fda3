/*
 * test_qorcsock_mailaddr.cpp - address-list parsing (the forms of RFC 5322,
 * the obsolete and broken forms real mail has, the refusals and limits) and
 * matching of addresses against pattern addresses.
 */
#include "qorcsock/qorcsock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using S = std::vector<std::string>;

// The fields of one parsed record, "-" for a null member.
struct Rec {
    std::string name, local, domain, display, address, route, group;
    bool operator==(const Rec&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
    return os << "{name=" << r.name << " local=" << r.local << " domain=" << r.domain
              << " display=" << r.display << " address=" << r.address << " route=" << r.route
              << " group=" << r.group << "}";
}

// Parses `text`; an empty vector means the parse failed.
std::vector<Rec> Parse(const std::string& text) {
    auto str = [](const char* s) { return std::string(s != nullptr ? s : "-"); };
    mailaddr* list = mailaddr_parse(text.c_str());
    std::vector<Rec> out;
    for (const mailaddr* a = list; a != nullptr; a = a->next) {
        out.push_back(Rec{str(a->name), str(a->local), str(a->domain), str(a->display),
                          str(a->address), str(a->route), str(a->group)});
    }
    mailaddr_free(&list);
    EXPECT_EQ(nullptr, list);
    return out;
}

// One field of every record of `text`.
S Field(const std::string& text, std::string Rec::*member) {
    S out;
    for (const Rec& r : Parse(text))
        out.push_back(r.*member);
    return out;
}
S Names(const std::string& text) {
    return Field(text, &Rec::name);
}
S Addresses(const std::string& text) {
    return Field(text, &Rec::address);
}

// The reason of a refused text; fails the test when the text parses.
std::string Refusal(const std::string& text) {
    mailaddr* list = mailaddr_parse(text.c_str());
    EXPECT_EQ(nullptr, list) << "parsed: " << text;
    mailaddr_free(&list);
    return mailaddr_parse_errorstr();
}

TEST(qorcsockMailaddrForms, WholeRecordsOfTheBasicForms) {
    using R = std::vector<Rec>;
    EXPECT_EQ((R{{"-", "joe", "example.com", "joe@example.com", "joe@example.com", "-", "-"}}),
              Parse("joe@example.com"));
    EXPECT_EQ(
        (R{{"Joe Q. Public", "john.q.public", "example.com",
            "Joe Q. Public <john.q.public@example.com>", "john.q.public@example.com", "-", "-"}}),
        Parse("Joe Q. Public <john.q.public@example.com>"));
    EXPECT_EQ((R{{"-", "foo", "bar.baz", "foo@bar.baz", "foo@bar.baz", "-", "-"}}),
              Parse("<foo@bar.baz>"));
    // A group without members stands as one record.
    EXPECT_EQ((R{{"-", "-", "-", "undisclosed-recipients:;", "-", "-", "undisclosed-recipients"}}),
              Parse("undisclosed-recipients:;"));
    // The null address, and a bare local part without domain.
    EXPECT_EQ((R{{"-", "", "-", "<>", "", "-", "-"}}), Parse("<>"));
    EXPECT_EQ((R{{"-", "baz", "-", "baz", "baz", "-", "-"}}), Parse("baz"));
}

TEST(qorcsockMailaddrForms, NamesQuotesAndComments) {
    const std::string quoted = "\"Public, Joe \\\"JQ\\\"\" <joe@example.com>, \"Dr. S\" <s@x.net>";
    EXPECT_EQ((S{"Public, Joe \"JQ\"", "Dr. S"}), Names(quoted));
    EXPECT_EQ((S{"joe@example.com", "s@x.net"}), Addresses(quoted));
    // A quoted local part keeps its quotes.
    EXPECT_EQ((S{"\"joe smith\""}), Field("\"joe smith\"@example.com", &Rec::local));
    EXPECT_EQ((S{"\"joe smith\"@example.com"}), Addresses("\"joe smith\"@example.com"));
    // Comments are left out and nest.
    EXPECT_EQ((S{"A1 Gore"}), Names("A1 (The Enforcer) Gore <vice-president@whitehouse.gov>"));
    EXPECT_EQ((S{"joe@example.com"}), Addresses("joe(a (nested \\) comment))@(x)example.com"));
    // A trailing comment stands in for a missing name, for its own address
    // only.
    const std::string commented = "barry@digicool.com (Barry A. Warsaw), bperson@dom.ain";
    EXPECT_EQ((S{"Barry A. Warsaw", "-"}), Names(commented));
    EXPECT_EQ("Barry A. Warsaw <barry@digicool.com>", Field(commented, &Rec::display).at(0));
    EXPECT_EQ((S{"Named"}), Names("\"Named\" <n@x> (comment)"));
    EXPECT_EQ((S{"MAILER DAEMON <>"}), Field("MAILER DAEMON <>", &Rec::display));
    EXPECT_EQ((S{"MAILER DAEMON"}), Names("MAILER DAEMON <>"));
    EXPECT_EQ((S{"moderator"}), Addresses("Moderator-Address <moderator>"));
}

TEST(qorcsockMailaddrForms, GroupsRoutesLiteralsAndObsoleteSpacing) {
    const std::string team = "Team: a@x.org, \"B\" <b@y.org>;, c@z.org";
    EXPECT_EQ((S{"Team", "Team", "-"}), Field(team, &Rec::group));
    EXPECT_EQ((S{"a@x.org", "b@y.org", "c@z.org"}), Addresses(team));
    EXPECT_EQ("B", Names(team).at(1));
    // Without its ';' at the end, as some mailers write it.
    EXPECT_EQ((S{"undisclosed-recipients"}), Field("undisclosed-recipients:", &Rec::group));

    const std::string routed = "Joe <@relay1.example,@relay2.example:joe@example.com>";
    EXPECT_EQ((S{"@relay1.example,@relay2.example"}), Field(routed, &Rec::route));
    EXPECT_EQ((S{"joe@example.com"}), Addresses(routed));
    EXPECT_EQ((S{"Joe <joe@example.com>"}), Field(routed, &Rec::display));
    EXPECT_EQ((S{"@a,@[192.0.2.1]"}), Field("<@a,,@[192.0.2.1]:u@c>", &Rec::route));

    EXPECT_EQ((S{"postmaster@[192.0.2.1]"}), Addresses("postmaster@[192.0.2.1]"));
    EXPECT_EQ((S{"first.last@example.com"}), Addresses("first . last @ example . com"));
}

TEST(qorcsockMailaddrLenient, FormsRealMailHas) {
    // Raw 8-bit bytes, and encoded words left as they stand.
    EXPECT_EQ((S{"Heinz =?iso-8859-1?Q?M=FCller?="}),
              Names("Heinz =?iso-8859-1?Q?M=FCller?= <mueller@example.com>"));
    const std::string raw = "J\xfcrgen Schm\xfcrgen <j\xfc@example.com>";
    EXPECT_EQ((S{"J\xfcrgen Schm\xfcrgen"}), Names(raw));
    EXPECT_EQ((S{"j\xfc@example.com"}), Addresses(raw));
    // Empty elements and ';' between addresses.
    EXPECT_EQ((S{"a@x", "b@y"}), Addresses(", a@x,, ,b@y,"));
    EXPECT_EQ((S{"a@x", "b@y"}), Addresses("a@x; b@y"));
    // '@' and dots in an unquoted display name.
    for (S (*field)(const std::string&) : {&Names, &Addresses})
        EXPECT_EQ((S{"joe@example.com"}), field("joe@example.com <joe@example.com>"));
    // A folded value with its line ends.
    const std::string folded =
        "\"Joe\r\n Blow\" <jblow@example.com>,\r\n\tAnother User\n  <test2@example.org>";
    EXPECT_EQ((S{"Joe Blow", "Another User"}), Names(folded));
    EXPECT_EQ("test2@example.org", Addresses(folded).at(1));
    // Wildcard patterns parse as addresses.
    for (const char* pattern : {"[a-z]*@*.example.com", "joe@[a-z]*.com"})
        EXPECT_EQ((S{pattern}), Addresses(pattern));
}

TEST(qorcsockMailaddrRefused, BrokenSyntaxGivesReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"Joe <joe@x.com>", "quoted string"},
        {"Joe <joe@x.com", "'<' without '>'"},
        {"joe@x.com>", "'>' without '<'"},
        {"joe@x.com (open", "comment"},
        {"joe@x.com)", "')'"},
        {"joe@[1.2.3.4", "domain literal"},
        {"Someone Else", "no address"},
        {"@example.com", "local part"},
        {"joe@", "no domain"},
        {"a@b@c", "second '@'"},
        {"joe@exa mple.com", "blank inside domain"},
        {"<@a,b:c@d>", "malformed route"},
        {"A: B: c@d;;", "group inside a group"},
        {"\"x\" <a@b> c@d", "after '>'"},
    };
    for (const auto& [text, reason] : cases)
        EXPECT_NE(std::string::npos, Refusal(text).find(reason)) << text;
}

TEST(qorcsockMailaddrRefused, EmptyTextsAndTheErrorText) {
    Refusal("");
    Refusal("   ");
    Refusal(" , ,, ");
    EXPECT_EQ("no address in the text", Refusal("(mailbox in US-ASCII)"));
    EXPECT_EQ(nullptr, mailaddr_parse(nullptr));
    EXPECT_STRNE("no error", mailaddr_parse_errorstr());
    // The error text names the offset and is reset by a success.
    EXPECT_EQ("unterminated quoted string at offset 4", Refusal("a@b,\"x"));
    EXPECT_EQ(1u, Parse("a@b").size());
    EXPECT_STREQ("no error", mailaddr_parse_errorstr());
}

TEST(qorcsockMailaddrLimits, CountLengthAndNesting) {
    std::string list;
    for (int i = 0; i < QORCSOCK_MAILADDR_MAX_ADDRESSES; ++i)
        list += "u" + std::to_string(i) + "@x,";
    EXPECT_EQ(static_cast<size_t>(QORCSOCK_MAILADDR_MAX_ADDRESSES), Parse(list).size());
    list += "one@more";
    EXPECT_NE(std::string::npos, Refusal(list).find("more than"));

    std::string text = "a@b (" + std::string(QORCSOCK_MAILADDR_MAX_TEXT - 6, 'c') + ")";
    ASSERT_EQ(static_cast<size_t>(QORCSOCK_MAILADDR_MAX_TEXT), text.size());
    EXPECT_EQ(1u, Parse(text).size());
    text.insert(0, " ");
    EXPECT_NE(std::string::npos, Refusal(text).find("longer than"));

    // Deeply nested comments need no stack.
    const size_t depth = 200000;
    EXPECT_EQ((S{"a@b"}), Addresses("a@b " + std::string(depth, '(') + std::string(depth, ')')));
    EXPECT_NE(std::string::npos, Refusal("a@b " + std::string(depth, '(')).find("comment"));
}

// ---- matching -----------------------------------------------------------

int Match(const char* address, const char* pattern) {
    mailaddr* a = mailaddr_parse(address);
    mailaddr* p = mailaddr_parse(pattern);
    EXPECT_NE(nullptr, a) << address;
    EXPECT_NE(nullptr, p) << pattern;
    int result = mailaddr_match(a, p);
    mailaddr_free(&a);
    mailaddr_free(&p);
    return result;
}

TEST(qorcsockMailaddrMatch, LocalPartAndDomainByWildcardIgnoringCase) {
    struct Row {
        const char* address;
        const char* pattern;
        int expect;
    } rows[] = {
        {"joe@EXAMPLE.com", "*@example.com", 2},
        {"Joe Public <JOE@example.com>", "joe@example.com", 2},
        {"joe@example.com.evil.net", "*@example.com", 0},
        {"joe@example.com", "jane@example.com", 0},
        {"joe@example.com", "joe@example.org", 0},
        // The display name takes no part.
        {"example.com <joe@evil.net>", "*@example.com", 0},
        {"Anyone <joe@example.com>", "Somebody Else <*@example.com>", 2},
        // The quotes of the local part do not count.
        {"\"joe\"@example.com", "joe@example.com", 2},
        // Any address of the pattern list matches.
        {"b@y.org", "a@x.org, b@y.org", 2},
        // A missing domain counts as empty.
        {"baz", "baz", 2},
        {"baz", "baz@example.com", 0},
        // Group records match nothing.
        {"undisclosed-recipients:;", "*@*", 0},
        {"a@b", "undisclosed-recipients:;", 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.expect, Match(r.address, r.pattern)) << r.address << " ~ " << r.pattern;
}

TEST(qorcsockMailaddrMatch, OnlyTheGivenAddressAndNullArguments) {
    mailaddr* list = mailaddr_parse("a@x.org, b@y.org");
    mailaddr* pattern = mailaddr_parse("b@y.org");
    ASSERT_NE(nullptr, list);
    ASSERT_NE(nullptr, pattern);
    EXPECT_EQ(0, mailaddr_match(list, pattern));  // not its successors
    EXPECT_EQ(2, mailaddr_match(list->next, pattern));
    EXPECT_EQ(0, mailaddr_match(list, nullptr));
    EXPECT_EQ(0, mailaddr_match(nullptr, list));
    mailaddr_free(&list);
    mailaddr_free(&pattern);
    mailaddr_free(nullptr);
}

}  // namespace
