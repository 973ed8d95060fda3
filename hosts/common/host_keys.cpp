/*
 * host_keys.cpp - the programs' key table and the check of a configuration
 * against it (see host_keys.h).
 */
#include "common/host_keys.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/placeholders.h"
#include "common/text.h"
#include "miralib/miralib.h"

namespace {

constexpr unsigned long long NO_LIMIT = 0;
// Room for the host library's "<path>:<line>: <reason>".
constexpr std::size_t CHECK_ERROR_MAX = 1024;

// The limits the milter's reader applies (milter_policy.h); its tests
// compare them with the reader.
constexpr unsigned long long SOCKET_MODE_MAX = 07777;
constexpr unsigned long long PROCESSES_MAX = 256;
constexpr unsigned long long MAX_SIZE_MAX = 2ULL * 1024 * 1024 * 1024;
constexpr unsigned long long IN_FLIGHT_MAX = 100000;
constexpr unsigned long long TIMEOUT_MAX = 24 * 3600;
constexpr unsigned long long DNS_TIMEOUT_MAX = 60;
constexpr unsigned long long HOOK_TIMEOUT_MAX = 3600;
constexpr unsigned long long CHILDREN_MAX = 256;

#define MILTER "mailward-milter"
#define AT_START "the milter, at its start"
#define AT_RELOAD "the milter, at its start and at each reload (SIGHUP)"
#define AT_CHECKER "each checking process, when it starts"
#define VIRUS_WORDS "deliver|reject|discard|quarantine"
#define UNJUDGED_WORDS "reject|quarantine|tempfail|accept"
#define SWITCH_WORDS "on|off|1|0"

const std::vector<HostKey> TABLE = {
    {"HostText.N", "both", HostKeyKind::Text, "the English text of the library", nullptr, NO_LIMIT,
     NO_LIMIT, nullptr, "the program, at its start",
     "Replaces host text N of the library (N one of 63, 65, 67, 68, 69, 70: the notice's file "
     "name, the notices of moved, removed and infected parts, the scan file's name, the suffix "
     "of an infected part's name)."},
    {"Quarantine.Dir", "both", HostKeyKind::Text, "<DataDir>/quarantine", nullptr, NO_LIMIT,
     NO_LIMIT, nullptr, "the program, at its start",
     "The quarantine: one entry per held mail, kept as it arrived, with its index record "
     "(mailward quarantine lists, shows, releases and deletes them). A relative folder is taken "
     "below DataDir."},
    {"Quarantine.Sendmail", "mailward", HostKeyKind::Text, "/usr/sbin/sendmail",
     "/usr/sbin/sendmail", NO_LIMIT, NO_LIMIT, nullptr, "mailward quarantine release",
     "The MTA's sendmail program a released mail is handed to, as \"PROGRAM -i -f SENDER -- "
     "RECIPIENT...\" with the mail on its input (a path, no arguments)."},
    {"Quarantine.Check", "mailward", HostKeyKind::Choice, "off", "off", NO_LIMIT, NO_LIMIT,
     "on|off", "mailward check",
     "on: mailward check keeps the original of every mail that is not clean in the quarantine "
     "before the mail is rewritten (as --quarantine does)."},
    {"Milter.Socket", MILTER, HostKeyKind::Text, "unix:<state folder>/mailward-milter.sock",
     nullptr, NO_LIMIT, NO_LIMIT, nullptr, AT_START,
     "Where the MTA connects: unix:/path or inet:PORT@127.0.0.1. --socket wins."},
    {"Milter.SocketMode", MILTER, HostKeyKind::Octal, "0660", "0660", 0, SOCKET_MODE_MAX, nullptr,
     AT_START, "Octal mode of a unix socket."},
    {"Milter.SocketGroup", MILTER, HostKeyKind::Text, "none", nullptr, NO_LIMIT, NO_LIMIT, nullptr,
     AT_START,
     "Group the unix socket is given to (postfix, so that Postfix's smtpd may connect); the "
     "milter's user must be a member of it."},
    {"Milter.StateDir", MILTER, HostKeyKind::Text, "<DataDir>/milter", nullptr, NO_LIMIT, NO_LIMIT,
     nullptr, AT_START,
     "The milter's folder: spool/ (one private file per message in work) and the checking "
     "processes' folders."},
    {"Milter.Processes", MILTER, HostKeyKind::Integer, "one per core", nullptr, 1, PROCESSES_MAX,
     nullptr, AT_START,
     "Checking processes, each with its own library instance. --processes wins."},
    {"Milter.MaxSize", MILTER, HostKeyKind::Bytes, "52428800 (50 MiB)", "52428800", 1, MAX_SIZE_MAX,
     nullptr, AT_RELOAD,
     "A bigger message is not checked: Milter.OnTooBig says what becomes of it."},
    {"Milter.MaxInFlight", MILTER, HostKeyKind::Integer, "64", "64", 1, IN_FLIGHT_MAX, nullptr,
     AT_RELOAD, "Messages checked at once; one more is tempfailed (451)."},
    {"Milter.Timeout", MILTER, HostKeyKind::Integer, "120", "120", 1, TIMEOUT_MAX, nullptr,
     AT_RELOAD,
     "Seconds one check may take; a longer one is answered as a scan error and its checking "
     "process replaced."},
    {"Milter.Engine", MILTER, HostKeyKind::Choice, "on", "on", NO_LIMIT, NO_LIMIT, SWITCH_WORDS,
     AT_START, "on: every message is scanned by the virus engine; off: rules and lists only."},
    {"Milter.WorkerPark", MILTER, HostKeyKind::Choice, "on", "on", NO_LIMIT, NO_LIMIT, SWITCH_WORDS,
     AT_CHECKER,
     "on: each checking process keeps its library worker waiting for the next message, which "
     "then starts at once instead of at the worker's next look at its queue (every 100 ms)."},
    {"Milter.WatchSignatures", MILTER, HostKeyKind::Choice, "on", "on", NO_LIMIT, NO_LIMIT,
     SWITCH_WORDS, AT_START,
     "on: a file written, moved in or removed in SignatureDir or SystemSignatureDir loads a new "
     "engine beside the running one (the local engine only; SIGHUP loads one in any case)."},
    {"Milter.Backups", MILTER, HostKeyKind::Choice, "off", "off", NO_LIMIT, NO_LIMIT, "on|off",
     AT_START,
     "on: the library's BackupMode and FlushMails apply to the spooled messages; off: no "
     "backup and no flush of each of them (the MTA holds the mail until the milter answers)."},
    {"Milter.RuleSet", MILTER, HostKeyKind::Text, "default", "default", NO_LIMIT, NO_LIMIT, nullptr,
     AT_RELOAD, "Rule set of the rules file for parts and keywords."},
    {"Milter.HeaderRuleSet", MILTER, HostKeyKind::Text, "header", "header", NO_LIMIT, NO_LIMIT,
     nullptr, AT_RELOAD, "Rule set for the header check; \"\" for none."},
    {"Milter.RuleSetFrom.ADDRESS|DOMAIN", MILTER, HostKeyKind::Text, "none", nullptr, NO_LIMIT,
     NO_LIMIT, nullptr, "each message, by its envelope sender",
     "Rule set for mail from that envelope sender (an address, or any address of the domain). "
     "The envelope sender is whatever the client claims: give no sender a set more lenient "
     "than its recipients' own."},
    {"Milter.RuleSetFor.DOMAIN", MILTER, HostKeyKind::Text, "none", nullptr, NO_LIMIT, NO_LIMIT,
     nullptr, "each message, by its first accepted recipient",
     "Rule set for mail to that recipient domain. One rule set checks a message: a recipient "
     "whose set differs from the first one's gets 451 4.7.1 and is sent again on its own."},
    {"Milter.OnVirus", MILTER, HostKeyKind::Choice, "deliver", "deliver", NO_LIMIT, NO_LIMIT,
     VIRUS_WORDS, AT_RELOAD,
     "A virus: deliver the rewritten mail with its notice, reject (550 5.7.1), discard, or "
     "quarantine."},
    {"Milter.OnFiltered", MILTER, HostKeyKind::Choice, "deliver", "deliver", NO_LIMIT, NO_LIMIT,
     VIRUS_WORDS, AT_RELOAD,
     "Attachments removed or moved, a rule or the spam list hit: deliver the rewritten mail, "
     "reject, discard, or quarantine."},
    {"Milter.OnParseError", MILTER, HostKeyKind::Choice, "reject", "reject", NO_LIMIT, NO_LIMIT,
     UNJUDGED_WORDS, AT_RELOAD,
     "The library cannot parse the mail: reject (550 5.6.0), quarantine (as received), "
     "tempfail, or accept (delivered as received, tagged)."},
    {"Milter.OnDisagreement", MILTER, HostKeyKind::Choice, "reject", "reject", NO_LIMIT, NO_LIMIT,
     UNJUDGED_WORDS, AT_RELOAD,
     "Mail readers may see an attachment the check did not (ST_MIME_DISAGREEMENT): reject "
     "(550 5.6.0), quarantine, tempfail, or accept (as the library wrote it, tagged)."},
    {"Milter.OnScanError", MILTER, HostKeyKind::Choice, "tempfail", "tempfail", NO_LIMIT, NO_LIMIT,
     "tempfail|accept", AT_RELOAD,
     "The engine failed or timed out (it wins over a parse failure): tempfail (451 4.3.0) or "
     "accept (as received, tagged)."},
    {"Milter.OnLimit", MILTER, HostKeyKind::Choice, "reject", "reject", NO_LIMIT, NO_LIMIT,
     "reject|quarantine|accept", AT_RELOAD,
     "The engine stopped at one of its limits, as it would at every try, so it is never "
     "tempfailed: reject (550 5.7.0, with a text that says why), quarantine (held as received), "
     "or accept (as received, tagged)."},
    {"Milter.OnTooBig", MILTER, HostKeyKind::Choice, "reject", "reject", NO_LIMIT, NO_LIMIT,
     "reject|tempfail|accept", AT_RELOAD,
     "Over Milter.MaxSize: reject (552 5.3.4), tempfail, or accept (as received, tagged)."},
    {"Milter.VerdictField", MILTER, HostKeyKind::Text, "X-Mailward-Verdict", "X-Mailward-Verdict",
     NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD,
     "Name of the verdict field every delivered mail gets; a sender's own field of that name "
     "(and any X-Mailward-Verdict) is removed first."},
    {"Milter.MetricsAddress", MILTER, HostKeyKind::Text, "none", nullptr, NO_LIMIT, NO_LIMIT,
     nullptr, AT_START,
     "HOST:PORT on a loopback address (127.0.0.1:9358, localhost:9358): the milter serves its "
     "metrics in the Prometheus text format at http://HOST:PORT/metrics (messages by verdict "
     "and action, check time, messages in flight, checking processes, the engine's signatures "
     "and age, reloads, readiness). None: no endpoint."},
    {"Milter.Mode", MILTER, HostKeyKind::Choice, "enforce", "enforce", NO_LIMIT, NO_LIMIT,
     "enforce|monitor", AT_RELOAD,
     "monitor: a trial beside the site's own filter. Every mail is checked, its verdict logged "
     "(action=accept (monitor: would reject)), counted and put in the verdict field, and the "
     "mail delivered as received; a check that failed (timeout, a checking process that died, "
     "busy) is delivered as received too: the one setting that lets unchecked mail through."},
    {"Milter.ReplyVirus", MILTER, HostKeyKind::Reply, "message refused: virus NAME found", nullptr,
     NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD,
     "SMTP reply text of a rejected virus (after 550 5.7.1). Placeholders %{virus}, %{rules}, "
     "%{queueid}, %{verdict}; %% for a percent sign. Sent as printable ASCII, at most 400 "
     "bytes."},
    {"Milter.ReplyFiltered", MILTER, HostKeyKind::Reply, "message refused: filtered (REASONS)",
     nullptr, NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD,
     "Reply text of a rejected filtered mail (rules, spam list, attachments), as ReplyVirus."},
    {"Milter.ReplyParseError", MILTER, HostKeyKind::Reply,
     "message refused: its MIME structure cannot be parsed", nullptr, NO_LIMIT, NO_LIMIT, nullptr,
     AT_RELOAD, "Reply text of a mail the library cannot parse (reject or tempfail)."},
    {"Milter.ReplyDisagreement", MILTER, HostKeyKind::Reply,
     "message refused: mail readers would read its attachments differently from the filter",
     nullptr, NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD,
     "Reply text of a MIME disagreement (reject or tempfail)."},
    {"Milter.ReplyLimit", MILTER, HostKeyKind::Reply,
     "message refused: the virus scanner stopped at one of its limits ...", nullptr, NO_LIMIT,
     NO_LIMIT, nullptr, AT_RELOAD, "Reply text of a mail the engine stopped at a limit."},
    {"Milter.ReplyTooBig", MILTER, HostKeyKind::Reply, "message refused: too big to be checked",
     nullptr, NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD,
     "Reply text of a mail over Milter.MaxSize (reject or tempfail)."},
    {"Milter.ReplyTempfail", MILTER, HostKeyKind::Reply, "the cause's own (mail filter busy, ...)",
     nullptr, NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD,
     "Reply text of a check that failed (451: busy, timed out, a checking process that died, "
     "scan failed)."},
    {"Milter.NoticeTo", MILTER, HostKeyKind::Text, "none", nullptr, NO_LIMIT, NO_LIMIT, nullptr,
     AT_RELOAD,
     "Address told by mail, through Milter.Sendmail, of every rejected, discarded or "
     "quarantined message (in monitor mode: every one that would have been)."},
    {"Milter.NoticeTemplate", MILTER, HostKeyKind::Text, "<TemplateDir>/admin-notice.txt", nullptr,
     NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD,
     "The notice: header lines, an empty line, the body; placeholders %{virus} %{rules} "
     "%{queueid} %{verdict} %{action} %{outcome} %{sender} %{recipients} %{subject} "
     "%{messageid} %{size} %{time}. Read and checked at start and reload when NoticeTo is set."},
    {"Milter.Sendmail", MILTER, HostKeyKind::Text, "/usr/sbin/sendmail", "/usr/sbin/sendmail",
     NO_LIMIT, NO_LIMIT, nullptr, AT_RELOAD, "The MTA's sendmail program, an absolute path."},
    {"Milter.Hook", MILTER, HostKeyKind::Text, "none", nullptr, NO_LIMIT, NO_LIMIT, nullptr,
     AT_RELOAD,
     "PROGRAM [ARG]... (absolute path, blanks between, no shell) run for every message whose "
     "verdict is not clean, with MAILWARD_OUTCOME, MAILWARD_QUEUE_ID, MAILWARD_SENDER, "
     "MAILWARD_RECIPIENTS, MAILWARD_VERDICT, MAILWARD_ACTION, MAILWARD_VIRUS, MAILWARD_RULES, "
     "MAILWARD_MESSAGE_ID, MAILWARD_SUBJECT, MAILWARD_SIZE (and MAILWARD_MODE, MAILWARD_WOULD) "
     "in its environment."},
    {"Milter.HookTimeout", MILTER, HostKeyKind::Integer, "30", "30", 1, HOOK_TIMEOUT_MAX, nullptr,
     AT_RELOAD, "Seconds a hook or notice may run before it is killed; its end is logged."},
    {"Milter.MaxChildren", MILTER, HostKeyKind::Integer, "8", "8", 1, CHILDREN_MAX, nullptr,
     AT_RELOAD, "Notices and hooks running at once; one more is logged and dropped."},
    {"Milter.DnsList", MILTER, HostKeyKind::Text, "none", nullptr, NO_LIMIT, NO_LIMIT, nullptr,
     AT_CHECKER,
     "DNS block lists of sender domains, asked beside the spam-list file: zones, blank or "
     "comma between; an answer in 127.0.0.0/8 lists the sender."},
    {"Milter.DnsServer", MILTER, HostKeyKind::Text, "the system's resolver", nullptr, NO_LIMIT,
     NO_LIMIT, nullptr, AT_CHECKER, "The lists' name server, IPv4[:PORT]."},
    {"Milter.DnsTimeout", MILTER, HostKeyKind::Integer, "3", "3", 1, DNS_TIMEOUT_MAX, nullptr,
     AT_CHECKER, "Seconds to wait for a list's answer; a list that does not answer lists no one."},
};

#undef MILTER
#undef AT_START
#undef AT_RELOAD
#undef AT_CHECKER
#undef VIRUS_WORDS
#undef UNJUDGED_WORDS
#undef SWITCH_WORDS

// The suffixes a family's placeholder stands for.
constexpr std::string_view FAMILY_TAILS[] = {".ADDRESS|DOMAIN", ".DOMAIN", ".N"};

bool IsDigits(std::string_view s, int base) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (c < '0' || c > (base == 8 ? '7' : '9'))
            return false;
    }
    return true;
}

