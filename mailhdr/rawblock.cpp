/*
 * rawblock.cpp - the header block as read and the writer that keeps it
 * (contract in rawblock.h).
 *
 * Recording notes, per line, where it stands in the text being parsed,
 * where its value text starts and which field it went to (a field's lines
 * are chained: a second Subject line adds to the first Subject, a
 * continuation line may follow a line without a colon); at the end of the
 * block the block, its lines and fields are kept in one allocation (while
 * recording they stay in the block parser's own buffer as long as they
 * fit). Lines of no field are written as read whatever the record says.
 *
 * Writing first decides, per identifier, what became of each field as read
 * (kept, changed into a given field of the record, or removed) and which
 * fields of the record are new, then walks the lines in mail order:
 * unchanged ones are copied in runs, changed ones written line by line,
 * removed ones left out; the new fields follow.
 */
#include "mailhdr/rawblock.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "mailhdr/mailhdr_impl.h"

namespace {

using namespace mailhdr_impl;

// Room made for lines and fields at a block's first line, in the block
// parser's own buffer: a common part header needs no allocation to record.
constexpr std::size_t LINES_RESERVED = 16;
constexpr std::size_t FIELDS_RESERVED = 12;
constexpr std::uint64_t HASH_SEED = 1469598103934665603ULL;  // FNV-1a
constexpr std::uint64_t HASH_PRIME = 1099511628211ULL;
// Lead of a continuation line the library adds where the field had none
// of its own (mailhdr_print's form).
constexpr const char* CONTINUATION_LEAD = "   ";

// How the record reads a byte of the mail: a NUL is a blank there.
inline char as_read(char c) {
    return c == '\0' ? ' ' : c;
}

// True when the C string `s` equals the `n` bytes at `raw` as the record
// reads them.
bool same_text(const char* s, const char* raw, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] != as_read(raw[i]))  // a shorter `s` stops at its NUL
            return false;
    }
    return s[n] == '\0';
}

// A byte that makes a line a continuation line (isspace in the C locale;
// a NUL is read as a blank).
inline bool is_lead_space(char c) {
    c = as_read(c);
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

std::uint64_t hash_bytes(std::uint64_t h, const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(as_read(p[i]))) * HASH_PRIME;
    return (h ^ 0xffu) * HASH_PRIME;  // ends every piece
}

std::uint64_t hash_record_field(const mailhdr_fld* fld) {
    const char* name = fld_name_or_table(fld);
    std::uint64_t h = hash_bytes(HASH_SEED, name, std::strlen(name));
    for (const stringlist* l = fld->lines; l != nullptr; l = l->next) {
        const char* text = l->str != nullptr ? l->str : "";
        h = hash_bytes(h, text, std::strlen(text));
    }
    return h;
}

constexpr unsigned char GONE = 0, KEPT = 1, CHANGED = 2;

}  // namespace

// What becomes of each field as read, and the fields the record gained.
struct mailhdr_raw::plan {
    std::vector<std::uint32_t> by_id[MAILHDR_NFLDS];  // fields as read, list order
    std::vector<unsigned char> state;                 // per field as read
    std::vector<const mailhdr_fld*> into;             // its new form when CHANGED
    std::vector<const mailhdr_fld*> added;            // in the record's order
};

void mailhdr_raw::add_line(raw_recording& rec, const char* begin, const char* end) {
    if (rec.base == nullptr) {
        rec.base = begin;
        rec.lines.reserve(LINES_RESERVED);
        rec.fields.reserve(FIELDS_RESERVED);
    } else if (begin != rec.end + 1) {
        rec.broken = true;  // not the line after the last one
    }
    const std::size_t at = static_cast<std::size_t>(begin - rec.base);
    const std::size_t len = static_cast<std::size_t>(end - begin);
    if (at + len >= NONE || rec.lines.size() >= NONE)
        rec.broken = true;  // past what the line records can hold
    rec.end = end;
    rec.lines.push_back(
        {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(len), 0, NONE, 0, NONE});
}

