/*
 * attached_message.cpp - the filter processor inside attached messages
 * (message/rfc822, message/global): read as mails of their own, filtered
 * with the same rules and passes, written back with the changed parts
 * replaced by notices (contract in filter_processor.h).
 *
 * Line ends: the outer mail's contents are held with LF line ends, so an
 * attached message carried without transfer encoding is written back with
 * LF (the mail's writer makes CR LF of them); one carried in base64 or
 * quoted-printable holds its own line ends inside the encoding and is
 * written back with CR LF, as mail is.
 */
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "codec/codec.h"
#include "mime/mimeoutput.h"
#include "mime/strictread.h"
#include "pf/text.h"
#include "processors/filter_processor.h"
#include "qorcsock/qorcsock.h"

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

// The name a report record of an inner part carries, as the service names
// the parts of the mail itself.
std::string RecordName(CMimePart* pPart) {
    std::string name = pPart->GetName();
    return name.empty() ? pPart->GetContentType() : name;
}

// Restores the report's error bits when the whole message was dealt with
// after an action inside it failed.
struct ErrorMark {
    std::uint32_t errors;
    int result;
};

}  // namespace

bool CFilterProcessor::IsAttachedMessage(CMimePart* pPart) {
    if (pPart == nullptr || pPart->GetPartCount() > 0 || pPart->m_bInserted || pPart->IsUUBlock())
        return false;
    const std::string type = pf::ascii_lower(pPart->GetContentType());
    if (type.empty() && pPart->m_pParent != nullptr)
        // A body part of a digest without Content-Type is an attached message.
        return pf::ascii_lower(pPart->m_pParent->GetContentType()) == "multipart/digest";
    return type == "message/rfc822" || type == "message/global";
}

void CFilterProcessor::AddReports(CMimePart* pPart) {
    m_pReport->AddPart(pPart, RecordName(pPart).c_str());
    for (int i = 0; i < pPart->GetPartCount(); ++i)
        AddReports(pPart->GetPart(static_cast<unsigned>(i)));
}

CMimeMessage* CFilterProcessor::ReadAttachedMessage(CMimePart* pPart, bool& bUnreadable) {
    bUnreadable = false;
    auto known = m_attached.find(pPart);
    if (known != m_attached.end())
        return known->second.message.get();
    bUnreadable = true;
    if (m_nMessageDepth >= ATTACHED_MESSAGE_MAX_DEPTH) {
        infomsg("[MAILCHECK] [UNREADABLE] [attached message nested deeper than %d]",
                ATTACHED_MESSAGE_MAX_DEPTH);
        return nullptr;
    }
    std::int64_t length = 0;
    std::unique_ptr<char, FreeDeleter> data(pPart->DecodeData(length));
    if (!data)
        return nullptr;
    std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    if (TransferCodingByName(pPart->GetContentTransferEncoding()) == TransferCoding::Identity &&
        n > pPart->GetDataLength())
        n = pPart->GetDataLength();  // the counted terminating zero
    const char* text = data.get();
    if (pPart->m_bNoHeaders) {
        // A digest's body part without header lines keeps the empty line
        // that ended its (empty) header in front of the message.
        if (n > 0 && text[0] == '\n') {
            ++text;
            --n;
        } else if (n > 1 && text[0] == '\r' && text[1] == '\n') {
            text += 2;
            n -= 2;
        }
    }
    std::unique_ptr<CMimeMessage> inner(new (std::nothrow) CMimeMessage());
    if (!inner)
        return nullptr;
    if (n == 0 || inner->LoadMsgFromBuffer(text, n, true) != CMimeMessage::LOAD_OK) {
        // The tolerant parser gives up on some messages mail clients read
        // (an empty multipart, a truncated one). Where the strict reading
        // finds no attachment in it, nothing can hide there.
        StrictReading reading;
        if (n == 0 || (MimeStrictRead(text, n, reading) && reading.parts.empty())) {
            bUnreadable = false;
            return nullptr;
        }
        infomsg("[MAILCHECK] [UNREADABLE] [attached message that does not parse]");
        return nullptr;
    }
    CMimeMessage* pInner = inner.get();
    CPartPlaceSnapshot places(pInner);
    m_attached.emplace(pPart,
                       AttachedMessage{std::move(inner), std::string(text, n), std::move(places)});
    AddReports(pInner);
    return pInner;
}

bool CFilterProcessor::WriteBackMessage(CMimePart* pPart, CMimeMessage* pInner) {
    const TransferCoding coding = TransferCodingByName(pPart->GetContentTransferEncoding());
    CMimeStringOutput out(coding != TransferCoding::Identity);
    if (pPart->m_bNoHeaders)
        out.WriteString("\n");  // the empty line read in front of it
    if (!pInner->WriteTo(out) || out.Failed())
        return false;
    const std::string& text = out.Text();
    if (pPart->SetData(text.data(), static_cast<std::int64_t>(text.size())) == nullptr)
        return false;
    m_pReport->modified = 1;
    return true;
}

int CFilterProcessor::FilterAttachedMessage(CMimePart* pPart, const std::string& name) {
    bool bUnreadable = false;
    CMimeMessage* pInner = ReadAttachedMessage(pPart, bUnreadable);
    if (pInner == nullptr && !bUnreadable)
        return 0;
    if (pInner == nullptr) {
        // Not looked into: the set's rule for what cannot be read decides.
        Rule* rule = (m_pRuleHelper->m_nMatchMode & MATCH_ATTACHMENT) != 0
                         ? m_pRuleHelper->FindRuleOfKind(m_pRuleSet, RuleKind::Unreadable)
                         : nullptr;
        if (rule == nullptr)
            return 0;
        PartMatchDetail detail;
        detail.strFound = "an attached message that cannot be read";
        return Act(pPart, rule, name, detail);
    }
    Rule* const failedBefore = m_pFailedRule;
    Rule* const changedBefore = m_pChangeRule;
    m_pFailedRule = nullptr;
    m_pChangeRule = nullptr;
    const ErrorMark mark{m_pReport->errors, m_pReport->result};
    ++m_nMessageDepth;
    const int walked = ProcessParts(pInner);
    --m_nMessageDepth;
    Rule* acting = m_pFailedRule;
    Rule* const changing = m_pChangeRule;
    m_pFailedRule = failedBefore;
    m_pChangeRule = changedBefore != nullptr ? changedBefore : changing;
    if (walked == -1)
        return -1;
    if (acting == nullptr && (changing == nullptr || WriteBackMessage(pPart, pInner)))
        return 0;
    if (acting == nullptr) {
        errmsg("CFilterProcessor::ProcessPart() - attached message %s cannot be written back",
               name.c_str());
        acting = changing;  // the rule that changed a part inside acts on the whole
    }
    PartMatchDetail detail;
    detail.strFound = "an attached message whose part cannot be replaced";
    const int code = Act(pPart, acting, name, detail);
    if (code == PART_REMOVED || code == PART_MOVED) {
        // Dealt with whole: the failure inside is no error of the check.
        m_pReport->errors = mark.errors;
        m_pReport->result = mark.result;
    }
    return code;
}
