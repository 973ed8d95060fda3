/*
 * milter_policy.h - the milter's settings and what it does with each
 * outcome of a check.
 *
 * SETTINGS are configuration keys beside the library's own, in the same
 * configuration file (or -O KEY=VALUE); letter case of keys is ignored:
 *
 *   Milter.Socket        unix:/path or inet:PORT@127.0.0.1 (command line wins)
 *   Milter.SocketMode    octal mode of a unix socket (default 0660)
 *   Milter.SocketGroup   group the unix socket is given to (default: none)
 *   Milter.StateDir      spool and per-process folders (default <DataDir>/milter)
 *   Milter.Processes     checking processes (default: one per core)
 *   Milter.MaxSize       bytes; a bigger message is not checked (default 50 MiB)
 *   Milter.MaxInFlight   messages checked at once (default 64)
 *   Milter.Timeout       seconds a check may take (default 120)
 *   Milter.Engine        on | off: the virus engine (default on)
 *   Milter.WorkerPark    on | off: keep each checking process's library
 *                        worker waiting for the next message instead of
 *                        looking at its queue every 100 ms (default on;
 *                        worker_park.h)
 *   Milter.WatchSignatures on | off: load a new engine when a file in the
 *                        signature folders changes (default on;
 *                        signature_watch.h); SIGHUP loads one in any case
 *   Milter.RuleSet       rule set for parts and keywords (default "default")
 *   Milter.HeaderRuleSet rule set for the header check (default "header";
 *                        empty for none)
 *   Milter.RuleSetFrom.ADDRESS, Milter.RuleSetFrom.DOMAIN
 *                        rule set for mail from that envelope sender (an
 *                        address, or any address of the domain). The
 *                        envelope sender is whatever the sending client
 *                        claims: anyone who names that sender gets these
 *                        rules, so give it no set more lenient than the
 *                        recipients' own.
 *   Milter.RuleSetFor.DOMAIN
 *                        rule set for mail to that recipient domain
 *                        Order: sender address, sender domain, recipient
 *                        domain, then Milter.RuleSet. A set the rules file
 *                        lacks makes the library refuse the job (tempfail).
 *                        ONE RULE SET PER TRANSACTION: a message is
 *                        delivered in one form only, so the first accepted
 *                        recipient's set holds for the message, and a
 *                        recipient whose set differs is answered 451 4.7.1;
 *                        the sending server delivers it again in a
 *                        transaction of its own.
 *   Milter.OnVirus       deliver (the rewritten mail with its notice;
 *                        default) | reject | discard | quarantine
 *   Milter.OnFiltered    deliver (default) | reject | discard | quarantine:
 *                        attachments moved or removed, rules or spam list hit
 *   Milter.OnParseError  reject (550 5.6.0; default) | quarantine |
 *                        tempfail | accept (delivered as received, tagged):
 *                        a mail the library cannot parse (ERR_LOAD)
 *   Milter.OnDisagreement reject (550 5.6.0; default) | quarantine |
 *                        tempfail | accept (delivered as the library wrote
 *                        it, tagged): mail readers may show an attachment
 *                        the check did not see (ST_MIME_DISAGREEMENT)
 *   Milter.OnScanError   tempfail (default) | accept: engine failed or timed
 *                        out; it wins over a parse failure
 *   Milter.OnLimit       reject (550 5.7.0 with a text that says why;
 *                        default) | quarantine | accept
 *                        (delivered as received, tagged): the engine stopped
 *                        at one of its limits (ST_ENGINE_LIMIT), which it
 *                        would do again at every try, so it is never
 *                        tempfailed
 *   Milter.OnTooBig      reject (552 5.3.4; default) | tempfail | accept
 *                        (delivered as received, tagged): over Milter.MaxSize
 *   Milter.VerdictField  name of the verdict field (default X-Mailward-Verdict)
 *   Milter.DnsList       DNS block lists of sender domains asked beside the
 *                        spam-list file (zones, blank or comma between;
 *                        default none; dns_list.h)
 *   Milter.DnsServer     the lists' name server, IPv4[:PORT] (default: the
 *                        system's resolver)
 *   Milter.DnsTimeout    seconds to wait for a list's answer (default 3)
 *                        The three are read when a checking process starts.
 *   Milter.Backups       on: the library's BackupMode and FlushMails apply;
 *                        otherwise the checking processes keep no backup and
 *                        flush no spool file (the MTA holds the mail anyway)
 *   Milter.Mode          enforce (default) | monitor: a trial beside the
 *                        site's own filter. Every mail is checked and its
 *                        verdict logged ("action=accept (monitor: would
 *                        reject)"), counted and put in the verdict field,
 *                        and the mail is delivered as received: no rewrite,
 *                        no reject, no hold. A check that failed (timeout,
 *                        a checking process that died, busy) is delivered
 *                        as received too: the one setting that lets
 *                        unchecked mail through, on the operator's choice
 *   Milter.ReplyVirus, Milter.ReplyFiltered, Milter.ReplyParseError,
 *   Milter.ReplyDisagreement, Milter.ReplyLimit, Milter.ReplyTooBig,
 *   Milter.ReplyTempfail (a check that failed)
 *                        the SMTP reply text of that outcome's reject or
 *                        tempfail, after the codes; %{virus} %{rules}
 *                        %{queueid} %{verdict}, %% for '%'; an unknown
 *                        placeholder is refused. Sent as printable ASCII,
 *                        cut to 400 bytes (outcome.h). Default: the
 *                        program's own texts
 *   Milter.NoticeTo      address told by mail of every rejected, discarded
 *                        or quarantined message (default none); in monitor
 *                        mode of every one that would have been
 *   Milter.NoticeTemplate the notice (default <TemplateDir>/admin-notice.txt;
 *                        admin_notice.h)
 *   Milter.Sendmail      the sendmail program notices go through (default
 *                        /usr/sbin/sendmail)
 *   Milter.Hook          PROGRAM [ARG]...: run for every message whose
 *                        verdict is not clean, facts in its environment,
 *                        no shell (outcome_tell.h)
 *   Milter.HookTimeout   seconds a notice or hook may run (default 30)
 *   Milter.MaxChildren   notices and hooks at once (default 8); one more is
 *                        logged and dropped. Neither ever delays the answer
 *                        to the MTA by more than starting the process
 *   Milter.MetricsAddress HOST:PORT on a loopback address: the Prometheus
 *                        endpoint http://HOST:PORT/metrics (default none;
 *                        milter_metrics.h)
 *
 * QUARANTINE: the mail as received goes into the quarantine store
 * (quarantine_store.h, Quarantine.Dir) and the MTA discards its copy;
 * "mailward quarantine release" gives it back through the MTA's sendmail.
 *
 * A mail that was not judged whole is never delivered as it came unless
 * the operator sets "accept" for its outcome; an accepted one carries the
 * verdict "unchecked (WHY)".
 *
 * The library down, refusing a job, a checking process that died, or too
 * many messages in flight always tempfail: the MTA keeps the mail and the
 * client tries again.
 *
 * VERDICT: every delivered mail gets one field with the verdict: "clean",
 * "virus NAME", "filtered (REASONS)" or "unchecked (WHY)". Every field of
 * that name the mail came with (and every X-Mailward-Verdict field, when
 * another name is configured) is removed first.
 */
