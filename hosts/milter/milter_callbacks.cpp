/*
 * milter_callbacks.cpp - the libmilter callbacks: a message gathered,
 * checked, decided and answered.
 */
#include "milter_callbacks.h"

#include <libmilter/mfapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "header_diff.h"
#include "mail_rewrite.h"
#include "message_facts.h"
#include "milter_log.h"
#include "milter_metrics.h"
#include "milter_session.h"
#include "outcome.h"
#include "outcome_tell.h"

namespace {

Filter* g_filter = nullptr;

Session* Get(SMFICTX* ctx) {
    return static_cast<Session*>(smfi_getpriv(ctx));
}

// The answer to a header line, the end of the header or a body chunk.
sfsistat Streamed() {
    return g_filter->noReply ? SMFIS_NOREPLY : SMFIS_CONTINUE;
}

sfsistat OnNegotiate(SMFICTX*, unsigned long f0, unsigned long f1, unsigned long, unsigned long,
                     unsigned long* pf0, unsigned long* pf1, unsigned long* pf2,
                     unsigned long* pf3) {
    const unsigned long wanted = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY;
    *pf0 = f0 & wanted;
    // No reply to header lines, end of header and body chunks: the MTA
    // streams them without waiting, which saves a round trip per line and
    // chunk. A failure there is answered at the end of the message.
    const unsigned long noReply = SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY;
    *pf1 = f1 & (SMFIP_HDR_LEADSPC | SMFIP_NOHELO | SMFIP_NOUNKNOWN | SMFIP_NODATA |
                 SMFIP_NOCONNECT | noReply);
    g_filter->leadingSpace = (f1 & SMFIP_HDR_LEADSPC) != 0;
    g_filter->noReply = (f1 & noReply) == noReply;
    if (!g_filter->noReply)
        *pf1 &= ~noReply;
    *pf2 = 0;
    *pf3 = 0;
    return SMFIS_CONTINUE;
}

sfsistat OnEnvFrom(SMFICTX* ctx, char** argv) {
    Session* s = Get(ctx);
    if (s == nullptr) {
        s = new (std::nothrow) Session(g_filter->spool);
        if (s == nullptr)
            return SMFIS_TEMPFAIL;
        smfi_setpriv(ctx, s);
    }
    s->StartTransaction(argv != nullptr && argv[0] != nullptr ? EnvelopeAddress(argv[0]) : "",
                        g_filter->config.Settings().maxSize);
    return SMFIS_CONTINUE;
}

sfsistat Reply(SMFICTX* ctx, const Decision& d, sfsistat status) {
    std::string text = SmtpReplyText(d.text);
    if (smfi_setreply(ctx, const_cast<char*>(d.rcode.c_str()), const_cast<char*>(d.xcode.c_str()),
                      text.data()) != MI_SUCCESS)
        Log(true, "reply text refused by libmilter, the MTA's own goes out: " + text);
    return status;
}

std::string QueueId(SMFICTX* ctx) {
    const char* queueId = smfi_getsymval(ctx, const_cast<char*>("i"));
    return queueId != nullptr ? queueId : "NOQUEUE";
}

// A recipient whose rule set is not the transaction's is tempfailed (one
// rule set per transaction: milter_session.h).
sfsistat OnEnvRcpt(SMFICTX* ctx, char** argv) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return SMFIS_TEMPFAIL;
    if (argv == nullptr || argv[0] == nullptr)
        return SMFIS_CONTINUE;
    const MilterSettings settings = g_filter->config.Settings();
    std::string address = EnvelopeAddress(argv[0]);
    std::string set =
        ChooseRuleSet(LookupIn(*g_filter->config.Keys()), s->sender, address, settings.ruleSet);
    if (!FieldSafe(set)) {
        Log(true, QueueId(ctx) + ": rule set '" + FieldText(set) + "' cannot be used");
        set = settings.ruleSet;
    }
    if (s->TakeRecipient(address, set))
        return SMFIS_CONTINUE;
    if (settings.outcomes.mode == MilterMode::Monitor) {
        s->recipients.push_back(address);  // delivered as received whatever its set
        return SMFIS_CONTINUE;
    }
    Log(false, QueueId(ctx) + ": recipient " + FieldText(address) + " tempfailed: rule set '" +
                   FieldText(set) + "', the message's is '" + s->ruleSet + "'");
    return Reply(ctx, OtherRuleSetReply(), SMFIS_TEMPFAIL);
}

sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return Streamed();
    std::string v = ToCrLf(value);
    if (!g_filter->leadingSpace)
        v.insert(0, " ");
    std::string line = std::string(name) + ":" + v + "\r\n";
    s->Append(line.data(), line.size());
    s->headers.push_back({name, std::move(v)});
    return Streamed();
}

sfsistat OnEndOfHeader(SMFICTX* ctx) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return Streamed();
    s->Append("\r\n", 2);
    s->inBody = true;
    return Streamed();
}

