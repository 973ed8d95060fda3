// quarantine.cpp - speed of moves into a quarantine folder that already
// holds many files of the same name: each iteration moves MOVES parts named
// "invoice.pdf" (the copies made are removed again, untimed), into a folder
// holding invoice.pdf, invoice2.pdf, ... invoice<N>.pdf for N = 0, 1,000 and
// 20,000. Goal: the time per move does not grow with N (a new processor
// each iteration, so nothing is remembered from the last one).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "mime/mimemessage.h"
#include "processors/filter_processor.h"
#include "rules/rulehelper.h"

namespace {

namespace fs = std::filesystem;

// Parts moved per iteration.
constexpr int MOVES = 200;

std::string Name(int n) {
    return n == 1 ? "invoice.pdf" : "invoice" + std::to_string(n) + ".pdf";
}

void BM_MoveIntoFullFolder(benchmark::State& state) {
    const int taken = static_cast<int>(state.range(0));
    const fs::path dir =
        fs::temp_directory_path() / ("mailward-bench-quarantine-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (int n = 1; n <= taken; ++n)
        std::ofstream(dir / Name(n)) << "x";
    const std::string mail =
        "Content-Type: application/pdf; name=\"invoice.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n";
    CMimeMessage part;
    if (part.LoadMsgFromBuffer(mail.data(), mail.size(), true) != 0) {
        state.SkipWithError("mail did not load");
        return;
    }
    for (auto _ : state) {
        CCheckReport report;
        CRuleHelper rules{0};
        CFilterProcessor filter{&report, &rules};
        for (int i = 0; i < MOVES; ++i) {
            if (filter.move_part_to_dir(&part, dir.c_str()).empty()) {
                state.SkipWithError("move failed");
                break;
            }
        }
        state.PauseTiming();
        for (int n = taken + 1; n <= taken + MOVES; ++n)
            fs::remove(dir / Name(n));
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * MOVES);
    fs::remove_all(dir);
}
BENCHMARK(BM_MoveIntoFullFolder)->Arg(0)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
