/*
 * checker_process.cpp - the checking process: its set-up, its loop over
 * the milter's requests and its end.
 */
#include "checker_process.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <deque>
#include <memory>
#include <filesystem>
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

// Rules named in a report: at most this many, each cut to this length
// (they travel in one datagram).
constexpr std::size_t REPORT_RULES_MAX = 32;
constexpr std::size_t RULE_NAME_MAX = 200;

struct Channel {
    int fd = -1;
    const MailwardApi* api = nullptr;
    std::mutex lock;
    std::condition_variable idle;
    std::size_t outstanding = 0;
    // Queue ids of the messages handed to the library, oldest first. The
    // library checks them one after another, so the oldest is the one its
    // log lines are about: they carry its queue id.
    std::deque<std::string> queueIds;

    void Queued(const std::string& queueId) {
        std::lock_guard<std::mutex> hold(lock);
        ++outstanding;
        queueIds.push_back(queueId.empty() ? "NOQUEUE" : queueId);
        if (queueIds.size() == 1)
            Console::Get().SetLineTag(queueIds.front() + ": ");
    }
    // The oldest message is done, or (`refused`) the newest was refused.
    void Done(bool refused = false) {
        std::lock_guard<std::mutex> hold(lock);
        --outstanding;
        if (!queueIds.empty() && refused)
            queueIds.pop_back();
        else if (!queueIds.empty())
            queueIds.pop_front();
        Console::Get().SetLineTag(queueIds.empty() ? "" : queueIds.front() + ": ");
        idle.notify_all();
    }

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
                if (p->targetPath != nullptr && r.movedPaths.size() < REPORT_RULES_MAX) {
                    r.movedNames.emplace_back(p->name != nullptr && *p->name != '\0' ? p->name
                                                                                     : "part");
                    r.movedPaths.emplace_back(p->targetPath);
                }
            }
            for (const Rule* rule = report->ruleChain;
                 rule != nullptr && r.ruleNames.size() < REPORT_RULES_MAX;
                 rule = rule->report_next) {
                const char* name = rule->name != nullptr   ? rule->name
                                   : rule->is_default != 0 ? "default"
                                                           : rule->text;
                r.ruleNames.emplace_back(name != nullptr ? name : "");
                if (r.ruleNames.back().size() > RULE_NAME_MAX)
                    r.ruleNames.back().resize(RULE_NAME_MAX);
            }
        }
        std::string done = EncodeDone(ticket->id, r);
        if (done.size() > CHECKER_MESSAGE_MAX) {
            // Too long for one datagram: the names go, the verdict stays.
            r.movedNames.clear();
            r.movedPaths.clear();
            r.ruleNames.clear();
            done = EncodeDone(ticket->id, r);
        }
        ticket->channel->Send(done);
    } catch (...) {
        // Memory ran short: the milter sees no answer and times the message out.
    }
    ticket->channel->Done();
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

// One checking process from set-up to its end. The members are destroyed
// in reverse order: the park outlives the service, whose worker calls into
// it to the end, and is stopped before the service (ParkStop).
class CheckerRun {
  public:
    CheckerRun(const CheckerOptions& o, const std::string& exeDir)
        : m_o(o), m_session(exeDir), m_parkStop{m_park} {
        m_channel.fd = o.fd;
    }

    int Run();

  private:
    std::string SetUp();
    std::string LoadSpamList();
    std::string StartDnsList();
    void StartResponder();
    std::string StartPark();
    void Serve();
    void Reload();
    void Check(const std::vector<std::string>& fields);
    void Drain();
    std::string EngineSignatures() const;

    struct ParkStop {
        std::optional<WorkerPark>& park;
        ~ParkStop() {
            if (park)
                park->Stop();
        }
    };