#ifndef MAILWARD_TOOLS_MILTER_MILTER_POLICY_H
#define MAILWARD_TOOLS_MILTER_MILTER_POLICY_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dns_list.h"
#include "outcome_settings.h"

constexpr unsigned DEFAULT_SOCKET_MODE = 0660;
constexpr std::uint64_t DEFAULT_MAX_SIZE = 50ULL * 1024 * 1024;
constexpr std::uint64_t MAX_SIZE_LIMIT = 2ULL * 1024 * 1024 * 1024;
constexpr int DEFAULT_MAX_IN_FLIGHT = 64;
constexpr int MAX_IN_FLIGHT_LIMIT = 100000;
constexpr int DEFAULT_TIMEOUT_SECONDS = 120;
constexpr int TIMEOUT_LIMIT_SECONDS = 24 * 3600;
constexpr int MAX_PROCESSES = 256;
constexpr int DNS_TIMEOUT_LIMIT_SECONDS = 60;
// The verdict field's name. A sender's field of this name, or of the one
// configured, is removed from every delivered mail.
constexpr const char* DEFAULT_VERDICT_FIELD = "X-Mailward-Verdict";

enum class OnVirus { Deliver, Reject, Discard, Quarantine };
// What becomes of a mail the check could not judge whole.
enum class OnUnjudged { Reject, Quarantine, Tempfail, Accept };
enum class OnScanError { Tempfail, Accept };
enum class OnLimit { Reject, Quarantine, Accept };
enum class OnTooBig { Reject, Tempfail, Accept };

