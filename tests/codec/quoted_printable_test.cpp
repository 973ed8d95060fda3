/*
 * quoted_printable_test.cpp - CQuotedPrintable: the encoder's escapes, line
 * breaks and "From "/dot rules, the decoder's handling of soft breaks and of
 * every kind of broken "=" escape, round trips and a corpus part.
 */
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "codec/codec.h"
#include "codec_test_util.h"

namespace {

using codec_test::AsString;
using codec_test::Bytes;
using codec_test::Text;

std::string Encode(const std::string& text) {
    Text t(CQuotedPrintable::Encode(text.c_str()));
    EXPECT_NE(t, nullptr);
    return t ? std::string(t.get()) : std::string();
}

struct Decoded {
    std::string bytes;
    bool invalid;
};

Decoded Decode(const std::string& text) {
    CQuotedPrintable qp;
    std::size_t len = 12345;
    Bytes out(qp.Decode(text.c_str(), &len));
    EXPECT_NE(out, nullptr);
    if (!out)
        return {};
    const std::size_t block = text.empty() ? 1 : 2 * text.size();
    EXPECT_LE(len, block);
    for (std::size_t k = len; k < block; ++k)
        EXPECT_EQ(out.get()[k], 0) << "at " << k;
    return {AsString(out.get(), len), qp.m_bInvalidInput};
}

// The decoding rules, one case after the other, for texts without NUL bytes.
Decoded ModelDecode(const std::string& s) {
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    Decoded d{{}, false};
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\n') {
            d.bytes += "\r\n";
            ++i;
        } else if (c != '=') {
            d.bytes += c;
            ++i;
        } else if (s.size() - i - 1 < 2) {
            break;
        } else if (hex(s[i + 1]) && hex(s[i + 2])) {
            d.bytes += static_cast<char>(value(s[i + 1]) * 16 + value(s[i + 2]));
            i += 3;
        } else if (s.compare(i, 3, "=\r\n") == 0) {
            i += 3;
        } else if (s[i + 1] == '\n') {
            i += 2;
            if (s[i] == '.')
                ++i;
        } else {
            const bool crlf2 = s.compare(i + 2, 2, "\r\n") == 0;
            auto breakStart = [&](std::size_t k) {
                return s[k] == '\n' || s.compare(k, 2, "\r\n") == 0;
            };
            if ((!hex(s[i + 1]) && !breakStart(i + 1)) || (!hex(s[i + 2]) && !breakStart(i + 2)))
                d.invalid = true;
            if (s[i + 2] == '\n') {
                i += 2;
                if (i + 1 < s.size() && s[i + 1] == '.')
                    ++i;
            } else if (crlf2) {
                i += 3;
            } else {
                i += 1;
            }
        }
    }
    return d;
}

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(QuotedPrintableEncode, LongLineBreaksAfter73Characters) {
    const std::string letters(100, 'a');
    EXPECT_EQ(Encode(letters), std::string(73, 'a') + "=\n" + std::string(27, 'a') + "=\n");
    EXPECT_EQ(Encode(std::string(72, 'a')), std::string(72, 'a') + "=\n");
    // An escape that takes the line past the limit is followed by the break.
    EXPECT_EQ(Encode(std::string(71, 'a') + "=b"), std::string(71, 'a') + "=3D=\nb=\n");
}

TEST(QuotedPrintableEncode, EscapedCharacters) {
    EXPECT_EQ(Encode("a=b"), "a=3Db=\n");
    EXPECT_EQ(Encode("a\rb"), "a=0Db=\n") << "CR is escaped, LF is a line end";
    EXPECT_EQ(Encode("\x7F\x80\xE4\xFF"), "=7F=80=E4=FF=\n");
    EXPECT_EQ(Encode("\x01\x1F"), "=01=1F=\n");
    EXPECT_EQ(Encode("a\tb~"), "a\tb~=\n") << "tab and printable ASCII stay";
}

TEST(QuotedPrintableEncode, EmptyAndLineEnds) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("abc\n"), "abc\n") << "a text ending on LF needs no soft break";
    EXPECT_EQ(Encode("\n\n"), "\n\n");
    EXPECT_EQ(CQuotedPrintable::Encode(nullptr), nullptr);
}

TEST(QuotedPrintableEncode, FromAfterALineFeedIsEscaped) {
    EXPECT_EQ(Encode("a\nFrom b"), "a\n=46rom b=\n");
    EXPECT_EQ(Encode("From b"), "From b=\n") << "not at the very start";
    EXPECT_EQ(Encode("a\nFrox"), "a\nFrox=\n");
    EXPECT_EQ(Encode("a\nFrom"), "a\nFrom=\n") << "From needs the blank after it";
    EXPECT_EQ(Encode("a\nFrom\tb"), "a\nFrom\tb=\n");
    EXPECT_EQ(Encode("a\nFF"), "a\nFF=\n");
    EXPECT_EQ(Encode("a\nfrom b"), "a\nfrom b=\n") << "only the capital F";
    EXPECT_EQ(Encode("a\nxFrom b"), "a\nxFrom b=\n");
    // The blank after "=46rom" is handled like any character: at a hard line
    // end it is kept by a soft break.
    EXPECT_EQ(Encode("a\nFrom \n"), "a\n=46rom =\n\n");
}

