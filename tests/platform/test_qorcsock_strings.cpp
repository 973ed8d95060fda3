/*
 * test_qorcsock_strings.cpp - the support library's string tools: wildcard
 * matching (syntax, case, 8-bit bytes, rule patterns, inputs that would make
 * a backtracking matcher explode) and string lists (build, copy, join, split,
 * line cutting).
 */
#include "qorcsock/qorcsock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool M(const std::string& text, const std::string& pattern) {
    return shcasematch(text.c_str(), pattern.c_str()) == 1;
}

// `pattern` matches every text of `yes` and none of `no`.
void Expect(const std::string& pattern, const std::vector<std::string>& yes,
            const std::vector<std::string>& no = {}) {
    for (const std::string& t : yes)
        EXPECT_TRUE(M(t, pattern)) << '"' << t << "\" should match \"" << pattern << '"';
    for (const std::string& t : no)
        EXPECT_FALSE(M(t, pattern)) << '"' << t << "\" should not match \"" << pattern << '"';
}

TEST(qorcsockShcasematchSyntax, LiteralsStarQuestionMarkAndSets) {
    // Literals must match the whole text; '*' takes any run, also none.
    Expect("abc", {"abc"}, {"abcd", "xabc", "ab"});
    Expect("", {""}, {"a"});
    Expect("*", {"", "anything"});
    Expect("a*c", {"abc", "ac"}, {"ab"});
    Expect("*ab*ab", {"ababab"}, {"abab0"});
    Expect("*ss*ss*ss*", {}, {"mississippi"});
    // '?' takes exactly one byte.
    Expect("?", {"a", "\xe4"}, {"", "ab"});
    Expect("*?d", {"abcd"}, {"d"});
    // Sets, negated with '!' or '^'.
    Expect("[a-z]", {"m"}, {"5", ""});
    Expect("[!abc]", {"d"}, {"a"});
    Expect("[^a-c]", {"d"}, {"c"});
    // Special bytes inside sets.
    Expect("[]a]", {"]"});
    Expect("[!]]", {"x"}, {"]"});
    Expect("[a-]", {"-"}, {"b"});
    Expect("[-a]", {"-"});
    Expect("[*]", {"*"}, {"x"});
    Expect("[[]", {"["});
    // A reversed range is empty.
    Expect("[z-a]", {}, {"m"});
    Expect("[!z-a]", {"m"});
    // An unclosed bracket and the backslash are ordinary bytes.
    Expect("a[b", {"a[b"}, {"ab"});
    Expect("c:\\temp\\*.EXE", {"C:\\Temp\\virus.exe"});
    Expect("\\*", {"\\x"}, {"*"});
}

TEST(qorcsockShcasematchCase, AsciiLettersFoldEightBitBytesDoNot) {
    Expect("[A-Z]", {"q"});
    Expect("[a-z]", {"Q"});
    Expect("[!A-Z]", {}, {"q"});
    // A range of punctuation next to the letters must not take letters'
    // neighbours: '[' (0x5B) lies between 'Z' and 'a'.
    Expect("[@-Z]", {"q"}, {"["});
    // Umlauts of the Windows code page: no case folding outside ASCII.
    Expect("\xfc", {"\xfc"}, {"\xdc"});
    Expect("[\xe0-\xff]", {"\xfc"});
}

TEST(qorcsockShcasematchRules, PatternsRulesUseAndNullArguments) {
    Expect("[SPAM*", {"[SPAM] offer"});
    Expect("*@example.com", {"joe@EXAMPLE.com"}, {"joe@example.com.evil.net"});
    Expect("=[?]utf-8[?]*", {"=?utf-8?B?w7xiZXI=?="});
    EXPECT_EQ(0, shcasematch(nullptr, "*"));
    EXPECT_EQ(0, shcasematch("x", nullptr));
}

TEST(qorcsockShcasematchHostile, ManyStarsOnLongTextsGiveTheRightAnswer) {
    // A backtracking matcher needs about n^5 steps here; these finish at once.
    std::string as(200000, 'a');
    EXPECT_FALSE(M(as, "*a*a*a*a*a*b"));
    EXPECT_TRUE(M(as + "b", "*a*a*a*a*a*b"));
    EXPECT_TRUE(M(as, "*a*a*a*a*a*"));
    EXPECT_FALSE(M(as, std::string(100, '*') + "b"));
    std::string mixed;
    for (int i = 0; i < 50000; ++i)
        mixed += "ab";
    EXPECT_TRUE(M(mixed, "*[a-b]?*b*a?"));
    EXPECT_FALSE(M(mixed, "*aa*"));
}

