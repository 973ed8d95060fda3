/*
 * checker_process.cpp - the checking process's loop.
 */
#include "checker_process.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "checker_protocol.h"
#include "common/console.h"
#include "dns_list.h"
#include "milter_policy.h"
#include "common/spam_list.h"
#include "worker_park.h"

namespace {

constexpr int ALL_JOB_FLAGS =
    JOB_AV_CHECK | JOB_ATTACHMENT_FILTER | JOB_SPAM_LIST | JOB_HEADER_CHECK | JOB_KEYWORD_CHECK;

struct Channel {
    int fd = -1;
    const MailwardApi* api = nullptr;
    std::mutex lock;
    std::condition_variable idle;
    std::size_t outstanding = 0;

    void Send(const std::string& message) {
        std::lock_guard<std::mutex> hold(lock);
        while (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) < 0 && errno == EINTR) {
        }
    }
};

struct Ticket {
    Channel* channel = nullptr;
    std::uint64_t id = 0;
};

void MAILWARD_CALL OnReport(const CheckReport* report, uintptr_t user) {
    std::unique_ptr<Ticket> ticket(reinterpret_cast<Ticket*>(user));
    CheckResult r;
    try {
        if (report == nullptr) {
            r.result = -1;
            r.errors = ERR_CHECK;
        } else {
            r.result = report->result;
            r.errors = report->errors;
            r.virusResult = report->virusResult;
            r.status = report->status;
            for (const PartReport* p = report->parts; p != nullptr; p = p->next) {
                r.partActions |= p->action;
                if (r.virusName.empty() && p->virusName != nullptr)
                    r.virusName = p->virusName;
            }
        }
        ticket->channel->Send(EncodeDone(ticket->id, r));
    } catch (...) {
        // Memory ran short: the milter sees no answer and times the message out.
    }
    Channel* channel = ticket->channel;
    std::lock_guard<std::mutex> hold(channel->lock);
    --channel->outstanding;
    channel->idle.notify_all();
}

std::string ReloadRules(const HostSession& session, const CommonOptions& common) {
    const MailwardApi& api = session.Api();
    RuleTextCheck check = [&api](const std::string& text) {
        return CheckRuleTextWithLibrary(api, text);
    };
    RuleBook book;
    std::vector<RulesError> errors;
    const std::string name = common.rulesFile.empty() ? EMBEDDED_RULES_NAME : common.rulesFile;
    const bool ok = common.rulesFile.empty() ? ParseRules(EMBEDDED_RULES, check, book, errors)
                                             : LoadRulesFile(common.rulesFile, check, book, errors);
    std::string text;
    if (!ok) {
        for (const RulesError& e : errors)
            text += (text.empty() ? "" : " | ") + FormatRulesError(name, e);
        return text.empty() ? name + ": refused" : text;
    }
    api.MAILWARD_clear_rules();
    RulesError error;
    if (!ApplyRules(api, book, session.Config().dataDir, true, error))
        return FormatRulesError(name, error) + " (no rule is loaded now)";
    return "";
}

}  // namespace

