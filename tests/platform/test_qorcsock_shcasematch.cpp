/*
 * test_qorcsock_shcasematch.cpp - wildcard matching: the syntax, case,
 * 8-bit bytes, the patterns rules really use, and inputs that would make a
 * backtracking matcher explode (the speed itself is measured in
 * bench/shcasematch.cpp).
 */
#include "qorcsock.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool M(const std::string& text, const std::string& pattern) {
    return shcasematch(text.c_str(), pattern.c_str()) == 1;
}

TEST(qorcsockShcasematchSyntax, LiteralsMustMatchTheWholeText) {
    EXPECT_TRUE(M("abc", "abc"));
    EXPECT_FALSE(M("abcd", "abc"));
    EXPECT_FALSE(M("abc", "abcd"));
    EXPECT_FALSE(M("xabc", "abc"));
    EXPECT_TRUE(M("", ""));
    EXPECT_FALSE(M("a", ""));
    EXPECT_FALSE(M("", "a"));
}

TEST(qorcsockShcasematchSyntax, StarTakesAnyRunIncludingNone) {
    EXPECT_TRUE(M("", "*"));
    EXPECT_TRUE(M("", "***"));
    EXPECT_TRUE(M("anything", "*"));
    EXPECT_TRUE(M("abc", "a*c"));
    EXPECT_TRUE(M("ac", "a*c"));
    EXPECT_FALSE(M("ab", "a*c"));
    EXPECT_TRUE(M("abcabc", "*abc"));
    EXPECT_TRUE(M("ababab", "*ab*ab"));
    EXPECT_FALSE(M("abab", "*ab*ab*ab"));
    EXPECT_TRUE(M("mississippi", "m*iss*ppi"));
    EXPECT_TRUE(M("mississippi", "*ss*ss*"));
    EXPECT_FALSE(M("mississippi", "*ss*ss*ss*"));
}

TEST(qorcsockShcasematchSyntax, QuestionMarkTakesExactlyOneByte) {
    EXPECT_TRUE(M("a", "?"));
    EXPECT_FALSE(M("", "?"));
    EXPECT_FALSE(M("ab", "?"));
    EXPECT_TRUE(M("abc", "a?c"));
    EXPECT_TRUE(M("abcd", "*?d"));
    EXPECT_FALSE(M("d", "*?d"));
    EXPECT_TRUE(M("\xe4", "?"));
}

TEST(qorcsockShcasematchSyntax, BracketSetsRangesAndNegation) {
    EXPECT_TRUE(M("b", "[abc]"));
    EXPECT_FALSE(M("d", "[abc]"));
    EXPECT_TRUE(M("m", "[a-z]"));
    EXPECT_FALSE(M("5", "[a-z]"));
    EXPECT_TRUE(M("5", "[0-9a-f]"));
    EXPECT_TRUE(M("d", "[!abc]"));
    EXPECT_FALSE(M("a", "[!abc]"));
    EXPECT_TRUE(M("d", "[^abc]"));
    EXPECT_FALSE(M("c", "[^a-c]"));
    EXPECT_FALSE(M("", "[a]"));
}

TEST(qorcsockShcasematchSyntax, SpecialBytesInsideSets) {
    EXPECT_TRUE(M("]", "[]]"));
    EXPECT_TRUE(M("]", "[]a]"));
    EXPECT_TRUE(M("x", "[!]]"));
    EXPECT_FALSE(M("]", "[!]]"));
    EXPECT_TRUE(M("-", "[a-]"));
    EXPECT_TRUE(M("-", "[-a]"));
    EXPECT_FALSE(M("b", "[a-]"));
    EXPECT_TRUE(M("*", "[*]"));
    EXPECT_FALSE(M("x", "[*]"));
    EXPECT_TRUE(M("a?", "a[?]"));
    EXPECT_TRUE(M("[", "[[]"));
}

TEST(qorcsockShcasematchSyntax, ReversedRangeIsEmpty) {
    EXPECT_FALSE(M("m", "[z-a]"));
    EXPECT_TRUE(M("m", "[!z-a]"));
}