TEST(QuotedPrintableEncode, FromAfterASoftBreakIsEscaped) {
    const std::string first(73, 'a');
    EXPECT_EQ(Encode(first + "From x"), first + "=\n=46rom x=\n");
}

TEST(QuotedPrintableEncode, DotAtALineStartIsEscaped) {
    EXPECT_EQ(Encode(".a"), "=2Ea=\n");
    EXPECT_EQ(Encode("a\n.\nb"), "a\n=2E\nb=\n");
    EXPECT_EQ(Encode("a.b"), "a.b=\n");
    const std::string first(73, 'a');
    EXPECT_EQ(Encode(first + ".b"), first + "=\n=2Eb=\n") << "also after a soft break";
}

TEST(QuotedPrintableEncode, WhiteSpaceBeforeALineEndIsKept) {
    EXPECT_EQ(Encode("a \nb"), "a =\n\nb=\n");
    EXPECT_EQ(Encode("a\t\n"), "a\t=\n\n");
    EXPECT_EQ(Encode("a \t \n"), "a \t =\n\n");
    EXPECT_EQ(Encode("a "), "a =\n");
}

TEST(QuotedPrintableDecode, EscapesAndSoftBreaks) {
    EXPECT_EQ(Decode("=41=\nB").bytes, "AB");
    EXPECT_EQ(Decode("=41=\r\nB").bytes, "AB");
    EXPECT_EQ(Decode("=e4=E4").bytes, "\xE4\xE4") << "either case";
    EXPECT_EQ(Decode("=00x").bytes, std::string("\0x", 2));
    EXPECT_FALSE(Decode("=41=\nB").invalid);
}

TEST(QuotedPrintableDecode, LineEnds) {
    EXPECT_EQ(Decode("a\nb").bytes, "a\r\nb");
    EXPECT_EQ(Decode("a\r\nb").bytes, "a\r\r\nb") << "a CR is copied like any character";
    EXPECT_EQ(Decode("a\r").bytes, "a\r");
}

TEST(QuotedPrintableDecode, DotAfterASoftBreak) {
    EXPECT_EQ(Decode("a=\n.b").bytes, "ab") << "dropped after \"=\" LF";
    EXPECT_EQ(Decode("a=\r\n.b").bytes, "a.b") << "kept after \"=\" CR LF";
    EXPECT_EQ(Decode("a\n.b").bytes, "a\r\n.b") << "kept after a hard break";
}

TEST(QuotedPrintableDecode, ShortEscapeAtTheEndIsDropped) {
    EXPECT_EQ(Decode("ab=4").bytes, "ab");
    EXPECT_EQ(Decode("ab=").bytes, "ab");
    EXPECT_EQ(Decode("=").bytes, "");
    EXPECT_EQ(Decode("ab=\n").bytes, "ab");
    EXPECT_FALSE(Decode("ab=4").invalid);
}

TEST(QuotedPrintableDecode, BrokenEscapeKeepsItsCharacters) {
    const Decoded letters = Decode("=XY");
    EXPECT_EQ(letters.bytes, "XY");
    EXPECT_TRUE(letters.invalid);
    const Decoded oneHex = Decode("=4Zq");
    EXPECT_EQ(oneHex.bytes, "4Zq");
    EXPECT_TRUE(oneHex.invalid);
    const Decoded twoEquals = Decode("==41");
    EXPECT_EQ(twoEquals.bytes, "A") << "the second \"=\" starts a good escape";
    EXPECT_TRUE(twoEquals.invalid);
    const Decoded lone = Decode("a = b");
    EXPECT_EQ(lone.bytes, "a  b");
    EXPECT_TRUE(lone.invalid);
    const Decoded loneCr = Decode("=\rX");
    EXPECT_EQ(loneCr.bytes, "\rX") << "a CR without LF is no line break";
    EXPECT_TRUE(loneCr.invalid);
}

TEST(QuotedPrintableDecode, BrokenEscapeBeforeALineEnd) {
    // "=" x LF: "=" and x dropped, the LF written as CR LF.
    const Decoded hexLf = Decode("=A\nx");
    EXPECT_EQ(hexLf.bytes, "\r\nx");
    EXPECT_FALSE(hexLf.invalid) << "a hex digit and a line break set no flag";
    const Decoded letterLf = Decode("=Z\nx");
    EXPECT_EQ(letterLf.bytes, "\r\nx");
    EXPECT_TRUE(letterLf.invalid);
    // ... and the LF dropped too when a dot follows it.
    EXPECT_EQ(Decode("=A\n.x").bytes, ".x");
    // "=" x CR LF: "=", x and the CR dropped.
    const Decoded hexCrLf = Decode("=A\r\ny");
    EXPECT_EQ(hexCrLf.bytes, "\r\ny");
    EXPECT_FALSE(hexCrLf.invalid);
    const Decoded letterCrLf = Decode("=X\r\n.y");
    EXPECT_EQ(letterCrLf.bytes, "\r\n.y");
    EXPECT_TRUE(letterCrLf.invalid);
    // A CR that is not followed by LF is an ordinary bad character.
    const Decoded crAlone = Decode("=A\rz");
    EXPECT_EQ(crAlone.bytes, "A\rz");
    EXPECT_TRUE(crAlone.invalid);
}