int RunChecker(const CheckerOptions& o, const std::string& exeDir) {
    // Ctrl-C and a hang-up reach the whole process group; the milter stops
    // the checking processes itself, after the messages in work.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    Channel channel;
    channel.fd = o.fd;
    auto spamList = std::make_shared<SpamList>();
    std::unique_ptr<DnsBlockList> dnsList;  // asked by the responder's thread
    std::unique_ptr<SpamListResponder> responder;
    // The park outlives the service, whose worker calls into it to the end;
    // it is stopped before the service (parkStop below).
    std::optional<WorkerPark> park;
    HostSession session(exeDir);
    struct ParkStop {
        std::optional<WorkerPark>& park;
        ~ParkStop() {
            if (park)
                park->Stop();
        }
    } parkStop{park};
    session.InstallLog(o.common.verbosity);
    MilterSettings settings;
    std::vector<std::string> settingErrors;
    std::string failure;
    if (!session.Configure(o.common) || !session.LoadLibrary(o.common) ||
        !session.LoadRules(o.common))
        failure = "set-up failed (see the lines above)";
    else if (!ReadMilterSettings(ConfigValue, settings, settingErrors))
        failure = settingErrors.front();
    if (failure.empty() && !o.spamListFile.empty()) {
        std::vector<std::string> errors;
        if (!spamList->Load(o.spamListFile, errors))
            failure = errors.empty() ? o.spamListFile + ": refused" : errors.front();
    }
    if (failure.empty() && !settings.dnsZones.empty()) {
        dnsList = std::make_unique<DnsBlockList>();
        std::string error;
        if (!dnsList->Configure({settings.dnsZones, settings.dnsServer, settings.dnsTimeoutSeconds},
                                error))
            failure = "Milter.DnsList: " + error;
    }
    if (failure.empty() && !session.StartService(true))
        failure = "the service did not start";
    const MailwardApi& api = session.Api();
    if (failure.empty() && settings.engine &&
        api.MAILWARD_activate_av(AV_MODE_REMOVE, nullptr) != 0)
        failure = "the virus engine did not start (Milter.Engine = off checks without it)";
    if (!failure.empty()) {
        channel.Send("H\t0\t" + FieldText(failure));
        return EXIT_ERRORS;
    }
    if (!o.spamListFile.empty() || dnsList) {
        responder = std::make_unique<SpamListResponder>(api, spamList);
        if (dnsList) {
            responder->SetExtraLookup([&dnsList](const std::string& sender, std::uint32_t& value) {
                return dnsList->Lookup(sender, value);
            });
        }
        responder->Start();
    }
    std::string readyNote = "ready";
    if (settings.workerPark) {
        park.emplace(api.MAILWARD_check_mail, session.Config().tempDir, settings.ruleSet);
        std::string error;
        if (!park->Start(error)) {
            // Messages are checked all the same, each after the worker's
            // next look at its queue.
            readyNote = "ready; worker park not started: " + error;
            park.reset();
        }
    }
    channel.api = &api;
    const int flags = settings.engine ? ALL_JOB_FLAGS : ALL_JOB_FLAGS & ~JOB_AV_CHECK;
    const SpamListCheck listCheck = responder ? &SpamListResponder::ListCheck : nullptr;
    const uintptr_t listUser = reinterpret_cast<uintptr_t>(responder.get());
    channel.Send("H\t1\t" + FieldText(readyNote));

    char buf[CHECKER_MESSAGE_MAX];
    for (;;) {
        const ssize_t n = ::recv(o.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const std::vector<std::string> fields =
            SplitFields(std::string_view(buf, static_cast<std::size_t>(n)));
        if (fields[0] == "L") {
            // The spam list is read first and put in place only when the
            // rules took too: a bad file of either keeps both as they were.
            std::string errors;
            auto newList = std::make_shared<SpamList>();
            std::vector<std::string> listErrors;
            const bool listFile = responder && !o.spamListFile.empty();
            if (listFile && !newList->Load(o.spamListFile, listErrors)) {
                for (const std::string& e : listErrors)
                    errors += (errors.empty() ? "" : " | ") + e;
                if (errors.empty())
                    errors = o.spamListFile + ": refused";
            }
            if (errors.empty())
                errors = ReloadRules(session, o.common);
            if (errors.empty() && listFile)
                responder->Replace(std::move(newList));
            channel.Send(std::string("L\t") +
                         (errors.empty() ? "1\treloaded" : "0\t" + FieldText(errors)));
            continue;
        }
        CheckRequest request;
        if (!DecodeRequest(fields, request))
            continue;
        auto ticket = std::make_unique<Ticket>(Ticket{&channel, request.id});
        {
            std::lock_guard<std::mutex> hold(channel.lock);
            ++channel.outstanding;
        }
        const int rc = api.MAILWARD_check_mail(
            request.ruleSet.c_str(),
            request.headerRuleSet.empty() ? nullptr : request.headerRuleSet.c_str(),
            request.source.c_str(), request.target.c_str(), flags, listCheck, listUser, &OnReport,
            reinterpret_cast<uintptr_t>(ticket.get()));
        if (rc == 0) {
            ticket.release();  // the callback owns it now
            if (park)
                park->Release();
        } else {
            {
                std::lock_guard<std::mutex> hold(channel.lock);
                --channel.outstanding;
            }
            CheckResult refused;
            refused.kind = CheckResult::Kind::Refused;
            channel.Send(EncodeDone(request.id, refused));
        }
    }
    {
        std::unique_lock<std::mutex> hold(channel.lock);
        channel.idle.wait(hold, [&] { return channel.outstanding == 0; });
    }
    if (park)
        park->Stop();
    session.StopService();
    if (responder)
        responder->Stop();
    return EXIT_CLEAN;
}
