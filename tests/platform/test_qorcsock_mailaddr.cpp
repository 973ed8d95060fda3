/*
 * test_qorcsock_mailaddr.cpp - address-list parsing (the forms of RFC 5322,
 * the obsolete and broken forms real mail has, the refusals and limits) and
 * matching of addresses against pattern addresses. Header values of real
 * mails are read from the shared corpus.
 */
#include "qorcsock.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The fields of one parsed record, "-" for a null member.
struct Rec {
    std::string name, local, domain, display, address, route, group;
};

std::string Str(const char* s) {
    return s != nullptr ? s : "-";
}

bool operator==(const Rec& a, const Rec& b) {
    return a.name == b.name && a.local == b.local && a.domain == b.domain &&
           a.display == b.display && a.address == b.address && a.route == b.route &&
           a.group == b.group;
}

std::ostream& operator<<(std::ostream& os, const Rec& r) {
    return os << "{name=" << r.name << " local=" << r.local << " domain=" << r.domain
              << " display=" << r.display << " address=" << r.address << " route=" << r.route
              << " group=" << r.group << "}";
}

// Parses `text`; an empty vector means the parse failed.
std::vector<Rec> Parse(const std::string& text) {
    mailaddr* list = mailaddr_parse(text.c_str());
    std::vector<Rec> out;
    for (const mailaddr* a = list; a != nullptr; a = a->next) {
        out.push_back(Rec{Str(a->name), Str(a->local), Str(a->domain), Str(a->display),
                          Str(a->address), Str(a->route), Str(a->group)});
    }
    mailaddr_free(&list);
    EXPECT_EQ(nullptr, list);
    return out;
}

// The reason of a refused text; fails the test when the text parses.
std::string Refusal(const std::string& text) {
    mailaddr* list = mailaddr_parse(text.c_str());
    EXPECT_EQ(nullptr, list) << "parsed: " << text;
    mailaddr_free(&list);
    return mailaddr_parse_errorstr();
}

// Bare address form of each record.
std::vector<std::string> Addresses(const std::string& text) {
    std::vector<std::string> out;
    for (const Rec& r : Parse(text)) {
        out.push_back(r.address);
    }
    return out;
}

using S = std::vector<std::string>;

TEST(qorcsockMailaddrForms, BareAddress) {
    EXPECT_EQ((std::vector<Rec>{
                  {"-", "joe", "example.com", "joe@example.com", "joe@example.com", "-", "-"}}),
              Parse("joe@example.com"));
}

TEST(qorcsockMailaddrForms, NameAndAngleAddress) {
    EXPECT_EQ((std::vector<Rec>{{"Joe Q. Public", "john.q.public", "example.com",
                                 "Joe Q. Public <john.q.public@example.com>",
                                 "john.q.public@example.com", "-", "-"}}),
              Parse("Joe Q. Public <john.q.public@example.com>"));
    EXPECT_EQ((std::vector<Rec>{{"-", "foo", "bar.baz", "foo@bar.baz", "foo@bar.baz", "-", "-"}}),
              Parse("<foo@bar.baz>"));
}

TEST(qorcsockMailaddrForms, QuotedNamesWithEscapesAndCommas) {
    std::vector<Rec> r = Parse(
        "\"Public, Joe \\\"JQ\\\"\" <joe@example.com>, \"Dr. Sender\" "
        "<sender@example.net>");
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("Public, Joe \"JQ\"", r[0].name);
    EXPECT_EQ("joe@example.com", r[0].address);
    EXPECT_EQ("Dr. Sender", r[1].name);
    EXPECT_EQ("Dr. Sender <sender@example.net>", r[1].display);
}

TEST(qorcsockMailaddrForms, QuotedLocalPartKeepsItsQuotes) {
    std::vector<Rec> r = Parse("\"joe smith\"@example.com");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("\"joe smith\"", r[0].local);
    EXPECT_EQ("\"joe smith\"@example.com", r[0].address);
}

TEST(qorcsockMailaddrForms, CommentsAreLeftOutAndNest) {
    std::vector<Rec> r = Parse("A1 (The Enforcer) Gore <vice-president@whitehouse.gov>");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("A1 Gore", r[0].name);
    r = Parse("joe(a (nested \\) comment))@(x)example.com");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("joe@example.com", r[0].address);
}

TEST(qorcsockMailaddrForms, TrailingCommentStandsInForTheName) {
    std::vector<Rec> r = Parse("barry@digicool.com (Barry A. Warsaw), bperson@dom.ain");
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("Barry A. Warsaw", r[0].name);
    EXPECT_EQ("Barry A. Warsaw <barry@digicool.com>", r[0].display);
    EXPECT_EQ("-", r[1].name);  // the comment belongs to the first address only
    r = Parse("\"Named\" <n@x> (comment)");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("Named", r[0].name);
}

