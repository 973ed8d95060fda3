/*
 * check_mail.cpp - libFuzzer target for the whole check of one mail.
 *
 * The input is written as a mail file into a scratch folder and checked by
 * the service's pipeline (the worker's OnPop, called directly so that no
 * poll interval slows the runs): no engine, attachment rules that remove
 * (*.exe) and move (every other named part) into the scratch folder's
 * "moved", keyword rules (word, wildcard, phrase, exception) and header
 * rules. These must hold (else abort):
 *   - every part the report says was moved lies directly in "moved", as a
 *     regular file, and nothing but the mail files, "moved", DataDir and
 *     TempDir appears in the scratch folder;
 *   - a mail that loaded (no ERR_LOAD) is written, and the written mail
 *     loads again.
 * Log lines are dropped. The scratch folder is made once per process, below
 * the system's temporary folder, emptied after each input and removed at
 * the process's exit.
 */
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mailward.h"
#include "mime/mimemessage.h"
#include "miralib/miralib.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"
#include "service/mailward_service.h"

namespace {

namespace fs = std::filesystem;

void Quiet(const char*, int, const char*, void*) {}

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// The service with its pipeline step open to the target.
class DirectCheck : public CMailWard {
  public:
    void CheckNow(MailJob* job) { OnPop(job); }
};

struct Scratch {
    fs::path root, moved, data, temp, source, target;
    DirectCheck* service = nullptr;
};

// What the callback saw.
struct Outcome {
    std::uint32_t errors = 0;
    std::vector<std::string> targets;  // targetPath of each moved part
};

void MAILWARD_CALL OnReport(const CheckReport* report, uintptr_t user) {
    auto* outcome = reinterpret_cast<Outcome*>(user);
    outcome->errors = report->errors;
    for (const PartReport* p = report->parts; p != nullptr; p = p->next) {
        if (p->targetPath != nullptr) {
            outcome->targets.emplace_back(p->targetPath);
        }
    }
}

Scratch& TheScratch() {
    static Scratch s = [] {
        Scratch made;
        made.root = fs::temp_directory_path() / ("mailward-fuzz-check-" + std::to_string(getpid()));
        fs::remove_all(made.root);
        made.moved = made.root / "moved";
        made.data = made.root / "data";
        made.temp = made.root / "tmp";
        made.source = made.root / "in.eml";
        made.target = made.root / "out.eml";
        for (const fs::path& dir : {made.moved, made.data, made.temp}) {
            fs::create_directories(dir);
        }
        qorcsock_set_log_sink(Quiet, nullptr);
        miraconf_set("DataDir", made.data.string().c_str());
        miraconf_set("TempDir", made.temp.string().c_str());
        miraconf_set("BackupMode", "0");
        miraconf_set("FlushMails", "0");
        made.service = new DirectCheck;  // lives as long as the process
        CRuleHelper& rules = made.service->Rules();
        const std::string moved = made.moved.string();
        const struct {
            const char* set;
            const char* text;
            int action;
            const char* dir;
        } kRules[] = {
            {"fuzz", "attachment: *.exe", ACTION_REMOVE, nullptr},
            {"fuzz", "attachment: *", ACTION_MOVE, moved.c_str()},
            {"fuzz", "body: newsletter", ACTION_KEYWORD_EXCEPTION, nullptr},
            {"fuzz", "body: viagra", 4, nullptr},
            {"fuzz", "body: cas?no*", 6, nullptr},
            {"fuzz", "body: free money", 5, nullptr},
            {"header", "Subject: *offer*", ACTION_KEYWORD_EXCEPTION, nullptr},
            {"header", "From: *@spam.example", 5, nullptr},
        };
        for (const auto& rule : kRules) {
            Check(rules.AddRule(rule.set, rule.text, rule.text, 0, rule.action, rule.dir, 0) == 0);
        }
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(TheScratch().root, ec);
        });
        return made;
    }();
    return s;
}

bool Inside(const fs::path& dir, const fs::path& file) {
    return file.lexically_normal().parent_path() == dir.lexically_normal();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Scratch& s = TheScratch();
    {
        std::ofstream out(s.source, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    auto* job = new MailJob;
    job->source = pf::strdup(s.source.string().c_str());
    job->target = pf::strdup(s.target.string().c_str());
    job->ruleSet = pf::strdup("fuzz");
    job->headerRuleSet = pf::strdup("header");
    job->flags = JOB_ATTACHMENT_FILTER | JOB_HEADER_CHECK | JOB_KEYWORD_CHECK;
    Outcome outcome;
    job->callback = OnReport;
    job->user = reinterpret_cast<uintptr_t>(&outcome);
    s.service->CheckNow(job);  // releases the job

    for (const std::string& path : outcome.targets) {
        Check(Inside(s.moved, path));
        Check(fs::is_regular_file(fs::symlink_status(path)));
    }
    for (const auto& entry : fs::directory_iterator(s.root)) {
        const fs::path& p = entry.path();
        Check(p == s.moved || p == s.data || p == s.temp || p == s.source || p == s.target);
    }
    for (const auto& entry : fs::directory_iterator(s.moved)) {
        Check(entry.is_regular_file() && !entry.is_symlink());
    }
    if ((outcome.errors & ERR_LOAD) == 0) {
        CMimeMessage again;
        Check(again.LoadMsg(s.target.string().c_str(), true) == 0);
    }
    std::error_code ec;
    fs::remove(s.target, ec);
    for (const auto& entry : fs::directory_iterator(s.moved)) {
        fs::remove(entry.path(), ec);
    }
    return 0;
}