TEST(QuotedPrintableDecode, BlockIsTwiceTheInputAndMayBeFull) {
    CQuotedPrintable qp;
    std::size_t len = 0;
    Bytes out(qp.Decode("\n\n", &len));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(AsString(out.get(), len), "\r\n\r\n");
    Bytes noCount(qp.Decode("abc"));
    ASSERT_NE(noCount, nullptr);
    EXPECT_EQ(AsString(noCount.get(), 3), "abc");
    Bytes empty(qp.Decode("", &len));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(len, 0u);
    Bytes null(qp.Decode(nullptr, &len));
    ASSERT_NE(null, nullptr);
    EXPECT_EQ(len, 0u);
}

// Long runs reach the block copy; the special characters at every offset of
// a 16-byte block must come out as at the start.
TEST(QuotedPrintableDecode, SpecialsAtEveryBlockOffset) {
    for (std::size_t at = 0; at < 40; ++at) {
        const std::string pad(at, 'p');
        EXPECT_EQ(Decode(pad + "=41" + std::string(40, 'q')).bytes,
                  pad + "A" + std::string(40, 'q'));
        EXPECT_EQ(Decode(pad + "\n" + std::string(40, 'q')).bytes,
                  pad + "\r\n" + std::string(40, 'q'));
        EXPECT_EQ(Decode(pad + "=\n.r" + std::string(20, 'q')).bytes,
                  pad + "r" + std::string(20, 'q'));
        EXPECT_EQ(Decode(pad + "=4").bytes, pad);
    }
}

TEST(QuotedPrintableDecode, LineOfAMegabyte) {
    std::string text(1 << 20, 'x');
    text += "=41";
    const Decoded d = Decode(text);
    EXPECT_EQ(d.bytes.size(), (1u << 20) + 1);
    EXPECT_EQ(d.bytes.back(), 'A');
}

// Texts dense with "=", line ends, dots and hex digits, long enough for the
// 64-character windows of the block scan: the decoder must agree with the
// plain statement of its rules at every position.
TEST(QuotedPrintableDecode, FastPathAgreesWithTheModel) {
    std::mt19937 rng(2047);
    const std::string chars = "==\n\r.A3fz  xxxxxxxx";
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const std::size_t n = rng() % 400;
        for (std::size_t k = 0; k < n; ++k)
            text += chars[rng() % chars.size()];
        const Decoded got = Decode(text);
        const Decoded want = ModelDecode(text);
        ASSERT_EQ(got.bytes, want.bytes) << "round " << round;
        ASSERT_EQ(got.invalid, want.invalid) << "round " << round;
    }
}

// Decoding what the encoder wrote gives the text back, with CR LF for every
// LF (the decoder's line ends).
TEST(QuotedPrintableRoundTrip, RandomTexts) {
    std::mt19937 rng(1521);
    const std::string likely = "From . =\n\r\t abc";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const std::size_t n = rng() % 300;
        for (std::size_t k = 0; k < n; ++k) {
            char c = (rng() % 2) ? likely[rng() % likely.size()] : static_cast<char>(rng() % 256);
            if (c == '\0')
                c = '\x01';
            text += c;
        }
        const std::string encoded = Encode(text);
        for (std::size_t start = 0, end; start < encoded.size(); start = end + 1) {
            end = encoded.find('\n', start);
            ASSERT_LE(end - start, QP_LINE_LIMIT + 4) << "round " << round;
        }
        const Decoded back = Decode(encoded);
        ASSERT_EQ(back.bytes, WithCrLf(text)) << "round " << round;
        ASSERT_FALSE(back.invalid) << "round " << round;
    }
}

// Corpus: a quoted-printable part and its 8-bit twin in the same mail.
TEST(QuotedPrintableCorpus, PartMatchesItsRawTwin) {
    const std::string mail = codec_test::ReadCorpus("mail-parser/thirdparty/003.eml");
    ASSERT_FALSE(mail.empty());
    const std::string encoded = "Move =E2=99=9A to =E2=99=9B's =E2=99=9D\n";
    ASSERT_NE(mail.find(encoded), std::string::npos);
    const Decoded d = Decode(encoded);
    EXPECT_EQ(d.bytes, "Move \xE2\x99\x9A to \xE2\x99\x9B's \xE2\x99\x9D\r\n");
    EXPECT_NE(mail.find(d.bytes.substr(0, d.bytes.size() - 2)), std::string::npos);
    EXPECT_FALSE(d.invalid);
}

}  // namespace
