/*
 * check_engine.cpp - the virus engine's own scan time over the mails of the
 * test corpus (Google Benchmark), the figure that bench/check_bench.sh
 * sets beside the time of a whole "mailward check" with the engine on.
 *
 *   BM_EngineScanMails          AV_CheckFile on every corpus file: the
 *                               whole-file scan a check makes first
 *   BM_EngineScanMailsAndParts  the same, plus every part's decoded contents
 *                               as the part scan writes them to its scan
 *                               file (prepared once, outside the timing):
 *                               every engine call a check of the corpus makes
 *   BM_EngineScanMailsAndPartFiles
 *                               the same, but each part's contents (decoded
 *                               once, outside the timing) go to a new scan
 *                               file that is removed after its scan, as a
 *                               check must do: the engine takes files only,
 *                               so this is what the scan-file route costs
 *   BM_EngineScanMailsAndPartsInMemory
 *                               the same, but each part's contents go to
 *                               the engine in memory (AV_CheckBuffer), as a
 *                               check does now: nothing written
 *   BM_EnginePart/<bytes>/<route>
 *                               one part of 1 KB or 10 MB (random text)
 *                               scanned from a new scan file (route 0:
 *                               written, scanned, removed) or from memory
 *                               (route 1); its first bytes change with each
 *                               scan, so libclamav's cache of clean data
 *                               never answers. Time per part.
 * One iteration scans the whole corpus with a freshly loaded engine (loaded
 * outside the timing): libclamav remembers files it found clean, and a
 * check meets every file once, with an engine that has not seen it; a warm
 * engine would make the figure too small. Items are mails.
 *
 * The corpus is MAILWARD_BENCH_CORPUS when set, else the test corpus; its
 * README and licence files are not mails and are left out. The engine uses
 * the shipped signatures (share/signatures), and the database folder
 * MAILWARD_BENCH_SIGDB beside them when that is set (a database of
 * production size, bench/make_sigdb.py).
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "mime/mimemessage.h"
#include "miralib/miralib.h"
#include "pf/platform.h"
#include "vaveriz/vaveriz.h"

namespace {

namespace fs = std::filesystem;

struct ScanSet {
    std::vector<std::string> mails;
    std::vector<std::string> parts;     // decoded part contents, one file each
    std::vector<std::string> contents;  // the same contents in memory
    fs::path scratch;
    std::string error;

    ~ScanSet() {
        std::error_code ec;
        if (!scratch.empty())
            fs::remove_all(scratch, ec);
    }
};

bool IsMail(const fs::path& p) {
    for (const auto& piece : p) {
        if (piece == "LICENSES")
            return false;
    }
    return p.filename() != "README.md";
}

void SaveParts(CMimePart* part, ScanSet& set) {
    if (part == nullptr)
        return;
    if (part->GetData() != nullptr && part->GetDataLength() > 0) {
        const fs::path file = set.scratch / ("part-" + std::to_string(set.parts.size()));
        if (part->SaveData(file.string().c_str())) {
            set.parts.push_back(file.string());
            std::int64_t n = 0;
            char* decoded = part->DecodeData(n);
            set.contents.emplace_back(decoded != nullptr ? decoded : "",
                                      decoded != nullptr ? static_cast<std::size_t>(n) : 0);
            std::free(decoded);
        }
    }
    for (int i = 0; i < part->GetPartCount(); ++i)
        SaveParts(part->GetPart(static_cast<unsigned>(i)), set);
}

const ScanSet& Corpus() {
    static ScanSet set = [] {
        ScanSet s;
        const char* env = std::getenv("MAILWARD_BENCH_CORPUS");
        const fs::path dir =
            env != nullptr && *env != '\0' ? fs::path(env) : fs::path(MAILWARD_CORPUS_DIR);
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->is_regular_file() && IsMail(fs::relative(it->path(), dir)))
                s.mails.push_back(it->path().string());
        }
        if (s.mails.empty()) {
            s.error = "no mails in " + dir.string();
            return s;
        }
        s.scratch = fs::temp_directory_path() /
                    ("mailward-engine-bench." + std::to_string(std::random_device{}()));
        fs::create_directories(s.scratch);
        for (const std::string& mail : s.mails) {
            CMimeMessage message;
            if (message.LoadMsg(mail.c_str(), true) == CMimeMessage::LOAD_OK)
                SaveParts(&message, s);
        }
        miraconf_set("SignatureDir", MAILWARD_SOURCE_DIR "/share/signatures");
        const char* sigdb = std::getenv("MAILWARD_BENCH_SIGDB");
        miraconf_set("SystemSignatureDir", sigdb != nullptr ? sigdb : "");
        if (AV_Init() != 0)
            s.error = "the engine did not start";
        return s;
    }();
    return set;
}

// Writes `contents` to a new file at `path`, scans it and removes it.
int ScanThroughFile(const std::string& contents, const std::string& path) {
    std::FILE* f = pf::create_exclusive(path.c_str());
    if (f == nullptr)
        return -1;
    const bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
    const bool closed = std::fclose(f) == 0;
    const int result = ok && closed ? AV_CheckFile(path.c_str()) : -1;
    pf::delete_file(path.c_str());
    return result;
}

enum class Parts { None, Prepared, Written, Memory };

void Scan(benchmark::State& state, Parts parts) {
    const ScanSet& set = Corpus();
    if (!set.error.empty()) {
        state.SkipWithError(set.error.c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        if (AV_Init() != 0) {
            state.SkipWithError("the engine did not load again");
            break;
        }
        state.ResumeTiming();
        int found = 0;
        for (const std::string& f : set.mails)
            found += AV_CheckFile(f.c_str()) == 1;
        if (parts == Parts::Prepared) {
            for (const std::string& f : set.parts)
                found += AV_CheckFile(f.c_str()) == 1;
        } else if (parts == Parts::Written) {
            const std::string scanFile = (set.scratch / "scan-file").string();
            for (const std::string& c : set.contents)
                found += ScanThroughFile(c, scanFile) == 1;
        } else if (parts == Parts::Memory) {
            for (const std::string& c : set.contents)
                found += AV_CheckBuffer(c.data(), c.size(), "part") == 1;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(set.mails.size()));
    state.counters["mails"] = static_cast<double>(set.mails.size());
    state.counters["parts"] = parts != Parts::None ? static_cast<double>(set.parts.size()) : 0.0;
}

void BM_EngineScanMails(benchmark::State& state) {
    Scan(state, Parts::None);
}
void BM_EngineScanMailsAndParts(benchmark::State& state) {
    Scan(state, Parts::Prepared);
}
void BM_EngineScanMailsAndPartFiles(benchmark::State& state) {
    Scan(state, Parts::Written);
}

void BM_EngineScanMailsAndPartsInMemory(benchmark::State& state) {
    Scan(state, Parts::Memory);
}

// Part sizes of BM_EnginePart: a small text and a large attachment.
constexpr std::int64_t SMALL_PART = 1024;
constexpr std::int64_t LARGE_PART = 10 * 1024 * 1024;

void BM_EnginePart(benchmark::State& state) {
    const ScanSet& set = Corpus();
    if (!set.error.empty()) {
        state.SkipWithError(set.error.c_str());
        return;
    }
    std::mt19937 random(7);
    std::string part(static_cast<std::size_t>(state.range(0)), ' ');
    for (char& c : part)
        c = static_cast<char>('a' + random() % 26);
    const bool fromMemory = state.range(1) == 1;
    const std::string scanFile = (set.scratch / "part-scan-file").string();
    std::uint64_t serial = 0;
    int failed = 0;
    for (auto _ : state) {
        const std::string stamp = std::to_string(++serial);
        part.replace(0, stamp.size(), stamp);
        const int result = fromMemory ? AV_CheckBuffer(part.data(), part.size(), "part")
                                      : ScanThroughFile(part, scanFile);
        failed += result != 0;
    }
    if (failed != 0)
        state.SkipWithError("a random text part was not clean");
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.SetLabel(fromMemory ? "memory" : "file");
}

BENCHMARK(BM_EngineScanMails)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_EngineScanMailsAndParts)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_EngineScanMailsAndPartFiles)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_EngineScanMailsAndPartsInMemory)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_EnginePart)
    ->ArgsProduct({{SMALL_PART, LARGE_PART}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