sfsistat OnBody(SMFICTX* ctx, unsigned char* data, size_t n) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return Streamed();
    const char* bytes = reinterpret_cast<const char*>(data);
    s->Append(bytes, n);
    s->bodyDigest.Update(bytes, n);
    s->bodySize += n;
    return Streamed();
}

// Has the spooled message checked, unless it is too big, was not spooled
// whole, or the filter is stopping or has too many messages in flight.
// While an outcome may quarantine, the mail as received is held first: the
// check writes its result over the spool file.
CheckResult CheckMessage(Session& s, const MilterSettings& settings, const std::string& id,
                         QuarantineHold& held) {
    CheckResult result;
    std::string error;
    if (s.tooBig) {
        result.kind = CheckResult::Kind::TooBig;
    } else if (!s.Ensure() || !s.message.Finish(error)) {
        Log(true, id + ": " + (s.error.empty() ? error : s.error));
        result.kind = CheckResult::Kind::Refused;
    } else if (g_filter->stopping) {
        result.kind = CheckResult::Kind::Busy;
    } else if (g_filter->inFlight.fetch_add(1) >= settings.maxInFlight) {
        g_filter->inFlight.fetch_sub(1);
        result.kind = CheckResult::Kind::Busy;
    } else {
        CheckRequest request;
        request.ruleSet = s.ruleSet.empty() ? settings.ruleSet : s.ruleSet;
        request.headerRuleSet = settings.headerRuleSet;
        request.source = s.message.Path();
        request.target = s.message.Path();  // checked in place
        request.queueId = id;
        if (std::string error;
            MayQuarantine(settings) && !g_filter->quarantine.Hold(s.message.Path(), held, error))
            Log(true, id + ": " + error);  // a quarantine of this mail tempfails it
        result = g_filter->pool->Check(request, settings.timeoutSeconds);
        g_filter->inFlight.fetch_sub(1);
    }
    return result;
}

// The verdict field's names: the one configured and the program's own.
std::vector<std::string> VerdictFields(const MilterSettings& settings) {
    std::vector<std::string> names = {settings.verdictField};
    if (!SameFieldName(settings.verdictField, DEFAULT_VERDICT_FIELD))
        names.push_back(DEFAULT_VERDICT_FIELD);
    return names;
}

// Makes the header and body the MTA delivers the ones the decision takes:
// the mail as the library wrote it, or as received; either way without any
// verdict field of the sender's. False with the reason when the written mail
// cannot be read or the MTA refused a change.
bool ShapeDelivered(SMFICTX* ctx, Session& s, const Decision& d, const MilterSettings& settings,
                    std::string& error) {
    switch (d.action) {
        case MilterAction::Deliver:
            return ApplyRewrite(ctx, s, g_filter->leadingSpace, VerdictFields(settings), error);
        case MilterAction::AcceptUntouched:
            return SendHeaderChanges(ctx, FieldRemovals(s.headers, VerdictFields(settings)),
                                     g_filter->leadingSpace, error);
        case MilterAction::Quarantine:
        case MilterAction::QuarantineUntouched:
        case MilterAction::Tempfail:
        case MilterAction::Reject:
        case MilterAction::Discard:
            break;
    }
    return true;
}

// Carries out the decision: the MTA's answer, and for a delivered mail its
// verdict field. A quarantined mail is in the store (KeepInQuarantine): the
// MTA drops its copy.
sfsistat Answer(SMFICTX* ctx, const Decision& d, const MilterSettings& settings) {
    std::string verdict = (g_filter->leadingSpace ? " " : "") + d.verdict;
    switch (d.action) {
        case MilterAction::Deliver:
        case MilterAction::AcceptUntouched:
            smfi_addheader(ctx, const_cast<char*>(settings.verdictField.c_str()), verdict.data());
            return SMFIS_CONTINUE;
        case MilterAction::Tempfail:
            return Reply(ctx, d, SMFIS_TEMPFAIL);
        case MilterAction::Reject:
            return Reply(ctx, d, SMFIS_REJECT);
        case MilterAction::Quarantine:
        case MilterAction::QuarantineUntouched:
        case MilterAction::Discard:
            return SMFIS_DISCARD;
    }
    return SMFIS_CONTINUE;
}

Decision FilterFailed() {
    return {MilterAction::Tempfail, "unchecked (filter error)", "451", "4.3.0",
            "mail filter failed"};
}

// Makes the quarantine entry of the held original: envelope from the
// session, subject from the header as received, verdict, virus name and
// the rules that applied from the check. False with the reason when it cannot be made.
bool KeepInQuarantine(const Session& s, const Decision& d, const CheckResult& r,
                      const std::string& id, QuarantineHold& held, std::string& entry,
                      std::string& error) {
    QuarantineRecord record;
    record.queueId = id;
    record.sender = s.sender;
    record.recipients = s.recipients;
    record.subject = HeaderValue(s.headers, "Subject");
    record.verdict = d.verdict;
    if (!r.virusName.empty())
        record.reasons.push_back(r.virusName);
    record.reasons.insert(record.reasons.end(), r.ruleNames.begin(), r.ruleNames.end());
    record.origin = "mailward-milter";
    if (!g_filter->quarantine.Add(record, held, error))
        return false;
    entry = record.id;
    return true;
}

