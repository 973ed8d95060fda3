/*
 * mailaddr.cpp - RFC 5322 address lists: parsing into mailaddr records and
 * matching addresses against pattern addresses.
 *
 *   mailaddr_parse(text)       the list of addresses in `text`, or null with
 *                              a reason for mailaddr_parse_errorstr.
 *   mailaddr_parse_errorstr()  the reason of this thread's last failed parse
 *                              ("no error" after a success).
 *   mailaddr_match(a, list)    2 when the address `a` matches one of the
 *                              addresses of the pattern list, else 0.
 *   mailaddr_free(&list)       releases the records; the list becomes null.
 *
 * What a record holds (every text is the record's own malloc'ed copy):
 *   name     the display name: the words of the phrase with the quotes
 *            removed, quoted pairs resolved, comments left out and each run
 *            of white space made one blank ("A1 (The Enforcer) Gore" gives
 *            "A1 Gore"). Without a phrase, the first non-empty comment of the
 *            address stands in ("joe@x (Joe Public)" gives "Joe Public"), as
 *            older mailers wrote it. Null when there is neither.
 *   local    the local part as written, quotes kept, white space and
 *            comments left out ("\"joe smith\"", "first.last").
 *   domain   the domain as written ("example.com", "[192.0.2.1]"), or null
 *            for a bare local part ("To: baz", "<moderator>").
 *   address  local "@" domain, or the local part alone; "" for the null
 *            address "<>" (which has local "" and no domain).
 *   display  name " <" address ">" when there is a name, else the address
 *            ("<>" for a nameless null address).
 *   route    an obsolete source route "@a,@b" of "<@a,@b:user@c>", or null.
 *   group    the name of the group the address was listed in, or null.
 * A group without members ("undisclosed-recipients:;") gives one record with
 * only `group` and `display` ("undisclosed-recipients:;") set, so that such
 * a list is still recognised as an address list.
 *
 * Accepted beyond strict RFC 5322, because real mail has it: raw 8-bit
 * bytes anywhere; unquoted dots and "@" in display names ("Joe Q. Public",
 * "joe@x.com <joe@x.com>"); empty list elements (", a@b,,"); ";" between
 * addresses instead of ","; a group whose ";" is missing at the end of the
 * text; a bare local part without domain; "[" and "]" inside local parts
 * (wildcard patterns such as "[a-z]*@example.com" parse as addresses).
 * White space includes CR and LF, so folded header values parse as they are.
 *
 * Refused (null): a null or empty text, or one holding no address (only
 * blanks, commas or comments, e.g. "(mailbox in US-ASCII)"); an unterminated
 * quoted string, comment or domain literal; "(" or ")", "<" or ">" without
 * their partner; words that are no address ("Someone Else"); "@" without a
 * local part or domain, or a second "@"; a malformed route; a group inside a
 * group; texts longer than QORCSOCK_MAILADDR_MAX_TEXT bytes and lists of
 * more than QORCSOCK_MAILADDR_MAX_ADDRESSES addresses (both bound the memory
 * a hostile header can make us take). Nothing recurses, so deep nesting of
 * comments costs no stack.
 *
 * Matching: the local parts are compared with their quotes removed (so
 * "\"joe\"@x" equals joe@x), local part with local part and domain with
 * domain, each by shcasematch with the pattern's part as the pattern. A
 * missing domain counts as the empty text. Pattern records without a local
 * part (empty groups) match nothing.
 */
#include "qorcsock/qorcsock.h"
#include "qorcsock/qorcsock_impl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

thread_local char t_parse_error[QORCSOCK_ERRTEXT_MAX] = "no error";

enum class Kind { Atom, Quoted, Literal, Special, End };

struct Token {
    Kind kind;
    char ch;           // the character of a Special
    size_t begin;      // byte offsets of the token in the text (quotes and
    size_t end;        // brackets included)
    bool spaceBefore;  // white space or a comment separates it from the token before
};

struct Comment {
    size_t nextToken;  // index of the token that follows the comment
    size_t begin;      // contents, without the outer parentheses
    size_t end;
};

// One parsed address before it becomes a malloc'ed record.
struct Entry {
    std::optional<std::string> name, local, domain, display, address, route, group;
};

// Raised inside the parser with the reason; caught in mailaddr_parse.
struct ParseError {
    std::string reason;
};

