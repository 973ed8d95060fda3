/*
 * outcome_settings.cpp - reading the trial mode, reply texts, notice and
 * hook keys.
 */
#include "outcome_settings.h"

#include <cstdlib>

#include "common/placeholders.h"
#include "common/text.h"

namespace {

void Reply(const std::function<std::string(const char*)>& lookup, const char* key, std::string& out,
           std::vector<std::string>& errors) {
    const std::string v = lookup(key);
    if (v.empty())
        return;
    if (const std::string why = PlaceholderProblem(v, REPLY_PLACEHOLDERS); !why.empty())
        errors.push_back(std::string(key) + " = '" + v + "': " + why);
    else
        out = v;
}

bool Whole(const std::string& key, const std::string& v, int high, int& out,
           std::vector<std::string>& errors) {
    if (v.empty())
        return true;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v[0] < '0' || v[0] > '9' || *end != '\0' || n < 1 || n > high) {
        errors.push_back(key + " = '" + v + "': not a number from 1 to " + std::to_string(high));
        return false;
    }
    out = static_cast<int>(n);
    return true;
}

// An address for the sendmail command line: nothing a shell or sendmail's
// own option parser could take for more than one address.
bool PlainAddress(const std::string& a) {
    if (a.empty() || a[0] == '-' || a.find('@') == std::string::npos)
        return false;
    for (unsigned char c : a) {
        if (c <= ' ' || c >= 0x7f || c == ',' || c == '<' || c == '>' || c == '"')
            return false;
    }
    return true;
}

}  // namespace

bool ReadOutcomeSettings(const std::function<std::string(const char*)>& lookup, OutcomeSettings& s,
                         std::vector<std::string>& errors) {
    const std::size_t before = errors.size();
    if (const std::string v = lookup("Milter.Mode"); !v.empty()) {
        const std::string w = kit::ascii_lower(v);
        if (w == "enforce")
            s.mode = MilterMode::Enforce;
        else if (w == "monitor")
            s.mode = MilterMode::Monitor;
        else
            errors.push_back("Milter.Mode = '" + v + "': use enforce, monitor");
    }
    Reply(lookup, "Milter.ReplyVirus", s.replies.virus, errors);
    Reply(lookup, "Milter.ReplyFiltered", s.replies.filtered, errors);
    Reply(lookup, "Milter.ReplyParseError", s.replies.parseError, errors);
    Reply(lookup, "Milter.ReplyDisagreement", s.replies.disagreement, errors);
    Reply(lookup, "Milter.ReplyLimit", s.replies.limit, errors);
    Reply(lookup, "Milter.ReplyTooBig", s.replies.tooBig, errors);
    Reply(lookup, "Milter.ReplyTempfail", s.replies.tempfail, errors);
    if (const std::string v = lookup("Milter.NoticeTo"); !v.empty()) {
        if (PlainAddress(v))
            s.noticeTo = v;
        else
            errors.push_back("Milter.NoticeTo = '" + v + "': not a plain address (name@domain)");
    }
    if (const std::string v = lookup("Milter.NoticeTemplate"); !v.empty())
        s.noticeTemplate = v;
    if (const std::string v = lookup("Milter.Sendmail"); !v.empty()) {
        if (v[0] == '/')
            s.sendmail = v;
        else
            errors.push_back("Milter.Sendmail = '" + v + "': not an absolute path");
    }
    if (const std::string v = lookup("Milter.Hook"); !v.empty()) {
        std::vector<std::string> argv;
        for (std::size_t pos = 0; pos < v.size();) {
            const std::size_t start = v.find_first_not_of(" \t", pos);
            if (start == std::string::npos)
                break;
            const std::size_t end = std::min(v.find_first_of(" \t", start), v.size());
            argv.push_back(v.substr(start, end - start));
            pos = end;
        }
        if (argv.empty() || argv[0][0] != '/')
            errors.push_back("Milter.Hook = '" + v + "': the program needs an absolute path");
        else
            s.hook = std::move(argv);
    }
    Whole("Milter.HookTimeout", lookup("Milter.HookTimeout"), HOOK_TIMEOUT_LIMIT_SECONDS,
          s.hookTimeoutSeconds, errors);
    Whole("Milter.MaxChildren", lookup("Milter.MaxChildren"), MAX_CHILDREN_LIMIT, s.maxChildren,
          errors);
    return errors.size() == before;
}
