// transfer_test.cpp - the one mapping from a Content-Transfer-Encoding name
// to its codec: names, the zero byte behind every decoded block, and each
// coding giving back what its encoder wrote.
#include "codec/codec.h"
#include "codec_test_util.h"

#include <cstring>

namespace codec_test {
namespace {

TEST(TransferCoding, NamesIgnoreCaseAndUnknownNamesAreIdentity) {
    EXPECT_EQ(TransferCodingByName("base64"), TransferCoding::Base64);
    EXPECT_EQ(TransferCodingByName("BASE64"), TransferCoding::Base64);
    EXPECT_EQ(TransferCodingByName("Quoted-Printable"), TransferCoding::QuotedPrintable);
    for (const char* name : {"7bit", "8bit", "binary", "", "x-uuencode", "base64 ", "base"})
        EXPECT_EQ(TransferCodingByName(name), TransferCoding::Identity) << name;
}

TEST(TransferCoding, EveryCodingRoundTripsAndDecodedBlocksEndWithAZero) {
    // No line ends: the quoted-printable decoder writes each LF as CR LF.
    // Long enough for soft line breaks, every byte value but LF and CR.
    std::string data;
    for (int i = 0; i < 600; ++i) {
        const char c = static_cast<char>(i % 256);
        if (c != '\n' && c != '\r')
            data += c;
    }
    for (TransferCoding coding :
         {TransferCoding::Identity, TransferCoding::Base64, TransferCoding::QuotedPrintable}) {
        SCOPED_TRACE(static_cast<int>(coding));
        Text encoded(EncodeTransfer(coding, data.data(), data.size()));
        ASSERT_NE(encoded, nullptr);
        const std::size_t encodedLen =
            coding == TransferCoding::Identity ? data.size() : std::strlen(encoded.get());
        std::size_t n = 12345;
        Bytes decoded(DecodeTransfer(coding, encoded.get(), encodedLen, &n));
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded.get()), n), data);
        EXPECT_EQ(decoded.get()[n], 0);
    }
}

TEST(TransferCoding, UuencodedLinesDecodeAndEmptyInputGivesAnEmptyBlock) {
    const std::string lines = "#0V%T\n";  // "Cat"
    std::size_t n = 0;
    Bytes decoded(DecodeTransfer(TransferCoding::Uuencode, lines.data(), lines.size(), &n));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded.get()), n), "Cat");
    EXPECT_EQ(decoded.get()[n], 0);
    for (TransferCoding coding : {TransferCoding::Identity, TransferCoding::Base64,
                                  TransferCoding::QuotedPrintable, TransferCoding::Uuencode}) {
        n = 7;
        Bytes empty(DecodeTransfer(coding, "", 0, &n));
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(empty.get()[0], 0);
    }
}

}  // namespace
}  // namespace codec_test
