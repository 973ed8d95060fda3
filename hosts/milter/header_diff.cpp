/*
 * header_diff.cpp - header fields of a mail and the milter header
 * operations between two headers.
 */
#include "header_diff.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>

#include "common/text.h"

namespace {

// One line of `text` from `pos`, without its line end; `next` is where the
// following line starts.
std::string_view LineAt(std::string_view text, std::size_t pos, std::size_t& next) {
    const std::size_t lf = text.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    next = lf == std::string_view::npos ? text.size() : lf + 1;
    if (end > pos && text[end - 1] == '\r')
        --end;
    return text.substr(pos, end - pos);
}

// Occurrence number (from 1) of each field's name among the fields up to it.
std::vector<int> Occurrences(const std::vector<HeaderField>& fields) {
    std::map<std::string, int> seen;
    std::vector<int> n;
    n.reserve(fields.size());
    for (const HeaderField& f : fields)
        n.push_back(++seen[kit::ascii_lower(f.name)]);
    return n;
}

}  // namespace

bool SameFieldName(std::string_view a, std::string_view b) {
    return kit::equals_nocase(a, b);
}

std::string ToCrLf(std::string_view text) {
    CrLfStream stream;
    std::string out;
    stream.Feed(text, out);
    return out;
}

void CrLfStream::Feed(std::string_view piece, std::string& out) {
    out.clear();
    out.reserve(piece.size() + piece.size() / 32 + 1);
    // Whole runs up to each LF at once: the body of a mail is mostly long
    // runs without one.
    std::size_t at = 0;
    while (at < piece.size()) {
        const void* hit = std::memchr(piece.data() + at, '\n', piece.size() - at);
        if (hit == nullptr) {
            out.append(piece.data() + at, piece.size() - at);
            break;
        }
        const std::size_t lf =
            static_cast<std::size_t>(static_cast<const char*>(hit) - piece.data());
        out.append(piece.data() + at, lf - at);
        const bool crBefore = lf > 0 ? piece[lf - 1] == '\r' : m_lastWasCr;
        if (!crBefore)
            out += '\r';
        out += '\n';
        at = lf + 1;
    }
    if (!piece.empty())
        m_lastWasCr = piece.back() == '\r';
}

std::size_t BodyOffset(std::string_view text) {
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        if (text[lineStart] == '\n')
            return lineStart + 1;
        if (text[lineStart] == '\r' && lineStart + 1 < text.size() && text[lineStart + 1] == '\n')
            return lineStart + 2;
        const std::size_t lf = text.find('\n', lineStart);
        if (lf == std::string_view::npos)
            break;
        lineStart = lf + 1;
    }
    return std::string_view::npos;
}

std::string ToLf(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

void SplitMail(std::string_view mail, std::vector<HeaderField>& fields, std::string& body) {
    fields.clear();
    body.clear();
    std::size_t pos = 0;
    while (pos < mail.size()) {
        std::size_t next = 0;
        const std::string_view line = LineAt(mail, pos, next);
        if (line.empty()) {
            body.assign(mail.substr(next));
            return;
        }
        const bool continuation = line[0] == ' ' || line[0] == '\t';
        const std::size_t colon = line.find(':');
        const bool named = !continuation && colon != std::string_view::npos && colon > 0 &&
                           line.substr(0, colon).find_first_of(" \t") == std::string_view::npos;
        if (continuation && !fields.empty()) {
            fields.back().value += "\r\n";
            fields.back().value += line;
        } else if (named) {
            fields.push_back(
                {std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))});
        } else {
            fields.push_back({"", std::string(line)});
        }
        pos = next;
    }
}

std::vector<HeaderOp> DiffHeaders(const std::vector<HeaderField>& before,
                                  const std::vector<HeaderField>& after) {
    std::size_t kept = 0;  // fields that stay in place (names spelled alike)
    while (kept < before.size() && kept < after.size() && before[kept].name == after[kept].name)
        ++kept;
    const std::vector<int> occurrence = Occurrences(before);
    std::vector<HeaderOp> ops;
    for (std::size_t r = before.size(); r-- > 0;) {
        if (r >= kept)
            ops.push_back({HeaderOpKind::Delete, before[r].name, occurrence[r], ""});
        else if (before[r].value != after[r].value)
            ops.push_back({HeaderOpKind::Change, before[r].name, occurrence[r], after[r].value});
    }
    for (std::size_t j = kept; j < after.size(); ++j)
        ops.push_back({HeaderOpKind::Append, after[j].name, 0, after[j].value});
    return ops;
}

void ApplyHeaderOps(const std::vector<HeaderOp>& ops, std::vector<HeaderField>& fields) {
    for (const HeaderOp& op : ops) {
        if (op.kind == HeaderOpKind::Append) {
            fields.push_back({op.name, op.value});
            continue;
        }
        int seen = 0;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (!SameFieldName(fields[i].name, op.name) || ++seen != op.index)
                continue;
            if (op.kind == HeaderOpKind::Delete)
                fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(i));
            else
                fields[i].value = op.value;
            break;
        }
    }
}
