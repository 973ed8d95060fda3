/*
 * strictread.h - a strict reading of a mail, as RFC 2045/2046/2183/2231 mail
 * clients read it, beside the tolerant parser (which stays as it is): it
 * lists every part that carries a file name, so that a check can see
 * whether an attachment hides where the parser's tree differs from what a
 * client shows.
 *
 *   MimeStrictRead(text, n, reading)   reads n bytes (CR LF or LF line ends,
 *                                      zero bytes are data); true when the
 *                                      whole mail was read, false when a
 *                                      limit stopped it (bLimited set; what
 *                                      was found so far is in `reading`) or
 *                                      memory is short.
 *   MimeStrictReadFile(path, reading)  the same over a mail file; false also
 *                                      when it cannot be read.
 *
 * How the mail is read:
 *   - a header block ends at the first empty line; lines led by white space
 *     continue the field before them; a part that starts with an empty line
 *     has no fields and its body follows that line; a first line that is
 *     not empty and holds no colon is the first line of a part without
 *     header lines;
 *   - a delimiter is a line that starts with "--" and the boundary and has
 *     nothing but white space behind it; "--" boundary "--" at a line's
 *     start closes the multipart. Nothing else ends a body part: "--"
 *     boundary in the middle of a line is text. The line end in front of a
 *     delimiter belongs to the delimiter; preamble and epilogue hold no
 *     parts; a multipart without closing delimiter ends with the text;
 *     an empty boundary (no boundary by the RFC) is read as one, at lines
 *     of a bare "--", as some readers do;
 *   - a part without Content-Type is text/plain, inside multipart/digest
 *     message/rfc822;
 *   - message/rfc822 (and message/global) parts are read as mails of their
 *     own, recursively, after undoing a base64 or quoted-printable transfer
 *     encoding;
 *   - duplicated Content-Type fields and duplicated boundary parameters:
 *     clients differ (some take the first, as the parser does, others the
 *     last). Both are read, the first and the last (when they differ), and
 *     the parts of both readings are listed: an attachment that either kind
 *     of client shows must be seen. The work budget bounds the extra reading.
 *
 * Every part with at least one name (partnames.h: MimePartNames of its
 * header fields) is listed once, with its header record (the fields as the
 * header library holds them, no contents) so that rules can be tested on it
 * exactly as on a part of the parser's tree, and its place ("1.2" is the
 * second part of the first part; "m" enters an attached message; "1~2" is
 * the first part of a second reading of the same body).
 *
 * Limits (named below): STRICT_MAX_DEPTH levels of nesting (multiparts and
 * attached messages), STRICT_MAX_PARTS parts, STRICT_WORK_FACTOR times the
 * mail's size of bytes scanned in all (nested levels scan their text again,
 * duplicated readings once more). Each is checked before work is done, so a
 * reading is linear in the mail's size.
 */
#ifndef MAILWARD_STRICTREAD_H
#define MAILWARD_STRICTREAD_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/mimepart.h"

// Levels of multiparts and attached messages below the mail that are read.
constexpr int STRICT_MAX_DEPTH = 32;
// Parts that one reading looks at.
constexpr std::size_t STRICT_MAX_PARTS = 10000;
// Bytes scanned in all, as a multiple of the mail's size.
constexpr std::size_t STRICT_WORK_FACTOR = 64;

struct StrictPart {
    std::string strWhere;              // place in the strict tree ("" the mail)
    std::unique_ptr<CMimePart> pHead;  // header fields only
    std::vector<std::string> names;    // MimePartNames of pHead
};

struct StrictReading {
    std::vector<StrictPart> parts;  // every part with a name, in mail order
    bool bLimited = false;          // a limit stopped the reading
};

bool MimeStrictRead(const char* pText, std::size_t nLength, StrictReading& reading);
bool MimeStrictReadFile(const char* pszPath, StrictReading& reading);

#endif