    const CheckerOptions& m_o;
    Channel m_channel;
    std::shared_ptr<SpamList> m_spamList = std::make_shared<SpamList>();
    std::unique_ptr<DnsBlockList> m_dnsList;  // asked by the responder's thread
    std::unique_ptr<SpamListResponder> m_responder;
    std::optional<WorkerPark> m_park;
    std::string m_parkFolder;  // "" while there is no park
    HostSession m_session;
    ParkStop m_parkStop;
    MilterSettings m_settings;
    int m_flags = ALL_JOB_FLAGS;
    SpamListCheck m_listCheck = nullptr;
    uintptr_t m_listUser = 0;
};

// The library, its configuration and rules, the settings, the spam list,
// the DNS lists, the service and the engine; "" when all started, else the
// reason.
std::string CheckerRun::SetUp() {
    m_session.InstallLog(m_o.common.verbosity);
    std::vector<std::string> settingErrors;
    if (!m_session.Configure(m_o.common) || !m_session.LoadLibrary(m_o.common) ||
        !m_session.LoadRules(m_o.common))
        return "set-up failed (see the lines above)";
    if (!ReadMilterSettings(ConfigValue, m_settings, settingErrors))
        return settingErrors.front();
    if (std::string failure = LoadSpamList(); !failure.empty())
        return failure;
    if (std::string failure = StartDnsList(); !failure.empty())
        return failure;
    if (!m_session.StartService(true))
        return "the service did not start";
    if (m_settings.engine && m_session.Api().MAILWARD_activate_av(AV_MODE_REMOVE, nullptr) != 0)
        return "the virus engine did not start (Milter.Engine = off checks without it)";
    return "";
}

std::string CheckerRun::LoadSpamList() {
    if (m_o.spamListFile.empty())
        return "";
    std::vector<std::string> errors;
    if (m_spamList->Load(m_o.spamListFile, errors))
        return "";
    return errors.empty() ? m_o.spamListFile + ": refused" : errors.front();
}

std::string CheckerRun::StartDnsList() {
    if (m_settings.dnsZones.empty())
        return "";
    m_dnsList = std::make_unique<DnsBlockList>();
    std::string error;
    if (!m_dnsList->Configure(
            {m_settings.dnsZones, m_settings.dnsServer, m_settings.dnsTimeoutSeconds}, error))
        return "Milter.DnsList: " + error;
    return "";
}

// The spam-list answers, from the file and the DNS lists, when there is
// either.
void CheckerRun::StartResponder() {
    if (m_o.spamListFile.empty() && !m_dnsList)
        return;
    m_responder = std::make_unique<SpamListResponder>(m_session.Api(), m_spamList);
    if (m_dnsList) {
        m_responder->SetExtraLookup([this](const std::string& sender, std::uint32_t& value) {
            return m_dnsList->Lookup(sender, value);
        });
    }
    m_responder->Start();
    m_listCheck = &SpamListResponder::ListCheck;
    m_listUser = reinterpret_cast<uintptr_t>(m_responder.get());
}

// The worker park when the settings want it, its mail in a folder of this
// process's own (the checking processes share TempDir); the note of the
// "H" answer.
std::string CheckerRun::StartPark() {
    if (!m_settings.workerPark)
        return "ready";
    m_parkFolder = m_session.Config().tempDir + "/park-" + std::to_string(::getpid());
    std::error_code ec;
    std::filesystem::create_directories(m_parkFolder, ec);
    m_park.emplace(m_session.Api().MAILWARD_check_mail, m_parkFolder, m_settings.ruleSet);
    std::string error;
    if (m_park->Start(error))
        return "ready";
    // Messages are checked all the same, each after the worker's next look
    // at its queue.
    m_park.reset();
    return "ready; worker park not started: " + error;
}

