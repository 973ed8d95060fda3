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
#include <string_view>
#include <unordered_map>

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

constexpr std::size_t NO_MATCH = static_cast<std::size_t>(-1);

bool SameField(const HeaderField& a, const HeaderField& b) {
    return a.name == b.name && a.value == b.value;
}

// Pairs the fields of `before` and `after` between two matched ones: a field
// of each with the same name (spelled alike: a change cannot respell a
// name) is one field changed; the others stay unpaired. Pairs keep the
// order of both sides, so that changing fields in place gives the order of
// `after`.
void PairGap(const std::vector<HeaderField>& before, std::size_t b0, std::size_t b1,
             const std::vector<HeaderField>& after, std::size_t a0, std::size_t a1,
             std::vector<std::size_t>& match) {
    struct Queue {
        std::vector<std::size_t> at;  // fields of `after` with the name, in order
        std::size_t next = 0;
    };
    std::unordered_map<std::string_view, Queue> byName;
    for (std::size_t j = a0; j < a1; ++j)
        byName[after[j].name].at.push_back(j);
    std::size_t from = a0;  // pairs after the last one only
    for (std::size_t r = b0; r < b1; ++r) {
        auto it = byName.find(before[r].name);
        if (it == byName.end())
            continue;
        Queue& q = it->second;
        while (q.next < q.at.size() && q.at[q.next] < from)
            ++q.next;
        if (q.next == q.at.size())
            continue;
        match[r] = q.at[q.next];
        from = q.at[q.next++] + 1;
    }
}

// For each field of `before`, the field of `after` it is (equal, or the
// same field changed), or NO_MATCH when it was removed.
std::vector<std::size_t> MatchFields(const std::vector<HeaderField>& before,
                                     const std::vector<HeaderField>& after) {
    std::vector<std::size_t> match(before.size(), NO_MATCH);
    const std::size_t n = before.size(), m = after.size();
    std::size_t head = 0;
    for (; head < n && head < m && SameField(before[head], after[head]); ++head)
        match[head] = head;
    std::size_t bn = n, am = m;
    for (; bn > head && am > head && SameField(before[bn - 1], after[am - 1]); --bn, --am)
        match[bn - 1] = am - 1;
    // The rest: fields of `before` found again further on in `after`, in
    // order (a bucket per hash of name and value, each walked once).
    struct Bucket {
        std::vector<std::size_t> at;
        std::size_t next = 0;
    };
    std::unordered_map<std::size_t, Bucket> buckets;
    const std::hash<std::string> hashOf;
    auto key = [&](const HeaderField& f) { return hashOf(f.name) ^ (hashOf(f.value) * 31); };
    if (bn > head && am > head) {
        for (std::size_t r = head; r < bn; ++r)
            buckets[key(before[r])].at.push_back(r);
    }
    std::size_t bFrom = head, aFrom = head;
    for (std::size_t j = head; j < am && !buckets.empty(); ++j) {
        auto it = buckets.find(key(after[j]));
        if (it == buckets.end())
            continue;
        Bucket& b = it->second;
        while (b.next < b.at.size() && b.at[b.next] < bFrom)
            ++b.next;
        for (std::size_t k = b.next; k < b.at.size(); ++k) {
            const std::size_t r = b.at[k];
            if (!SameField(before[r], after[j]))
                continue;
            PairGap(before, bFrom, r, after, aFrom, j, match);
            match[r] = j;
            bFrom = r + 1;
            aFrom = j + 1;
            b.next = k + 1;
            break;
        }
    }
    PairGap(before, bFrom, bn, after, aFrom, am, match);
    return match;
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
    const std::vector<std::size_t> match = MatchFields(before, after);
    const std::vector<int> occurrence = Occurrences(before);
    std::vector<HeaderOp> ops;
    for (std::size_t r = before.size(); r-- > 0;) {
        const std::size_t j = match[r];
        if (j == NO_MATCH)
            ops.push_back({HeaderOpKind::Delete, before[r].name, occurrence[r], ""});
        else if (before[r].value != after[j].value)
            ops.push_back({HeaderOpKind::Change, before[r].name, occurrence[r], after[j].value});
    }
    // Fields of `after` that stand in the MTA's header already, and where
    // the last of them is: what is added behind it is appended.
    std::vector<bool> present(after.size(), false);
    for (std::size_t j : match) {
        if (j != NO_MATCH)
            present[j] = true;
    }
    std::size_t lastPresent = 0;  // one past the last present field
    for (std::size_t j = 0; j < after.size(); ++j) {
        if (present[j])
            lastPresent = j + 1;
    }
    for (std::size_t j = 0; j < after.size(); ++j) {
        if (present[j])
            continue;
        if (j < lastPresent)
            ops.push_back(
                {HeaderOpKind::Insert, after[j].name, static_cast<int>(j), after[j].value});
        else
            ops.push_back({HeaderOpKind::Append, after[j].name, 0, after[j].value});
    }
    return ops;
}

void ApplyHeaderOps(const std::vector<HeaderOp>& ops, std::vector<HeaderField>& fields) {
    for (const HeaderOp& op : ops) {
        if (op.kind == HeaderOpKind::Append) {
            fields.push_back({op.name, op.value});
            continue;
        }
        if (op.kind == HeaderOpKind::Insert) {
            const std::size_t at = std::min(static_cast<std::size_t>(op.index), fields.size());
            fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), {op.name, op.value});
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
