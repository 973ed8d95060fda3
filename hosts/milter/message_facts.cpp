/*
 * message_facts.cpp - the facts of one message and its log line.
 */
#include "message_facts.h"

#include <cstdio>

#include "common/text.h"

namespace {}  // namespace

std::string HeaderValue(const std::vector<HeaderField>& headers, const char* name) {
    for (const HeaderField& f : headers) {
        if (!SameFieldName(f.name, name))
            continue;
        std::string value;
        for (char c : f.value) {
            if (c != '\r' && c != '\n')
                value += c;
        }
        return std::string(kit::trim(value));
    }
    return "";
}

namespace {

// `text` fit for a quoted value of the log line: cut, and every byte but
// printable ASCII, quotes and backslashes as '?', so that nothing in it
// ends the line or the quoted value, and the line is text to any reader.
std::string Clean(const std::string& text) {
    std::string s = text.substr(0, FACT_TEXT_MAX);
    for (char& c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\')
            c = '?';
    }
    return s;
}

// `text` fit for an unquoted value: as Clean, and blanks and commas as '?'
// too, so that it cannot end its field and begin one of its own.
std::string Token(const std::string& text) {
    std::string s = Clean(text);
    for (char& c : s) {
        if (c == ' ' || c == ',')
            c = '?';
    }
    return s;
}

}  // namespace

MessageFacts GatherFacts(const std::string& queueId, const std::string& sender,
                         const std::vector<std::string>& recipients,
                         const std::vector<HeaderField>& headers, std::uint64_t size,
                         const CheckResult& result, const Decision& decision, double seconds) {
    MessageFacts f;
    f.queueId = queueId;
    f.sender = sender;
    f.recipients = recipients;
    f.messageId = HeaderValue(headers, "Message-ID");
    f.subject = HeaderValue(headers, "Subject");
    f.size = size;
    f.verdict = decision.verdict;
    f.action = decision.action;
    f.intended = decision.action;
    f.ruleNames = result.ruleNames;
    f.virusName = result.virusName;
    f.seconds = seconds;
    return f;
}

std::string MessageLine(const MessageFacts& f) {
    std::string line = Token(f.queueId) + ": from=<" + Token(f.sender) + ">, to=";
    for (std::size_t i = 0; i < f.recipients.size(); ++i)
        line += (i > 0 ? ",<" : "<") + Token(f.recipients[i]) + ">";
    if (!f.messageId.empty()) {
        const std::string id = Token(f.messageId);
        line += ", message-id=" + (id.front() == '<' ? id : "<" + id + ">");
    }
    line += ", size=" + std::to_string(f.size) + ", verdict=\"" + Clean(f.verdict) +
            "\", action=" + ActionText(f);
    for (std::size_t i = 0; i < f.ruleNames.size(); ++i)
        line += (i > 0 ? ",\"" : ", rules=\"") + Clean(f.ruleNames[i]) + "\"";
    if (!f.virusName.empty())
        line += ", virus=" + Token(f.virusName);
    char took[32];
    std::snprintf(took, sizeof took, ", %.3f s", f.seconds);
    return line + took;
}

std::string ActionText(const MessageFacts& f) {
    if (!f.monitor)
        return ActionWord(f.action);
    return std::string(ActionWord(f.action)) + " (monitor: would " + ActionWord(f.intended) + ")";
}
