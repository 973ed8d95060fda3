/*
 * archive_list.h - the members of an archive held in memory, read with
 * libarchive: their names, their types (content_type.h) and whether they
 * are encrypted, through archives nested inside to a depth limit.
 *
 *   inspect_list_archive(data, n, type, name, limits, listing)
 *     Lists the archive of `type` (inspect_is_archive; any other type is
 *     not an archive and gives false with nothing listed). Formats: zip
 *     (zip64 too; read through its central directory), 7z, rar and rar 5,
 *     tar (plain, or in gzip, bzip2 or xz), cab and ISO 9660. A gzip,
 *     bzip2 or xz stream that holds no tar is one member, named after
 *     `name` without its compression suffix. Each member's type is found
 *     from its first TYPE_PROBE_BYTES bytes; a member whose type is an
 *     archive is read whole and listed in its turn, its members named
 *     "outer/inner" (ArchiveMember::path).
 *     True when the data is an archive (whatever the outcome). Outcomes,
 *     in `listing`:
 *       bEncrypted   a member, or the archive's own header, is encrypted:
 *                    what it holds cannot be looked into;
 *       bUnreadable  the listing is not whole: the archive is damaged or
 *                    of a format the library cannot read, a member could
 *                    not be read, or a limit was reached (strProblem says
 *                    which; what was listed before it is kept).
 *     Neither is ever taken as clean by the callers: the rules name both
 *     (attachment-encrypted, attachment-unreadable).
 *
 * Limits (ArchiveLimits, every level counted together; defaults below, the
 * service takes them from its configuration):
 *   nMaxMembers   members listed in all; one more makes the listing
 *                 unreadable;
 *   nMaxDepth     levels of archives looked into (the archive itself is
 *                 level 1); an archive member at the last level is
 *                 unreadable;
 *   nMaxUnpacked  bytes the members hold in all, as their headers declare
 *                 them or, where they declare nothing, as read; a member
 *                 that takes the sum past it makes the listing unreadable
 *                 before it is unpacked (a zip bomb costs nothing);
 *   nMaxMillis    milliseconds of one listing, checked between members
 *                 and between blocks of data.
 * Memory: a nested archive is held whole while it is listed (at most
 * nMaxUnpacked bytes in all); other members only up to TYPE_PROBE_BYTES.
 * Time: linear in the bytes read; members that are not archives are
 * skipped, not unpacked, where the format allows (zip, 7z index).
 *
 * Windows builds have no libarchive: every archive is listed as unreadable
 * ("archives cannot be listed on this platform").
 *
 * Threads: any number at once; nothing is shared.
 */
#ifndef MAILWARD_INSPECT_ARCHIVE_LIST_H
#define MAILWARD_INSPECT_ARCHIVE_LIST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t ARCHIVE_MAX_MEMBERS = 10000;
constexpr int ARCHIVE_MAX_DEPTH = 8;
constexpr std::uint64_t ARCHIVE_MAX_UNPACKED = 512ull * 1024 * 1024;
constexpr std::uint64_t ARCHIVE_MAX_MILLIS = 20000;

struct ArchiveLimits {
    std::size_t nMaxMembers = ARCHIVE_MAX_MEMBERS;
    int nMaxDepth = ARCHIVE_MAX_DEPTH;
    std::uint64_t nMaxUnpacked = ARCHIVE_MAX_UNPACKED;
    std::uint64_t nMaxMillis = ARCHIVE_MAX_MILLIS;
};

struct ArchiveMember {
    std::string strName;  // the member's name inside its own archive
    std::string strPath;  // names from the outermost archive, joined by "/"
    std::string strType;  // type of its bytes ("" when they were not read)
    int nDepth = 1;       // level of the archive that holds it
    bool bEncrypted = false;
};

struct ArchiveListing {
    std::vector<ArchiveMember> members;  // in archive order, nested ones after their archive
    bool bEncrypted = false;
    bool bUnreadable = false;
    std::string strProblem;       // why the listing is unreadable
    std::uint64_t nUnpacked = 0;  // bytes counted against nMaxUnpacked
};

bool inspect_list_archive(const void* pData, std::size_t nLength, std::string_view type,
                          std::string_view name, const ArchiveLimits& limits,
                          ArchiveListing& listing);

#endif