bool IsSpecial(unsigned char c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '@' || c == ',' || c == ';' ||
           c == ':' || c == '"' || c == '.';
}

[[noreturn]] void Fail(const char* what, size_t offset) {
    char buf[QORCSOCK_ERRTEXT_MAX];
    std::snprintf(buf, sizeof buf, "%s at offset %lu", what, static_cast<unsigned long>(offset));
    throw ParseError{buf};
}

// Text with quoted pairs resolved and folding line ends removed; runs of
// white space become one blank when `collapse` is set.
std::string Unescape(const char* p, const char* end, bool collapse) {
    std::string out;
    bool inSpace = false;
    for (; p < end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\' && p + 1 < end) {
            out += *++p;
            inSpace = false;
            continue;
        }
        if (c == '\r' || c == '\n') {
            continue;
        }
        if (collapse && pf::is_blank_or_line_end(c)) {
            if (!inSpace && !out.empty()) {
                out += ' ';
            }
            inSpace = true;
            continue;
        }
        out += static_cast<char>(c);
        inSpace = false;
    }
    if (collapse && !out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

class Parser {
  public:
    Parser(const char* text, size_t len) : m_text(text), m_len(len) {}

    std::vector<Entry> Run() {
        Tokenize();
        ParseList();
        if (m_entries.empty()) {
            throw ParseError{"no address in the text"};
        }
        return std::move(m_entries);
    }

  private:
    // ---- tokens ----------------------------------------------------------

    void Tokenize() {
        size_t i = 0;
        bool space = false;
        while (i < m_len) {
            unsigned char c = static_cast<unsigned char>(m_text[i]);
            if (pf::is_blank_or_line_end(c)) {
                space = true;
                ++i;
            } else if (c == '(') {
                i = SkipComment(i);
                space = true;
            } else if (c == ')') {
                Fail("')' without '('", i);
            } else if (c == '"') {
                size_t end = ScanDelimited(i, '"', "unterminated quoted string");
                Push(Kind::Quoted, 0, i, end, space);
                i = end;
                space = false;
            } else if (c == '[' && LastIsAt()) {
                size_t end = ScanDelimited(i, ']', "unterminated domain literal");
                Push(Kind::Literal, 0, i, end, space);
                i = end;
                space = false;
            } else if (IsSpecial(c)) {
                Push(Kind::Special, static_cast<char>(c), i, i + 1, space);
                ++i;
                space = false;
            } else {
                size_t start = i;
                while (i < m_len && !pf::is_blank_or_line_end(m_text[i]) &&
                       !IsSpecial(static_cast<unsigned char>(m_text[i]))) {
                    ++i;
                }
                Push(Kind::Atom, 0, start, i, space);
                space = false;
            }
        }
        Push(Kind::End, 0, m_len, m_len, space);
    }

    void Push(Kind kind, char ch, size_t begin, size_t end, bool space) {
        m_tokens.push_back(Token{kind, ch, begin, end, space});
    }

    bool LastIsAt() const {
        return !m_tokens.empty() && m_tokens.back().kind == Kind::Special &&
               m_tokens.back().ch == '@';
    }

    // Scans a quoted string or domain literal starting at `open`; gives the
    // offset just past its closing character.
    size_t ScanDelimited(size_t open, char close, const char* unterminated) {
        size_t i = open + 1;
        while (i < m_len) {
            if (m_text[i] == '\\' && i + 1 < m_len) {
                i += 2;
            } else if (m_text[i] == close) {
                return i + 1;
            } else {
                ++i;
            }
        }
        Fail(unterminated, open);
    }

    // Comments nest; a counter (not recursion) tracks the depth.
    size_t SkipComment(size_t open) {
        size_t depth = 0;
        size_t i = open;
        while (i < m_len) {
            char c = m_text[i];
            if (c == '\\' && i + 1 < m_len) {
                i += 2;
                continue;
            }
            if (c == '(') {
                ++depth;
            } else if (c == ')' && --depth == 0) {
                m_comments.push_back(Comment{m_tokens.size(), open + 1, i});
                return i + 1;
            }
            ++i;
        }
        Fail("unterminated comment", open);
    }

    const Token& Tok(size_t i) const { return m_tokens[i]; }
    bool IsChar(size_t i, char ch) const {
        return m_tokens[i].kind == Kind::Special && m_tokens[i].ch == ch;
    }
    bool IsEnd(size_t i) const { return m_tokens[i].kind == Kind::End; }
    bool IsSeparator(size_t i) const { return IsEnd(i) || IsChar(i, ',') || IsChar(i, ';'); }
    std::string Raw(const Token& t) const { return std::string(m_text + t.begin, t.end - t.begin); }

    // ---- list structure ----------------------------------------------------

    void ParseList() {
        while (!IsEnd(m_pos)) {
            if (IsChar(m_pos, ',') || IsChar(m_pos, ';')) {
                ++m_pos;  // empty element, or ";" used as a separator
                continue;
            }
            bool wasGroup = ParseElement(nullptr);
            if (!wasGroup && !IsSeparator(m_pos)) {
                Fail("missing ',' between addresses", Tok(m_pos).begin);
            }
        }
    }

    // One mailbox or group starting at m_pos; true when it was a group.
    // `group` is the name of the enclosing group, or null at the top level.
    bool ParseElement(const std::string* group) {
        size_t start = m_pos;
        size_t j = start;
        while (!IsEnd(j) && !IsChar(j, ',') && !IsChar(j, ';') && !IsChar(j, '<') &&
               !IsChar(j, ':') && !IsChar(j, '>')) {
            ++j;
        }
        if (IsChar(j, '>')) {
            Fail("'>' without '<'", Tok(j).begin);
        }
        if (IsChar(j, ':')) {
            if (group != nullptr) {
                Fail("group inside a group", Tok(j).begin);
            }
            ParseGroup(start, j);
            return true;
        }
        Entry entry;
        if (IsChar(j, '<')) {
            ParseNameAddr(start, j, entry);
        } else {
            ParseAddrSpec(start, j, entry);
            m_pos = j;
        }
        if (group != nullptr) {
            entry.group = *group;
        }
        Finish(entry, start, m_pos);
        return false;
    }

    void ParseGroup(size_t start, size_t colon) {
        std::string name = Phrase(start, colon);
        m_pos = colon + 1;
        size_t before = m_entries.size();
        while (!IsEnd(m_pos)) {  // a missing ';' at the very end is forgiven
            if (IsChar(m_pos, ';')) {
                ++m_pos;
                break;
            }
            if (IsChar(m_pos, ',')) {
                ++m_pos;
                continue;
            }
            ParseElement(&name);
            if (!IsSeparator(m_pos)) {
                Fail("missing ',' between addresses", Tok(m_pos).begin);
            }
        }
        if (m_entries.size() == before) {
            Entry entry;
            entry.group = name;
            entry.display = name + ":;";
            Add(std::move(entry));
        }
    }

    // [phrase] "<" [route ":"] [addr-spec] ">"
    void ParseNameAddr(size_t start, size_t open, Entry& entry) {
        std::string name = Phrase(start, open);
        if (!name.empty()) {
            entry.name = name;
        }
        m_pos = open + 1;
        if (IsChar(m_pos, '@')) {
            entry.route = ParseRoute();
        }
        size_t close = m_pos;
        while (!IsEnd(close) && !IsChar(close, '>') && !IsChar(close, '<') && !IsChar(close, ',') &&
               !IsChar(close, ';') && !IsChar(close, ':')) {
            ++close;
        }
        if (IsEnd(close) || IsChar(close, ',') || IsChar(close, ';')) {
            Fail("'<' without '>'", Tok(open).begin);
        }
        if (!IsChar(close, '>')) {
            Fail("unexpected character in angle address", Tok(close).begin);
        }
        if (close == m_pos) {
            entry.local = std::string();  // "<>": the null address
        } else {
            ParseAddrSpec(m_pos, close, entry);
        }
        m_pos = close + 1;
        if (!IsSeparator(m_pos)) {
            Fail("text after '>'", Tok(m_pos).begin);
        }
    }

    // "@a,@b:" in front of the address; empty elements between the commas
    // are tolerated as the obsolete syntax allows.
    std::string ParseRoute() {
        std::string route;
        while (true) {
            if (!IsChar(m_pos, '@')) {
                Fail("malformed route", Tok(m_pos).begin);
            }
            size_t at = m_pos++;
            size_t end = m_pos;
            while (Tok(end).kind == Kind::Atom || Tok(end).kind == Kind::Literal ||
                   IsChar(end, '.')) {
                ++end;
            }
            std::string domain = Domain(m_pos, end, Tok(at).begin);
            if (!route.empty()) {
                route += ',';
            }
            route += '@' + domain;
            m_pos = end;
            if (IsChar(m_pos, ':')) {
                ++m_pos;
                return route;
            }
            if (!IsChar(m_pos, ',')) {
                Fail("malformed route", Tok(m_pos).begin);
            }
            while (IsChar(m_pos, ',')) {
                ++m_pos;
            }
        }
    }

    // local-part ["@" domain] over the tokens [begin, end).
    void ParseAddrSpec(size_t begin, size_t end, Entry& entry) {
        size_t at = begin;
        while (at < end && !IsChar(at, '@')) {
            ++at;
        }
        std::string local;
        for (size_t i = begin; i < at; ++i) {
            const Token& t = Tok(i);
            if (t.kind == Kind::Special && t.ch != '.') {
                Fail("unexpected character in address", t.begin);
            }
            // Words need a dot between them unless they touch ("a"b).
            if (i > begin && t.spaceBefore && t.kind != Kind::Special && !IsChar(i - 1, '.')) {
                Fail("words that are no address", Tok(begin).begin);
            }
            local += Raw(t);
        }
        if (at == end) {
            if (local.empty()) {
                Fail("no address", Tok(begin).begin);
            }
            entry.local = local;
            return;
        }
        if (local.empty()) {
            Fail("no local part before '@'", Tok(at).begin);
        }
        entry.local = local;
        entry.domain = Domain(at + 1, end, Tok(at).begin);
    }

    // dot-atom, domain literal or obsolete domain over [begin, end); pieces
    // that touch are joined ("[a-z]*.com" in patterns), pieces apart need a
    // dot between them.
    std::string Domain(size_t begin, size_t end, size_t atOffset) {
        std::string domain;
        for (size_t i = begin; i < end; ++i) {
            const Token& t = Tok(i);
            if (IsChar(i, '@')) {
                Fail("second '@' in address", t.begin);
            }
            if (t.kind == Kind::Special && t.ch != '.') {
                Fail("unexpected character in domain", t.begin);
            }
            if (i > begin && t.spaceBefore && t.kind != Kind::Special && !IsChar(i - 1, '.')) {
                Fail("blank inside domain", t.begin);
            }
            domain += Raw(t);
        }
        if (domain.empty()) {
            Fail("no domain after '@'", atOffset);
        }
        return domain;
    }

    // The display name over [begin, end): words joined by one blank where
    // the text had white space or a comment between them.
    std::string Phrase(size_t begin, size_t end) const {
        std::string out;
        for (size_t i = begin; i < end; ++i) {
            const Token& t = Tok(i);
            if (!out.empty() && t.spaceBefore) {
                out += ' ';
            }
            if (t.kind == Kind::Quoted) {
                out += Unescape(m_text + t.begin + 1, m_text + t.end - 1, false);
            } else {
                out += Raw(t);
            }
        }
        return out;
    }

    // Fills the derived texts and takes a comment as name when there is no
    // phrase; [first, last] are the tokens of the element, its separator
    // included, so comments just before the separator count.
    void Finish(Entry& entry, size_t first, size_t last) {
        if (!entry.name) {
            for (const Comment& c : m_comments) {
                if (c.nextToken >= first && c.nextToken <= last) {
                    std::string text = Unescape(m_text + c.begin, m_text + c.end, true);
                    if (!text.empty()) {
                        entry.name = text;
                        break;
                    }
                }
            }
        }
        std::string address = *entry.local;
        if (entry.domain) {
            address += '@' + *entry.domain;
        }
        bool isNull = entry.local->empty() && !entry.domain;
        if (entry.name) {
            entry.display = *entry.name + " <" + address + ">";
        } else {
            entry.display = isNull ? std::string("<>") : address;
        }
        entry.address = address;
        Add(std::move(entry));
    }

    void Add(Entry&& entry) {
        if (m_entries.size() >= QORCSOCK_MAILADDR_MAX_ADDRESSES) {
            char buf[QORCSOCK_ERRTEXT_MAX];
            std::snprintf(buf, sizeof buf, "more than %d addresses",
                          QORCSOCK_MAILADDR_MAX_ADDRESSES);
            throw ParseError{buf};
        }
        m_entries.push_back(std::move(entry));
    }

    const char* m_text;
    size_t m_len;
    size_t m_pos = 0;
    std::vector<Token> m_tokens;
    std::vector<Comment> m_comments;
    std::vector<Entry> m_entries;
};

void SetError(const std::string& reason) {
    std::snprintf(t_parse_error, sizeof t_parse_error, "%s", reason.c_str());
}

char* Copy(const std::optional<std::string>& text, bool& failed) {
    if (!text) {
        return nullptr;
    }
    char* copy = pf::copy_terminated(text->data(), text->size());
    failed = failed || copy == nullptr;
    return copy;
}

void FreeRecord(mailaddr* a) {
    std::free(a->name);
    std::free(a->local);
    std::free(a->domain);
    std::free(a->display);
    std::free(a->address);
    std::free(a->route);
    std::free(a->group);
    std::free(a);
}

// The local part with quotes removed and quoted pairs resolved, so that
// "\"joe\"" and joe compare equal.
std::string Unquote(const char* local) {
    std::string out;
    bool quoted = false;
    for (const char* p = local; *p != '\0'; ++p) {
        if (*p == '"') {
            quoted = !quoted;
        } else if (quoted && *p == '\\' && p[1] != '\0') {
            out += *++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

extern "C" QORCSOCK_API void mailaddr_free(mailaddr** list) {
    if (list == nullptr) {
        return;
    }
    mailaddr* a = *list;
    while (a != nullptr) {
        mailaddr* next = a->next;
        FreeRecord(a);
        a = next;
    }
    *list = nullptr;
}

extern "C" QORCSOCK_API mailaddr* mailaddr_parse(const char* text) {
    if (text == nullptr) {
        SetError("no text");
        return nullptr;
    }
    mailaddr* head = nullptr;
    try {
        size_t len = std::strlen(text);
        if (len > QORCSOCK_MAILADDR_MAX_TEXT) {
            char buf[QORCSOCK_ERRTEXT_MAX];
            std::snprintf(buf, sizeof buf, "text longer than %d bytes", QORCSOCK_MAILADDR_MAX_TEXT);
            SetError(buf);
            return nullptr;
        }
        std::vector<Entry> entries = Parser(text, len).Run();
        mailaddr** tail = &head;
        for (const Entry& e : entries) {
            mailaddr* a = static_cast<mailaddr*>(std::calloc(1, sizeof(mailaddr)));
            if (a == nullptr) {
                throw std::bad_alloc();
            }
            *tail = a;
            tail = &a->next;
            bool failed = false;
            a->name = Copy(e.name, failed);
            a->local = Copy(e.local, failed);
            a->domain = Copy(e.domain, failed);
            a->display = Copy(e.display, failed);
            a->address = Copy(e.address, failed);
            a->route = Copy(e.route, failed);
            a->group = Copy(e.group, failed);
            if (failed) {
                throw std::bad_alloc();
            }
        }
    } catch (const ParseError& e) {
        mailaddr_free(&head);
        SetError(e.reason);
        return nullptr;
    } catch (...) {
        mailaddr_free(&head);
        SetError("out of memory");
        return nullptr;
    }
    SetError("no error");
    return head;
}

extern "C" QORCSOCK_API const char* mailaddr_parse_errorstr(void) {
    return t_parse_error;
}

extern "C" QORCSOCK_API int mailaddr_match(const mailaddr* address, const mailaddr* pattern) {
    if (address == nullptr || address->local == nullptr) {
        return 0;
    }
    try {
        const std::string local = Unquote(address->local);
        const char* domain = address->domain != nullptr ? address->domain : "";
        for (const mailaddr* p = pattern; p != nullptr; p = p->next) {
            if (p->local == nullptr) {
                continue;
            }
            if (shcasematch(local.c_str(), Unquote(p->local).c_str()) &&
                shcasematch(domain, p->domain != nullptr ? p->domain : "")) {
                return 2;
            }
        }
    } catch (...) {
        // Out of memory: no match rather than an exception into C callers.
    }
    return 0;
}
