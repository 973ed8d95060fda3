/*
 * part_facts.h - what a part's decoded bytes are, worked out once per part
 * for the rules that judge parts by content: the type of the bytes, an
 * encrypted document, and the listing of an archive (inspect/).
 *
 *   PartFactsOf(part, limits)   the facts of one part: decodes it and
 *                               detects its type; an archive is listed
 *                               within `limits`. Only parts without
 *                               sub-parts have facts (bLeaf); a container
 *                               (multipart, uuencoded container) gets an
 *                               empty record. Never throws but
 *                               std::bad_alloc.
 *   CPartFactsCache             the facts of the parts of one mail, so
 *                               that every pass of a check (and every rule
 *                               of a pass) works them out once:
 *       Of(part)                computes on the first call; a part whose
 *                               contents changed since (new data or length)
 *                               is worked out anew;
 *       Clear()                 forgets every part (call it per mail: a
 *                               freed part's address may come back);
 *       SetLimits(limits)       the archive limits of the next listings.
 *
 * Threads: a cache belongs to one thread (the worker's filter processor).
 */
#ifndef MAILWARD_PART_FACTS_H
#define MAILWARD_PART_FACTS_H

#include <string>
#include <unordered_map>

#include "inspect/archive_list.h"

class CMimePart;

struct PartFacts {
    bool bLeaf = false;          // a part without sub-parts: the facts below hold
    std::string strType;         // type of the decoded bytes
    bool bEncryptedDoc = false;  // an encrypted document (not an archive)
    bool bArchive = false;       // `listing` was made
    ArchiveListing listing;
    const char* pData = nullptr;  // the contents the facts were made of
    std::size_t nDataLength = 0;
};

PartFacts PartFactsOf(CMimePart* part, const ArchiveLimits& limits);

class CPartFactsCache {
  public:
    CPartFactsCache() = default;
    explicit CPartFactsCache(const ArchiveLimits& limits) : m_limits(limits) {}
    const PartFacts& Of(CMimePart* part);
    void Clear() { m_facts.clear(); }
    void SetLimits(const ArchiveLimits& limits) { m_limits = limits; }
    const ArchiveLimits& Limits() const { return m_limits; }

  private:
    ArchiveLimits m_limits;
    std::unordered_map<const CMimePart*, PartFacts> m_facts;
};

#endif