struct MilterSettings {
    std::string socket;
    unsigned socketMode = DEFAULT_SOCKET_MODE;
    std::string socketGroup;
    std::string stateDir;  // empty: <DataDir>/milter
    int processes = 0;     // 0: one per core
    std::uint64_t maxSize = DEFAULT_MAX_SIZE;
    int maxInFlight = DEFAULT_MAX_IN_FLIGHT;
    int timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
    bool engine = true;
    bool workerPark = true;
    bool watchSignatures = true;
    std::string ruleSet = "default";
    std::string headerRuleSet = "header";
    OnVirus onVirus = OnVirus::Deliver;
    OnVirus onFiltered = OnVirus::Deliver;
    OnUnjudged onParseError = OnUnjudged::Reject;
    OnUnjudged onDisagreement = OnUnjudged::Reject;
    OnScanError onScanError = OnScanError::Tempfail;
    OnLimit onLimit = OnLimit::Reject;
    OnTooBig onTooBig = OnTooBig::Reject;
    std::string verdictField = DEFAULT_VERDICT_FIELD;
    std::vector<std::string> dnsZones;  // empty: no DNS block list
    std::string dnsServer;              // empty: the system's resolver
    int dnsTimeoutSeconds = DNSLIST_DEFAULT_TIMEOUT_SECONDS;
    bool backups = false;        // Milter.Backups
    std::string metricsAddress;  // Milter.MetricsAddress as written; empty: no endpoint
    OutcomeSettings outcomes;    // mode, reply texts, notice, hook

    bool operator==(const MilterSettings&) const = default;
};

// Reads a configuration value ("" when unset).
using ConfigLookup = std::function<std::string(const char* key)>;

// The Milter.* keys of a configuration text (keys lower case), for the
// start and for a reload, which must not touch the library's store while
// checks run. Lines are "KEY = VALUE"; '#' or ';' starts a comment line; a
// value in double quotes keeps its blanks. `overrides` ("KEY=VALUE", the
// -O options) come after the text. False with "NAME:LINE: reason" for
// every line that is not a key line.
using MilterKeys = std::map<std::string, std::string>;
bool ParseMilterKeys(std::string_view text, const std::string& name,
                     const std::vector<std::string>& overrides, MilterKeys& keys,
                     std::vector<std::string>& errors);
// A lookup in `keys` (letter case of the key ignored).
ConfigLookup LookupIn(const MilterKeys& keys);

// Reads every Milter.* key through `lookup`. False with one line per bad
// value in `errors` ("Milter.OnVirus = 'x': use deliver, reject, ...").
bool ReadMilterSettings(const ConfigLookup& lookup, MilterSettings& s,
                        std::vector<std::string>& errors);

// What came back for one message.
struct CheckResult {
    enum class Kind {
        Done,      // the library's report arrived
        Refused,   // the library refused the job
        Died,      // the checking process ended during the check
        TimedOut,  // no report within the timeout
        TooBig,    // over the size limit, not checked
        Busy,      // too many messages in flight, or stopping
    };
    Kind kind = Kind::Done;
    std::int32_t result = 0;
    std::uint32_t errors = 0;
    std::int32_t virusResult = 0;
    std::uint32_t status = 0;
    std::int32_t partActions = 0;        // the parts' action codes OR-ed (PART_REMOVED, ...)
    std::string virusName;               // the first part's that had one
    std::vector<std::string> ruleNames;  // rules that applied, in the report's order
    // Parts a move rule took out: their names and the files they were moved to.
    std::vector<std::string> movedNames;
    std::vector<std::string> movedPaths;
};

enum class MilterAction {
    Deliver,          // deliver the mail as the library wrote it
    AcceptUntouched,  // deliver the mail as received (only the verdict added)
    Tempfail,
    Reject,
    Discard,
    // Into the quarantine store as received, discarded at the MTA. Both
    // keep the original; they differ only in what the check had written.
    Quarantine,           // the library wrote its result
    QuarantineUntouched,  // the mail was not written
};

struct Decision {
    MilterAction action = MilterAction::Deliver;
    std::string verdict;  // value of the verdict field
    std::string rcode;    // SMTP reply of a reject or tempfail: "550", "451"
    std::string xcode;    // enhanced status: "5.7.1"
    std::string text;     // reply text, or the quarantine reason
};

Decision Decide(const MilterSettings& s, const CheckResult& r);
// True when some outcome's policy is quarantine: the original must then be
// held before the check rewrites it.
bool MayQuarantine(const MilterSettings& s);

// The bare address of an envelope argument ("<A@B>" -> "a@b"), lower case.
std::string EnvelopeAddress(const std::string& argument);

// The rule set for mail from `sender` to `recipient` (see
// Milter.RuleSetFrom / RuleSetFor above); both as EnvelopeAddress gives
// them.
std::string ChooseRuleSet(const ConfigLookup& lookup, const std::string& sender,
                          const std::string& recipient, const std::string& fallback);

// The answer to a recipient whose rule set is not the transaction's.
Decision OtherRuleSetReply();

const char* ActionWord(MilterAction a);

#endif
