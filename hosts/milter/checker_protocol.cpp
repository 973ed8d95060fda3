/*
 * checker_protocol.cpp - encoding and decoding of the checker messages.
 */
#include "checker_protocol.h"

#include <cstdlib>

namespace {

bool ParseU64(const std::string& s, std::uint64_t& v) {
    if (s.empty() || s[0] == '-')
        return false;
    char* end = nullptr;
    v = std::strtoull(s.c_str(), &end, 10);
    return *end == '\0';
}

bool ParseI64(const std::string& s, long long& v) {
    if (s.empty())
        return false;
    char* end = nullptr;
    v = std::strtoll(s.c_str(), &end, 10);
    return *end == '\0';
}

// Names as one field, RULE_NAME_SEPARATOR between (and nowhere inside).
std::string JoinNames(const std::vector<std::string>& names) {
    std::string field;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            field += RULE_NAME_SEPARATOR;
        for (char c : names[i])
            field += c == RULE_NAME_SEPARATOR || c == '\t' || c == '\r' || c == '\n' ? ' ' : c;
    }
    return field;
}

std::vector<std::string> SplitNames(const std::string& field) {
    std::vector<std::string> names;
    for (std::size_t start = 0; start < field.size();) {
        std::size_t end = field.find(RULE_NAME_SEPARATOR, start);
        if (end == std::string::npos)
            end = field.size();
        names.push_back(field.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

}  // namespace

bool FieldSafe(std::string_view text) {
    return text.find_first_of("\t\r\n") == std::string_view::npos;
}

std::string FieldText(std::string_view text) {
    std::string s(text);
    for (char& c : s) {
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    }
    return s;
}

std::vector<std::string> SplitFields(std::string_view message) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = message.find('\t', start);
        fields.emplace_back(
            message.substr(start, tab == std::string_view::npos ? tab : tab - start));
        if (tab == std::string_view::npos)
            return fields;
        start = tab + 1;
    }
}

std::string EncodeRequest(const CheckRequest& r) {
    return "C\t" + std::to_string(r.id) + "\t" + r.ruleSet + "\t" + r.headerRuleSet + "\t" +
           r.source + "\t" + r.target + "\t" + FieldText(r.queueId);
}

bool DecodeRequest(const std::vector<std::string>& f, CheckRequest& r) {
    if (f.size() != 7 || f[0] != "C" || !ParseU64(f[1], r.id))
        return false;
    r.ruleSet = f[2];
    r.headerRuleSet = f[3];
    r.source = f[4];
    r.target = f[5];
    r.queueId = f[6];
    return !r.ruleSet.empty() && !r.source.empty() && !r.target.empty();
}

std::string EncodeDone(std::uint64_t id, const CheckResult& r) {
    const bool refused = r.kind == CheckResult::Kind::Refused;
    return "D\t" + std::to_string(id) + "\t" + (refused ? "refused" : "done") + "\t" +
           std::to_string(r.result) + "\t" + std::to_string(r.errors) + "\t" +
           std::to_string(r.virusResult) + "\t" + std::to_string(r.status) + "\t" +
           std::to_string(r.partActions) + "\t" + FieldText(r.virusName) + "\t" +
           JoinNames(r.ruleNames) + "\t" + JoinNames(r.movedNames) + "\t" + JoinNames(r.movedPaths);
}

bool DecodeDone(const std::vector<std::string>& f, std::uint64_t& id, CheckResult& r) {
    long long result = 0, errors = 0, virus = 0, status = 0, actions = 0;
    if (f.size() != 12 || f[0] != "D" || !ParseU64(f[1], id) ||
        (f[2] != "done" && f[2] != "refused") || !ParseI64(f[3], result) ||
        !ParseI64(f[4], errors) || !ParseI64(f[5], virus) || !ParseI64(f[6], status) ||
        !ParseI64(f[7], actions))
        return false;
    r.kind = f[2] == "done" ? CheckResult::Kind::Done : CheckResult::Kind::Refused;
    r.result = static_cast<std::int32_t>(result);
    r.errors = static_cast<std::uint32_t>(errors);
    r.virusResult = static_cast<std::int32_t>(virus);
    r.status = static_cast<std::uint32_t>(status);
    r.partActions = static_cast<std::int32_t>(actions);
    r.virusName = f[8];
    r.ruleNames = SplitNames(f[9]);
    r.movedNames = SplitNames(f[10]);
    r.movedPaths = SplitNames(f[11]);
    if (r.movedNames.size() != r.movedPaths.size()) {
        r.movedNames.clear();  // which name goes with which path is lost
        r.movedPaths.clear();
    }
    return true;
}

long long SignatureCount(std::string_view text) {
    constexpr std::string_view suffix = " signatures";
    if (text.size() <= suffix.size() || text.substr(text.size() - suffix.size()) != suffix)
        return -1;
    const std::string_view head = text.substr(0, text.size() - suffix.size());
    const std::size_t start = head.find_last_not_of("0123456789") + 1;
    long long n = -1;
    if (start == head.size() || start == 0 || head[start - 1] != ' ' ||
        !ParseI64(std::string(head.substr(start)), n))
        return -1;
    return n;
}