// shcaseprefix: whether a text known only up to a point could match. It
// holds exactly when the text followed by some rest matches: checked
// against shcasematch with the rests the pattern itself suggests.
TEST(qorcsockShcaseprefix, TrueExactlyWhenSomeRestMakesTheTextMatch) {
    const struct {
        const char* text;
        const char* pattern;
        bool could;
    } rows[] = {
        {"evil", "*.exe", true},       {"evil.e", "*.exe", true},
        {"evil.exe", "*.exe", true},   {"report", "report.pdf", true},
        {"repx", "report.pdf", false}, {"aaaa", "b*", false},
        {"AB", "a?c", true},           {"abcd", "a?c", false},
        {"x", "[!x]*", false},         {"y", "[!x]*", true},
        {"", "anything", true},        {"a.exe", "*.txt", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.text) + " / " + row.pattern);
        EXPECT_EQ(row.could ? 1 : 0, shcaseprefix(row.text, row.pattern));
        // A whole match is always a possible one.
        if (M(row.text, row.pattern)) {
            EXPECT_EQ(1, shcaseprefix(row.text, row.pattern));
        }
    }
    EXPECT_EQ(0, shcaseprefix(nullptr, "*"));
    EXPECT_EQ(0, shcaseprefix("x", nullptr));
    std::string as(200000, 'a');
    EXPECT_EQ(1, shcaseprefix(as.c_str(), "*a*a*a*a*a*b"));
    EXPECT_EQ(1, shcaseprefix((as + "c").c_str(), "a*b"));  // "...cb"
    EXPECT_EQ(0, shcaseprefix(as.c_str(), (std::string(100, '?') + "b*").c_str()));
}

// ---- string lists ----------------------------------------------------------

using V = std::vector<std::string>;

struct List {  // owns a list for the length of a test
    stringlist* p = nullptr;
    List() = default;
    explicit List(stringlist* list) : p(list) {}
    List(std::initializer_list<const char*> items) {
        for (const char* s : items)
            stringlist_append_string(&p, s);
    }
    ~List() { stringlist_free(&p); }
    V Items() const {
        V out;
        for (const stringlist* l = p; l != nullptr; l = l->next)
            out.emplace_back(l->str);
        return out;
    }
};

std::string Join(const stringlist* list, const char* sep) {
    char* joined = stringlist_join(list, sep);
    EXPECT_NE(nullptr, joined);
    std::string out = joined != nullptr ? joined : "<null>";
    cbcontext_free(joined);
    return out;
}

TEST(qorcsockStringlistBuild, AppendPrependAndCopyOwnTheirCopies) {
    List list;
    char text[] = "b";
    ASSERT_EQ(0, stringlist_append_string(&list.p, text));
    ASSERT_EQ(0, stringlist_append_string(&list.p, ""));
    text[0] = 'B';
    EXPECT_LT(stringlist_append_string(nullptr, "x"), 0);
    EXPECT_LT(stringlist_append_string(&list.p, nullptr), 0);
    EXPECT_EQ(0u, stringlist_count(nullptr));

    List other{"x", "y"};
    ASSERT_EQ(0, stringlist_append(&list.p, other.p));
    ASSERT_EQ(0, stringlist_prepend(&list.p, other.p));
    EXPECT_EQ((V{"x", "y", "b", "", "x", "y"}), list.Items());
    EXPECT_EQ(6u, stringlist_count(list.p));
    // The other list is still the caller's and unchanged.
    EXPECT_EQ((V{"x", "y"}), other.Items());
    EXPECT_NE(list.p->str, other.p->str);
    EXPECT_EQ(0, stringlist_append(&list.p, nullptr));
    EXPECT_LT(stringlist_append(nullptr, other.p), 0);
    EXPECT_LT(stringlist_prepend(nullptr, other.p), 0);

    List copy(stringlist_copy(other.p));
    EXPECT_NE(other.p->str, copy.p->str);
    EXPECT_EQ(nullptr, stringlist_copy(nullptr));
    stringlist_free(&other.p);
    EXPECT_EQ(nullptr, other.p);
    EXPECT_EQ((V{"x", "y"}), copy.Items());
    stringlist_free(nullptr);

    // A list added to itself is doubled.
    ASSERT_EQ(0, stringlist_append(&copy.p, copy.p));
    EXPECT_EQ((V{"x", "y", "x", "y"}), copy.Items());
    ASSERT_EQ(0, stringlist_prepend(&copy.p, copy.p));
    EXPECT_EQ(8u, stringlist_count(copy.p));

    EXPECT_EQ("x\r\n\r\nb", Join(List{"x", "", "b"}.p, "\r\n"));
    EXPECT_EQ("xb", Join(List{"x", "b"}.p, nullptr));
    EXPECT_EQ("", Join(nullptr, ", "));
}

