/*
 * quoted_printable_test.cpp - CQuotedPrintable: the encoder's escapes, line
 * breaks and "From "/dot rules, the decoder's flag and dot rules, agreement of
 * its block scan with a plain model, round trips, and corpus parts in both
 * encodings.
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

TEST(QuotedPrintableEncode, EscapesLineBreaksFromDotsAndDashes) {
    const std::string a73(73, 'a');
    const struct {
        std::string text, want;
    } rows[] = {
        {"", ""},
        {"abc\n\n", "abc\n\n"},  // a text ending on LF needs no soft break
        // Lines break after 73 characters; an escape that takes the line past
        // the limit is followed by the break.
        {std::string(100, 'a'), a73 + "=\n" + std::string(27, 'a') + "=\n"},
        {std::string(72, 'a'), std::string(72, 'a') + "=\n"},
        {std::string(71, 'a') + "=b", std::string(71, 'a') + "=3D=\nb=\n"},
        // CR and other control bytes, "=", DEL and 8-bit bytes are escaped;
        // LF is a line end, tab and printable ASCII stay.
        {"a=b\rc\x01\x1F\x7F\x80\xFF\t~", "a=3Db=0Dc=01=1F=7F=80=FF\t~=\n"},
        // "From " after a line feed or a soft break (not at the very start,
        // only the capital F, only with the blank) is escaped; the blank after
        // "=46rom" is kept at a hard line end by a soft break like any other.
        {"a\nFrom b", "a\n=46rom b=\n"},
        {"From b", "From b=\n"},
        {"a\nFrom", "a\nFrom=\n"},
        {"a\nFrom\tb", "a\nFrom\tb=\n"},
        {"a\nfrom b", "a\nfrom b=\n"},
        {"a\nFrom \n", "a\n=46rom =\n\n"},
        {a73 + "From x", a73 + "=\n=46rom x=\n"},
        // A dot at a line start, also after a soft break.
        {".a", "=2Ea=\n"},
        {"a\n.\nb", "a\n=2E\nb=\n"},
        {a73 + ".b", a73 + "=\n=2Eb=\n"},
        // The first dash of every "--" is escaped, so no encoded text holds a
        // delimiter line or a delimiter in the middle of a line.
        {"x --b y\n--b--\n-", "x =2D-b y\n=2D-b=2D-\n-=\n"},
        {"---", "=2D=2D-=\n"},
        // White space before a line end is kept by a soft break.
        {"a \t \nb", "a \t =\n\nb=\n"},
        {"a ", "a =\n"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Encode(row.text), row.want) << "text: " << row.text;
    EXPECT_EQ(CQuotedPrintable::Encode(nullptr), nullptr);
}

// What sets the invalid-input flag and what becomes of dots after soft
// breaks; the model below covers the rest.
TEST(QuotedPrintableDecode, BrokenEscapesAndDots) {
    const struct {
        std::string text;
        Decoded want;
    } rows[] = {
        // A dot is dropped after "=" LF, kept after "=" CR LF and hard breaks.
        {"a=\n.b", {"ab", false}},
        {"a=\r\n.b", {"a.b", false}},
        {"a\n.b", {"a\r\n.b", false}},
        {"ab=4", {"ab", false}},  // a short escape at the end is dropped
        // A broken escape keeps its characters; a second "=" starts a good
        // escape.
        {"=XY", {"XY", true}},
        {"==41", {"A", true}},
        // "=" x LF: "=" and x dropped, the LF written as CR LF (and dropped
        // too when a dot follows); a hex digit and a line break set no flag.
        {"=A\nx", {"\r\nx", false}},
        {"=Z\nx", {"\r\nx", true}},
        {"=A\n.x", {".x", false}},
        // "=" x CR LF: "=", x and the CR dropped; a CR without LF is an
        // ordinary bad character.
        {"=X\r\n.y", {"\r\n.y", true}},
        {"=A\rz", {"A\rz", true}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Decode(row.text), row.want) << "text: " << row.text;

    // The block is twice the input and may be full; a null text is empty.
    EXPECT_EQ(Decode("\n\n").bytes, "\r\n\r\n");
    CQuotedPrintable qp;
    std::size_t len = 7;
    Bytes null(qp.Decode(nullptr, &len));
    ASSERT_NE(null, nullptr);
    EXPECT_EQ(len, 0u);
    Bytes noCount(qp.Decode("abc"));
    ASSERT_NE(noCount, nullptr);
    EXPECT_EQ(AsString(noCount.get(), 3), "abc");
}

// Texts of "=", line ends, dots and hex digits, from dense to sparse so that
// the 64-character windows of the block scan meet them at every offset and
// copy long stretches between them: the decoder must agree with the plain
// statement of its rules.
TEST(QuotedPrintableDecode, FastPathAgreesWithTheModel) {
    std::mt19937 rng(2047);
    const std::string chars = "==\n\r.A3fz  xxxxxxxx";
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const std::size_t n = rng() % 400, sparse = 1 + round % 24;
        for (std::size_t k = 0; k < n; ++k)
            text += rng() % sparse == 0 ? chars[rng() % chars.size()] : 'q';
        ASSERT_EQ(Decode(text), ModelDecode(text)) << "round " << round;
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
        ASSERT_EQ(Decode(encoded), (Decoded{WithCrLf(text), false})) << "round " << round;
    }
}

// Corpus: the same line as an 8-bit, a quoted-printable and a base64 part.
TEST(CodecCorpus, PartsMatchTheirRawTwin) {
    const std::string mail = codec_test::ReadCorpus("mail-parser/thirdparty/003.eml");
    const std::string raw = "Move \xE2\x99\x9A to \xE2\x99\x9B's \xE2\x99\x9D\n";
    const std::string qp = "Move =E2=99=9A to =E2=99=9B's =E2=99=9D\n";
    const std::string b64 = "TW92ZSDimZogdG8g4pmbJ3Mg4pmdCg==\n";
    for (const std::string* part : {&raw, &qp, &b64})
        ASSERT_NE(mail.find(*part), std::string::npos) << *part;
    EXPECT_EQ(Decode(qp), (Decoded{WithCrLf(raw), false}));
    CBase64 base64;
    std::size_t len = b64.size();
    Bytes out(base64.Decode(b64.data(), &len));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(AsString(out.get(), len), raw);
    EXPECT_FALSE(base64.m_bInvalidInput);
}

}  // namespace
