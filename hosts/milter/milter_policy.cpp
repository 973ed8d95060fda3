/*
 * milter_policy.cpp - reading the Milter.* settings and the decision per
 * outcome.
 */
#include "milter_policy.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "mailward.h"
#include "common/text.h"
#include "milter_metrics.h"

namespace {

template <typename E>
bool Choose(const std::string& key, const std::string& value,
            const std::vector<std::pair<const char*, E>>& words, E& out,
            std::vector<std::string>& errors) {
    if (value.empty())
        return true;
    const std::string v = kit::ascii_lower(value);
    std::string list;
    for (const auto& [word, e] : words) {
        if (v == word) {
            out = e;
            return true;
        }
        list += (list.empty() ? "" : ", ") + std::string(word);
    }
    errors.push_back(key + " = '" + value + "': use " + list);
    return false;
}

bool Number(const std::string& key, const std::string& value, unsigned long long low,
            unsigned long long high, int base, unsigned long long& out,
            std::vector<std::string>& errors) {
    if (value.empty())
        return true;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(value.c_str(), &end, base);
    if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || v < low ||
        v > high) {
        errors.push_back(key + " = '" + value + "': not a number from " + std::to_string(low) +
                         " to " + std::to_string(high));
        return false;
    }
    out = v;
    return true;
}

Decision Tempfail(const std::string& verdict, const char* xcode, const std::string& text) {
    return {MilterAction::Tempfail, verdict, "451", xcode, text};
}

Decision ByVirusPolicy(OnVirus p, const std::string& verdict, const std::string& what) {
    switch (p) {
        case OnVirus::Reject:
            return {MilterAction::Reject, verdict, "550", "5.7.1", "message refused: " + what};
        case OnVirus::Discard:
            return {MilterAction::Discard, verdict, "", "", ""};
        case OnVirus::Quarantine:
            return {MilterAction::Quarantine, verdict, "", "", "mailward: " + what};
        case OnVirus::Deliver:
            break;
    }
    return {MilterAction::Deliver, verdict, "", "", ""};
}

// A mail the check could not judge whole. `written`: the library wrote its
// result (accepting or holding it takes that); otherwise the mail as
// received.
Decision ByUnjudgedPolicy(OnUnjudged p, bool written, const std::string& verdict,
                          const std::string& text) {
    switch (p) {
        case OnUnjudged::Reject:
            return {MilterAction::Reject, verdict, "550", "5.6.0", text};
        case OnUnjudged::Quarantine:
            return {written ? MilterAction::Quarantine : MilterAction::QuarantineUntouched, verdict,
                    "", "", "mailward: " + verdict};
        case OnUnjudged::Tempfail:
            return Tempfail(verdict, "4.6.0", text);
        case OnUnjudged::Accept:
            break;
    }
    return {written ? MilterAction::Deliver : MilterAction::AcceptUntouched, verdict, "", "", ""};
}

// The engine stopped at a limit: trying again would stop there again.
Decision ByLimitPolicy(OnLimit p) {
    const std::string verdict = "unchecked (engine limit)";
    switch (p) {
        case OnLimit::Reject:
            return {MilterAction::Reject, verdict, "550", "5.7.0",
                    "message refused: the virus scanner stopped at one of its limits (an "
                    "archive too large, too deep, too long to scan or encrypted) and cannot "
                    "check it whole"};
        case OnLimit::Quarantine:
            return {MilterAction::QuarantineUntouched, verdict, "", "", "mailward: " + verdict};
        case OnLimit::Accept:
            break;
    }
    return {MilterAction::AcceptUntouched, verdict, "", "", ""};
}

Decision ByTooBigPolicy(OnTooBig p) {
    const std::string verdict = "unchecked (too big)";
    switch (p) {
        case OnTooBig::Reject:
            return {MilterAction::Reject, verdict, "552", "5.3.4",
                    "message refused: too big to be checked"};
        case OnTooBig::Tempfail:
            return Tempfail(verdict, "4.3.4", "message too big to check now");
        case OnTooBig::Accept:
            break;
    }
    return {MilterAction::AcceptUntouched, verdict, "", "", ""};
}

}  // namespace

