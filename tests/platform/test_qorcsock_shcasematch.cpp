/*
 * test_qorcsock_shcasematch.cpp - wildcard matching: the syntax, case,
 * 8-bit bytes, the patterns rules really use, and inputs that would make a
 * backtracking matcher explode (the speed itself is measured in
 * bench/shcasematch.cpp).
 */
#include "qorcsock.h"

#include <gtest/gtest.h>

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
    Expect("*ss*ss*", {"mississippi"});
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
    Expect("a[?]", {"a?"}, {"ab"});
    Expect("[[]", {"["});
    // A reversed range is empty.
    Expect("[z-a]", {}, {"m"});
    Expect("[!z-a]", {"m"});
    // An unclosed bracket and the backslash are ordinary bytes.
    Expect("[SPAM*", {"[SPAM] offer"});
    Expect("a[b", {"a[b"}, {"ab"});
    Expect("c:\\temp\\*.EXE", {"C:\\Temp\\virus.exe"});
    Expect("\\*", {"\\x"}, {"*"});
}

TEST(qorcsockShcasematchCase, AsciiLettersFoldEightBitBytesDoNot) {
    Expect("*.exe", {"INVOICE.PDF.EXE"});
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
    Expect("X-Spam-Flag: YES*", {"X-Spam-Flag: YES, score=9.1"}, {"X-Spam-Flag: NO"});
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

}  // namespace