TEST(qorcsockMailaddrForms, GroupsGiveTheirMembersTheGroupName) {
    std::vector<Rec> r = Parse("Team: a@x.org, \"B\" <b@y.org>;, c@z.org");
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ("Team", r[0].group);
    EXPECT_EQ("a@x.org", r[0].address);
    EXPECT_EQ("Team", r[1].group);
    EXPECT_EQ("B", r[1].name);
    EXPECT_EQ("-", r[2].group);
}

TEST(qorcsockMailaddrForms, EmptyGroupStandsAsOneRecord) {
    EXPECT_EQ((std::vector<Rec>{
                  {"-", "-", "-", "undisclosed-recipients:;", "-", "-", "undisclosed-recipients"}}),
              Parse("undisclosed-recipients:;"));
    // Without its ';' at the end, as some mailers write it.
    std::vector<Rec> r = Parse("undisclosed-recipients:");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("undisclosed-recipients", r[0].group);
}

TEST(qorcsockMailaddrForms, ObsoleteRouteIsKeptApart) {
    std::vector<Rec> r = Parse("Joe <@relay1.example,@relay2.example:joe@example.com>");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("@relay1.example,@relay2.example", r[0].route);
    EXPECT_EQ("joe@example.com", r[0].address);
    EXPECT_EQ("Joe <joe@example.com>", r[0].display);
    r = Parse("<@a,,@[192.0.2.1]:u@c>");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("@a,@[192.0.2.1]", r[0].route);
}

TEST(qorcsockMailaddrForms, DomainLiteralAndObsoleteSpacing) {
    EXPECT_EQ((S{"postmaster@[192.0.2.1]"}), Addresses("postmaster@[192.0.2.1]"));
    EXPECT_EQ((S{"first.last@example.com"}), Addresses("first . last @ example . com"));
}

TEST(qorcsockMailaddrForms, NullAddress) {
    EXPECT_EQ((std::vector<Rec>{{"-", "", "-", "<>", "", "-", "-"}}), Parse("<>"));
    std::vector<Rec> r = Parse("MAILER DAEMON <>");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("MAILER DAEMON", r[0].name);
    EXPECT_EQ("MAILER DAEMON <>", r[0].display);
}

TEST(qorcsockMailaddrForms, BareLocalPartWithoutDomain) {
    EXPECT_EQ((std::vector<Rec>{{"-", "baz", "-", "baz", "baz", "-", "-"}}), Parse("baz"));
    std::vector<Rec> r = Parse("Moderator-Address <moderator>");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("moderator", r[0].address);
    EXPECT_EQ("-", r[0].domain);
}

TEST(qorcsockMailaddrLenient, RawEightBitBytesAndEncodedWords) {
    std::vector<Rec> r = Parse(
        "J\xfcrgen Schm\xfcrgen <j\xfc@example.com>, "
        "Heinz =?iso-8859-1?Q?M=FCller?= <mueller@example.com>");
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("J\xfcrgen Schm\xfcrgen", r[0].name);
    EXPECT_EQ("j\xfc@example.com", r[0].address);
    EXPECT_EQ("Heinz =?iso-8859-1?Q?M=FCller?=", r[1].name);
}

TEST(qorcsockMailaddrLenient, EmptyElementsAndSemicolonSeparators) {
    EXPECT_EQ((S{"a@x", "b@y"}), Addresses(", a@x,, ,b@y,"));
    EXPECT_EQ((S{"a@x", "b@y"}), Addresses("a@x; b@y"));
}

TEST(qorcsockMailaddrLenient, AtSignAndDotsInUnquotedDisplayName) {
    std::vector<Rec> r = Parse("joe@example.com <joe@example.com>");
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("joe@example.com", r[0].name);
    EXPECT_EQ("joe@example.com", r[0].address);
}

TEST(qorcsockMailaddrLenient, FoldedValueWithLineEnds) {
    std::vector<Rec> r = Parse(
        "\"Joe\r\n Blow\" <jblow@example.com>,\r\n\tAnother User\n"
        "  <test2@example.org>");
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("Joe Blow", r[0].name);
    EXPECT_EQ("Another User", r[1].name);
    EXPECT_EQ("test2@example.org", r[1].address);
}

