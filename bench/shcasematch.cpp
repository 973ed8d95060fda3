/*
 * shcasematch.cpp - speed of the wildcard matcher on texts and patterns that
 * make naive backtracking matchers take exponential or polynomial time:
 *   BM_StarsAgainstMegabyte   1 MB of 'a' against "*a*a*a*a*a*b" (no match)
 *   BM_StarsMatchAtEnd        the same text ending in 'b' (a match)
 *   BM_HeaderLinePattern      a typical rule pattern against a header line
 *   BM_SetsOnMegabyte         a pattern of bracket sets against 1 MB
 * The goal is milliseconds for the 1 MB cases: the matcher keeps only the
 * latest star as a backtrack point, so the work is bounded by text length
 * times pattern length.
 */
#include "qorcsock/qorcsock.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

constexpr size_t MEGABYTE = 1024 * 1024;

void BM_StarsAgainstMegabyte(benchmark::State& state) {
    std::string text(MEGABYTE, 'a');
    for (auto _ : state) {
        benchmark::DoNotOptimize(shcasematch(text.c_str(), "*a*a*a*a*a*b"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_StarsAgainstMegabyte)->Unit(benchmark::kMillisecond);

void BM_StarsMatchAtEnd(benchmark::State& state) {
    std::string text(MEGABYTE - 1, 'a');
    text += 'b';
    for (auto _ : state) {
        benchmark::DoNotOptimize(shcasematch(text.c_str(), "*A*A*A*A*A*B"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_StarsMatchAtEnd)->Unit(benchmark::kMillisecond);

void BM_HeaderLinePattern(benchmark::State& state) {
    const char* line = "Subject: =?utf-8?Q?Your_invoice_is_ready?= - special OFFER inside";
    for (auto _ : state) {
        benchmark::DoNotOptimize(shcasematch(line, "subject:*offer*"));
    }
}
BENCHMARK(BM_HeaderLinePattern);

void BM_SetsOnMegabyte(benchmark::State& state) {
    std::string text;
    while (text.size() < MEGABYTE) {
        text += "abcdefgh";
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(shcasematch(text.c_str(), "*[a-c]?[!x]*[0-9]"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SetsOnMegabyte)->Unit(benchmark::kMillisecond);

}  // namespace
