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
using codec_test::Decoded;
using codec_test::Text;
using namespace std::string_literals;

std::string Encode(const std::string& text) {
    Text t(CQuotedPrintable::Encode(text.c_str()));
    EXPECT_NE(t, nullptr);
    return t ? std::string(t.get()) : std::string();
}

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

TEST(QuotedPrintableEncode, EscapesLineBreaksFromAndDots) {
    const std::string a73(73, 'a');
    const struct {
        std::string text, want;
    } rows[] = {
        {"", ""},
        {"abc\n", "abc\n"},  // a text ending on LF needs no soft break
        {"\n\n", "\n\n"},
        // Lines break after 73 characters; an escape that takes the line past
        // the limit is followed by the break.
        {std::string(100, 'a'), a73 + "=\n" + std::string(27, 'a') + "=\n"},
        {std::string(72, 'a'), std::string(72, 'a') + "=\n"},
        {std::string(71, 'a') + "=b", std::string(71, 'a') + "=3D=\nb=\n"},
        // CR is escaped, LF is a line end, tab and printable ASCII stay.
        {"a=b", "a=3Db=\n"},
        {"a\rb", "a=0Db=\n"},
        {"\x7F\x80\xE4\xFF", "=7F=80=E4=FF=\n"},
        {"\x01\x1F", "=01=1F=\n"},
        {"a\tb~", "a\tb~=\n"},
        // "From " after a line feed or a soft break (not at the very start,
        // only the capital F, only with the blank) is escaped; the blank after
        // "=46rom" is kept at a hard line end by a soft break like any other.
        {"a\nFrom b", "a\n=46rom b=\n"},
        {"From b", "From b=\n"},
        {"a\nFrox", "a\nFrox=\n"},
        {"a\nFrom", "a\nFrom=\n"},
        {"a\nFrom\tb", "a\nFrom\tb=\n"},
        {"a\nFF", "a\nFF=\n"},
        {"a\nfrom b", "a\nfrom b=\n"},
        {"a\nxFrom b", "a\nxFrom b=\n"},
        {"a\nFrom \n", "a\n=46rom =\n\n"},
        {a73 + "From x", a73 + "=\n=46rom x=\n"},
        // A dot at a line start, also after a soft break.
        {".a", "=2Ea=\n"},
        {"a\n.\nb", "a\n=2E\nb=\n"},
        {"a.b", "a.b=\n"},
        {a73 + ".b", a73 + "=\n=2Eb=\n"},
        // White space before a line end is kept by a soft break.
        {"a \nb", "a =\n\nb=\n"},
        {"a\t\n", "a\t=\n\n"},
        {"a \t \n", "a \t =\n\n"},
        {"a ", "a =\n"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Encode(row.text), row.want) << "text: " << row.text;
    EXPECT_EQ(CQuotedPrintable::Encode(nullptr), nullptr);
}

TEST(QuotedPrintableDecode, SoftBreaksAndBrokenEscapes) {
    const struct {
        std::string text, bytes;
        bool invalid;
    } rows[] = {
        {"=41=\nB", "AB", false},
        {"=41=\r\nB", "AB", false},
        {"=e4=E4", "\xE4\xE4", false},  // either case
        {"=00x", "\0x"s, false},
        // LF becomes CR LF, a CR is copied like any character.
        {"a\nb", "a\r\nb", false},
        {"a\r\nb", "a\r\r\nb", false},
        {"a\r", "a\r", false},
        // A dot is dropped after "=" LF, kept after "=" CR LF and hard breaks.
        {"a=\n.b", "ab", false},
        {"a=\r\n.b", "a.b", false},
        {"a\n.b", "a\r\n.b", false},
        // A short escape at the end is dropped.
        {"ab=4", "ab", false},
        {"ab=", "ab", false},
        {"=", "", false},
        {"ab=\n", "ab", false},
        // A broken escape keeps its characters; a second "=" starts a good
        // escape; a CR without LF is no line break.
        {"=XY", "XY", true},
        {"=4Zq", "4Zq", true},
        {"==41", "A", true},
        {"a = b", "a  b", true},
        {"=\rX", "\rX", true},
        // "=" x LF: "=" and x dropped, the LF written as CR LF (and dropped
        // too when a dot follows); a hex digit and a line break set no flag.
        {"=A\nx", "\r\nx", false},
        {"=Z\nx", "\r\nx", true},
        {"=A\n.x", ".x", false},
        // "=" x CR LF: "=", x and the CR dropped.
        {"=A\r\ny", "\r\ny", false},
        {"=X\r\n.y", "\r\n.y", true},
        // A CR that is not followed by LF is an ordinary bad character.
        {"=A\rz", "A\rz", true},
    };
    for (const auto& row : rows) {
        const Decoded d = Decode(row.text);
        EXPECT_EQ(d.bytes, row.bytes) << "text: " << row.text;
        EXPECT_EQ(d.invalid, row.invalid) << "text: " << row.text;
    }
}

TEST(QuotedPrintableDecode, BlockIsTwiceTheInputAndMayBeFull) {
    EXPECT_EQ(Decode("\n\n").bytes, "\r\n\r\n");
    EXPECT_EQ(Decode("").bytes, "");
    CQuotedPrintable qp;
    std::size_t len = 7;
    Bytes null(qp.Decode(nullptr, &len));
    ASSERT_NE(null, nullptr);
    EXPECT_EQ(len, 0u);
    Bytes noCount(qp.Decode("abc"));
    ASSERT_NE(noCount, nullptr);
    EXPECT_EQ(AsString(noCount.get(), 3), "abc");
}

// Long runs reach the block copy; the special characters at every offset of
// a 16-byte block must come out as at the start, also behind a megabyte.
TEST(QuotedPrintableDecode, SpecialsAtEveryBlockOffset) {
    const std::string q40(40, 'q'), q20(20, 'q');
    for (std::size_t at = 0; at < 40; ++at) {
        const std::string pad(at, 'p');
        EXPECT_EQ(Decode(pad + "=41" + q40).bytes, pad + "A" + q40);
        EXPECT_EQ(Decode(pad + "\n" + q40).bytes, pad + "\r\n" + q40);
        EXPECT_EQ(Decode(pad + "=\n.r" + q20).bytes, pad + "r" + q20);
        EXPECT_EQ(Decode(pad + "=4").bytes, pad);
    }
    const std::string mb(1 << 20, 'x');
    EXPECT_EQ(Decode(mb + "=41").bytes, mb + "A");
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
