/*
 * base64_test.cpp - CBase64: known vectors, the line rules of the encoder,
 * what the decoder skips, flags and stops at, agreement of its fast paths
 * with a plain bit-by-bit model of the rules, round trips and corpus parts.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "codec/codec.h"
#include "codec_test_util.h"

namespace {

using codec_test::AsString;
using codec_test::Bytes;
using codec_test::Text;

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(const std::string& bytes) {
    Text t(CBase64::Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    EXPECT_NE(t, nullptr);
    return t ? std::string(t.get()) : std::string();
}

struct Decoded {
    std::string bytes;
    bool invalid;
};

Decoded Decode(const std::string& text) {
    CBase64 b64;
    std::size_t len = text.size();
    Bytes out(b64.Decode(text.data(), &len));
    EXPECT_NE(out, nullptr);
    if (!out)
        return {};
    // The block holds len + 1 bytes, zero past the decoded ones.
    for (std::size_t k = len; k <= text.size(); ++k)
        EXPECT_EQ(out.get()[k], 0) << "at " << k;
    return {AsString(out.get(), len), b64.m_bInvalidInput};
}

// The decoding rules, stated the plain way: collect six bits per alphabet
// character and give out a byte whenever eight are there.
Decoded ModelDecode(const std::string& text) {
    Decoded d{{}, false};
    unsigned bits = 0;
    int nbits = 0;
    int inGroup = 0;
    bool afterSkip = false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const std::size_t v = c == 0 ? std::string::npos : kAlphabet.find(static_cast<char>(c));
        if (v != std::string::npos) {
            bits = (bits << 6) | static_cast<unsigned>(v);
            nbits += 6;
            if (nbits >= 8) {
                nbits -= 8;
                d.bytes += static_cast<char>((bits >> nbits) & 0xFF);
            }
            inGroup = (inGroup + 1) % 4;
            if (inGroup == 0)
                nbits = 0;
            afterSkip = false;
            continue;
        }
        if (c == '=' && !afterSkip)
            break;
        if (c != '\r' && c != '\n')
            d.invalid = true;
        afterSkip = true;
    }
    return d;
}

// Splits an encoded text at its CR LF line ends.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
        lines.push_back(text.substr(start, at - start));
    lines.push_back(text.substr(start));
    return lines;
}

TEST(Base64Encode, KnownVectors) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("f"), "Zg==");
    EXPECT_EQ(Encode("fo"), "Zm8=");
    EXPECT_EQ(Encode("foo"), "Zm9v");
    EXPECT_EQ(Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Encode("abc"), "YWJj");
    EXPECT_EQ(Encode("ab"), "YWI=");
}

TEST(Base64Encode, BytesCountAsUnsigned) {
    EXPECT_EQ(Encode("\xFF\xFF\xFF"), "////");
    EXPECT_EQ(Encode("\xFB\xEF\xBE"), "++++");
    EXPECT_EQ(Encode(std::string("\0\0\0", 3)), "AAAA");
}

TEST(Base64Encode, FullAlphabet) {
    const unsigned char bytes[] = {0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8B, 0x30,
                                   0xD3, 0x8F, 0x41, 0x14, 0x93, 0x51, 0x55, 0x97, 0x61, 0x96,
                                   0x9B, 0x71, 0xD7, 0x9F, 0x82, 0x18, 0xA3, 0x92, 0x59, 0xA7,
                                   0xA2, 0x9A, 0xAB, 0xB2, 0xDB, 0xAF, 0xC3, 0x1C, 0xB3, 0xD3,
                                   0x5D, 0xB7, 0xE3, 0x9E, 0xBB, 0xF3, 0xDF, 0xBF};
    Text t(CBase64::Encode(bytes, sizeof bytes));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t.get()), kAlphabet);
}

TEST(Base64Encode, LineBreaksAfter57Bytes) {
    const std::string line57(57, 'x');
    const std::string text57 = Encode(line57);
    ASSERT_EQ(text57.size(), 78u);
    EXPECT_EQ(text57.substr(76), "\r\n") << "the last full line also ends with CR LF";
    std::string line;
    for (int k = 0; k < 19; ++k)
        line += "eHh4";
    EXPECT_EQ(text57, line + "\r\n");

    const std::string text58 = Encode(line57 + "y");
    EXPECT_EQ(text58, text57 + "eQ==") << "a partial group follows without a break";

    const std::string text56 = Encode(std::string(56, 'x'));
    EXPECT_EQ(text56.find('\r'), std::string::npos);
    EXPECT_EQ(text56.size(), 76u);
}

TEST(Base64Encode, LineStructureForEveryLength) {
    std::mt19937 rng(57);
    for (std::size_t n = 0; n <= 600; ++n) {
        const std::string text = Encode(codec_test::RandomBytes(rng, n));
        const std::size_t fullLines = n / 57;
        ASSERT_EQ(text.size(), (n + 2) / 3 * 4 + 2 * fullLines) << "n=" << n;
        const auto lines = Lines(text);
        ASSERT_EQ(lines.size(), fullLines + 1) << "n=" << n;
        for (std::size_t k = 0; k < fullLines; ++k)
            EXPECT_EQ(lines[k].size(), 76u) << "n=" << n;
        // The rest: full groups and a padded partial group, which the line
        // counter does not count, so it may make the line 76 long.
        EXPECT_EQ(lines.back().size(), n % 57 / 3 * 4 + (n % 3 ? 4 : 0)) << "n=" << n;
    }
}

TEST(Base64Decode, EdgeCasesOfTheRules) {
    EXPECT_EQ(Decode("YWJj\r\n").bytes, "abc");
    EXPECT_FALSE(Decode("YWJj\r\n").invalid) << "CR and LF are skipped silently";
    EXPECT_EQ(Decode("YW Jj").bytes, "abc");
    EXPECT_TRUE(Decode("YW Jj").invalid);
    EXPECT_EQ(Decode("YWI\r\n").bytes, "ab");
    EXPECT_EQ(Decode("YWI=").bytes, "ab");
    EXPECT_EQ(Decode("YQ==").bytes, "a");
    EXPECT_FALSE(Decode("YQ==").invalid);
    EXPECT_EQ(Decode("").bytes, "");
}

TEST(Base64Decode, PartialGroupsAtTheEnd) {
    EXPECT_EQ(Decode("Y").bytes, "") << "one character gives nothing";
    EXPECT_EQ(Decode("YW").bytes, "a");
    EXPECT_EQ(Decode("YWJ").bytes, "ab");
    EXPECT_EQ(Decode("YWJjZ").bytes, "abc");
}

TEST(Base64Decode, EqualsSignStopsOrIsSkipped) {
    EXPECT_EQ(Decode("=YWJj").bytes, "") << "a \"=\" at the start ends decoding";
    EXPECT_FALSE(Decode("=YWJj").invalid);
    EXPECT_EQ(Decode("YW=Jj").bytes, "a") << "after an alphabet character it ends decoding";
    const Decoded afterSkip = Decode("YW*=Jj");
    EXPECT_EQ(afterSkip.bytes, "abc") << "after a skipped character it is skipped";
    EXPECT_TRUE(afterSkip.invalid);
    const Decoded padNextLine = Decode("YWJj\r\n==");
    EXPECT_EQ(padNextLine.bytes, "abc");
    EXPECT_TRUE(padNextLine.invalid) << "a \"=\" after a line end is a stray character";
    const Decoded twice = Decode("YW\n==Jj");
    EXPECT_EQ(twice.bytes, "abc");
    EXPECT_TRUE(twice.invalid);
}

TEST(Base64Decode, StrayCharactersAnywhere) {
    const Decoded nul = Decode(std::string("YW\0Jj", 5));
    EXPECT_EQ(nul.bytes, "abc") << "a NUL byte does not end the text";
    EXPECT_TRUE(nul.invalid);
    EXPECT_EQ(Decode("\xC3YWJj").bytes, "abc");
    EXPECT_TRUE(Decode("\xC3YWJj").invalid);
    EXPECT_TRUE(Decode("YWJj\t").invalid) << "also at the very end";
    EXPECT_TRUE(Decode("YWJj-").invalid);
    EXPECT_FALSE(Decode("YWJj\n").invalid);
}

TEST(Base64Decode, ReadsOnlyTheGivenLength) {
    CBase64 b64;
    std::size_t len = 4;
    Bytes out(b64.Decode("YWJjZGVm", &len));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(AsString(out.get(), len), "abc");
}

TEST(Base64Decode, FlagIsNeverReset) {
    CBase64 b64;
    std::size_t len = 5;
    Bytes bad(b64.Decode("YW Jj", &len));
    len = 4;
    Bytes good(b64.Decode("YWJj", &len));
    EXPECT_TRUE(b64.m_bInvalidInput);
}

TEST(Base64Decode, BadArguments) {
    CBase64 b64;
    EXPECT_EQ(b64.Decode("YWJj", nullptr), nullptr);
    std::size_t len = 10;
    Bytes out(b64.Decode(nullptr, &len));
    ASSERT_NE(out, nullptr) << "a null text reads as empty";
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(CBase64::Encode(nullptr, 3), nullptr);
    Text empty(CBase64::Encode(nullptr, 0));
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty.get(), "");
}

// Lengths past CODEC_MAX_INPUT are refused before anything is read or
// allocated, so no size computation can wrap.
TEST(Base64Limits, InputPastTheLimitIsRefused) {
    const unsigned char byte = 'x';
    EXPECT_EQ(CBase64::Encode(&byte, CODEC_MAX_INPUT + 1), nullptr);
    CBase64 b64;
    std::size_t len = CODEC_MAX_INPUT + 1;
    EXPECT_EQ(b64.Decode("YWJj", &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_FALSE(b64.m_bInvalidInput);
}

// Noisy texts: alphabet characters mixed with line ends, "=", blanks, NUL and
// 8-bit bytes, in runs long enough for the fast paths to start and stop at
// every offset. Each must decode exactly as the model says.
TEST(Base64Decode, FastPathsAgreeWithTheModel) {
    std::mt19937 rng(2045);
    const std::string noise = std::string("\r\n= \t*\x80\xFF-.", 11) + std::string(1, '\0');
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int runs = 1 + static_cast<int>(rng() % 6);
        for (int r = 0; r < runs; ++r) {
            const std::size_t clean = rng() % 140;
            for (std::size_t k = 0; k < clean; ++k)
                text += kAlphabet[rng() % 64];
            const std::size_t stray = rng() % 3;
            for (std::size_t k = 0; k < stray; ++k)
                text += noise[rng() % noise.size()];
        }
        const Decoded got = Decode(text);
        const Decoded want = ModelDecode(text);
        ASSERT_EQ(got.bytes, want.bytes) << "round " << round;
        ASSERT_EQ(got.invalid, want.invalid) << "round " << round;
    }
}

// Every byte value in every position of the first two 32-character blocks
// and the groups after them: the vector and table paths must classify and
// decode each one as the model does.
TEST(Base64Decode, EveryByteValueInEveryLanePosition) {
    std::mt19937 rng(7);
    std::string base;
    for (int k = 0; k < 96; ++k)
        base += kAlphabet[rng() % 64];
    for (int c = 0; c < 256; ++c) {
        for (std::size_t at = 0; at < 80; ++at) {
            std::string text = base;
            text[at] = static_cast<char>(c);
            const Decoded got = Decode(text);
            const Decoded want = ModelDecode(text);
            ASSERT_EQ(got.bytes, want.bytes) << "byte " << c << " at " << at;
            ASSERT_EQ(got.invalid, want.invalid) << "byte " << c << " at " << at;
        }
    }
}

TEST(Base64RoundTrip, RandomBytesOfEveryShortLength) {
    std::mt19937 rng(3);
    for (std::size_t n = 0; n <= 400; ++n) {
        const std::string bytes = codec_test::RandomBytes(rng, n);
        const Decoded back = Decode(Encode(bytes));
        ASSERT_EQ(back.bytes, bytes) << "n=" << n;
        ASSERT_FALSE(back.invalid) << "n=" << n;
    }
}

TEST(Base64RoundTrip, LargeRandomBlocks) {
    std::mt19937 rng(4);
    for (const std::size_t n : {57u * 1000u, 1u << 20, (1u << 20) + 1}) {
        const std::string bytes = codec_test::RandomBytes(rng, n);
        const Decoded back = Decode(Encode(bytes));
        EXPECT_EQ(back.bytes, bytes) << "n=" << n;
        EXPECT_FALSE(back.invalid);
    }
}

TEST(Base64Decode, LineOfAMegabyteWithoutBreaks) {
    std::mt19937 rng(5);
    const std::string bytes = codec_test::RandomBytes(rng, 3 << 18);
    std::string text = Encode(bytes);
    std::string flat;
    for (const char c : text)
        if (c != '\r' && c != '\n')
            flat += c;
    EXPECT_EQ(Decode(flat).bytes, bytes);
}

// Corpus: the same text as a raw 8-bit part and as a base64 part.
TEST(Base64Corpus, PartMatchesItsRawTwin) {
    const std::string mail = codec_test::ReadCorpus("mail-parser/thirdparty/003.eml");
    ASSERT_FALSE(mail.empty());
    const std::string encoded = "TW92ZSDimZogdG8g4pmbJ3Mg4pmdCg==";
    ASSERT_NE(mail.find(encoded), std::string::npos);
    const std::size_t raw = mail.find("Move \xE2\x99\x9A");
    ASSERT_NE(raw, std::string::npos);
    const std::string rawLine = mail.substr(raw, mail.find('\n', raw) - raw + 1);
    const Decoded d = Decode(encoded + "\n");
    EXPECT_EQ(d.bytes, rawLine);
    EXPECT_FALSE(d.invalid);
}

}  // namespace
