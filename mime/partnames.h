/*
 * partnames.h - every file name a part carries, read the ways mail clients
 * read them and as the reader's file system opens them, for the attachment
 * rules (which act when any of them matches).
 *
 *   MimePartNameList(part)
 *                         the names of one part: GetName() first (the name
 *                         the report shows, kept as it is), then every name
 *                         of every Content-Type and Content-Disposition field
 *                         of the part (MimeNamesOfValue on each; a uuencoded
 *                         container inside a multipart, which GetName names
 *                         as a block, has its fields read too); duplicates
 *                         left out, empty names too. `cut` holds the names a
 *                         limit cut, each known only up to where it was cut
 *                         (a rule must treat such a name as suspicious,
 *                         never as absent). Never throws (empty lists when
 *                         memory is short).
 *   MimePartNames(part)   the `names` of MimePartNameList.
 *   MimeNamesOfValue(value, names, cut)
 *                         appends the names held by the parameters of one
 *                         Content-Type or Content-Disposition value:
 *                         "name" and "filename" (either field: clients
 *                         differ in which they read where), every occurrence
 *                         of a duplicated parameter, each in these forms:
 *                           plain or quoted (backslash escapes; a quote not
 *                             closed runs to the end);
 *                           RFC 2231 charset form name*=charset'lang'a%2Eexe:
 *                             the bytes %XX decoded, and those bytes read in
 *                             their charset (as UTF-8);
 *                           RFC 2231 continuations name*0=, name*1*= ...
 *                             joined in index order (all of them, and those
 *                             in front of the first missing index when one
 *                             is missing), %-decoded where the segment's
 *                             name ends in "*", the charset of segment 0
 *                             applied as above;
 *                           RFC 2047 encoded words in the value: decoded
 *                             byte-wise (DecodeHeaderData), and as readers
 *                             show them (DecodeHeaderWords: in their
 *                             charset, adjacent words joined, a malformed
 *                             word spoiling only itself);
 *                         a "utf-16", "ucs-2" or "utf-32" text without byte
 *                         order mark is read in both byte orders; and every
 *                         form also as MimeOpenedName gives it.
 *                         Folded values (lines joined by LF and a blank or
 *                         tab) give both readings: with the folding white
 *                         space and without it.
 *   MimeOpenedName(name)  the name of the file the reader's file system
 *                         opens: cut at its first zero byte, and trailing
 *                         blanks and dots and the stream suffix "::$DATA"
 *                         (the file's own data, any case) removed for as
 *                         long as one stands at the end ("evil.exe. " and
 *                         "evil.exe::$DATA" open evil.exe on Windows).
 *
 *   MimeReportName(part)  the name a report shows for the part: GetName(),
 *                         or, for a part named only in RFC 2231 form (which
 *                         GetName does not read), the first of its names
 *                         above, control characters blanked; empty when it
 *                         has none.
 *
 *   MimeParamValues(value, param)
 *                         every value of one parameter (a duplicated
 *                         boundary gives all of its values): plain or
 *                         quoted, then the RFC 2231 forms param*= (its
 *                         bytes, %-decoded) and param*0, param*1, ...
 *                         joined.
 *
 * Decoding goes through the codec layer: encoded words by DecodeHeaderData
 * and DecodeHeaderWords, %XX of RFC 2231 by the quoted-printable decoder
 * (%XX is its =XX), charsets by pf::charset_to_utf8.
 *
 * Limits: MAX_NAME_SEGMENTS continuation segments per parameter are joined;
 * a parameter with a higher index gives the joined name as cut (a client
 * may read past the limit, so the name is not known whole). Linear in the
 * length of the value apart from the sort of the segments.
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

struct MimeNameList {
    std::vector<std::string> names;  // every name, in every form
    std::vector<std::string> cut;    // names a limit cut: known up to here
};

MimeNameList MimePartNameList(const CMimePart& part);
std::vector<std::string> MimePartNames(const CMimePart& part);
std::string MimeReportName(const CMimePart& part);
void MimeNamesOfValue(std::string_view strValue, std::vector<std::string>& names,
                      std::vector<std::string>* pCut = nullptr);
std::string MimeOpenedName(std::string_view strName);
// Every value of the parameter `param` (lower case) in one structured field
// value, in the order they stand, read as MimeNamesOfValue reads them.
std::vector<std::string> MimeParamValues(std::string_view strValue, std::string_view param);

#endif
