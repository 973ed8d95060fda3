/*
 * block_codings_test.cpp - YEncDecode, BinHexDecode and BinHexName, the
 * decoders of the blocks mail readers find in text: escapes, control lines,
 * line ends, blocks cut short, run-length coding, random data through
 * encoders of the test's own, and the DecodeTransfer entries for them.
 */
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codec/codec.h"
#include "codec_test_util.h"

namespace {

using codec_test::AsString;
using codec_test::Bytes;

std::string YDecode(const std::string& text) {
    std::size_t n = 12345;
    Bytes out(YEncDecode(text.data(), text.size(), &n));
    EXPECT_NE(nullptr, out);
    EXPECT_LE(n, text.empty() ? 1 : text.size());
    return out ? AsString(out.get(), n) : std::string();
}

// yEnc as the format describes it: each byte plus 42, NUL, LF, CR and "="
// escaped by "=" and the byte plus 64; lines of at most `width` bytes.
std::string YEncode(const std::string& bytes, std::size_t width = 128) {
    std::string out, line;
    for (unsigned char b : bytes) {
        const auto c = static_cast<unsigned char>(b + 42);
        if (c == 0 || c == '\n' || c == '\r' || c == '=') {
            line += '=';
            line += static_cast<char>(c + 64);
        } else {
            line += static_cast<char>(c);
        }
        if (line.size() >= width) {
            out += line + "\r\n";
            line.clear();
        }
    }
    return out + (line.empty() ? "" : line + "\r\n");
}

TEST(YEncDecode, EscapesControlLinesAndLineEnds) {
    const struct {
        const char* name;
        std::string text;
        std::string bytes;
    } rows[] = {
        {"plain bytes", "\x8b\x8c\x8d\n", "abc"},
        {"escaped bytes", "=}=J=@\n", std::string("\x13\xe0\xd6", 3)},
        {"CR LF and LF line ends", "\x8b\r\n\x8c\n\x8d", "abc"},
        {"part lines carry no data", "=ypart begin=1 end=3\n\x8b\x8c\x8d\n", "abc"},
        {"control lines of a next block", "\x8b\n=yend size=1\n=ybegin name=x\n\x8c\n", "ab"},
        {"an escape at a line's end escapes nothing", "\x8b=\n\x8c", "ab"},
        {"empty", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.bytes, YDecode(row.text));
    }
    std::size_t n = 7;
    Bytes none(YEncDecode(nullptr, 5, &n));
    ASSERT_NE(nullptr, none);
    EXPECT_EQ(0u, n);
}

TEST(YEncDecode, RandomDataThroughAnEncoderOfItsOwn) {
    std::mt19937 rng(7);
    for (std::size_t size : {1u, 2u, 127u, 128u, 129u, 5000u}) {
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng());
        EXPECT_EQ(bytes, YDecode(YEncode(bytes, 1 + size % 200))) << size;
    }
}

