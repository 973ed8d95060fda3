/*
 * milter_session.cpp - spooling one message as it streams in.
 */
#include "milter_session.h"

#include <utility>

void Session::StartTransaction(std::string envelopeSender, std::uint64_t sizeLimit) {
    Reset();
    sender = std::move(envelopeSender);
    recipients.clear();
    ruleSet.clear();
    maxSize = sizeLimit;
}

bool Session::TakeRecipient(std::string address, const std::string& recipientRuleSet) {
    if (recipients.empty())
        ruleSet = recipientRuleSet;
    else if (recipientRuleSet != ruleSet)
        return false;
    recipients.push_back(std::move(address));
    return true;
}

void Session::Reset() {
    headers.clear();
    message.Discard();
    size = 0;
    inBody = false;
    bodyDigest.Reset();
    bodySize = 0;
    tooBig = failed = false;
    error.clear();
}

bool Session::Ensure() {
    if (message.Active() || tooBig || failed)
        return !failed;
    if (!message.Begin(spool, error))
        failed = true;
    return !failed;
}

void Session::Append(const char* data, std::size_t n) {
    size += n;
    if (tooBig || failed)
        return;
    if (size > maxSize) {
        tooBig = true;
        message.Discard();
        return;
    }
    if (!Ensure())
        return;
    if (!message.Write(data, n)) {
        failed = true;
        error = "cannot write the spool file";
    }
}
