/*
 * codec.cpp - throughput of the codecs on mail-shaped input (Google
 * Benchmark). Rates are per second of one core:
 *   BM_Base64Decode      bytes of encoded input (76-character lines, CR LF)
 *   BM_Base64Encode      bytes of encoded output
 *   BM_QuotedPrintableDecode  bytes of encoded input (text with 8-bit escapes,
 *                        soft breaks, CR LF line ends)
 *   BM_UUDecode, BM_DecodeHeaderData  for reference, no goal
 * Goals on the project's machine: base64 2 GB/s both ways, quoted-printable
 * decoding 1 GB/s.
 */
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>

#include "codec/codec.h"

namespace {

constexpr std::size_t kMailBytes = 1 << 20;

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string Base64Text(const std::string& bytes) {
    char* t = CBase64::Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    std::string s(t);
    std::free(t);
    return s;
}

// German-looking prose with Latin-1 umlauts, encoded and given CR LF ends.
std::string QuotedPrintableMail(std::size_t n) {
    static const char* const words[] = {"Die",
                                        "Hasen",
                                        "und",
                                        "die",
                                        "Fr\xF6sche",
                                        "M\xFCller",
                                        "sagt",
                                        "gr\xFC\xDF",
                                        "Angebot",
                                        "Rabatt",
                                        "=",
                                        "Preis",
                                        "\xE4rger",
                                        "Stra\xDF"
                                        "e",
                                        "ok."};
    std::mt19937 rng(1);
    std::string text;
    while (text.size() < n) {
        text += words[rng() % 15];
        text += (rng() % 12 == 0) ? "\n" : " ";
    }
    char* e = CQuotedPrintable::Encode(text.c_str());
    std::string crlf;
    for (const char* p = e; *p; ++p) {
        if (*p == '\n')
            crlf += '\r';
        crlf += *p;
    }
    std::free(e);
    return crlf;
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string text = Base64Text(RandomBytes(kMailBytes, 1));
    for (auto _ : state) {
        CBase64 b64;
        std::size_t len = text.size();
        unsigned char* out = b64.Decode(text.data(), &len);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Base64Decode);

void BM_Base64Encode(benchmark::State& state) {
    const std::string bytes = RandomBytes(kMailBytes, 2);
    const std::size_t outLen = Base64Text(bytes).size();
    for (auto _ : state) {
        char* t =
            CBase64::Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        benchmark::DoNotOptimize(t);
        std::free(t);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * outLen));
}
BENCHMARK(BM_Base64Encode);

void BM_QuotedPrintableDecode(benchmark::State& state) {
    const std::string text = QuotedPrintableMail(kMailBytes);
    for (auto _ : state) {
        CQuotedPrintable qp;
        std::size_t len = 0;
        unsigned char* out = qp.Decode(text.c_str(), &len);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_QuotedPrintableDecode);

void BM_UUDecode(benchmark::State& state) {
    // 45-byte lines of classic uuencoding.
    const std::string bytes = RandomBytes(45 * 20000, 3);
    std::string text;
    for (std::size_t at = 0; at < bytes.size(); at += 45) {
        text += 'M';
        for (std::size_t g = 0; g < 45; g += 3) {
            const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at + g);
            const unsigned v[4] = {static_cast<unsigned>(b[0] >> 2),
                                   static_cast<unsigned>(((b[0] & 3) << 4) | (b[1] >> 4)),
                                   static_cast<unsigned>(((b[1] & 15) << 2) | (b[2] >> 6)),
                                   static_cast<unsigned>(b[2] & 63)};
            for (const unsigned x : v)
                text += static_cast<char>(x == 0 ? '`' : x + 32);
        }
        text += '\n';
    }
    text += "`\n";
    for (auto _ : state) {
        std::size_t len = 0;
        unsigned char* out = UUDecode(text.c_str(), &len);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_UUDecode);

void BM_DecodeHeaderData(benchmark::State& state) {
    const std::string value =
        "=?iso-8859-1?Q?Die_Hasen_und_die_Fr=F6sche_=28Microsoft_Outlook_00=29?= und "
        "=?iso-8859-1?B?SvxyZ2VuIFNjaG38cmdlbg==?= <schmuergen@example.com>\r\n";
    for (auto _ : state) {
        char* out = DecodeHeaderData(value.c_str());
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * value.size()));
}
BENCHMARK(BM_DecodeHeaderData);

}  // namespace