// BinHex 4.0 the way the format describes it, from an encoder of the
// test's own: header with name and fork lengths, run-length coding (0x90
// is the mark; 0x90 0x00 a literal 0x90), 64 letters, lines of 64.
std::string BinHex(const std::string& name, const std::string& data, bool close = true) {
    auto be = [](std::string& s, std::uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    std::string stream(1, static_cast<char>(name.size()));
    stream += name + '\0' + "TEXTttxt" + std::string(2, '\0');
    be(stream, static_cast<std::uint32_t>(data.size()), 4), be(stream, 0, 4), be(stream, 0, 2);
    stream += data + std::string(4, '\0');  // data checksum, resource checksum
    std::string rle;
    for (std::size_t i = 0; i < stream.size();) {
        const char b = stream[i];
        std::size_t n = 1;
        while (i + n < stream.size() && stream[i + n] == b && n < 255)
            ++n;
        if (static_cast<unsigned char>(b) == 0x90) {
            for (std::size_t k = 0; k < n; ++k)
                rle += std::string("\x90\x00", 2);
        } else if (n >= 3) {
            rle += b;
            rle += '\x90';
            rle += static_cast<char>(n);
        } else {
            rle += std::string(n, b);
        }
        i += n;
    }
    static const char letters[] =
        "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
    std::string text = ":";
    unsigned bits = 0, count = 0;
    for (unsigned char b : rle) {
        bits = (bits << 8) | b;
        count += 8;
        while (count >= 6) {
            count -= 6;
            text += letters[(bits >> count) & 63];
            if (text.size() % 65 == 64)
                text += "\r\n";
        }
    }
    if (count > 0)
        text += letters[(bits << (6 - count)) & 63];
    return text + (close ? ":\r\n" : "\r\n");
}

std::string BDecode(const std::string& text, std::string* name = nullptr) {
    std::size_t n = 0;
    Bytes out(BinHexDecode(text.data(), text.size(), &n, name));
    EXPECT_NE(nullptr, out);
    return out ? AsString(out.get(), n) : std::string();
}

TEST(BinHexDecode, NamesForksAndRuns) {
    std::string name;
    EXPECT_EQ("MZ", BDecode(BinHex("a.exe", "MZ"), &name));
    EXPECT_EQ("a.exe", name);
    EXPECT_EQ("a.exe", BinHexName(BinHex("a.exe", "MZ").data(), BinHex("a.exe", "MZ").size()));
    const std::string runs = std::string(300, 'x') + "\x90\x90" + std::string(3, '\0') + "y";
    EXPECT_EQ(runs, BDecode(BinHex("runs.bin", runs), &name));
    EXPECT_EQ("runs.bin", name);
    std::mt19937 rng(11);
    std::string random(4000, '\0');
    for (char& c : random)
        c = static_cast<char>(rng() % 4 == 0 ? 0x90 : rng());
    EXPECT_EQ(random, BDecode(BinHex("r", random)));
    // Text before the first colon and letters outside the alphabet are
    // passed over; white space between the letters too.
    std::string noisy = BinHex("n.exe", "MZP");
    noisy.insert(0, "junk ");
    noisy.insert(10, " \t\r\n");
    EXPECT_EQ("MZP", BDecode(noisy, &name));
    EXPECT_EQ("n.exe", name);
}

TEST(BinHexDecode, BlocksCutShortGiveWhatTheyHold) {
    std::string data;
    for (int i = 0; i < 200; ++i)
        data += static_cast<char>('a' + i % 26);
    const std::string whole = BinHex("cut.exe", data, false);  // no closing colon
    std::string name;
    EXPECT_EQ(data, BDecode(whole, &name));
    EXPECT_EQ("cut.exe", name);
    const std::string half = whole.substr(0, whole.size() / 2);
    const std::string got = BDecode(half, &name);
    EXPECT_EQ("cut.exe", name);
    EXPECT_LT(got.size(), data.size());
    EXPECT_EQ(data.substr(0, got.size()), got);
    EXPECT_EQ("", BDecode(":\"@%Z:", &name));  // inside the header
    EXPECT_EQ("", name);
    EXPECT_EQ("", BDecode("no colon at all", &name));
    EXPECT_EQ("", BinHexName(nullptr, 0));
}

TEST(DecodeTransfer, TheBlockCodings) {
    std::size_t n = 0;
    Bytes y(DecodeTransfer(TransferCoding::YEnc, "\x8b\x8c\n", 3, &n));
    ASSERT_NE(nullptr, y);
    EXPECT_EQ("ab", AsString(y.get(), n));
    EXPECT_EQ(0, y.get()[n]);
    const std::string text = BinHex("x", "hello");
    Bytes b(DecodeTransfer(TransferCoding::BinHex, text.data(), text.size(), &n));
    ASSERT_NE(nullptr, b);
    EXPECT_EQ("hello", AsString(b.get(), n));
    EXPECT_EQ(0, b.get()[n]);
}

}  // namespace
