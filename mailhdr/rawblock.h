/*
 * rawblock.h - a header block as it was read, kept beside the record parsed
 * from it, and the writer that puts a record back into mail text without
 * touching what did not change (C++ only; the records' layout is shared
 * with hosts, so nothing of this lives in them).
 *
 * mailhdr_raw holds the bytes of every line of one header block exactly as
 * read (name and its letter case, colon, blanks, folding, NUL bytes; each
 * line with an LF, the CR of a CR LF already gone) and which lines each
 * field of the record came from. A mailhdr_block_parser given one fills it
 * (parse_span for each line, finish after the block).
 *
 * mailhdr_write_asread(record, raw, out) appends the record as header text
 * with LF line ends:
 *   - a field of the record that is still as read (same identifier, name
 *     and lines) is written as read, in its place;
 *   - a changed field keeps its place and its name as read: a line equal to
 *     the old line at its position is written as read, any other line after
 *     the old line's lead (the name, colon and blanks as read for the first
 *     line, the leading white space for a continuation line); new lines
 *     beyond the old ones follow its last line, led like its last
 *     continuation line (three blanks when it had none); lines past the new
 *     count are left out;
 *   - a field the record no longer holds is left out;
 *   - lines that were never a field of the record are written as read, in
 *     their places: lines without a colon, continuation lines with no field
 *     before them, and fields whose value a later field of the same
 *     single-address name replaced (the second From);
 *   - fields the record gained come last, at the end of the header block,
 *     each as mailhdr_print writes it, in the record's order (identifier,
 *     then list order). This is the one place for every field the library
 *     adds (stamp, anti-spam entries, a new Subject, a Received field).
 * Without a raw block (null, empty, or one that does not describe the
 * record: a part the check made itself) the record is written as
 * mailhdr_print writes it (identifier order), with LF line ends.
 *
 * Which field is which: per identifier, the fields of the record are
 * matched in order with the fields as read of that identifier, a pair being
 * equal in name and lines (common head and tail first, the rest through a
 * hash of each field). Between two matched pairs, a field as read and a
 * field of the record with the same name (ASCII case ignored) are the same
 * field changed; what is left over was removed or added. The library never
 * reorders fields, so this finds exactly the fields it changed, added or
 * removed.
 *
 * Cost: recording is a copy of the block's bytes and a few words per line
 * and field; writing compares every line once and copies the unchanged
 * lines in runs. Both linear in the size of the block.
 */
#ifndef MAILWARD_MAILHDR_RAWBLOCK_H
#define MAILWARD_MAILHDR_RAWBLOCK_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"

class mailhdr_raw {
  public:
    bool empty() const { return m_nLines == 0; }
    void clear() { *this = mailhdr_raw(); }

  private:
    friend class mailhdr_block_parser;
    friend bool mailhdr_write_asread(const mailhdr*, const mailhdr_raw*, std::string&);
    using line_rec = mailhdr_impl::raw_line;
    using field = mailhdr_impl::raw_field;
    static constexpr std::uint32_t NONE = mailhdr_impl::RAW_NONE;
    struct plan;

    // Recording (mailhdr_block_parser): the next line, as it stands in the
    // text being parsed (lines of a block follow each other there); what
    // parsing it did (`effect` is read when `result` is 0); at the end of
    // the block, one allocation that keeps lines, fields and the text, and
    // the check that the fields are the record's.
    static void add_line(mailhdr_impl::raw_recording& rec, const char* begin, const char* end);
    static void bind_line(mailhdr_impl::raw_recording& rec, int result,
                          const mailhdr_impl::line_effect& effect);
    void finish(mailhdr_impl::raw_recording& rec, const mailhdr* hdr);

    const line_rec* raw_lines() const { return reinterpret_cast<const line_rec*>(m_store.get()); }
    const field* raw_fields() const {
        return reinterpret_cast<const field*>(raw_lines() + m_nLines);
    }
    const char* text() const { return reinterpret_cast<const char*>(raw_fields() + m_nFields); }

    // Writing (rawblock.cpp has the details).
    void write(const mailhdr* hdr, std::string& out) const;
    void match_id(int id, const std::vector<const mailhdr_fld*>& cur, plan& p) const;
    void pair_gap(const std::vector<std::uint32_t>& orig, std::size_t o0, std::size_t o1,
                  const std::vector<const mailhdr_fld*>& cur, std::size_t c0, std::size_t c1,
                  plan& p) const;
    bool same_field(const mailhdr_fld* cur, std::uint32_t f) const;
    std::uint64_t hash_field(std::uint32_t f) const;
    const char* name_of(std::uint32_t f, std::size_t& len) const;
    void write_line(const line_rec& l, const std::vector<const char*>& lines,
                    std::string& out) const;
    void write_extra(std::uint32_t f, const std::vector<const char*>& lines,
                     std::string& out) const;

    // Lines, then fields, then the text (every line as read, each followed
    // by LF), in one block.
    std::unique_ptr<unsigned char[]> m_store;
    std::uint32_t m_nLines = 0;
    std::uint32_t m_nFields = 0;
    std::size_t m_nText = 0;
    bool m_valid = false;  // finish found the fields to be the record's
};

// Appends the header text of `hdr` (see above); false only when memory ran
// short (`out` then holds part of it).
bool mailhdr_write_asread(const mailhdr* hdr, const mailhdr_raw* raw, std::string& out);

#endif