TEST(qorcsockMailaddrLenient, WildcardPatternsParseAsAddresses) {
    EXPECT_EQ((S{"*@example.com"}), Addresses("*@example.com"));
    EXPECT_EQ((S{"[a-z]*@*.example.com"}), Addresses("[a-z]*@*.example.com"));
    EXPECT_EQ((S{"joe@[a-z]*.com"}), Addresses("joe@[a-z]*.com"));
    EXPECT_EQ((S{"?oe@exa?ple.com"}), Addresses("?oe@exa?ple.com"));
}

TEST(qorcsockMailaddrRefused, BrokenSyntaxGivesReason) {
    EXPECT_NE(std::string::npos, Refusal("\"Joe <joe@x.com>").find("quoted string"));
    EXPECT_NE(std::string::npos, Refusal("Joe <joe@x.com").find("'<' without '>'"));
    EXPECT_NE(std::string::npos, Refusal("joe@x.com>").find("'>' without '<'"));
    EXPECT_NE(std::string::npos, Refusal("joe@x.com (open").find("comment"));
    EXPECT_NE(std::string::npos, Refusal("joe@x.com)").find("')'"));
    EXPECT_NE(std::string::npos, Refusal("joe@[1.2.3.4").find("domain literal"));
    EXPECT_NE(std::string::npos, Refusal("Someone Else").find("no address"));
    EXPECT_NE(std::string::npos, Refusal("@example.com").find("local part"));
    EXPECT_NE(std::string::npos, Refusal("joe@").find("no domain"));
    EXPECT_NE(std::string::npos, Refusal("a@b@c").find("second '@'"));
    EXPECT_NE(std::string::npos, Refusal("joe@exa mple.com").find("blank inside domain"));
    EXPECT_NE(std::string::npos, Refusal("<@a,b:c@d>").find("malformed route"));
    EXPECT_NE(std::string::npos, Refusal("A: B: c@d;;").find("group inside a group"));
    EXPECT_NE(std::string::npos, Refusal("<a@b> c@d").find("after '>'"));
    EXPECT_NE(std::string::npos, Refusal("\"x\" <a@b> <c@d>").find("after '>'"));
}

TEST(qorcsockMailaddrRefused, TextsWithoutAnyAddress) {
    Refusal("");
    Refusal("   ");
    Refusal(" , ,, ");
    EXPECT_EQ("no address in the text", Refusal("(mailbox in US-ASCII)"));
    EXPECT_EQ(nullptr, mailaddr_parse(nullptr));
    EXPECT_STRNE("no error", mailaddr_parse_errorstr());
}

TEST(qorcsockMailaddrRefused, ErrorTextNamesTheOffsetAndIsResetBySuccess) {
    EXPECT_EQ("unterminated quoted string at offset 4", Refusal("a@b,\"x"));
    mailaddr* ok = mailaddr_parse("a@b");
    ASSERT_NE(nullptr, ok);
    mailaddr_free(&ok);
    EXPECT_STREQ("no error", mailaddr_parse_errorstr());
}

TEST(qorcsockMailaddrLimits, AddressCountAtAndPastTheLimit) {
    std::string list;
    for (int i = 0; i < QORCSOCK_MAILADDR_MAX_ADDRESSES; ++i) {
        list += "u" + std::to_string(i) + "@x,";
    }
    EXPECT_EQ(static_cast<size_t>(QORCSOCK_MAILADDR_MAX_ADDRESSES), Parse(list).size());
    list += "one@more";
    EXPECT_NE(std::string::npos, Refusal(list).find("more than"));
}

TEST(qorcsockMailaddrLimits, TextLengthAtAndPastTheLimit) {
    std::string text = "a@b (" + std::string(QORCSOCK_MAILADDR_MAX_TEXT - 6, 'c') + ")";
    ASSERT_EQ(static_cast<size_t>(QORCSOCK_MAILADDR_MAX_TEXT), text.size());
    EXPECT_EQ(1u, Parse(text).size());
    text.insert(0, " ");
    EXPECT_NE(std::string::npos, Refusal(text).find("longer than"));
}

TEST(qorcsockMailaddrLimits, DeeplyNestedCommentsNeedNoStack) {
    const size_t depth = 200000;
    std::string text = "a@b " + std::string(depth, '(') + std::string(depth, ')');
    EXPECT_EQ((S{"a@b"}), Addresses(text));
    EXPECT_NE(std::string::npos, Refusal("a@b " + std::string(depth, '(')).find("comment"));
}