std::string Unquoted(std::string_view raw) {
    if (raw.empty() || raw.front() != '"')
        return std::string(raw);
    std::string value;
    for (std::size_t i = 1; i < raw.size() && raw[i] != '"'; ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size())
            ++i;
        value.push_back(raw[i]);
    }
    return value;
}

}  // namespace

const std::vector<HostKey>& HostKeyTable() {
    return TABLE;
}

const char* HostKeyKindName(HostKeyKind kind) {
    switch (kind) {
        case HostKeyKind::Integer:
            return "integer";
        case HostKeyKind::Bytes:
            return "bytes";
        case HostKeyKind::Octal:
            return "octal";
        case HostKeyKind::Choice:
            return "choice";
        case HostKeyKind::Reply:
            return "reply text";
        case HostKeyKind::Text:
            break;
    }
    return "text";
}

std::string FamilyPrefix(const HostKey& key) {
    const std::string_view name = key.name;
    for (std::string_view tail : FAMILY_TAILS) {
        if (name.size() > tail.size() && name.substr(name.size() - tail.size()) == tail)
            return std::string(name.substr(0, name.size() - tail.size() + 1));
    }
    return "";
}

const HostKey* FindHostKey(std::string_view key) {
    for (const HostKey& k : TABLE) {
        const std::string prefix = FamilyPrefix(k);
        if (prefix.empty()) {
            if (kit::equals_nocase(key, k.name))
                return &k;
            continue;
        }
        if (key.size() <= prefix.size() ||
            !kit::equals_nocase(key.substr(0, prefix.size()), prefix))
            continue;
        const std::string_view tail = key.substr(prefix.size());
        if (prefix != "HostText.")
            return &k;
        for (int id : HOST_TEXT_IDS) {
            if (tail == std::to_string(id))
                return &k;
        }
    }
    return nullptr;
}