void mailhdr_raw::bind_line(raw_recording& rec, int result, const line_effect& effect) {
    const std::uint32_t line = static_cast<std::uint32_t>(rec.lines.size() - 1);
    if (result != 0 || effect.fld == nullptr)
        return;  // no field: written as read
    const int id = effect.fld->id;
    if (id < 0 || id >= MAILHDR_NFLDS || rec.fields.size() >= NONE) {
        rec.broken = true;
        return;
    }
    std::uint32_t f = NONE;
    if (effect.new_fld) {
        f = static_cast<std::uint32_t>(rec.fields.size());
        rec.fields.push_back({static_cast<std::uint32_t>(id), NONE, NONE, 0});
        const int type = mailhdr_getfldtype(id);
        if (id != MAILHDR_FLD_OTHER && (type == FLDTYPE_TEXT || type == FLDTYPE_ADDR))
            rec.single[id] = f + 1;
    } else if (effect.fld == rec.last_ptr) {
        f = rec.last;
    } else if (id != MAILHDR_FLD_OTHER && rec.single[id] != 0) {
        f = rec.single[id] - 1;
    } else {
        rec.broken = true;
        return;
    }
    rec.last_ptr = effect.fld;
    rec.last = f;
    field& fd = rec.fields[f];
    // A second single-address field replaces the first one's lines: those
    // lines stand in the mail but no longer in the record.
    if (effect.line == 0 && fd.lines > 0) {
        for (std::uint32_t l = fd.first; l != NONE; l = rec.lines[l].next)
            rec.lines[l].fld = NONE;
        fd.first = fd.last = NONE;
        fd.lines = 0;
    }
    if (effect.line != fd.lines)
        rec.broken = true;
    line_rec& l = rec.lines[line];
    l.value = static_cast<std::uint32_t>(std::min<std::size_t>(effect.value, l.len));
    l.fld = f;
    l.rec = fd.lines++;
    if (fd.last != NONE)
        rec.lines[fd.last].next = line;
    else
        fd.first = line;
    fd.last = line;
}

void mailhdr_raw::finish(raw_recording& rec, const mailhdr* hdr) {
    *this = mailhdr_raw();
    if (rec.base == nullptr || rec.broken || hdr == nullptr)
        return;
    // The fields as read must be the record's, list by list, line for line;
    // anything else is written from the record alone. Fields of one
    // identifier were made in the order of its list.
    const mailhdr_fld* cursor[MAILHDR_NFLDS];
    for (int id = 0; id < MAILHDR_NFLDS; ++id)
        cursor[id] = hdr->flds[id];
    for (const field& fd : rec.fields) {
        const mailhdr_fld* fld = cursor[fd.id];
        if (fld == nullptr)
            return;
        std::uint32_t lines = 0;
        for (const stringlist* l = fld->lines; l != nullptr; l = l->next)
            ++lines;
        if (lines != fd.lines)
            return;
        cursor[fd.id] = fld->next;
    }
    for (const mailhdr_fld* left : cursor) {
        if (left != nullptr)
            return;
    }
    // One block: lines, fields, the text with its NUL bytes as they were and
    // each line with its LF (the last one may have stood at the end of the
    // text).
    const std::size_t n = static_cast<std::size_t>(rec.end - rec.base);
    const std::size_t nLines = rec.lines.size() * sizeof(line_rec);
    const std::size_t nFields = rec.fields.size() * sizeof(field);
    m_store.reset(new unsigned char[nLines + nFields + n + 1]);
    std::memcpy(m_store.get(), rec.lines.data(), nLines);
    std::memcpy(m_store.get() + nLines, rec.fields.data(), nFields);
    char* t = reinterpret_cast<char*>(m_store.get() + nLines + nFields);
    std::memcpy(t, rec.base, n);
    t[n] = '\n';
    for (std::size_t at : rec.nuls)
        t[at] = '\0';
    m_nLines = static_cast<std::uint32_t>(rec.lines.size());
    m_nFields = static_cast<std::uint32_t>(rec.fields.size());
    m_nText = n + 1;
    m_valid = true;
}

const char* mailhdr_raw::name_of(std::uint32_t f, std::size_t& len) const {
    const field& fd = raw_fields()[f];
    if (fd.id != MAILHDR_FLD_OTHER) {
        const char* name = mailhdr_getfldname(fd.id);
        len = std::strlen(name);
        return name;
    }
    // The name of a field outside the table is its text before the colon.
    const line_rec& l = raw_lines()[fd.first];
    const char* at = text() + l.at;
    const void* colon = std::memchr(at, ':', l.value);
    len = colon != nullptr ? static_cast<std::size_t>(static_cast<const char*>(colon) - at) : 0;
    return at;
}