// First field `name` of a mail's header, continuation lines included as
// they stand in the file.
std::string HeaderValue(const std::string& file, const std::string& name) {
    std::ifstream in(std::string(MAILWARD_CORPUS_DIR) + "/" + file, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << file << " of the corpus";
    }
    std::string line;
    std::string value;
    bool inField = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            break;
        }
        if (inField && (line[0] == ' ' || line[0] == '\t')) {
            value += "\r\n" + line;
            continue;
        }
        if (inField) {
            break;
        }
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
            line[name.size()] == ':') {
            value = line.substr(name.size() + 1);
            inField = true;
        }
    }
    return value;
}

TEST(qorcsockMailaddrCorpus, HeaderValuesOfRealMails) {
    std::vector<Rec> r = Parse(HeaderValue("mail-parser/rfc/002.eml", "To"));
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("White House Transportation Coordinator", r[0].name);
    EXPECT_EQ("transport@whitehouse.gov", r[0].address);

    r = Parse(HeaderValue("mail-parser/rfc/002.eml", "From"));
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("Al Gore <vice-president@whitehouse.gov>", r[0].display);

    r = Parse(HeaderValue("cpython/msg_36.txt", "To"));
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("IETF-Announce", r[0].group);
    EXPECT_EQ("-", r[0].address);

    r = Parse(HeaderValue("cpython/msg_43.txt", "From"));
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("MAILER DAEMON", r[0].name);
    EXPECT_EQ("", r[0].address);

    r = Parse(HeaderValue("mail-parser/legacy/043.eml", "To"));
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("Heinz =?iso-8859-1?Q?M=FCller?=", r[0].name);
    EXPECT_EQ("mueller@example.com", r[0].address);

    r = Parse(HeaderValue("mail-parser/thirdparty/007.eml", "From"));
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("moderator", r[0].address);
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

TEST(qorcsockMailaddrMatch, WildcardsOnLocalPartAndDomainIgnoringCase) {
    EXPECT_EQ(2, Match("joe@EXAMPLE.com", "*@example.com"));
    EXPECT_EQ(2, Match("Joe Public <JOE@example.com>", "joe@example.com"));
    EXPECT_EQ(2, Match("joe@mail.example.com", "j?e@*.example.com"));
    EXPECT_EQ(0, Match("joe@example.com.evil.net", "*@example.com"));
    EXPECT_EQ(0, Match("joe@example.com", "jane@example.com"));
    EXPECT_EQ(0, Match("joe@example.com", "joe@example.org"));
}

TEST(qorcsockMailaddrMatch, DisplayNameDoesNotTakePart) {
    EXPECT_EQ(0, Match("example.com <joe@evil.net>", "*@example.com"));
    EXPECT_EQ(2, Match("Anyone <joe@example.com>", "Somebody Else <*@example.com>"));
}

TEST(qorcsockMailaddrMatch, QuotesOfTheLocalPartDoNotCount) {
    EXPECT_EQ(2, Match("\"joe\"@example.com", "joe@example.com"));
    EXPECT_EQ(2, Match("\"joe smith\"@example.com", "*smith@example.com"));
}

TEST(qorcsockMailaddrMatch, AnyAddressOfThePatternListMatches) {
    EXPECT_EQ(2, Match("b@y.org", "a@x.org, b@y.org"));
    EXPECT_EQ(0, Match("c@z.org", "a@x.org, b@y.org"));
}

TEST(qorcsockMailaddrMatch, MissingDomainCountsAsEmpty) {
    EXPECT_EQ(2, Match("baz", "baz"));
    EXPECT_EQ(0, Match("baz", "baz@example.com"));
    EXPECT_EQ(0, Match("baz@example.com", "baz"));
}

TEST(qorcsockMailaddrMatch, GroupRecordsAndNullArgumentsMatchNothing) {
    EXPECT_EQ(0, Match("undisclosed-recipients:;", "*@*"));
    EXPECT_EQ(0, Match("a@b", "undisclosed-recipients:;"));
    mailaddr* a = mailaddr_parse("a@b");
    EXPECT_EQ(0, mailaddr_match(a, nullptr));
    EXPECT_EQ(0, mailaddr_match(nullptr, a));
    mailaddr_free(&a);
    mailaddr_free(nullptr);
}

TEST(qorcsockMailaddrMatch, OnlyTheGivenAddressNotItsSuccessors) {
    mailaddr* list = mailaddr_parse("a@x.org, b@y.org");
    mailaddr* pattern = mailaddr_parse("b@y.org");
    ASSERT_NE(nullptr, list);
    ASSERT_NE(nullptr, pattern);
    EXPECT_EQ(0, mailaddr_match(list, pattern));
    EXPECT_EQ(2, mailaddr_match(list->next, pattern));
    mailaddr_free(&list);
    mailaddr_free(&pattern);
}

}  // namespace
