/*
 * mimebench.cpp - speed of the part tree over mail files, printed so that it
 * can be set beside other MIME libraries run on the same files.
 *
 *   mimebench [-r ROUNDS] [-q] PATH...
 *
 * PATH is a mail file or a folder (read recursively; every regular file is
 * one mail). All mails are read into memory first; then three steps are
 * timed on one thread, each over ROUNDS rounds, or without -r over as many
 * rounds as take MIN_SECONDS of CPU time:
 *   load    LoadMsgFromBuffer with a full parse (what LoadMsg does after its
 *           one read: line ends reduced in place, tree built, contents copied)
 *   decode  DecodeData of every part of every loaded tree
 *   save    WriteTo of every tree into memory, in text mode (CR LF), as
 *           SaveMsg writes it to its file
 * For each step: MB/s of the mail bytes (load, decode, save: input size),
 * mails/s, and the CPU time besides the wall time. Mails that do not load
 * are counted and left out of decode and save. -q silences the library's
 * log lines (on by default: parse errors of broken mails go to stderr).
 *
 * Exit code: 0, or 2 for bad arguments or when no mail could be read.
 */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"
#include "mime/mimemessage.h"
#include "mime/mimeoutput.h"

namespace {

// CPU time each step runs at least when no rounds are given.
constexpr double MIN_SECONDS = 1.0;

void Quiet(const char*, int, const char*, void*) {}

void Collect(const std::filesystem::path& path, std::vector<std::string>& files) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(path, ec)) {
            if (e.is_regular_file(ec)) {
                files.push_back(e.path().string());
            }
        }
    } else if (std::filesystem::is_regular_file(path, ec)) {
        files.push_back(path.string());
    } else {
        std::fprintf(stderr, "mimebench: no such file or folder: %s\n", path.string().c_str());
    }
}

struct Timer {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    std::clock_t cpu = std::clock();
    double Wall() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    }
    double Cpu() const { return static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

// Runs `round` (one pass over all mails) `rounds` times, or until
// MIN_SECONDS of CPU time when `rounds` is 0; prints the rates per CPU second.
template <typename Fn>
void Step(const char* step, int rounds, double bytes, double mails, Fn round) {
    Timer t;
    int n = 0;
    do {
        round();
        ++n;
    } while (rounds > 0 ? n < rounds : t.Cpu() < MIN_SECONDS);
    const double wall = t.Wall();
    const double cpu = t.Cpu() > 0 ? t.Cpu() : wall;
    std::printf("%-7s %10.1f MB/s %12.0f mails/s   (%d rounds, wall %.3f s, cpu %.3f s)\n", step,
                bytes * n / 1e6 / cpu, mails * n / cpu, n, wall, cpu);
}

std::size_t DecodeAll(CMimePart& part) {
    std::int64_t n = 0;
    char* p = part.DecodeData(n);
    std::free(p);
    std::size_t total = n > 0 ? static_cast<std::size_t>(n) : 0;
    for (int i = 0; i < part.GetPartCount(); ++i) {
        total += DecodeAll(*part.GetPart(static_cast<unsigned>(i)));
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 0;
    bool quiet = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-q") == 0) {
            quiet = true;
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: mimebench [-r ROUNDS] [-q] PATH...\n");
            return 2;
        } else {
            Collect(argv[i], files);
        }
    }
    if (rounds < 0 || files.empty()) {
        std::fprintf(stderr, "usage: mimebench [-r ROUNDS] [-q] PATH...\n");
        return 2;
    }
    mailhdr_init();
    if (quiet) {
        qorcsock_set_log_sink(Quiet, nullptr);
    }

    std::vector<std::string> mails;
    double totalBytes = 0;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        if (!s.str().empty()) {
            mails.push_back(s.str());
            totalBytes += static_cast<double>(s.str().size());
        }
    }
    if (mails.empty()) {
        std::fprintf(stderr, "mimebench: no mail could be read\n");
        return 2;
    }

    // Which mails load, and their trees for decode and save.
    std::vector<std::unique_ptr<CMimeMessage>> trees;
    double loadedBytes = 0;
    int failed = 0;
    for (const auto& m : mails) {
        auto msg = std::make_unique<CMimeMessage>();
        if (msg->LoadMsgFromBuffer(m.data(), m.size(), true) == 0) {
            loadedBytes += static_cast<double>(m.size());
            trees.push_back(std::move(msg));
        } else {
            ++failed;
        }
    }
    std::printf("%zu mails, %.2f MB; %d do not load\n", mails.size(), totalBytes / 1e6, failed);

    Step("load", rounds, totalBytes, static_cast<double>(mails.size()), [&] {
        for (const auto& m : mails) {
            CMimeMessage msg;
            msg.LoadMsgFromBuffer(m.data(), m.size(), true);
        }
    });
    std::size_t decoded = 0;
    Step("decode", rounds, loadedBytes, static_cast<double>(trees.size()), [&] {
        decoded = 0;
        for (auto& t : trees) {
            decoded += DecodeAll(*t);
        }
    });
    std::size_t written = 0;
    Step("save", rounds, loadedBytes, static_cast<double>(trees.size()), [&] {
        written = 0;
        for (auto& t : trees) {
            CMimeStringOutput out(true);
            t->WriteTo(out);
            written += out.Text().size();
        }
    });
    std::printf("(one round decodes %.2f MB and writes %.2f MB)\n", decoded / 1e6, written / 1e6);
    return 0;
}
