/*
 * test_qorcsock_stringlist.cpp - building, copying, joining, splitting and
 * line-cutting of the support library's string lists.
 */
#include "qorcsock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ToVector(const stringlist* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next) {
        out.emplace_back(list->str);
    }
    return out;
}

// Owns a list for the length of a test.
struct List {
    stringlist* p = nullptr;
    List() = default;
    explicit List(stringlist* list) : p(list) {}
    ~List() { stringlist_free(&p); }
    std::vector<std::string> Items() const { return ToVector(p); }
};

std::vector<std::string> Split(const char* text, const char* sep) {
    List list(stringlist_split(text, sep));
    return list.Items();
}

std::vector<std::string> Fmt(const char* text, int width) {
    List list(stringlist_fmt(text, width));
    return list.Items();
}

std::string WithoutBlanks(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != ' ') {
            out += c;
        }
    }
    return out;
}

using V = std::vector<std::string>;

TEST(qorcsockStringlistBuild, AppendStringKeepsOrderAndOwnsCopies) {
    List list;
    char text[] = "first";
    ASSERT_EQ(0, stringlist_append_string(&list.p, text));
    ASSERT_EQ(0, stringlist_append_string(&list.p, ""));
    ASSERT_EQ(0, stringlist_append_string(&list.p, "third"));
    text[0] = 'F';
    EXPECT_EQ((V{"first", "", "third"}), list.Items());
    EXPECT_EQ(3u, stringlist_count(list.p));
    EXPECT_LT(stringlist_append_string(nullptr, "x"), 0);
    EXPECT_LT(stringlist_append_string(&list.p, nullptr), 0);
    EXPECT_EQ(3u, stringlist_count(list.p));
}

TEST(qorcsockStringlistBuild, AppendAndPrependCopyTheOtherList) {
    List list;
    List other;
    stringlist_append_string(&list.p, "b");
    stringlist_append_string(&other.p, "x");
    stringlist_append_string(&other.p, "y");
    ASSERT_EQ(0, stringlist_append(&list.p, other.p));
    ASSERT_EQ(0, stringlist_prepend(&list.p, other.p));
    EXPECT_EQ((V{"x", "y", "b", "x", "y"}), list.Items());
    // The other list is still the caller's and unchanged.
    EXPECT_EQ((V{"x", "y"}), other.Items());
    EXPECT_NE(list.p->str, other.p->str);
    EXPECT_EQ(0, stringlist_append(&list.p, nullptr));
    EXPECT_LT(stringlist_append(nullptr, other.p), 0);
    EXPECT_LT(stringlist_prepend(nullptr, other.p), 0);
}

TEST(qorcsockStringlistBuild, ListAddedToItselfIsDoubled) {
    List list;
    stringlist_append_string(&list.p, "a");
    stringlist_append_string(&list.p, "b");
    ASSERT_EQ(0, stringlist_append(&list.p, list.p));
    EXPECT_EQ((V{"a", "b", "a", "b"}), list.Items());
    ASSERT_EQ(0, stringlist_prepend(&list.p, list.p));
    EXPECT_EQ(8u, stringlist_count(list.p));
}

TEST(qorcsockStringlistBuild, CopyIsDeepAndFreeNullsTheList) {
    List list;
    stringlist_append_string(&list.p, "one");
    stringlist_append_string(&list.p, "two");
    List copy(stringlist_copy(list.p));
    EXPECT_EQ(list.Items(), copy.Items());
    EXPECT_NE(list.p, copy.p);
    EXPECT_NE(list.p->str, copy.p->str);
    EXPECT_EQ(nullptr, stringlist_copy(nullptr));
    stringlist_free(&list.p);
    EXPECT_EQ(nullptr, list.p);
    EXPECT_EQ((V{"one", "two"}), copy.Items());
    stringlist_free(nullptr);
    EXPECT_EQ(0u, stringlist_count(nullptr));
}

TEST(qorcsockStringlistJoin, EntriesWithSeparatorBetween) {
    List list;
    stringlist_append_string(&list.p, "From: a");
    stringlist_append_string(&list.p, "");
    stringlist_append_string(&list.p, "   b");
    char* joined = stringlist_join(list.p, "\r\n");
    ASSERT_NE(nullptr, joined);
    EXPECT_STREQ("From: a\r\n\r\n   b", joined);
    cbcontext_free(joined);
    joined = stringlist_join(list.p, nullptr);
    ASSERT_NE(nullptr, joined);
    EXPECT_STREQ("From: a   b", joined);
    cbcontext_free(joined);
}

