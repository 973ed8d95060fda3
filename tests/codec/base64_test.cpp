/*
 * base64_test.cpp - CBase64: known vectors, the line rules of the encoder with
 * round trips, what sets the decoder's flag, agreement of its fast paths with
 * a plain bit-by-bit model of the rules (the corpus part is decoded with the
 * quoted-printable one).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "codec/codec.h"
#include "codec_test_util.h"

namespace {

using codec_test::AsString;
using codec_test::Bytes;
using codec_test::Decoded;
using codec_test::Text;
using namespace std::string_literals;

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(const std::string& bytes) {
    Text t(CBase64::Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    EXPECT_NE(t, nullptr);
    return t ? std::string(t.get()) : std::string();
}

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

// Lines of 76 characters (57 bytes) end with CR LF; the rest of full groups
// and a padded partial group follows without one, even when it makes the
// line 76 long, since the line counter does not count a partial group. Each
// text decodes back to its bytes without a flag.
TEST(Base64RoundTrip, LineStructureForEveryLength) {
    for (const auto& [bytes, text] :
         {std::pair{""s, ""s}, std::pair{"f"s, "Zg=="s}, std::pair{"fo"s, "Zm8="s},
          std::pair{"foo"s, "Zm9v"s}, std::pair{"\xFF\xFF\xFF"s, "////"s}})  // bytes as unsigned
        EXPECT_EQ(Encode(bytes), text) << "bytes: " << bytes;
    std::mt19937 rng(57);
    for (std::size_t n = 0; n <= 601; ++n) {
        const std::size_t size = n <= 600 ? n : (1u << 20) + 1;
        const std::string bytes = codec_test::RandomBytes(rng, size);
        const std::string text = Encode(bytes);
        const std::size_t fullLines = size / 57;
        ASSERT_EQ(text.size(), (size + 2) / 3 * 4 + 2 * fullLines) << "n=" << size;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), std::ptrdiff_t(fullLines));
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::ptrdiff_t(fullLines));
        for (std::size_t k = 0; k < fullLines; ++k)
            ASSERT_EQ(text.substr(k * 78 + 76, 2), "\r\n") << "n=" << size;
        ASSERT_EQ(Decode(text), (Decoded{bytes, false})) << "n=" << size;
    }
}

// What sets the invalid-input flag; the model below covers the rest.
TEST(Base64Decode, WhatSetsTheInvalidFlag) {
    const struct {
        std::string text;
        Decoded want;
    } rows[] = {
        {"YWJj\r\n", {"abc", false}},  // CR and LF are skipped silently
        {"YW Jj", {"abc", true}},
        // "=" after an alphabet character ends decoding; after a skipped
        // character (a line end too) it is a stray character.
        {"YW=Jj", {"a", false}},
        {"YWJj\r\n==", {"abc", true}},
        // A NUL byte is a stray character and does not end the text.
        {"YW\0Jj"s, {"abc", true}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Decode(row.text), row.want) << "text: " << row.text;
}

TEST(Base64Decode, LengthFlagBadArgumentsAndTheInputLimit) {
    CBase64 b64;
    std::size_t len = 4;
    Bytes out(b64.Decode("YWJjZGVm", &len));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(AsString(out.get(), len), "abc") << "reads only the given length";
    EXPECT_FALSE(b64.m_bInvalidInput);
    len = 5;
    Bytes bad(b64.Decode("YW Jj", &len));
    len = 4;
    Bytes good(b64.Decode("YWJj", &len));
    EXPECT_TRUE(b64.m_bInvalidInput) << "the flag is never reset";

    EXPECT_EQ(b64.Decode("YWJj", nullptr), nullptr);
    len = 10;
    Bytes null(b64.Decode(nullptr, &len));
    ASSERT_NE(null, nullptr) << "a null text reads as empty";
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(CBase64::Encode(nullptr, 3), nullptr);
    EXPECT_STREQ(Text(CBase64::Encode(nullptr, 0)).get(), "");
    // Past CODEC_MAX_INPUT nothing is read or allocated.
    const unsigned char byte = 'x';
    EXPECT_EQ(CBase64::Encode(&byte, CODEC_MAX_INPUT + 1), nullptr);
    CBase64 fresh;
    len = CODEC_MAX_INPUT + 1;
    EXPECT_EQ(fresh.Decode("YWJj", &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_FALSE(fresh.m_bInvalidInput);
}

// Each text must decode exactly as the model says: noisy texts (alphabet
// characters mixed with line ends, "=", blanks, NUL and 8-bit bytes, in runs
// long enough for the fast paths to start and stop at every offset), and
// every byte value in every position of the first two 32-character blocks
// and the groups after them.
TEST(Base64Decode, FastPathsAgreeWithTheModel) {
    std::mt19937 rng(2045);
    const std::string noise = "\r\n= \t*\x80\xFF-.\0"s;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (int r = 0, runs = 1 + static_cast<int>(rng() % 6); r < runs; ++r) {
            for (std::size_t k = 0, clean = rng() % 140; k < clean; ++k)
                text += kAlphabet[rng() % 64];
            for (std::size_t k = 0, stray = rng() % 3; k < stray; ++k)
                text += noise[rng() % noise.size()];
        }
        ASSERT_EQ(Decode(text), ModelDecode(text)) << "round " << round;
    }
    std::string base;
    for (int k = 0; k < 96; ++k)
        base += kAlphabet[rng() % 64];
    for (int c = 0; c < 256; ++c) {
        for (std::size_t at = 0; at < 80; ++at) {
            std::string text = base;
            text[at] = static_cast<char>(c);
            ASSERT_EQ(Decode(text), ModelDecode(text)) << "byte " << c << " at " << at;
        }
    }
}

}  // namespace