bool ParseMilterKeys(std::string_view text, const std::string& name,
                     const std::vector<std::string>& overrides, MilterKeys& keys,
                     std::vector<std::string>& errors) {
    const std::size_t before = errors.size();
    auto trim = [](std::string v) {
        v.erase(0, v.find_first_not_of(" \t\r"));
        v.erase(v.find_last_not_of(" \t\r") + 1);
        return v;
    };
    auto take = [&](const std::string& key, std::string value) {
        // "" stays as written: it is how a key is set to nothing.
        if (value.size() > 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        const std::string k = kit::ascii_lower(key);
        if (k.rfind("milter.", 0) == 0)
            keys[k] = value;
    };
    std::size_t pos = 0;
    for (int line = 1; pos < text.size(); ++line) {
        const std::size_t nl = text.find('\n', pos);
        const std::string raw(text.substr(pos, nl == std::string_view::npos ? nl : nl - pos));
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        const std::string l = trim(raw);
        if (l.empty() || l[0] == '#' || l[0] == ';')
            continue;
        const std::size_t eq = l.find('=');
        if (eq == std::string::npos || trim(l.substr(0, eq)).empty()) {
            errors.push_back(name + ":" + std::to_string(line) + ": not a KEY = VALUE line");
            continue;
        }
        take(trim(l.substr(0, eq)), trim(l.substr(eq + 1)));
    }
    for (const std::string& kv : overrides) {
        const std::size_t eq = kv.find('=');
        if (eq != std::string::npos)
            take(trim(kv.substr(0, eq)), trim(kv.substr(eq + 1)));
    }
    return errors.size() == before;
}

ConfigLookup LookupIn(const MilterKeys& keys) {
    return [&keys](const char* key) {
        const auto it = keys.find(kit::ascii_lower(key));
        return it == keys.end() ? std::string() : it->second;
    };
}

bool ReadMilterSettings(const ConfigLookup& lookup, MilterSettings& s,
                        std::vector<std::string>& errors) {
    const std::size_t before = errors.size();
    auto get = [&](const char* key) { return lookup(key); };
    if (std::string v = get("Milter.Socket"); !v.empty())
        s.socket = v;
    unsigned long long n = s.socketMode;
    if (Number("Milter.SocketMode", get("Milter.SocketMode"), 0, 07777, 8, n, errors))
        s.socketMode = static_cast<unsigned>(n);
    if (std::string v = get("Milter.SocketGroup"); !v.empty())
        s.socketGroup = v;
    if (std::string v = get("Milter.StateDir"); !v.empty())
        s.stateDir = v;
    n = static_cast<unsigned long long>(s.processes);
    if (Number("Milter.Processes", get("Milter.Processes"), 1, MAX_PROCESSES, 10, n, errors))
        s.processes = static_cast<int>(n);
    n = s.maxSize;
    if (Number("Milter.MaxSize", get("Milter.MaxSize"), 1, MAX_SIZE_LIMIT, 10, n, errors))
        s.maxSize = n;
    n = static_cast<unsigned long long>(s.maxInFlight);
    if (Number("Milter.MaxInFlight", get("Milter.MaxInFlight"), 1, MAX_IN_FLIGHT_LIMIT, 10, n,
               errors))
        s.maxInFlight = static_cast<int>(n);
    n = static_cast<unsigned long long>(s.timeoutSeconds);
    if (Number("Milter.Timeout", get("Milter.Timeout"), 1, TIMEOUT_LIMIT_SECONDS, 10, n, errors))
        s.timeoutSeconds = static_cast<int>(n);
    Choose<bool>("Milter.Engine", get("Milter.Engine"),
                 {{"on", true}, {"off", false}, {"1", true}, {"0", false}}, s.engine, errors);
    Choose<bool>("Milter.WorkerPark", get("Milter.WorkerPark"),
                 {{"on", true}, {"off", false}, {"1", true}, {"0", false}}, s.workerPark, errors);
    Choose<bool>("Milter.WatchSignatures", get("Milter.WatchSignatures"),
                 {{"on", true}, {"off", false}, {"1", true}, {"0", false}}, s.watchSignatures,
                 errors);
    Choose<bool>("Milter.Backups", get("Milter.Backups"), {{"on", true}, {"off", false}}, s.backups,
                 errors);
    if (std::string v = get("Milter.RuleSet"); !v.empty())
        s.ruleSet = v;
    if (std::string v = get("Milter.HeaderRuleSet"); !v.empty())
        s.headerRuleSet = v == "\"\"" ? "" : v;
    const std::vector<std::pair<const char*, OnVirus>> virusWords = {
        {"deliver", OnVirus::Deliver},
        {"reject", OnVirus::Reject},
        {"discard", OnVirus::Discard},
        {"quarantine", OnVirus::Quarantine}};
    Choose("Milter.OnVirus", get("Milter.OnVirus"), virusWords, s.onVirus, errors);
    Choose("Milter.OnFiltered", get("Milter.OnFiltered"), virusWords, s.onFiltered, errors);
    const std::vector<std::pair<const char*, OnUnjudged>> unjudgedWords = {
        {"reject", OnUnjudged::Reject},
        {"quarantine", OnUnjudged::Quarantine},
        {"tempfail", OnUnjudged::Tempfail},
        {"accept", OnUnjudged::Accept}};
    Choose("Milter.OnParseError", get("Milter.OnParseError"), unjudgedWords, s.onParseError,
           errors);
    Choose("Milter.OnDisagreement", get("Milter.OnDisagreement"), unjudgedWords, s.onDisagreement,
           errors);
    Choose<OnScanError>("Milter.OnScanError", get("Milter.OnScanError"),
                        {{"tempfail", OnScanError::Tempfail}, {"accept", OnScanError::Accept}},
                        s.onScanError, errors);
    Choose<OnLimit>("Milter.OnLimit", get("Milter.OnLimit"),
                    {{"reject", OnLimit::Reject},
                     {"quarantine", OnLimit::Quarantine},
                     {"accept", OnLimit::Accept}},
                    s.onLimit, errors);
    Choose<OnTooBig>("Milter.OnTooBig", get("Milter.OnTooBig"),
                     {{"reject", OnTooBig::Reject},
                      {"tempfail", OnTooBig::Tempfail},
                      {"accept", OnTooBig::Accept}},
                     s.onTooBig, errors);
    if (std::string v = get("Milter.VerdictField"); !v.empty()) {
        const bool good = std::all_of(
            v.begin(), v.end(), [](unsigned char c) { return c > ' ' && c < 127 && c != ':'; });
        if (good)
            s.verdictField = v;
        else
            errors.push_back("Milter.VerdictField = '" + v + "': not a field name");
    }
    if (std::string v = get("Milter.DnsList"); !v.empty()) {
        std::string error;
        if (!ParseDnsZones(v, s.dnsZones, error))
            errors.push_back("Milter.DnsList = '" + v + "': " + error);
    }
    if (std::string v = get("Milter.DnsServer"); !v.empty()) {
        if (ValidDnsServer(v))
            s.dnsServer = v;
        else
            errors.push_back("Milter.DnsServer = '" + v + "': use an IPv4 address[:PORT]");
    }
    if (std::string v = get("Milter.MetricsAddress"); !v.empty()) {
        std::string bind, error;
        if (ParseMetricsAddress(v, bind, error))
            s.metricsAddress = v;
        else
            errors.push_back("Milter.MetricsAddress = '" + v + "': " + error);
    }
    n = static_cast<unsigned long long>(s.dnsTimeoutSeconds);
    if (Number("Milter.DnsTimeout", get("Milter.DnsTimeout"), 1, DNS_TIMEOUT_LIMIT_SECONDS, 10, n,
               errors))
        s.dnsTimeoutSeconds = static_cast<int>(n);
    ReadOutcomeSettings(lookup, s.outcomes, errors);
    return errors.size() == before;
}

Decision Decide(const MilterSettings& s, const CheckResult& r) {
    using Kind = CheckResult::Kind;
    switch (r.kind) {
        case Kind::TooBig:
            return ByTooBigPolicy(s.onTooBig);
        case Kind::Busy:
            return Tempfail("unchecked (busy)", "4.3.2", "mail filter busy, try again later");
        case Kind::Refused:
            return Tempfail("unchecked (refused)", "4.3.0", "mail filter not ready");
        case Kind::Died:
            return Tempfail("unchecked (filter failed)", "4.3.0", "mail filter failed");
        case Kind::TimedOut:
            if (s.onScanError == OnScanError::Accept)
                return {MilterAction::AcceptUntouched, "unchecked (timeout)", "", "", ""};
            return Tempfail("unchecked (timeout)", "4.3.0", "mail filter timed out");
        case Kind::Done:
            break;
    }
    if (r.virusResult == VIRUS_FOUND) {
        const std::string name = r.virusName.empty() ? "unnamed" : r.virusName;
        return ByVirusPolicy(s.onVirus, "virus " + name, "virus " + name + " found");
    }
    // An engine failure wins over a parse failure: the mail may well be
    // parsed on a later try, and what the engine could not scan is unknown.
    if ((r.errors & ERR_CHECK) != 0 && (r.status & ST_ENGINE_LIMIT) != 0)
        return ByLimitPolicy(s.onLimit);
    if ((r.errors & ERR_CHECK) != 0) {
        if (s.onScanError == OnScanError::Accept)
            return {MilterAction::AcceptUntouched, "unchecked (scan failed)", "", "", ""};
        return Tempfail("unchecked (scan failed)", "4.3.0", "virus scan failed");
    }
    if ((r.errors & ERR_LOAD) != 0)
        return ByUnjudgedPolicy(s.onParseError, false, "unchecked (not parsed)",
                                "message refused: its MIME structure cannot be parsed");
    if (r.errors != 0 || r.result != 0)
        return Tempfail("unchecked (filter error)", "4.3.0", "mail filter could not write");
    if ((r.status & ST_MIME_DISAGREEMENT) != 0)
        return ByUnjudgedPolicy(s.onDisagreement, true, "unchecked (MIME disagreement)",
                                "message refused: mail readers would read its attachments "
                                "differently from the filter");
    if (r.status != 0 || (r.partActions & (PART_REMOVED | PART_MOVED | PART_RENAMED)) != 0) {
        std::string why;
        auto add = [&why](const char* w) { why += (why.empty() ? "" : ", ") + std::string(w); };
        if ((r.status & ST_SPAM_LISTED) != 0)
            add("spam list");
        if ((r.status & ST_HEADER_RULE) != 0)
            add("header rule");
        if ((r.status & ST_PART_RULE) != 0)
            add("part rule");
        if ((r.partActions & PART_REMOVED) != 0)
            add("removed");
        if ((r.partActions & PART_MOVED) != 0)
            add("moved");
        if ((r.partActions & PART_RENAMED) != 0)
            add("renamed");
        return ByVirusPolicy(s.onFiltered, "filtered (" + why + ")", "filtered (" + why + ")");
    }
    return {MilterAction::Deliver, "clean", "", "", ""};
}

std::string EnvelopeAddress(const std::string& argument) {
    std::string a = argument;
    const std::size_t open = a.find('<');
    if (open != std::string::npos) {
        const std::size_t close = a.find('>', open);
        a = a.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    }
    return kit::ascii_lower(a);
}

std::string ChooseRuleSet(const ConfigLookup& lookup, const std::string& sender,
                          const std::string& recipient, const std::string& fallback) {
    auto domainOf = [](const std::string& address) {
        const std::size_t at = address.rfind('@');
        return at == std::string::npos ? std::string() : address.substr(at + 1);
    };
    if (!sender.empty()) {
        if (std::string set = lookup(("Milter.RuleSetFrom." + sender).c_str()); !set.empty())
            return set;
        if (const std::string d = domainOf(sender); !d.empty()) {
            if (std::string set = lookup(("Milter.RuleSetFrom." + d).c_str()); !set.empty())
                return set;
        }
    }
    if (const std::string d = domainOf(recipient); !d.empty()) {
        if (std::string set = lookup(("Milter.RuleSetFor." + d).c_str()); !set.empty())
            return set;
    }
    return fallback;
}

Decision OtherRuleSetReply() {
    return Tempfail("", "4.7.1",
                    "this recipient is checked by other rules than the message's first one: "
                    "send it in a transaction of its own");
}

bool MayQuarantine(const MilterSettings& s) {
    return s.onVirus == OnVirus::Quarantine || s.onFiltered == OnVirus::Quarantine ||
           s.onParseError == OnUnjudged::Quarantine || s.onDisagreement == OnUnjudged::Quarantine ||
           s.onLimit == OnLimit::Quarantine;
}

const char* ActionWord(MilterAction a) {
    switch (a) {
        case MilterAction::Deliver:
            return "deliver";
        case MilterAction::AcceptUntouched:
            return "accept";
        case MilterAction::Tempfail:
            return "tempfail";
        case MilterAction::Reject:
            return "reject";
        case MilterAction::Discard:
            return "discard";
        case MilterAction::Quarantine:
        case MilterAction::QuarantineUntouched:
            return "quarantine";
    }
    return "?";
}
