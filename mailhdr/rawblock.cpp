/*
 * rawblock.cpp - the header block as read and the writer that keeps it
 * (contract in rawblock.h).
 *
 * Recording keeps every line in m_text (with its LF) and, per line, where
 * its value text starts. Lines that went one after the other to one field
 * form an entry; a field is the chain of its entries (more than one when a
 * second Subject line adds to the first Subject, or a continuation line
 * follows a line without a colon). Entries of no field are written as read
 * whatever the record says.
 *
 * Writing first decides, per identifier, what became of each field as read
 * (kept, changed into a given field of the record, or removed) and which
 * fields of the record are new, then walks the entries in mail order:
 * unchanged ones are copied in runs, changed ones written line by line,
 * removed ones left out; the new fields follow.
 */
#include "mailhdr/rawblock.h"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "mailhdr/mailhdr_impl.h"

namespace {

using namespace mailhdr_impl;

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

std::string lower_name(const char* name) {
    std::string s(name);
    for (char& c : s)
        c = ascii_lower(c);
    return s;
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

void mailhdr_raw::clear() {
    *this = mailhdr_raw();
}

void mailhdr_raw::add_line(const char* text, std::size_t len) {
    m_lines.push_back({m_text.size(), len, 0});
    m_text.append(text, len);
    m_text.push_back('\n');
}

void mailhdr_raw::add_fixed(std::size_t line) {
    if (!m_entries.empty()) {
        entry& last = m_entries.back();
        if (last.fld == NONE && last.first + last.count == line) {
            ++last.count;
            return;
        }
    }
    m_entries.push_back({line, 1, 0, NONE, NONE});
}

void mailhdr_raw::shadow(std::uint32_t f) {
    field& fd = m_fields[f];
    for (std::uint32_t e = fd.first_entry; e != NONE; e = m_entries[e].next)
        m_entries[e].fld = NONE;
    fd.first_entry = fd.last_entry = NONE;
    fd.lines = 0;
}

void mailhdr_raw::bind_line(int result, const line_effect& effect) {
    const std::size_t line = m_lines.size() - 1;
    if (result != 0 || effect.fld == nullptr) {
        add_fixed(line);
        return;
    }
    const int id = effect.fld->id;
    if (id < 0 || id >= MAILHDR_NFLDS) {
        m_broken = true;
        add_fixed(line);
        return;
    }
    std::uint32_t f = NONE;
    if (effect.new_fld) {
        f = static_cast<std::uint32_t>(m_fields.size());
        m_fields.push_back({id, NONE, NONE, 0});
        const int type = mailhdr_getfldtype(id);
        if (id != MAILHDR_FLD_OTHER && (type == FLDTYPE_TEXT || type == FLDTYPE_ADDR)) {
            if (m_single.empty())
                m_single.assign(MAILHDR_NFLDS, NONE);
            m_single[id] = f;
        }
    } else if (effect.fld == m_last_ptr) {
        f = m_last;
    } else if (!m_single.empty() && m_single[id] != NONE) {
        f = m_single[id];
    } else {
        m_broken = true;
        add_fixed(line);
        return;
    }
    m_last_ptr = effect.fld;
    m_last = f;
    // A second single-address field replaces the first one's lines: those
    // lines stand in the mail but no longer in the record.
    if (effect.line == 0 && m_fields[f].lines > 0)
        shadow(f);
    field& fd = m_fields[f];
    if (effect.line != fd.lines)
        m_broken = true;
    m_lines[line].value = effect.value;
    ++fd.lines;
    if (fd.last_entry != NONE) {
        entry& last = m_entries[fd.last_entry];
        if (last.first + last.count == line) {
            ++last.count;
            return;
        }
    }
    const std::uint32_t e = static_cast<std::uint32_t>(m_entries.size());
    m_entries.push_back({line, 1, effect.line, f, NONE});
    if (fd.last_entry != NONE)
        m_entries[fd.last_entry].next = e;
    else
        fd.first_entry = e;
    fd.last_entry = e;
}

void mailhdr_raw::sort_by_id(std::vector<std::uint32_t> (&by_id)[MAILHDR_NFLDS]) const {
    // Fields of one identifier were made in the order of its list.
    for (std::uint32_t f = 0; f < m_fields.size(); ++f)
        by_id[m_fields[f].id].push_back(f);
}

void mailhdr_raw::finish(const mailhdr* hdr) {
    m_valid = false;
    m_single = std::vector<std::uint32_t>();
    m_last_ptr = nullptr;
    if (hdr == nullptr || m_broken || m_fields.size() >= NONE)
        return;
    std::vector<std::uint32_t> by_id[MAILHDR_NFLDS];
    sort_by_id(by_id);
    // The fields as read must be the record's, list by list, line for line;
    // anything else is written from the record alone.
    for (int id = 0; id < MAILHDR_NFLDS; ++id) {
        std::size_t k = 0;
        for (const mailhdr_fld* fld = hdr->flds[id]; fld != nullptr; fld = fld->next, ++k) {
            if (k >= by_id[id].size())
                return;
            std::size_t lines = 0;
            for (const stringlist* l = fld->lines; l != nullptr; l = l->next)
                ++lines;
            if (lines != m_fields[by_id[id][k]].lines)
                return;
        }
        if (k != by_id[id].size())
            return;
    }
    m_valid = true;
}

const char* mailhdr_raw::name_of(std::uint32_t f, std::size_t& len) const {
    const field& fd = m_fields[f];
    if (fd.id != MAILHDR_FLD_OTHER) {
        const char* name = mailhdr_getfldname(fd.id);
        len = std::strlen(name);
        return name;
    }
    // The name of a field outside the table is its text before the colon.
    const line_span& l = m_lines[m_entries[fd.first_entry].first];
    const char* at = m_text.data() + l.at;
    const void* colon = std::memchr(at, ':', l.value);
    len = colon != nullptr ? static_cast<std::size_t>(static_cast<const char*>(colon) - at) : 0;
    return at;
}

bool mailhdr_raw::same_field(const mailhdr_fld* cur, std::uint32_t f) const {
    std::size_t name_len = 0;
    const char* name = name_of(f, name_len);
    if (!same_text(fld_name_or_table(cur), name, name_len))
        return false;
    const stringlist* l = cur->lines;
    for (std::uint32_t e = m_fields[f].first_entry; e != NONE; e = m_entries[e].next) {
        const entry& en = m_entries[e];
        for (std::size_t p = en.first; p < en.first + en.count; ++p, l = l->next) {
            if (l == nullptr)
                return false;
            const line_span& ls = m_lines[p];
            if (!same_text(l->str != nullptr ? l->str : "", m_text.data() + ls.at + ls.value,
                           ls.len - ls.value))
                return false;
        }
    }
    return l == nullptr;
}

std::uint64_t mailhdr_raw::hash_field(std::uint32_t f) const {
    std::size_t name_len = 0;
    const char* name = name_of(f, name_len);
    std::uint64_t h = hash_bytes(HASH_SEED, name, name_len);
    for (std::uint32_t e = m_fields[f].first_entry; e != NONE; e = m_entries[e].next) {
        const entry& en = m_entries[e];
        for (std::size_t p = en.first; p < en.first + en.count; ++p) {
            const line_span& ls = m_lines[p];
            h = hash_bytes(h, m_text.data() + ls.at + ls.value, ls.len - ls.value);
        }
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
        by_name[lower_name(fld_name_or_table(cur[c]))].push_back(c);
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

void mailhdr_raw::write_changed(const entry& e, const std::vector<const char*>& lines,
                                std::string& out) const {
    for (std::size_t i = 0; i < e.count; ++i) {
        const std::size_t k = e.line0 + i;
        if (k >= lines.size())
            return;  // the field lost its lines from here on
        const line_span& ls = m_lines[e.first + i];
        const char* at = m_text.data() + ls.at;
        if (same_text(lines[k], at + ls.value, ls.len - ls.value)) {
            out.append(at, ls.len + 1);
        } else {
            out.append(at, ls.value);
            append_value_lf(out, lines[k]);
            out.push_back('\n');
        }
    }
}

void mailhdr_raw::write_extra(std::uint32_t f, const std::vector<const char*>& lines,
                              std::string& out) const {
    const field& fd = m_fields[f];
    if (lines.size() <= fd.lines)
        return;
    // Led like the field's last continuation line (a line of its own that
    // starts a field, such as a second Subject line, is none).
    std::string_view lead = CONTINUATION_LEAD;
    for (std::uint32_t e = fd.first_entry; e != NONE; e = m_entries[e].next) {
        const entry& en = m_entries[e];
        for (std::size_t i = 0; i < en.count; ++i) {
            const line_span& ls = m_lines[en.first + i];
            if (ls.len > 0 && is_lead_space(m_text[ls.at]))
                lead = std::string_view(m_text.data() + ls.at, ls.value);
        }
    }
    for (std::size_t k = fd.lines; k < lines.size(); ++k) {
        out.append(lead);
        append_value_lf(out, lines[k]);
        out.push_back('\n');
    }
}

void mailhdr_raw::write(const mailhdr* hdr, std::string& out) const {
    plan p;
    sort_by_id(p.by_id);
    p.state.assign(m_fields.size(), GONE);
    p.into.assign(m_fields.size(), nullptr);
    std::vector<const mailhdr_fld*> cur;
    for (int id = 0; id < MAILHDR_NFLDS; ++id) {
        cur.clear();
        for (const mailhdr_fld* fld = hdr->flds[id]; fld != nullptr; fld = fld->next)
            cur.push_back(fld);
        if (!cur.empty() || !p.by_id[id].empty())
            match_id(id, cur, p);
    }
    out.reserve(out.size() + m_text.size());
    // Runs of lines written as read go out in one piece.
    std::size_t run_at = 0, run_len = 0;
    auto flush = [&]() {
        out.append(m_text, run_at, run_len);
        run_len = 0;
    };
    std::vector<const char*> lines;
    std::uint32_t lines_of = NONE;
    for (const entry& e : m_entries) {
        const unsigned char state = e.fld == NONE ? KEPT : p.state[e.fld];
        if (state == KEPT) {
            const line_span& first = m_lines[e.first];
            const line_span& last = m_lines[e.first + e.count - 1];
            if (run_len == 0)
                run_at = first.at;
            run_len = last.at + last.len + 1 - run_at;
            continue;
        }
        flush();
        if (state == GONE)
            continue;
        if (lines_of != e.fld) {
            lines.clear();
            for (const stringlist* l = p.into[e.fld]->lines; l != nullptr; l = l->next)
                lines.push_back(l->str != nullptr ? l->str : "");
            lines_of = e.fld;
        }
        write_changed(e, lines, out);
        if (m_fields[e.fld].last_entry == static_cast<std::uint32_t>(&e - m_entries.data()))
            write_extra(e.fld, lines, out);
    }
    flush();
    for (const mailhdr_fld* fld : p.added)
        append_fld_lf(out, fld);
}

bool mailhdr_write_asread(const mailhdr* hdr, const mailhdr_raw* raw, std::string& out) {
    if (hdr == nullptr)
        return true;
    try {
        if (raw == nullptr || !raw->m_valid || raw->empty())
            append_hdr_lf(out, hdr);
        else
            raw->write(hdr, out);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