TEST(qorcsockStringlistSplit, CutsAtEverySeparator) {
    auto split = [](const char* text, const char* sep) {
        return List(stringlist_split(text, sep)).Items();
    };
    // Empty pieces and white space are kept, but a trailing separator gives
    // no empty last piece.
    EXPECT_EQ((V{" a ", "", "\tb"}), split(" a ;;\tb", ";"));
    EXPECT_EQ((V{"", "a"}), split(";a", ";"));
    EXPECT_EQ((V{"a", ""}), split("a;;", ";"));
    EXPECT_EQ((V{""}), split(";", ";"));
    EXPECT_EQ((V{"abc"}), split("abc", ";"));
    EXPECT_EQ((V{"From: a", "To: b", ""}), split("From: a\r\nTo: b\r\n\r\n", "\r\n"));
    // Occurrences do not overlap: the search goes on after each one.
    EXPECT_EQ((V{"", "", "a"}), split("::::a", "::"));
    EXPECT_EQ((V{"", ":a"}), split(":::a", "::"));
    EXPECT_EQ(nullptr, stringlist_split("", ";"));
    EXPECT_EQ(nullptr, stringlist_split("a;b", nullptr));
    EXPECT_EQ(nullptr, stringlist_split("a;b", ""));
    EXPECT_EQ(nullptr, stringlist_split(nullptr, ";"));
}

TEST(qorcsockStringlistFmt, CutsAtTheLastBlankThatFits) {
    auto fmt = [](const char* text, int width) {
        return List(stringlist_fmt(text, width)).Items();
    };
    EXPECT_EQ((V{"the quick", "brown fox"}), fmt("the quick     brown fox", 10));
    // A line of exactly the width stays whole; an overlong word is cut hard.
    EXPECT_EQ((V{"0123456789", "x"}), fmt("0123456789 x", 10));
    EXPECT_EQ((V{"ab", "cdef", "ghij", "k"}), fmt("ab cdefghijk", 4));
    // Line feeds end lines, and empty lines stay.
    EXPECT_EQ((V{"one", "", "two"}), fmt("one\n\ntwo\n", 75));
    EXPECT_EQ((V{""}), fmt("\n", 75));
    EXPECT_EQ((V{"aaaa", "bbbb", "c"}), fmt("aaaa bbbb   \nc", 4));
    EXPECT_EQ(nullptr, stringlist_fmt(nullptr, 75));
    EXPECT_EQ(nullptr, stringlist_fmt("text", 0));
    EXPECT_EQ(nullptr, stringlist_fmt("text", -3));
    EXPECT_EQ(nullptr, stringlist_fmt("", 75));
}

TEST(qorcsockStringlistFmt, EveryLineFitsAndNoTextIsLost) {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "word" + std::to_string(i) + (i % 7 == 0 ? std::string(90, 'z') : "") + " ";
    auto withoutBlanks = [](std::string s) {
        s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
        return s;
    };
    std::string rejoined;
    for (const std::string& line : List(stringlist_fmt(text.c_str(), 75)).Items()) {
        EXPECT_LE(line.size(), 75u);
        EXPECT_FALSE(!line.empty() && line[0] == ' ') << line;
        rejoined += line;
    }
    // Only the blanks at the cuts may go.
    EXPECT_EQ(withoutBlanks(text), withoutBlanks(rejoined));
}

}  // namespace
