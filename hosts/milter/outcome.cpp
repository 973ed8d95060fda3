/*
 * outcome.cpp - outcomes, the trial mode's answer and the reply texts.
 */
#include "outcome.h"

#include "common/placeholders.h"
#include "common/text.h"

Outcome OutcomeOf(const std::string& v) {
    if (v == "clean")
        return Outcome::Clean;
    if (v.rfind("virus ", 0) == 0)
        return Outcome::Virus;
    if (v.rfind("filtered (", 0) == 0)
        return Outcome::Filtered;
    if (v == "unchecked (not parsed)")
        return Outcome::ParseError;
    if (v == "unchecked (MIME disagreement)")
        return Outcome::Disagreement;
    if (v == "unchecked (engine limit)")
        return Outcome::Limit;
    if (v == "unchecked (too big)")
        return Outcome::TooBig;
    return Outcome::Unchecked;
}

const char* OutcomeWord(Outcome o) {
    switch (o) {
        case Outcome::Clean:
            return "clean";
        case Outcome::Virus:
            return "virus";
        case Outcome::Filtered:
            return "filtered";
        case Outcome::ParseError:
            return "parse-error";
        case Outcome::Disagreement:
            return "disagreement";
        case Outcome::Limit:
            return "limit";
        case Outcome::TooBig:
            return "too-big";
        case Outcome::Unchecked:
            break;
    }
    return "unchecked";
}

Decision MonitorDecision(const Decision& intended) {
    return {MilterAction::AcceptUntouched, intended.verdict, "", "", ""};
}

void ApplyReplyText(const ReplyTexts& texts, const MessageFacts& facts, Decision& d) {
    if (d.action != MilterAction::Reject && d.action != MilterAction::Tempfail)
        return;
    const std::string* text = nullptr;
    switch (OutcomeOf(d.verdict)) {
        case Outcome::Virus:
            text = &texts.virus;
            break;
        case Outcome::Filtered:
            text = &texts.filtered;
            break;
        case Outcome::ParseError:
            text = &texts.parseError;
            break;
        case Outcome::Disagreement:
            text = &texts.disagreement;
            break;
        case Outcome::Limit:
            text = &texts.limit;
            break;
        case Outcome::TooBig:
            text = &texts.tooBig;
            break;
        case Outcome::Unchecked:
            text = &texts.tempfail;
            break;
        case Outcome::Clean:
            return;
    }
    if (text->empty())
        return;
    d.text = ExpandPlaceholders(*text, [&facts, &d](std::string_view name) -> std::string {
        if (name == "virus")
            return facts.virusName;
        if (name == "rules")
            return kit::join(facts.ruleNames, ", ");
        if (name == "queueid")
            return facts.queueId;
        if (name == "verdict")
            return d.verdict;
        return "";
    });
}

std::string SmtpReplyText(std::string_view text) {
    const std::string plain = PrintableText(text, text.size());
    std::string out;
    for (char c : plain) {
        const std::size_t need = c == '%' ? 2 : 1;
        if (out.size() + need > REPLY_TEXT_MAX)
            break;
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}