std::string CheckHostValue(const HostKey& key, std::string_view value) {
    switch (key.kind) {
        case HostKeyKind::Text:
            return "";
        case HostKeyKind::Reply:
            return PlaceholderProblem(value, REPLY_PLACEHOLDERS);
        case HostKeyKind::Choice: {
            std::string_view words = key.choices;
            for (std::size_t start = 0; start <= words.size();) {
                const std::size_t bar = std::min(words.find('|', start), words.size());
                if (kit::equals_nocase(value, words.substr(start, bar - start)))
                    return "";
                start = bar + 1;
            }
            std::string list(words);
            for (char& c : list)
                if (c == '|')
                    c = ' ';
            return "use one of: " + list;
        }
        case HostKeyKind::Integer:
        case HostKeyKind::Bytes:
        case HostKeyKind::Octal:
            break;
    }
    const int base = key.kind == HostKeyKind::Octal ? 8 : 10;
    const std::string text(value);
    errno = 0;
    const unsigned long long n =
        IsDigits(text, base) ? std::strtoull(text.c_str(), nullptr, base) : 0;
    if (!IsDigits(text, base) || errno == ERANGE || n < key.min || n > key.max) {
        std::ostringstream range;
        if (base == 8)
            range << std::oct << "0" << key.min << " to 0" << key.max;
        else
            range << key.min << " to " << key.max;
        return std::string(base == 8 ? "an octal number from " : "a whole number from ") +
               range.str();
    }
    return "";
}