TEST(qorcsockShcasematchSyntax, UnclosedBracketIsAnOrdinaryByte) {
    EXPECT_TRUE(M("[SPAM] offer", "[SPAM*"));
    EXPECT_TRUE(M("a[b", "a[b"));
    EXPECT_FALSE(M("ab", "a[b"));
    EXPECT_TRUE(M("x[", "*["));
}

TEST(qorcsockShcasematchSyntax, BackslashIsAnOrdinaryByte) {
    EXPECT_TRUE(M("C:\\Temp\\virus.exe", "c:\\temp\\*.EXE"));
    EXPECT_FALSE(M("*", "\\*"));
    EXPECT_TRUE(M("\\x", "\\*"));
}

TEST(qorcsockShcasematchCase, AsciiLettersIgnoreCase) {
    EXPECT_TRUE(M("Hello World", "hello world"));
    EXPECT_TRUE(M("INVOICE.PDF.EXE", "*.exe"));
    EXPECT_TRUE(M("q", "[A-Z]"));
    EXPECT_TRUE(M("Q", "[a-z]"));
    EXPECT_TRUE(M("Q", "[!0-9]"));
    EXPECT_FALSE(M("q", "[!A-Z]"));
    // A range of punctuation next to the letters must not take letters'
    // neighbours: '[' (0x5B) lies between 'Z' and 'a'.
    EXPECT_FALSE(M("[", "[@-Z]"));
    EXPECT_TRUE(M("q", "[@-Z]"));
}

TEST(qorcsockShcasematchCase, EightBitBytesMatchOnlyThemselves) {
    // Umlauts of the Windows code page: no case folding outside ASCII.
    EXPECT_TRUE(M("Schl\xfcsselw\xf6rter", "*w\xf6rter"));
    EXPECT_FALSE(M("\xdc", "\xfc"));
    EXPECT_TRUE(M("\xfc", "[\xe0-\xff]"));
    EXPECT_TRUE(M("Gr\xc3\xbc\xc3\x9f", "gr??*"));
}

TEST(qorcsockShcasematchRules, PatternsRulesUse) {
    EXPECT_TRUE(M("X-Spam-Flag: YES, score=9.1", "X-Spam-Flag: YES*"));
    EXPECT_FALSE(M("X-Spam-Flag: NO", "X-Spam-Flag: YES*"));
    EXPECT_TRUE(M("   continued line", "   *"));
    EXPECT_TRUE(M("Re: Special OFFER for you", "*offer*"));
    EXPECT_TRUE(M("joe@EXAMPLE.com", "*@example.com"));
    EXPECT_FALSE(M("joe@example.com.evil.net", "*@example.com"));
    EXPECT_TRUE(M("report.2024.docm", "*.doc?"));
    EXPECT_TRUE(M("=?utf-8?B?w7xiZXI=?=", "=[?]utf-8[?]*"));
}

TEST(qorcsockShcasematchRules, NullArgumentsNeverMatch) {
    EXPECT_EQ(0, shcasematch(nullptr, "*"));
    EXPECT_EQ(0, shcasematch("x", nullptr));
    EXPECT_EQ(0, shcasematch(nullptr, nullptr));
}

TEST(qorcsockShcasematchHostile, ManyStarsOnLongTextsGiveTheRightAnswer) {
    // A backtracking matcher needs about n^5 steps here; these finish at once.
    std::string as(200000, 'a');
    EXPECT_FALSE(M(as, "*a*a*a*a*a*b"));
    EXPECT_TRUE(M(as + "b", "*a*a*a*a*a*b"));
    EXPECT_TRUE(M(as, "*a*a*a*a*a*"));
    EXPECT_FALSE(M(as, std::string(100, '*') + "b"));
    std::string mixed;
    for (int i = 0; i < 50000; ++i) {
        mixed += "ab";
    }
    EXPECT_TRUE(M(mixed, "*[a-b]?*b*a?"));
    EXPECT_FALSE(M(mixed, "*aa*"));
}

}  // namespace
