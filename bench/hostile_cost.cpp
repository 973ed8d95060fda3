/*
 * hostile_cost.cpp - the cost of mails and rule sets built to make the work
 * grow faster than their size, each at n and 10n: the time per item (the
 * items/s counter) stays level when the cost is linear.
 *
 *   BM_LoadUUWithoutEnd/N     a multipart mail of N parts of 1 KB (in groups
 *                             of 300), each a "begin 644" block without
 *                             "end": N = 900, 9000.
 *   BM_LoadBeginLines/N       N parts holding a line "Begin 644 x" in front
 *                             of a 1 MB part with a block: N = 10, 100.
 *   BM_ReportParts/N          N part records added, then each looked up by
 *                             the two processors: N = 900, 9000.
 *   BM_AddRules/N             N rules added to one set: N = 10000, 100000.
 *   BM_AddSets/N              N rules, each in a set of its own: N = 10000,
 *                             100000.
 *   BM_KeywordWalk/N          a text of N distinct words against 20 literal
 *                             keyword rules, none matching: N = 100000,
 *                             1000000; "peak_per_byte" is the peak of heap
 *                             bytes taken by the walk per byte of text.
 */
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "mime/mimemessage.h"
#include "rules/rulehelper.h"
#include "report/check_report.h"

// Heap bytes taken through operator new now and at most (for the keyword
// walk's memory; the decoded text itself is malloc'ed by the part).
static std::atomic<std::size_t> g_heapNow{0};
static std::atomic<std::size_t> g_heapPeak{0};

void* operator new(std::size_t n) {
    void* p = std::malloc(n != 0 ? n : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    const std::size_t now = g_heapNow += malloc_usable_size(p);
    std::size_t peak = g_heapPeak.load();
    while (now > peak && !g_heapPeak.compare_exchange_weak(peak, now)) {
    }
    return p;
}
// The replacement pair allocates with malloc, so free is the matching release.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept {
    if (p != nullptr) {
        g_heapNow -= malloc_usable_size(p);
        std::free(p);
    }
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

std::string Multipart(const std::vector<std::string>& bodies) {
    std::string s = "Content-Type: multipart/mixed; boundary=\"b1\"\n\n";
    for (const std::string& b : bodies)
        s += "--b1\n" + b + "\n";
    return s + "--b1--\n";
}

void Load(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        CMimeMessage msg;
        if (msg.LoadMsgFromBuffer(text.data(), text.size(), true) != 0)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(msg.GetPartCount());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_LoadUUWithoutEnd(benchmark::State& state) {
    // Groups of 300 below the root: a part holds at most MAX_SUBPARTS.
    const std::string body =
        "Content-Type: text/plain\n\nbegin 644 f.bin\n" + std::string(1000, 'M') + "\n";
    std::string group = "Content-Type: multipart/mixed; boundary=\"g\"\n\n";
    for (int i = 0; i < 300; ++i)
        group += "--g\n" + body + "\n";
    group += "--g--";
    Load(state, Multipart(std::vector<std::string>(static_cast<std::size_t>(state.range(0) / 300),
                                                   group)));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadUUWithoutEnd)->Arg(900)->Arg(9000)->Unit(benchmark::kMillisecond);

void BM_LoadBeginLines(benchmark::State& state) {
    std::vector<std::string> bodies(static_cast<std::size_t>(state.range(0)),
                                    "Content-Type: text/plain\n\nBegin 644 x");
    bodies.push_back("Content-Type: text/plain\n\n" + std::string(1 << 20, 'A') +
                     "\nbegin 644 y\n#86)C\n`\nend\n");
    Load(state, Multipart(bodies));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadBeginLines)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_ReportParts(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<int> parts(n);  // stand-ins: a record's key is only an address
    for (auto _ : state) {
        CCheckReport report;
        for (int& p : parts)
            report.AddPart(&p, "part");
        for (int& p : parts)
            report.SetPartVirus(&p, VIRUS_CLEAN, 0, nullptr, nullptr);
        for (int& p : parts)
            benchmark::DoNotOptimize(report.FindPart(&p));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReportParts)->Arg(900)->Arg(9000)->Unit(benchmark::kMillisecond);

void AddRules(benchmark::State& state, bool setEach) {
    const int n = static_cast<int>(state.range(0));
    std::vector<std::string> names, texts;
    for (int i = 0; i < n; ++i) {
        names.push_back("set" + std::to_string(setEach ? i : 0));
        texts.push_back("attachment: *.x" + std::to_string(i));
    }
    for (auto _ : state) {
        CRuleHelper rules(0);
        for (int i = 0; i < n; ++i)
            rules.AddRule(names[i].c_str(), nullptr, texts[i].c_str(), 0, 9, nullptr, 0);
        state.PauseTiming();
        rules.ClearRules();  // the release is not what is measured
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
void BM_AddRules(benchmark::State& state) {
    AddRules(state, false);
}
void BM_AddSets(benchmark::State& state) {
    AddRules(state, true);
}
BENCHMARK(BM_AddRules)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddSets)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_KeywordWalk(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::string text = "Content-Type: text/plain\n\n";
    for (std::size_t i = 0; i < n; ++i)
        text += "w" + std::to_string(i) + " ";
    CMimeMessage msg;
    if (msg.LoadMsgFromBuffer(text.data(), text.size(), true) != 0) {
        state.SkipWithError("load failed");
        return;
    }
    CRuleHelper rules(0);
    for (int i = 0; i < 20; ++i)
        rules.AddRule("set", nullptr, ("body: absent" + std::to_string(i)).c_str(), 0, 4, nullptr,
                      0);
    rules.m_nMatchMode = MATCH_KEYWORD;
    RuleSet* set = rules.FindRuleSet("set");
    double peakPerByte = 0;
    for (auto _ : state) {
        const std::size_t before = g_heapNow.load();
        g_heapPeak = before;
        benchmark::DoNotOptimize(rules.FindMatchingRule(&msg, set));
        peakPerByte = static_cast<double>(g_heapPeak.load() - before) / text.size();
    }
    state.counters["peak_per_byte"] = peakPerByte;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_KeywordWalk)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