bool mailhdr_raw::same_field(const mailhdr_fld* cur, std::uint32_t f) const {
    std::size_t name_len = 0;
    const char* name = name_of(f, name_len);
    if (!same_text(fld_name_or_table(cur), name, name_len))
        return false;
    const stringlist* s = cur->lines;
    for (std::uint32_t i = raw_fields()[f].first; i != NONE; i = raw_lines()[i].next, s = s->next) {
        const line_rec& l = raw_lines()[i];
        if (s == nullptr ||
            !same_text(s->str != nullptr ? s->str : "", text() + l.at + l.value, l.len - l.value))
            return false;
    }
    return s == nullptr;
}

std::uint64_t mailhdr_raw::hash_field(std::uint32_t f) const {
    std::size_t name_len = 0;
    const char* name = name_of(f, name_len);
    std::uint64_t h = hash_bytes(HASH_SEED, name, name_len);
    for (std::uint32_t i = raw_fields()[f].first; i != NONE; i = raw_lines()[i].next) {
        const line_rec& l = raw_lines()[i];
        h = hash_bytes(h, text() + l.at + l.value, l.len - l.value);
    }
    return h;
}

// Fields as read orig[o0, o1) and fields of the record cur[c0, c1) lie
// between two that matched: one of each with the same name is that field
// changed; the others were removed or added.
void mailhdr_raw::pair_gap(const std::vector<std::uint32_t>& orig, std::size_t o0, std::size_t o1,
                           const std::vector<const mailhdr_fld*>& cur, std::size_t c0,
                           std::size_t c1, plan& p) const {
    std::unordered_map<std::string, std::vector<std::size_t>> by_name;
    for (std::size_t c = c0; c < c1; ++c)
        by_name[ascii_lower(std::string_view(fld_name_or_table(cur[c])))].push_back(c);
    std::unordered_map<std::string, std::size_t> taken;
    std::vector<bool> used(c1 - c0, false);
    for (std::size_t o = o0; o < o1; ++o) {
        std::size_t len = 0;
        const char* name = name_of(orig[o], len);
        std::string key;
        for (std::size_t i = 0; i < len; ++i)
            key.push_back(ascii_lower(as_read(name[i])));
        auto it = by_name.find(key);
        std::size_t& next = taken[key];
        if (it == by_name.end() || next >= it->second.size()) {
            p.state[orig[o]] = GONE;
            continue;
        }
        const std::size_t c = it->second[next++];
        used[c - c0] = true;
        p.state[orig[o]] = CHANGED;
        p.into[orig[o]] = cur[c];
    }
    for (std::size_t c = c0; c < c1; ++c) {
        if (!used[c - c0])
            p.added.push_back(cur[c]);
    }
}

void mailhdr_raw::match_id(int id, const std::vector<const mailhdr_fld*>& cur, plan& p) const {
    const std::vector<std::uint32_t>& orig = p.by_id[id];
    const std::size_t n = orig.size(), m = cur.size();
    std::size_t head = 0;
    while (head < n && head < m && same_field(cur[head], orig[head]))
        p.state[orig[head++]] = KEPT;
    std::size_t on = n, cm = m;
    while (on > head && cm > head && same_field(cur[cm - 1], orig[on - 1])) {
        p.state[orig[--on]] = KEPT;
        --cm;
    }
    // The rest: fields as read found again further on in the record, in
    // order (a bucket per hash, each walked once).
    struct bucket {
        std::vector<std::size_t> at;
        std::size_t next = 0;
    };
    std::unordered_map<std::uint64_t, bucket> buckets;
    if (on > head && cm > head) {
        for (std::size_t o = head; o < on; ++o)
            buckets[hash_field(orig[o])].at.push_back(o);
    }
    std::size_t o_from = head, c_from = head;
    for (std::size_t c = head; c < cm && !buckets.empty(); ++c) {
        auto it = buckets.find(hash_record_field(cur[c]));
        if (it == buckets.end())
            continue;
        bucket& b = it->second;
        while (b.next < b.at.size() && b.at[b.next] < o_from)
            ++b.next;
        for (std::size_t k = b.next; k < b.at.size(); ++k) {
            const std::size_t o = b.at[k];
            if (!same_field(cur[c], orig[o]))
                continue;
            pair_gap(orig, o_from, o, cur, c_from, c, p);
            p.state[orig[o]] = KEPT;
            o_from = o + 1;
            c_from = c + 1;
            b.next = k + 1;
            break;
        }
    }
    pair_gap(orig, o_from, on, cur, c_from, cm, p);
}