std::string SuggestKey(std::string_view key) {
    std::vector<std::string> names;
    miraconf_keyinfo info{};
    for (std::size_t i = 0; miraconf_key_info(i, &info) == 1; ++i)
        names.emplace_back(info.name);
    for (const HostKey& k : TABLE) {
        if (FamilyPrefix(k).empty())
            names.emplace_back(k.name);
    }
    std::string best = kit::closest_name(key, names);
    std::size_t bestDistance =
        best.empty() ? std::string::npos : kit::edit_distance_nocase(key, best);
    // A family is compared by its prefix, with as many letters of the key.
    for (const HostKey& k : TABLE) {
        const std::string prefix = FamilyPrefix(k);
        if (prefix.empty() || key.size() <= prefix.size())
            continue;
        // The key up to as many dots as the prefix has.
        std::size_t end = 0;
        for (char c : prefix) {
            if (c == '.')
                end = std::min(key.find('.', end) + 1, key.size());
        }
        const std::string_view head = key.substr(0, end);
        // A family named right with a member it lacks (HostText.99) is
        // no typo of the family.
        const std::size_t d = kit::edit_distance_nocase(head, prefix);
        if (d > 0 && d <= std::max<std::size_t>(1, prefix.size() / kit::TYPO_SHARE) &&
            d < bestDistance) {
            best = k.name;
            bestDistance = d;
        }
    }
    return best.empty() ? std::string() : " (did you mean '" + best + "'?)";
}

