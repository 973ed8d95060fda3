/*
 * header_words_test.cpp - DecodeHeaderData: encoded words of both kinds,
 * what is kept between them, the CR LF cut and leading white space, values
 * given back undecoded, and the header lines of the corpus; DecodeHeaderWords:
 * words in their charsets, adjacent words joined, malformed words.
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "codec/codec.h"
#include "codec_test_util.h"

namespace {

std::string Dec(const std::string& value) {
    codec_test::Text t(DecodeHeaderData(value.c_str()));
    EXPECT_NE(t, nullptr) << value;
    return t ? std::string(t.get()) : std::string("<null>");
}

TEST(HeaderDataDecode, Values) {
    const std::string unclosed = "  =?a?Q?first?= then =?a?Q?second";
    const struct {
        std::string value, want;
    } rows[] = {
        // Plain values: leading white space and a CR with one more character
        // are cut, a lone LF stays, white space alone comes back whole.
        {"  \tHello World\r\n", "Hello World"},
        {"Hello\n", "Hello\n"},
        {"Hello\rX", "Hello"},
        {"   ", "   "},
        {"", ""},
        // Q words: "_" is a blank (an escaped one is not), a broken escape
        // keeps its characters, an empty text gives an empty piece, an empty
        // charset is read past, LF is written as CR LF inside words too.
        {"=?us-ascii?q?free_money?=", "free money"},
        {"=?x?Q?a=5Fb?=", "a_b"},
        {"=?x?Q?a=zb?=", "azb"},
        {"=?x?Q?\?=", ""},
        {"=?\?Q?x?=", "x"},
        {"=?a?Q?x\ny?=", "x\r\ny"},
        {"=?utf-8?B?Y W I?=", "ab"},  // B words skip stray characters
        // White space between words is kept; a decoded zero byte ends the word.
        {"=?a?Q?x?=\n\t=?a?B?eQ==?=", "x\n\ty"},
        {"=?a?Q?x?==?a?Q?y?=", "xy"},
        {"=?a?Q?ab=00cd?=ef", "abef"},
        {"=?a?B?AGFi?=c", "c"},
        // Values of corpus mails (legacy/040, 007, 011, thirdparty/010), read
        // with LF line ends: each decodes to the bytes of its own charset.
        {" Die Hasen und die =?iso-8859-1?Q?Fr=F6sche?=", "Die Hasen und die Fr\xF6sche"},
        {" =?iso-8859-1?B?SvxyZ2VuIFNjaG38cmdlbg==?= <schmuergen@example.com>",
         "J\xFCrgen Schm\xFCrgen <schmuergen@example.com>"},
        {" =?iso-8859-1?Q?J=FCrgen?= =?iso-8859-1?Q?_Schm=FCrgen?=\n  <jschmuergen@example.com>",
         "J\xFCrgen  Schm\xFCrgen\n  <jschmuergen@example.com>"},
        {" =?UTF-8?B?44GT44KT44Gr44Gh44Gv?=",
         "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF"},
        // Malformed: the whole value comes back undecoded, less a CR LF.
        {unclosed + "\r\n", unclosed},
        {"=?a?X?abc?= tail", "=?a?X?abc?= tail"},
        {"x =?a?QQ?abc?=", "x =?a?QQ?abc?="},
        {"x =?cs?Q?=", "x =?cs?Q?="},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Dec(row.value), row.want) << "value: " << row.value;
    EXPECT_EQ(DecodeHeaderData(nullptr), nullptr);
    // A word cut short anywhere comes back as it stands.
    const std::string word = "x =?cs?Q?ab?=";
    for (std::size_t n = 3; n < word.size(); ++n)
        EXPECT_EQ(Dec(word.substr(0, n)), word.substr(0, n));

    std::string value, want;
    for (int k = 0; k < 5000; ++k) {
        value += "=?utf-8?Q?a=41_?= ";
        want += "aA  ";
    }
    EXPECT_EQ(Dec(value), want);
}

// Every header line of every corpus mail, CR LF and all: values without an
// encoded word come back as they stand less leading white space and the
// line end; the others decode to no more than twice their length.
TEST(HeaderDataCorpus, EveryHeaderLine) {
    std::size_t files = 0, decoded = 0;
    for (const char* dir : {"mail-parser/rfc", "mail-parser/legacy", "mail-parser/thirdparty",
                            "mail-parser/malformed", "cpython"}) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(
                 std::filesystem::path(MAILWARD_CORPUS_DIR) / dir, ec)) {
            ++files;
            const std::string file = std::string(dir) + "/" + e.path().filename().string();
            const std::string mail = codec_test::ReadCorpus(file);
            for (std::size_t at = 0, end; at < mail.size(); at = end) {
                end = mail.find('\n', at);
                end = end == std::string::npos ? mail.size() : end + 1;
                const std::string line = mail.substr(at, end - at);
                if (line == "\n" || line == "\r\n")
                    break;  // end of the header
                const std::size_t colon = line.find(':');
                std::string value = colon == std::string::npos ? line : line.substr(colon + 1);
                value = value.substr(0, value.find('\0'));
                const std::string got = Dec(value);
                if (value.find("=?") != std::string::npos) {
                    EXPECT_LE(got.size(), 2 * value.size()) << file;
                    decoded += got != value;
                    continue;
                }
                std::string want = value;
                if (want.size() >= 2 && want[want.size() - 2] == '\r')
                    want.resize(want.size() - 2);
                const std::size_t first = want.find_first_not_of(" \t\n\v\f\r");
                EXPECT_EQ(got, first == std::string::npos ? want : want.substr(first)) << file;
            }
        }
    }
    EXPECT_GT(files, 100u);
    EXPECT_GT(decoded, 20u) << "the corpus holds many encoded words";
}

// DecodeHeaderWords reads encoded words as mail readers show them.
TEST(HeaderWordsDecode, AsReadersShowThem) {
    const struct {
        const char* name;
        std::string value, want, wantLittleEndian;
    } rows[] = {
        {"text stands", "plain text", "plain text", ""},
        {"one word", "=?utf-8?q?evil.exe?=", "evil.exe", ""},
        {"blanks between adjacent words go",
         "=?utf-8?q?evil.e?= \t\r\n =?utf-8?b?eGU=?=", "evil.exe", ""},
        {"text between words stays", "=?utf-8?q?a?= and =?utf-8?q?b?=", "a and b", ""},
        {"a character split across two words",
         "=?utf-16be?b?AGUAdgA=?= =?utf-16be?b?aQBsAC4AZQB4AGU=?=", "evil.exe", ""},
        {"adjacent words of two charsets",
         "=?iso-8859-1?q?=E9?= =?utf-8?q?=C3=A9?=", "\xC3\xA9\xC3\xA9", ""},
        {"a language behind the charset", "=?utf-8*en?q?a=2Eexe?=", "a.exe", ""},
        {"a malformed word spoils only itself",
         "=?utf-8?x?junk?= =?utf-8?q?evil.exe?=", "=?utf-8?x?junk?= evil.exe", ""},
        {"a word without its end", "=?utf-8?q?a?= =?utf-8?q?b", "a =?utf-8?q?b", ""},
        {"unknown charset: the bytes", "=?x-unknown?q?a=FFb?=",
         "a\xFF"
         "b",
         ""},
        {"bytes not of the charset: as they are", "=?utf-8?q?a=FFb?=",
         "a\xFF"
         "b",
         ""},
        {"bare utf-16 without mark", "=?utf-16?b?ZQB2AA==?=", "\xE6\x94\x80\xE7\x98\x80", "ev"},
        {"bare utf-16 with its mark", "=?utf-16?b?//5lAHYA?=", "ev", "ev"},
        {"utf-7", "=?utf-7?q?evil+AC4-exe?=", "evil.exe", ""},
        {"zero bytes stay", "=?utf-8?q?a=00b?=", std::string("a\0b", 3), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.want, DecodeHeaderWords(row.value));
        EXPECT_EQ(row.wantLittleEndian.empty() ? row.want : row.wantLittleEndian,
                  DecodeHeaderWords(row.value, true));
    }
}

}  // namespace
