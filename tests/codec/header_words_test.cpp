/*
 * header_words_test.cpp - DecodeHeaderData: encoded words of both kinds,
 * what is kept between them, the CR LF cut and leading white space, values
 * given back undecoded, and real header values of the corpus.
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec_test_util.h"

namespace {

using codec_test::Text;

std::string Dec(const std::string& value) {
    Text t(DecodeHeaderData(value.c_str()));
    EXPECT_NE(t, nullptr) << value;
    return t ? std::string(t.get()) : std::string("<null>");
}

TEST(HeaderDataDecode, NullGivesNull) {
    EXPECT_EQ(DecodeHeaderData(nullptr), nullptr);
}

TEST(HeaderDataDecode, PlainValues) {
    EXPECT_EQ(Dec("Hello World"), "Hello World");
    EXPECT_EQ(Dec("  \tHello World\r\n"), "Hello World");
    EXPECT_EQ(Dec("Hello\n"), "Hello\n") << "a lone LF stays";
    EXPECT_EQ(Dec("Hello\rX"), "Hello") << "CR and any one character are cut";
    EXPECT_EQ(Dec("Hello \r\n"), "Hello ");
    EXPECT_EQ(Dec("\r\n"), "");
    EXPECT_EQ(Dec("   "), "   ") << "white space alone comes back whole";
    EXPECT_EQ(Dec(""), "");
    EXPECT_EQ(Dec("a=b?c"), "a=b?c");
}

TEST(HeaderDataDecode, QWords) {
    EXPECT_EQ(Dec("=?iso-8859-1?Q?=41?="), "A");
    EXPECT_EQ(Dec("=?us-ascii?q?free_money?="), "free money");
    EXPECT_EQ(Dec("=?x?Q?a=3Fb?="), "a?b");
    EXPECT_EQ(Dec("=?x?Q?a=5Fb?="), "a_b") << "an escaped underscore stays one";
    EXPECT_EQ(Dec("=?x?Q?a=zb?="), "azb") << "a broken escape keeps its characters";
    EXPECT_EQ(Dec("=?x?Q?"
                  "?="),
              "")
        << "an empty text gives an empty piece";
    EXPECT_EQ(Dec("=?"
                  "?Q?x?="),
              "x")
        << "an empty charset is read past";
}

TEST(HeaderDataDecode, BWords) {
    EXPECT_EQ(Dec("=?utf-8?B?YWJj?="), "abc");
    EXPECT_EQ(Dec("=?utf-8?b?YWI=?="), "ab");
    EXPECT_EQ(Dec("=?utf-8?B?Y W I?="), "ab") << "stray characters are skipped";
}

TEST(HeaderDataDecode, QWordPlainTextAndBWord) {
    EXPECT_EQ(Dec("=?iso-8859-1?Q?Fr=F6sche?= und Hasen =?iso-8859-1?B?SvxyZ2Vu?= !"),
              "Fr\xF6sche und Hasen J\xFCrgen !");
}

TEST(HeaderDataDecode, WhiteSpaceBetweenWordsIsKept) {
    EXPECT_EQ(Dec("=?a?Q?x?= =?a?Q?y?="), "x y");
    EXPECT_EQ(Dec("=?a?Q?x?=\n\t=?a?B?eQ==?="), "x\n\ty");
    EXPECT_EQ(Dec("=?a?Q?x?==?a?Q?y?="), "xy");
}

TEST(HeaderDataDecode, DecodedWordEndsAtAZeroByte) {
    EXPECT_EQ(Dec("=?a?Q?ab=00cd?=ef"), "abef");
    EXPECT_EQ(Dec("=?a?B?AGFi?=c"), "c");
}

TEST(HeaderDataDecode, MalformedValuesComeBackUndecoded) {
    const std::string unclosed = "  =?a?Q?first?= then =?a?Q?second";
    EXPECT_EQ(Dec(unclosed), unclosed) << "the first word is not decoded either";
    EXPECT_EQ(Dec(unclosed + "\r\n"), unclosed) << "only the CR LF is cut";
    EXPECT_EQ(Dec("=?a?X?abc?= tail"), "=?a?X?abc?= tail") << "unknown letter";
    EXPECT_EQ(Dec("x =?a?QQ?abc?="), "x =?a?QQ?abc?=") << "no \"?\" after the letter";
    EXPECT_EQ(Dec("x =?charset"), "x =?charset") << "no \"?\" after the charset";
    EXPECT_EQ(Dec("x =?cs?"), "x =?cs?");
    EXPECT_EQ(Dec("x =?cs?Q"), "x =?cs?Q");
    EXPECT_EQ(Dec("x =?cs?Q?="), "x =?cs?Q?=") << "the \"=\" after \"?\" is the text";
}

TEST(HeaderDataDecode, QWordWithALineFeed) {
    // The quoted-printable decoder writes LF as CR LF, inside words too.
    EXPECT_EQ(Dec("=?a?Q?x\ny?="), "x\r\ny");
}

TEST(HeaderDataDecode, LongValues) {
    std::string value;
    std::string want;
    for (int k = 0; k < 5000; ++k) {
        value += "=?utf-8?Q?a=41_?= ";
        want += "aA  ";
    }
    EXPECT_EQ(Dec(value), want);
}

// Real header values: each decodes to the bytes of its own charset.
TEST(HeaderDataCorpus, KnownValues) {
    struct Case {
        const char* file;
        const char* field;
        const char* want;
    };
    const Case cases[] = {
        {"mail-parser/legacy/040.eml", "Subject", "Die Hasen und die Fr\xF6sche"},
        {"mail-parser/legacy/040.eml", "To", "J\xFCrgen Schm\xFCrgen <schmuergen@example.com>"},
        {"mail-parser/legacy/007.eml", "To", "J\xFCrgen Schm\xFCrgen <schmuergen@example.com>"},
        {"mail-parser/legacy/007.eml", "Subject",
         "Die Hasen und die Fr\xF6sche (Microsoft Outlook 00)"},
        {"mail-parser/legacy/011.eml", "To",
         "J\xFCrgen  Schm\xFCrgen\n  <jschmuergen@example.com>"},
        {"mail-parser/legacy/043.eml", "Subject",
         "Die Hasen und die Fr\xF6sche (Netscape Communicator 4.7)"},
        {"mail-parser/legacy/053.eml", "To", "Heinz M\xC3\xBCller <mueller@example.com>"},
        {"mail-parser/legacy/005.eml", "To", "Heinz M+APw-ller <mueller@example.com>"},
        {"mail-parser/thirdparty/010.eml", "Subject",
         "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF"},
    };
    for (const Case& c : cases) {
        const std::string mail = codec_test::ReadCorpus(c.file);
        ASSERT_FALSE(mail.empty()) << c.file;
        const std::string value = codec_test::HeaderValue(mail, c.field);
        ASSERT_FALSE(value.empty()) << c.file << " " << c.field;
        EXPECT_EQ(Dec(value), c.want) << c.file << " " << c.field;
    }
}

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    for (const char* dir : {"mail-parser/rfc", "mail-parser/legacy", "mail-parser/thirdparty",
                            "mail-parser/malformed", "cpython"}) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(
                 std::filesystem::path(MAILWARD_CORPUS_DIR) / dir, ec))
            files.push_back(std::string(dir) + "/" + e.path().filename().string());
    }
    return files;
}

// Every header line of every corpus mail, CR LF and all: values without an
// encoded word come back as they stand less leading white space and the
// line end; the others decode to no more than twice their length.
TEST(HeaderDataCorpus, EveryHeaderLine) {
    const auto files = CorpusFiles();
    ASSERT_GT(files.size(), 100u);
    std::size_t decoded = 0;
    for (const std::string& file : files) {
        const std::string mail = codec_test::ReadCorpus(file);
        std::size_t at = 0;
        while (at < mail.size()) {
            std::size_t end = mail.find('\n', at);
            end = end == std::string::npos ? mail.size() : end + 1;
            std::string line = mail.substr(at, end - at);
            at = end;
            if (line == "\n" || line == "\r\n")
                break;  // end of the header
            const std::size_t colon = line.find(':');
            std::string value = colon == std::string::npos ? line : line.substr(colon + 1);
            value = value.substr(0, value.find('\0'));
            const std::string got = Dec(value);
            if (value.find("=?") == std::string::npos) {
                std::string want = value;
                if (want.size() >= 2 && want[want.size() - 2] == '\r')
                    want.resize(want.size() - 2);
                const std::size_t first = want.find_first_not_of(" \t\n\v\f\r");
                if (first != std::string::npos)
                    want = want.substr(first);
                EXPECT_EQ(got, want) << file;
            } else {
                EXPECT_LE(got.size(), 2 * value.size()) << file;
                if (got != value)
                    ++decoded;
            }
        }
    }
    EXPECT_GT(decoded, 20u) << "the corpus holds many encoded words";
}

}  // namespace
