/*
 * parts_processor.h - the walk over a mail's part tree that every part
 * processor shares, and the replacement of a part by a notice text.
 *
 * ProcessParts(part) walks depth first, each part before its sub-parts, and
 * hands each part to the kind's ProcessPart:
 *   - a part without a record in the check report, or whose record has the
 *     code PART_REMOVED (32), is passed over with everything below it;
 *   - so is a notice the check itself put in (m_bInserted, set by
 *     delete_part): no later pass of the same check matches, moves or
 *     removes it again, even when a freed part's record is found under the
 *     new part's address;
 *   - a part whose parent does not hold it stops the walk with -1 and the
 *     error "CBasePartsProcessor::ProcessPart() - invalid parent part";
 *   - ProcessPart -1 stops the walk at once (later parts stay unvisited);
 *     a positive code means the part was acted upon: its sub-parts are not
 *     visited;
 *   - the result is -1 or the largest code of the walk (0: nothing done).
 *
 * delete_part(part, name, notice) puts a notice text in the place of a part:
 *   - the mail's top part becomes a text/plain, quoted-printable part holding
 *     the notice, without Content-Disposition; its sub-parts go with the
 *     removed contents (a removed part must not stay in the mail as body
 *     parts of a text part);
 *   - a top part that carries uuencoded blocks cannot be replaced: -1;
 *   - any other part is replaced in its parent by a text part (a uuencoded
 *     block when the parent carries blocks) named `name`; a parent that
 *     carries blocks also gets the notice appended to its own text.
 *   The notice part (the top part itself, when it was the one replaced) is
 *   marked inserted. Result 0, or -1 with the tree unchanged.
 *
 * Processors run on the worker thread only, over a tree no other thread sees.
 *
 * Errors (the whole processor layer): -1 stops a walk and is the result of
 * a failure, with an error line; positive codes say what was done; nothing
 * is thrown (a failed allocation is a -1).
 */
#ifndef MAILWARD_PARTS_PROCESSOR_H
#define MAILWARD_PARTS_PROCESSOR_H

#include "mime/mimepart.h"
#include "report/check_report.h"

class CBasePartsProcessor {
  public:
    explicit CBasePartsProcessor(CCheckReport* pReport) : m_pReport(pReport) {}
    virtual ~CBasePartsProcessor() = default;
    CBasePartsProcessor(const CBasePartsProcessor&) = delete;
    CBasePartsProcessor& operator=(const CBasePartsProcessor&) = delete;

    int ProcessParts(CMimePart* pPart);
    virtual int ProcessPart(CMimePart* pPart);

    static int delete_part(CMimePart* pPart, const char* pszName, const char* pszNotice);

  protected:
    int m_nLogChannel = -1;
    CCheckReport* m_pReport;
};

// The part's file name, or "unnamed" when it has none.
std::string PartNameOrUnnamed(const CMimePart* pPart);

#endif
