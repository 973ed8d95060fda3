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
 *   MimeStrictReadFile(path, reading)  the same over a mail file, read with
 *                                      LF line ends as the parser loads it
 *                                      (so that places agree); false also
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
 *     Parameters are found by their whole name, the boundary in its RFC
 *     2231 forms too (boundary*=, boundary*0= ...);
 *   - a text part (text/..., or one without Content-Type) is looked into
 *     after its transfer encoding is undone, as readers do: every line that
 *     opens an encoded block (a uuencode begin line, a yEnc begin line, a
 *     BinHex marker: the parser's rules) is a part of its own, named by that
 *     line or by the BinHex header.
 *
 * Every part with at least one name (partnames.h: MimePartNameList of its
 * header fields; a name a limit cut counts, listed with "..." behind it) is
 * listed once, with its header record (the fields as the header library
 * holds them, no contents) so that rules can be tested on it exactly as on
 * a part of the parser's tree (Head(): for a block, a block inside a
 * container), where it is in the tree ("1.2" is the second part of the
 * first part; "m" enters an attached message; "1~2" is the first part of a
 * second reading of the same body; "1.2#1" the first block in part 1.2),
 * and its place in the text read: [nStart, nEnd), the bytes from the first
 * line of its header to the end of its body (a block: its opening line). A part inside an attached
 * message that had to be decoded, or a block in a text that had to be,
 * has the place of the part that carried it in the mail.
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
    std::string strWhere;              // where in the strict tree ("" the mail)
    std::unique_ptr<CMimePart> pHead;  // header fields only; for a block, its container
    std::vector<std::string> names;    // the names of Head(), cut ones with "..."
    std::size_t nStart = 0;            // place in the text read: [nStart, nEnd)
    std::size_t nEnd = 0;

    // The part rules are tested on: the header, or the block inside it.
    CMimePart* Head() const { return pHead->GetPartCount() > 0 ? pHead->GetPart(0) : pHead.get(); }
};

struct StrictReading {
    std::vector<StrictPart> parts;  // every part with a name, in mail order
    bool bLimited = false;          // a limit stopped the reading
};

bool MimeStrictRead(const char* pText, std::size_t nLength, StrictReading& reading);
bool MimeStrictReadFile(const char* pszPath, StrictReading& reading);

#endif
