/*
 * part_facts.cpp - the facts of a part's decoded bytes (contract in
 * part_facts.h).
 */
#include "rules/part_facts.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "codec/codec.h"
#include "inspect/content_type.h"
#include "mime/mimepart.h"

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

}  // namespace

PartFacts PartFactsOf(CMimePart* part, const ArchiveLimits& limits) {
    PartFacts facts;
    if (part == nullptr || part->GetPartCount() > 0 || part->IsMultipart())
        return facts;
    facts.bLeaf = true;
    facts.pData = part->GetData();
    facts.nDataLength = part->GetDataLength();
    std::int64_t length = 0;
    std::unique_ptr<char, FreeDeleter> data(part->DecodeData(length));
    if (!data)
        throw std::bad_alloc();
    std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    // Contents without transfer encoding come back with their terminating
    // zero counted; it is not one of the part's bytes.
    if (!part->IsUUBlock() &&
        TransferCodingByName(part->GetContentTransferEncoding()) == TransferCoding::Identity &&
        n > part->GetDataLength())
        n = part->GetDataLength();
    facts.strType = inspect_type_of(data.get(), n);
    facts.bEncryptedDoc = inspect_is_encrypted_document(facts.strType, data.get(), n);
    facts.bArchive =
        inspect_list_archive(data.get(), n, facts.strType, part->GetName(), limits, facts.listing);
    return facts;
}

const PartFacts& CPartFactsCache::Of(CMimePart* part) {
    auto it = m_facts.find(part);
    if (it != m_facts.end() && it->second.pData == part->GetData() &&
        it->second.nDataLength == part->GetDataLength())
        return it->second;
    PartFacts facts = PartFactsOf(part, m_limits);
    return m_facts.insert_or_assign(part, std::move(facts)).first->second;
}