// The spam list is read first and put in place only when the rules took
// too: a bad file of either keeps both as they were.
void CheckerRun::Reload() {
    std::string errors;
    auto newList = std::make_shared<SpamList>();
    std::vector<std::string> listErrors;
    const bool listFile = m_responder && !m_o.spamListFile.empty();
    if (listFile && !newList->Load(m_o.spamListFile, listErrors)) {
        for (const std::string& e : listErrors)
            errors += (errors.empty() ? "" : " | ") + e;
        if (errors.empty())
            errors = m_o.spamListFile + ": refused";
    }
    if (errors.empty())
        errors = ReloadRules(m_session, m_o.common);
    if (errors.empty() && listFile)
        m_responder->Replace(std::move(newList));
    m_channel.Send(std::string("L\t") +
                   (errors.empty() ? "1\treloaded" : "0\t" + FieldText(errors)));
}

// Queues one request with the library; a refusal is answered at once.
void CheckerRun::Check(const std::vector<std::string>& fields) {
    CheckRequest request;
    if (!DecodeRequest(fields, request))
        return;
    auto ticket = std::make_unique<Ticket>(Ticket{&m_channel, request.id});
    m_channel.Queued(request.queueId);
    const MailwardApi& api = m_session.Api();
    const int rc = api.MAILWARD_check_mail(
        request.ruleSet.c_str(),
        request.headerRuleSet.empty() ? nullptr : request.headerRuleSet.c_str(),
        request.source.c_str(), request.target.c_str(), m_flags, m_listCheck, m_listUser, &OnReport,
        reinterpret_cast<uintptr_t>(ticket.get()));
    if (rc == 0) {
        ticket.release();  // the callback owns it now
        if (m_park)
            m_park->Release();
        return;
    }
    m_channel.Done(true);
    CheckResult refused;
    refused.kind = CheckResult::Kind::Refused;
    m_channel.Send(EncodeDone(request.id, refused));
}

// Reads requests until the milter closes the socket.
void CheckerRun::Serve() {
    char buf[CHECKER_MESSAGE_MAX];
    for (;;) {
        const ssize_t n = ::recv(m_o.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        const std::vector<std::string> fields =
            SplitFields(std::string_view(buf, static_cast<std::size_t>(n)));
        if (fields[0] == "L")
            Reload();
        else
            Check(fields);
    }
}

// Waits for the reports of every queued message, then stops.
void CheckerRun::Drain() {
    {
        std::unique_lock<std::mutex> hold(m_channel.lock);
        m_channel.idle.wait(hold, [&] { return m_channel.outstanding == 0; });
    }
    if (m_park)
        m_park->Stop();
    m_session.StopService();
    if (m_responder)
        m_responder->Stop();
    m_park.reset();
    if (!m_parkFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_parkFolder, ec);
    }
}

// The engine's signature count for the "H" answer; "" when it tells none.
std::string CheckerRun::EngineSignatures() const {
    const MailwardApi& api = m_session.Api();
    if (!m_settings.engine || api.AV_GetEngineVersion == nullptr)
        return "";
    const char* text = api.AV_GetEngineVersion(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const long long count = text != nullptr ? SignatureCount(text) : -1;
    return count < 0 ? "" : std::to_string(count);
}

int CheckerRun::Run() {
    if (const std::string failure = SetUp(); !failure.empty()) {
        m_channel.Send("H\t0\t" + FieldText(failure));
        return EXIT_ERRORS;
    }
    StartResponder();
    const std::string readyNote = StartPark();
    m_channel.api = &m_session.Api();
    m_flags = m_settings.engine ? ALL_JOB_FLAGS : ALL_JOB_FLAGS & ~JOB_AV_CHECK;
    m_channel.Send("H\t1\t" + FieldText(readyNote) + "\t" + EngineSignatures());
    Serve();
    Drain();
    return EXIT_CLEAN;
}

}  // namespace

int RunChecker(const CheckerOptions& o, const std::string& exeDir) {
    // Ctrl-C and a hang-up reach the whole process group; the milter stops
    // the checking processes itself, after the messages in work.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    CheckerRun run(o, exeDir);
    return run.Run();
}
