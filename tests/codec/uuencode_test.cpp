/*
 * uuencode_test.cpp - UUDecode and UUDecodeGroup: groups and counts, the
 * lines that end decoding, the 80-character line buffer, hostile counts,
 * random data from a plain uuencoder, and uuencoded images of the corpus.
 */
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codec/codec.h"
#include "codec_test_util.h"

namespace {

using codec_test::AsString;
using codec_test::Bytes;

std::string Decode(const std::string& text) {
    std::size_t len = 12345;
    Bytes out(UUDecode(text.c_str(), &len));
    EXPECT_NE(out, nullptr);
    if (!out)
        return {};
    EXPECT_LE(len, text.empty() ? 1 : text.size());
    return AsString(out.get(), len);
}

// Classic uuencoding with grave accents for zero values, LF line ends.
std::string UUEncode(const std::string& bytes) {
    auto enc = [](unsigned v) { return static_cast<char>(v == 0 ? '`' : v + 32); };
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += 45) {
        const std::size_t n = std::min<std::size_t>(45, bytes.size() - at);
        out += enc(static_cast<unsigned>(n));
        for (std::size_t g = 0; g < n; g += 3) {
            unsigned char b[3] = {0, 0, 0};
            for (std::size_t k = 0; k < 3 && g + k < n; ++k)
                b[k] = static_cast<unsigned char>(bytes[at + g + k]);
            out += enc(b[0] >> 2);
            out += enc(((b[0] & 3) << 4) | (b[1] >> 4));
            out += enc(((b[1] & 15) << 2) | (b[2] >> 6));
            out += enc(b[2] & 63);
        }
        out += '\n';
    }
    return out + "`\n";
}

std::string Range(int from, int count) {
    std::string s;
    for (int k = 0; k < count; ++k)
        s += static_cast<char>(from + k);
    return s;
}

const std::string kLine0to44 = "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL";

// Four characters give min(wanted, 3) bytes; values are taken modulo 64, so
// 'p' ('0' + 64) reads as '0'. Null pointers and counts below 1 write nothing.
TEST(UUDecodeGroup, GivesAtMostTheWantedBytesModulo64) {
    unsigned char out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(UUDecodeGroup("0V%T", out, 2), 2);
    EXPECT_EQ(AsString(out, 4), "Ca\xAA\xAA");
    EXPECT_EQ(UUDecodeGroup("pV%T", out, 7), 3);
    EXPECT_EQ(AsString(out, 4), "Cat\xAA");
    for (const int wanted : {0, -1})
        EXPECT_EQ(UUDecodeGroup("0V%T", out, wanted), 0);
    EXPECT_EQ(UUDecodeGroup(nullptr, out, 3), 0);
    EXPECT_EQ(UUDecodeGroup("0V%T", nullptr, 3), 0);
    EXPECT_EQ(AsString(out, 4), "Cat\xAA");
}

TEST(UUDecode, LinesCountsAndTheLineBuffer) {
    // The line buffer holds 80 characters: the 81st is dropped and the rest of
    // the line is read as a line of its own.
    const std::string line80 = kLine0to44 + std::string(80 - kLine0to44.size(), 'A');
    ASSERT_EQ(line80.size(), UU_LINE_CHARS);
    const std::string cat = "#0V%T\n";
    const struct {
        std::string text, want;
    } rows[] = {
        {kLine0to44 + "\n`\n" + cat, Range(0, 45)},   // a zero count ends
        {kLine0to44 + "\n\n" + cat, Range(0, 45)},    // and so does an empty line
        {"#0V%T", "Cat"},                             // the last line needs no LF
        {"#0V%T\r\n`\r\n", "Cat"},                    // the count decides: the CR is never read
        {"#0V\n", std::string("C\x60\0", 3)},         // a short line reads as blanks
        {line80 + "\n" + cat, Range(0, 45) + "Cat"},  // exactly 80 fit
        {line80 + "X" + cat, Range(0, 45) + "Cat"},
        {line80 + "X\n" + cat, Range(0, 45)},  // the empty rest ends decoding
        {"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Decode(row.text), row.want) << "text: " << row.text;
    std::size_t len = 99;
    Bytes null(UUDecode(nullptr, &len));
    ASSERT_NE(null, nullptr);
    EXPECT_EQ(len, 0u);
}

// Counts that ask for far more than the line holds must not run past the
// block, which is as long as the input; nor may a line of a megabyte.
TEST(UUDecode, HostileCountsAndLongLinesStayInsideTheBlock) {
    std::string text;
    for (int k = 0; k < 500; ++k)
        text += "_\n";
    EXPECT_EQ(Decode(text).size(), text.size()) << "decoding stops where the block ends";

    // 80 characters per line: the first line, then one line of 'M' after the
    // other (each dropping its 81st character), all with count 45.
    const std::string out = Decode(kLine0to44 + std::string(1 << 20, 'M'));
    EXPECT_EQ(out.substr(0, 45), Range(0, 45));
    EXPECT_EQ(out.size() % 45, 0u);
    EXPECT_GT(out.size(), 45u * 12000);
}

TEST(UUDecodeRoundTrip, RandomBytes) {
    std::mt19937 rng(644);
    for (std::size_t n = 0; n <= 100; ++n) {
        const std::string bytes = codec_test::RandomBytes(rng, n);
        ASSERT_EQ(Decode(UUEncode(bytes)), bytes) << "n=" << n;
    }
    const std::string big = codec_test::RandomBytes(rng, 1 << 18);
    EXPECT_EQ(Decode(UUEncode(big)), big);
}

// Corpus: two PNG images sent uuencoded (CR LF line ends).
TEST(UUDecodeCorpus, ImagesOfALegacyMail) {
    const std::string mail = codec_test::ReadCorpus("mail-parser/legacy/017.eml");
    ASSERT_FALSE(mail.empty());
    std::size_t from = 0;
    for (const std::size_t size : {1298, 1325}) {
        const std::size_t begin = mail.find("\nbegin 600 ", from);
        ASSERT_NE(begin, std::string::npos);
        const std::size_t first = mail.find('\n', begin + 1) + 1;
        const std::size_t end = mail.find("\nend", first);
        ASSERT_NE(end, std::string::npos);
        const std::string image = Decode(mail.substr(first, end + 1 - first));
        ASSERT_EQ(image.size(), size);
        EXPECT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1A\n");
        EXPECT_EQ(image.substr(size - 8), std::string("IEND\xAE\x42\x60\x82", 8));
        from = end;
    }
}

}  // namespace
