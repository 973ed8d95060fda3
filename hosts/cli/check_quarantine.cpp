/*
 * check_quarantine.cpp - the originals of "mailward check" kept in the
 * quarantine (see check_quarantine.h).
 */
#include "check_quarantine.h"

#include <fstream>

#include "common/text.h"
#include "report_output.h"

namespace {

struct HeldHeader {
    std::string returnPath;
    std::vector<std::string> recipients;
    std::string subject;
};

void TakeField(const std::string& field, HeldHeader& h, bool& sawReturnPath) {
    const std::size_t colon = field.find(':');
    if (colon == std::string::npos)
        return;
    const std::string_view name = kit::trim(std::string_view(field).substr(0, colon));
    const std::string value(kit::trim(std::string_view(field).substr(colon + 1)));
    if (kit::equals_nocase(name, "Return-Path") && !sawReturnPath) {
        sawReturnPath = true;
        const std::vector<std::string> a = FieldAddresses(value);
        h.returnPath = a.empty() ? "" : a.front();
    } else if (kit::equals_nocase(name, "To") || kit::equals_nocase(name, "Cc")) {
        for (std::string& a : FieldAddresses(value))
            h.recipients.push_back(std::move(a));
    } else if (kit::equals_nocase(name, "Subject") && h.subject.empty()) {
        h.subject = value;
    }
}

// The fields of the mail's header, unfolded.
HeldHeader ReadHeldHeader(const std::string& path) {
    HeldHeader h;
    std::ifstream in(path, std::ios::binary);
    std::string line, field;
    std::size_t read = 0;
    bool sawReturnPath = false;
    while (read < CHECK_QUARANTINE_HEADER_MAX && std::getline(in, line)) {
        read += line.size() + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && kit::is_wsp(line.front())) {
            field += " " + std::string(kit::trim(line));
            continue;
        }
        TakeField(field, h, sawReturnPath);
        field = line;
        if (line.empty())
            break;
    }
    TakeField(field, h, sawReturnPath);
    return h;
}

}  // namespace

std::vector<std::string> FieldAddresses(const std::string& value) {
    std::vector<std::string> items;
    std::string item;
    bool quoted = false;
    int angle = 0;
    for (char c : value + ",") {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '<')
            ++angle;
        else if (!quoted && c == '>' && angle > 0)
            --angle;
        if (c == ',' && !quoted && angle == 0) {
            items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    std::vector<std::string> addresses;
    for (const std::string& i : items) {
        std::string_view a = kit::trim(i);
        const std::size_t open = a.rfind('<');
        if (open != std::string_view::npos) {
            const std::size_t close = a.find('>', open);
            a = a.substr(open + 1, close == std::string_view::npos ? close : close - open - 1);
        } else if (const std::size_t group = a.find(':'); group != std::string_view::npos) {
            a = a.substr(group + 1);  // "team: a@b" names its first member
        }
        a = kit::trim(a);
        while (!a.empty() && a.back() == ';')
            a.remove_suffix(1);
        if (a.find('@') != std::string_view::npos && a.find_first_of(" \t\"") == a.npos)
            addresses.emplace_back(a);
    }
    return addresses;
}

bool CheckQuarantine::Open(const std::string& dir, const CheckEnvelope& envelope,
                           std::string& error) {
    m_envelope = envelope;
    return m_store.Open(dir, error);
}

bool CheckQuarantine::Hold(const std::string& source, QuarantineHold& hold, std::string& error) {
    return m_store.Hold(source, hold, error);
}

bool CheckQuarantine::Settle(QuarantineHold& hold, const MailOutcome& outcome, std::string& entry,
                             std::string& error) {
    entry.clear();
    const std::string verdict = Verdict(outcome);
    if (verdict == "OK" && outcome.received && !outcome.refused) {
        hold.Drop();
        return true;
    }
    const HeldHeader header = ReadHeldHeader(hold.Path());
    QuarantineRecord record;
    record.sender = m_envelope.sender.empty() ? header.returnPath : m_envelope.sender;
    record.recipients = m_envelope.recipients.empty() ? header.recipients : m_envelope.recipients;
    record.subject = header.subject;
    record.verdict = kit::ascii_lower(verdict);
    record.reasons = VirusNames(outcome);
    for (const RuleInfo* rule : RulesThatActed(outcome))
        record.reasons.push_back(rule->name ? *rule->name : rule->text);
    record.queueId = outcome.source;
    record.origin = "mailward check";
    if (!m_store.Add(record, hold, error))
        return false;
    entry = record.id;
    return AddMovedParts(record, outcome, error);
}

// One attachment entry per part a rule moved, beside the message's entry:
// the file the rule moved, under a name of the store's own.
bool CheckQuarantine::AddMovedParts(const QuarantineRecord& message, const MailOutcome& outcome,
                                    std::string& error) {
    for (const PartInfo& part : outcome.parts) {
        if (!part.targetPath)
            continue;
        QuarantineHold hold;
        QuarantineRecord record = message;
        record.id.clear();
        record.time = 0;
        record.kind = QuarantineKind::Attachment;
        record.parent = message.id;
        record.name = part.name;
        record.reasons.clear();
        for (const RuleInfo& rule : part.rules)
            record.reasons.push_back(rule.name ? *rule.name : rule.text);
        if (!m_store.Hold(*part.targetPath, hold, error) || !m_store.Add(record, hold, error)) {
            error = "the moved part " + *part.targetPath + ": " + error;
            return false;
        }
    }
    return true;
}