// One attachment entry per part a move rule took out (a second name of
// the file it was moved to), so that the quarantine lists it; Parent is
// the message's entry when the message was held too. A part that cannot
// be indexed is logged: it stays in the rule's folder.
void IndexMovedParts(const Session& s, const Decision& d, const CheckResult& r,
                     const std::string& id, const std::string& parent) {
    for (std::size_t i = 0; i < r.movedPaths.size(); ++i) {
        QuarantineRecord record;
        record.kind = QuarantineKind::Attachment;
        record.queueId = id;
        record.sender = s.sender;
        record.recipients = s.recipients;
        record.subject = HeaderValue(s.headers, "Subject");
        record.verdict = d.verdict;
        record.reasons = r.ruleNames;
        record.origin = "mailward-milter";
        record.parent = parent;
        record.name = r.movedNames[i];
        QuarantineHold hold;
        std::string error;
        if (g_filter->quarantine.Hold(r.movedPaths[i], hold, error) &&
            g_filter->quarantine.Add(record, hold, error))
            Log(false, id + ": moved part " + FieldText(record.name) + " in the quarantine as " +
                           record.id);
        else
            Log(true, id + ": moved part " + FieldText(r.movedPaths[i]) +
                          " not in the quarantine: " + error);
    }
}

sfsistat OnEndOfMessage(SMFICTX* ctx) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return SMFIS_TEMPFAIL;
    const MilterSettings settings = g_filter->config.Settings();
    const std::string id = QueueId(ctx);
    const auto started = std::chrono::steady_clock::now();
    const char* mta = smfi_getsymval(ctx, const_cast<char*>("v"));
    s->mta = mta != nullptr && std::strstr(mta, "Postfix") != nullptr ? MtaKind::Postfix
                                                                      : MtaKind::Other;

    QuarantineHold held;
    const CheckResult result = CheckMessage(*s, settings, id, held);
    Decision d = Decide(settings, result);
    MessageFacts facts =
        GatherFacts(id, s->sender, s->recipients, s->headers, s->size, result, d, 0);
    std::string entry;
    if (settings.outcomes.mode == MilterMode::Monitor) {
        facts.monitor = true;
        d = MonitorDecision(d);
    } else {
        if (d.action == MilterAction::Quarantine || d.action == MilterAction::QuarantineUntouched) {
            std::string error;
            if (KeepInQuarantine(*s, d, result, id, held, entry, error)) {
                Log(false, id + ": held in the quarantine as " + entry);
            } else {
                Log(true, id + ": not quarantined, tempfailed: " + error);
                d = FilterFailed();
                entry.clear();
            }
        }
        ApplyReplyText(settings.outcomes.replies, facts, d);
    }
    if (d.action != MilterAction::Tempfail)
        IndexMovedParts(*s, d, result, id, entry);
    if (std::string error; !ShapeDelivered(ctx, *s, d, settings, error)) {
        Log(true, id + ": " + error);
        d = FilterFailed();
    }
    const sfsistat status = Answer(ctx, d, settings);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    facts.action = d.action;
    facts.verdict = d.verdict;
    facts.seconds = seconds;
    Log(false, MessageLine(facts));
    TellOutcome(g_filter->children, settings.outcomes, facts, std::time(nullptr), Log);
    ++g_filter->messages;
    CountMessage(d, seconds);
    s->Reset();
    return status;
}

sfsistat OnAbort(SMFICTX* ctx) {
    if (Session* s = Get(ctx))
        s->Reset();
    return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* ctx) {
    delete Get(ctx);
    smfi_setpriv(ctx, nullptr);
    return SMFIS_CONTINUE;
}

}  // namespace

bool RegisterMilter(Filter& filter, const std::string& socket) {
    g_filter = &filter;
    smfiDesc desc{};
    desc.xxfi_name = const_cast<char*>("mailward-milter");
    desc.xxfi_version = SMFI_VERSION;
    desc.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY;
    desc.xxfi_envfrom = OnEnvFrom;
    desc.xxfi_envrcpt = OnEnvRcpt;
    desc.xxfi_header = OnHeader;
    desc.xxfi_eoh = OnEndOfHeader;
    desc.xxfi_body = OnBody;
    desc.xxfi_eom = OnEndOfMessage;
    desc.xxfi_abort = OnAbort;
    desc.xxfi_close = OnClose;
    desc.xxfi_negotiate = OnNegotiate;
    return smfi_register(desc) == MI_SUCCESS &&
           smfi_setconn(const_cast<char*>(socket.c_str())) == MI_SUCCESS &&
           smfi_settimeout(MILTER_TIMEOUT_SECONDS) == MI_SUCCESS &&
           smfi_opensocket(true) == MI_SUCCESS;
}
