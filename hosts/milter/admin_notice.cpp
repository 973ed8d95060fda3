/*
 * admin_notice.cpp - the administrator's notice: its template and text.
 */
#include "admin_notice.h"

#include <algorithm>

#include "common/host_config.h"
#include "common/placeholders.h"
#include "common/text.h"
#include "outcome.h"
#include "spool.h"

namespace {

// A header line of the template: a field name, a colon; or a folded
// continuation of the line before.
bool HeaderLine(std::string_view line, bool first) {
    if (!first && !line.empty() && kit::is_wsp(line[0]))
        return true;
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos)
        return false;
    for (char c : line.substr(0, colon)) {
        if (c <= ' ' || c >= 0x7f)
            return false;
    }
    return true;
}

}  // namespace

bool LoadNoticeTemplate(OutcomeSettings& s, std::vector<std::string>& errors) {
    const std::string path = s.noticeTemplate.empty()
                                 ? ConfigValue("TemplateDir") + "/" + NOTICE_TEMPLATE_NAME
                                 : s.noticeTemplate;
    std::string text;
    if (!ReadWholeFile(path, text)) {
        errors.push_back(path + ": cannot be read (Milter.NoticeTemplate)");
        return false;
    }
    if (text.size() > NOTICE_TEMPLATE_MAX) {
        errors.push_back(path + ": over " + std::to_string(NOTICE_TEMPLATE_MAX) + " bytes");
        return false;
    }
    std::string plain;
    for (char c : text) {
        if (c != '\r')
            plain += c;
    }
    std::size_t at = 0;
    if (const std::string why = PlaceholderProblem(plain, NOTICE_PLACEHOLDERS, &at); !why.empty()) {
        const auto line = 1 + std::count(plain.begin(), plain.begin() + at, '\n');
        errors.push_back(path + ":" + std::to_string(line) + ": " + why);
        return false;
    }
    int number = 0;
    for (std::size_t pos = 0; pos < plain.size();) {
        const std::size_t nl = std::min(plain.find('\n', pos), plain.size());
        const std::string_view line = std::string_view(plain).substr(pos, nl - pos);
        ++number;
        if (line.empty())
            break;
        if (!HeaderLine(line, number == 1)) {
            errors.push_back(path + ":" + std::to_string(number) +
                             ": not a header line (Name: value); an empty line ends the header");
            return false;
        }
        pos = nl + 1;
    }
    s.noticeText = plain;
    return true;
}

std::string FactValue(const MessageFacts& f, std::string_view name, std::time_t when) {
    std::string v;
    if (name == "virus") {
        v = f.virusName;
    } else if (name == "rules") {
        v = kit::join(f.ruleNames, ", ");
    } else if (name == "queueid") {
        v = f.queueId;
    } else if (name == "verdict") {
        v = f.verdict;
    } else if (name == "action") {
        v = ActionText(f);
    } else if (name == "outcome") {
        v = OutcomeWord(OutcomeOf(f.verdict));
    } else if (name == "sender") {
        v = f.sender.empty() ? "<>" : f.sender;
    } else if (name == "recipients") {
        v = kit::join(f.recipients, ", ");
    } else if (name == "subject") {
        v = f.subject;
    } else if (name == "messageid") {
        v = f.messageId;
    } else if (name == "size") {
        v = std::to_string(f.size);
    } else if (name == "time") {
        char stamp[64] = "";
        std::tm tm{};
        if (localtime_r(&when, &tm) != nullptr)
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S %z", &tm);
        v = stamp;
    }
    return PrintableText(v, FACT_TEXT_MAX);
}

std::string NoticeMessage(const std::string& templateText, const std::string& to,
                          const MessageFacts& facts, std::time_t when) {
    std::string message = "To: " + PrintableText(to, FACT_TEXT_MAX) +
                          "\n"
                          "Auto-Submitted: auto-generated\n"
                          "MIME-Version: 1.0\n"
                          "Content-Type: text/plain; charset=us-ascii\n"
                          "Content-Transfer-Encoding: 7bit\n";
    message += ExpandPlaceholders(
        templateText, [&](std::string_view name) { return FactValue(facts, name, when); });
    if (!message.empty() && message.back() != '\n')
        message += '\n';
    return message;
}

std::vector<std::string> NoticeArgv(const OutcomeSettings& s) {
    return {s.sendmail, "-i", "--", s.noticeTo};
}