TEST(qorcsockStringlistJoin, EmptyListGivesEmptyText) {
    char* joined = stringlist_join(nullptr, ", ");
    ASSERT_NE(nullptr, joined);
    EXPECT_STREQ("", joined);
    cbcontext_free(joined);
}

TEST(qorcsockStringlistSplit, CutsAtEverySeparatorKeepingEmptyPieces) {
    EXPECT_EQ((V{"a", "b", "c"}), Split("a;b;c", ";"));
    EXPECT_EQ((V{"a", "", "b"}), Split("a;;b", ";"));
    EXPECT_EQ((V{"", "a"}), Split(";a", ";"));
    EXPECT_EQ((V{"a", ""}), Split("a;;", ";"));
    EXPECT_EQ((V{""}), Split(";", ";"));
    EXPECT_EQ((V{"abc"}), Split("abc", ";"));
}

TEST(qorcsockStringlistSplit, TrailingSeparatorGivesNoEmptyLastPiece) {
    EXPECT_EQ((V{"a", "b"}), Split("a\nb\n", "\n"));
    EXPECT_EQ((V{"Subject: x", "   y"}), Split("Subject: x\n   y\n", "\n"));
}

TEST(qorcsockStringlistSplit, WhiteSpaceIsKept) {
    EXPECT_EQ((V{" a ", "\tb"}), Split(" a ;\tb", ";"));
}

TEST(qorcsockStringlistSplit, MultiCharacterSeparator) {
    EXPECT_EQ((V{"From: a", "To: b", ""}), Split("From: a\r\nTo: b\r\n\r\n", "\r\n"));
    // Occurrences do not overlap: the search goes on after each one.
    EXPECT_EQ((V{"", "", "a"}), Split("::::a", "::"));
    EXPECT_EQ((V{"", ":a"}), Split(":::a", "::"));
}

TEST(qorcsockStringlistSplit, EmptyTextAndBadArgumentsGiveNull) {
    EXPECT_EQ(nullptr, stringlist_split("", ";"));
    EXPECT_EQ(nullptr, stringlist_split(nullptr, ";"));
    EXPECT_EQ(nullptr, stringlist_split("a;b", nullptr));
    EXPECT_EQ(nullptr, stringlist_split("a;b", ""));
}

TEST(qorcsockStringlistFmt, CutsAtTheLastBlankThatFits) {
    EXPECT_EQ((V{"the quick", "brown fox"}), Fmt("the quick brown fox", 10));
    EXPECT_EQ((V{"the quick", "brown fox"}), Fmt("the quick     brown fox", 10));
    EXPECT_EQ((V{"short"}), Fmt("short", 75));
}

TEST(qorcsockStringlistFmt, LineOfExactlyTheWidthStaysWhole) {
    EXPECT_EQ((V{"0123456789"}), Fmt("0123456789", 10));
    EXPECT_EQ((V{"0123456789", "x"}), Fmt("0123456789 x", 10));
}

TEST(qorcsockStringlistFmt, OverlongWordIsCutHard) {
    EXPECT_EQ((V{"abcd", "efgh", "ij"}), Fmt("abcdefghij", 4));
    EXPECT_EQ((V{"ab", "cdef", "ghij", "k"}), Fmt("ab cdefghijk", 4));
}

TEST(qorcsockStringlistFmt, LineFeedsEndLinesAndEmptyLinesStay) {
    EXPECT_EQ((V{"one", "", "two"}), Fmt("one\n\ntwo\n", 75));
    EXPECT_EQ((V{""}), Fmt("\n", 75));
    EXPECT_EQ((V{"aaaa", "bbbb", "c"}), Fmt("aaaa bbbb   \nc", 4));
}

TEST(qorcsockStringlistFmt, EveryLineFitsAndNoTextIsLost) {
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += "word" + std::to_string(i) + (i % 7 == 0 ? std::string(90, 'z') : "") + " ";
    }
    List lines(stringlist_fmt(text.c_str(), 75));
    std::string rejoined;
    for (const std::string& line : lines.Items()) {
        EXPECT_LE(line.size(), 75u);
        EXPECT_FALSE(!line.empty() && line[0] == ' ') << line;
        rejoined += line;
    }
    // Only the blanks at the cuts may go.
    EXPECT_EQ(WithoutBlanks(text), WithoutBlanks(rejoined));
}

TEST(qorcsockStringlistFmt, BadArgumentsGiveNull) {
    EXPECT_EQ(nullptr, stringlist_fmt(nullptr, 75));
    EXPECT_EQ(nullptr, stringlist_fmt("text", 0));
    EXPECT_EQ(nullptr, stringlist_fmt("text", -3));
    EXPECT_EQ(nullptr, stringlist_fmt("", 75));
}

}  // namespace