std::vector<ConfigEntry> ReadConfigEntries(std::string_view text, const std::string& name) {
    std::vector<ConfigEntry> entries;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    int number = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        ++number;
        const std::size_t nl = std::min(text.find('\n', pos), text.size());
        const std::string_view line = kit::trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        entries.push_back({std::string(kit::trim(line.substr(0, eq))),
                           Unquoted(kit::trim(line.substr(eq + 1))),
                           name + ":" + std::to_string(number)});
    }
    return entries;
}

std::vector<ConfigEntry> FileEntries(const std::string& file) {
    if (file.empty())
        return {};
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return ReadConfigEntries(text.str(), file);
}

std::vector<ConfigEntry> OverrideEntries(const std::vector<std::string>& overrides) {
    std::vector<ConfigEntry> entries;
    for (const std::string& kv : overrides) {
        const std::size_t eq = kv.find('=');
        if (eq == std::string::npos || eq == 0)
            entries.push_back({"", kv, "-O"});
        else
            entries.push_back({std::string(kit::trim(kv.substr(0, eq))),
                               std::string(kit::trim(kv.substr(eq + 1))), "-O"});
    }
    return entries;
}

std::vector<std::string> CheckHostEntries(const std::vector<ConfigEntry>& entries) {
    std::vector<std::string> errors;
    for (const ConfigEntry& e : entries) {
        if (e.key.empty()) {
            errors.push_back(e.origin + " needs KEY=VALUE, got '" + e.value + "'");
            continue;
        }
        if (e.key.find('.') == std::string::npos) {
            // The library's own: its loader and miraconf_set check them;
            // here only whether the table knows the name.
            bool known = false;
            miraconf_keyinfo info{};
            for (std::size_t i = 0; miraconf_key_info(i, &info) == 1; ++i)
                known |= kit::equals_nocase(e.key, info.name);
            if (!known)
                errors.push_back(e.origin + ": unknown key '" + e.key + "'" + SuggestKey(e.key));
            continue;
        }
        const HostKey* key = FindHostKey(e.key);
        if (key == nullptr) {
            errors.push_back(e.origin + ": unknown key '" + e.key + "'" + SuggestKey(e.key));
            continue;
        }
        // An empty value leaves the default, as the readers take it.
        if (e.value.empty())
            continue;
        if (const std::string why = CheckHostValue(*key, e.value); !why.empty())
            errors.push_back(e.origin + ": " + e.key + " = '" + e.value + "': " + why);
    }
    return errors;
}

bool CheckConfiguration(const std::string& file, const std::vector<std::string>& overrides,
                        std::vector<ConfigEntry>& entries, std::vector<std::string>& errors) {
    const std::size_t before = errors.size();
    entries = FileEntries(file);
    const std::vector<ConfigEntry> given = OverrideEntries(overrides);
    entries.insert(entries.end(), given.begin(), given.end());
    const std::vector<std::string> problems = CheckHostEntries(entries);
    errors.insert(errors.end(), problems.begin(), problems.end());
    if (errors.size() != before || file.empty())
        return errors.size() == before;
    char why[CHECK_ERROR_MAX] = "";
    if (miraconf_check_file(file.c_str(), why, sizeof why) != 0) {
        errors.push_back(*why != '\0' ? why : file + ": cannot be read");
        return false;
    }
    return true;
}
