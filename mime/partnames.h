/*
 * partnames.h - every file name a part carries, read the ways mail clients
 * read them, for the attachment rules (which act when any of them matches).
 *
 *   MimePartNames(part)   the names of one part: GetName() first (the name
 *                         the report shows, kept as it is), then every name
 *                         of every Content-Type and Content-Disposition field
 *                         of the part (MimeNamesOfValue on each; a uuencoded
 *                         container inside a multipart, which GetName names
 *                         as a block, has its fields read too); duplicates
 *                         left out, empty names too. Never throws (an empty
 *                         list when memory is short).
 *   MimeNamesOfValue(value, names)
 *                         appends the names held by the parameters of one
 *                         Content-Type or Content-Disposition value:
 *                         "name" and "filename" (either field: clients
 *                         differ in which they read where), every occurrence
 *                         of a duplicated parameter, each in these forms:
 *                           plain or quoted (backslash escapes; a quote not
 *                             closed runs to the end);
 *                           RFC 2231 charset form name*=charset'lang'a%2Eexe
 *                             (%XX decoded, the charset is not applied);
 *                           RFC 2231 continuations name*0=, name*1*= ...
 *                             joined in index order, %-decoded where the
 *                             segment's name ends in "*";
 *                           RFC 2047 encoded words in the value, decoded
 *                             (the raw value is listed as well).
 *                         Folded values (lines joined by LF and a blank or
 *                         tab) give both readings: with the folding white
 *                         space and without it.
 *
 *   MimeReportName(part)  the name a report shows for the part: GetName(),
 *                         or, for a part named only in RFC 2231 form (which
 *                         GetName does not read), the first of its names
 *                         above, control characters blanked; empty when it
 *                         has none.
 *
 *   MimeParamValues(value, param)
 *                         every value of one parameter (a duplicated
 *                         boundary gives all of its values).
 *
 * Decoding goes through the codec layer: encoded words by DecodeHeaderData,
 * %XX of RFC 2231 by the quoted-printable decoder (%XX is its =XX).
 *
 * Limits: MAX_NAME_SEGMENTS continuation segments per parameter are joined;
 * higher indexes are ignored (a client never gets that far either).
 * Linear in the length of the value apart from the sort of the segments.
 */
#ifndef MAILWARD_PARTNAMES_H
#define MAILWARD_PARTNAMES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CMimePart;

// Continuation segments of one RFC 2231 parameter that are joined.
constexpr std::size_t MAX_NAME_SEGMENTS = 1000;

std::vector<std::string> MimePartNames(const CMimePart& part);
std::string MimeReportName(const CMimePart& part);
void MimeNamesOfValue(std::string_view strValue, std::vector<std::string>& names);
// Every value of the parameter `param` (lower case) in one structured field
// value, in the order they stand, read as MimeNamesOfValue reads them.
std::vector<std::string> MimeParamValues(std::string_view strValue, std::string_view param);

#endif
