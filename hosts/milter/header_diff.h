/*
 * header_diff.h - what the milter must tell the MTA so that the mail it
 * delivers equals the mail the library wrote.
 *
 * SplitMail cuts a mail text (CR LF or LF line ends) into its header fields
 * and its body. A field keeps its name as written and its raw value: the
 * text after the colon including the leading blank and the folded lines,
 * joined by "\r\n" (the milter asks the MTA for values with their leading
 * blank, so a value goes back exactly as it was read).
 *
 * DiffHeaders compares the header the MTA holds with the header the
 * library wrote and gives exactly the differences. The library writes every
 * field it did not change as read and in its place, a changed field in its
 * place and the fields it adds at the end of the header; so fields equal in
 * name (spelled alike) and value are matched in order (the common head and
 * tail first, the rest through a hash of each field), and between two
 * matched fields a field of each side with the same name is one field
 * changed (Change), the others of the MTA's header were removed (Delete)
 * and the others of the library's were added (Insert where a field of the
 * MTA's header follows, Append at the end). The number of operations is
 * the number of fields changed, added or removed; untouched fields are
 * never deleted and added again (an MTA may refuse to re-add a long field,
 * and each operation costs it work).
 *
 * Changes and deletions come first, from the last field up: a deletion
 * then never shifts an occurrence number still to be used, whether or not
 * the MTA counts deleted fields. Inserts and appends follow from the top
 * down; an insert's position counts the fields above it in the library's
 * header, which by then stand above it in the MTA's header too.
 */
#ifndef MAILWARD_TOOLS_MILTER_HEADER_DIFF_H
#define MAILWARD_TOOLS_MILTER_HEADER_DIFF_H

#include <string>
#include <string_view>
#include <vector>

struct HeaderField {
    std::string name;
    std::string value;  // raw, after the colon; lines joined by "\r\n"
};

enum class HeaderOpKind { Change, Delete, Insert, Append };

struct HeaderOp {
    HeaderOpKind kind = HeaderOpKind::Change;
    std::string name;
    // Change and Delete: occurrence of the name (letter case ignored),
    // from 1, in the header before any op. Insert: fields above it (0: at
    // the top), counted when it is applied.
    int index = 0;
    std::string value;  // Change, Insert and Append
};

// Splits `mail` into header fields and body (the text after the empty line
// that ends the header; empty when there is none). Lines of the header
// that are neither a field nor a continuation are kept as the value of a
// field with an empty name, so no text is lost.
void SplitMail(std::string_view mail, std::vector<HeaderField>& fields, std::string& body);

// The operations that turn `before` into `after` (see the file comment).
std::vector<HeaderOp> DiffHeaders(const std::vector<HeaderField>& before,
                                  const std::vector<HeaderField>& after);

// Applies `ops` to `fields` as the MTA does; the tests use it to prove that
// a diff reproduces the new header.
void ApplyHeaderOps(const std::vector<HeaderOp>& ops, std::vector<HeaderField>& fields);

// `text` with every line end as CR LF.
std::string ToCrLf(std::string_view text);
// `text` with every CR LF as LF (milter header values use LF line breaks).
std::string ToLf(std::string_view text);

bool SameFieldName(std::string_view a, std::string_view b);

// ToCrLf for a text that comes in pieces (a line end may be cut between
// two of them).
class CrLfStream {
  public:
    void Feed(std::string_view piece, std::string& out);

  private:
    bool m_lastWasCr = false;
};

// Where the body of a mail text starts: after the empty line that ends the
// header, or npos while `text` holds no such line yet.
std::size_t BodyOffset(std::string_view text);

#endif
