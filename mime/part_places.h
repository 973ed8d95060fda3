/*
 * part_places.h - where each part of a parser's tree stood in the text it
 * was read from.
 *
 *   CPartPlaceSnapshot(root)
 *     The place [m_nMailStart, m_nMailEnd) of every part of the tree under
 *     `root` that came from the text, keyed by the part's address as report
 *     records know it. Taken before a check replaces parts, so that a part
 *     replaced by a notice is still found by the record of what was done.
 *   Find(part)
 *     The place of `part`, or null when it was not in the tree or did not
 *     come from the text.
 */
#ifndef MAILWARD_PART_PLACES_H
#define MAILWARD_PART_PLACES_H

#include <cstddef>
#include <unordered_map>
#include <utility>

#include "mime/mimepart.h"

class CPartPlaceSnapshot {
  public:
    explicit CPartPlaceSnapshot(CMimePart* pRoot);
    const std::pair<std::size_t, std::size_t>* Find(const void* pPart) const;

  private:
    void Add(CMimePart* pPart);
    std::unordered_map<const void*, std::pair<std::size_t, std::size_t>> m_places;
};

#endif