void mailhdr_raw::write_line(const line_rec& l, const std::vector<const char*>& lines,
                             std::string& out) const {
    if (l.rec >= lines.size())
        return;  // the field lost its lines from here on
    const char* at = text() + l.at;
    if (same_text(lines[l.rec], at + l.value, l.len - l.value)) {
        out.append(at, l.len + 1);
    } else {
        out.append(at, l.value);
        append_value_lf(out, lines[l.rec]);
        out.push_back('\n');
    }
}

void mailhdr_raw::write_extra(std::uint32_t f, const std::vector<const char*>& lines,
                              std::string& out) const {
    const field& fd = raw_fields()[f];
    if (lines.size() <= fd.lines)
        return;
    // Led like the field's last continuation line (a line of its own that
    // starts a field, such as a second Subject line, is none).
    std::string_view lead = CONTINUATION_LEAD;
    for (std::uint32_t i = fd.first; i != NONE; i = raw_lines()[i].next) {
        const line_rec& l = raw_lines()[i];
        if (l.len > 0 && is_lead_space(text()[l.at]))
            lead = std::string_view(text() + l.at, l.value);
    }
    for (std::size_t k = fd.lines; k < lines.size(); ++k) {
        out.append(lead);
        append_value_lf(out, lines[k]);
        out.push_back('\n');
    }
}

void mailhdr_raw::write(const mailhdr* hdr, std::string& out) const {
    plan p;
    // Fields of one identifier were made in the order of its list.
    for (std::uint32_t f = 0; f < m_nFields; ++f)
        p.by_id[raw_fields()[f].id].push_back(f);
    p.state.assign(m_nFields, GONE);
    p.into.assign(m_nFields, nullptr);
    std::vector<const mailhdr_fld*> cur;
    for (int id = 0; id < MAILHDR_NFLDS; ++id) {
        cur.clear();
        for (const mailhdr_fld* fld = hdr->flds[id]; fld != nullptr; fld = fld->next)
            cur.push_back(fld);
        if (!cur.empty() || !p.by_id[id].empty())
            match_id(id, cur, p);
    }
    out.reserve(out.size() + m_nText);
    // Runs of lines written as read go out in one piece.
    std::size_t run_at = 0, run_len = 0;
    std::vector<const char*> lines;
    std::uint32_t lines_of = NONE;
    for (std::uint32_t i = 0; i < m_nLines; ++i) {
        const line_rec& l = raw_lines()[i];
        const unsigned char state = l.fld == NONE ? KEPT : p.state[l.fld];
        if (state == KEPT) {
            if (run_len == 0)
                run_at = l.at;
            run_len = l.at + l.len + 1 - run_at;
            continue;
        }
        out.append(text() + run_at, run_len);
        run_len = 0;
        if (state == GONE)
            continue;
        if (lines_of != l.fld) {
            lines.clear();
            for (const stringlist* s = p.into[l.fld]->lines; s != nullptr; s = s->next)
                lines.push_back(s->str != nullptr ? s->str : "");
            lines_of = l.fld;
        }
        write_line(l, lines, out);
        if (raw_fields()[l.fld].last == i)
            write_extra(l.fld, lines, out);
    }
    out.append(text() + run_at, run_len);
    for (const mailhdr_fld* fld : p.added)
        append_fld_lf(out, fld);
}

bool mailhdr_write_asread(const mailhdr* hdr, const mailhdr_raw* raw, std::string& out) {
    if (hdr == nullptr)
        return true;
    try {
        if (raw == nullptr || !raw->m_valid)
            append_hdr_lf(out, hdr);
        else
            raw->write(hdr, out);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
