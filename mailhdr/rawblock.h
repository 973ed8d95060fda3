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
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"

class mailhdr_raw {
  public:
    bool empty() const { return m_lines.empty(); }
    void clear();

    // Recording (mailhdr_block_parser): the bytes of the next line, then
    // what parsing it did (`effect` is read when `result` is 0).
    void add_line(const char* text, std::size_t len);
    void bind_line(int result, const mailhdr_impl::line_effect& effect);
    // After the last line: ties the fields to the record's lists.
    void finish(const mailhdr* hdr);

  private:
    friend bool mailhdr_write_asread(const mailhdr*, const mailhdr_raw*, std::string&);
    static constexpr std::uint32_t NONE = UINT32_MAX;
    struct plan;

    struct line_span {
        std::size_t at;     // first byte in m_text
        std::size_t len;    // bytes, the LF not counted
        std::size_t value;  // bytes of lead before the value text
    };
    // Consecutive lines that went to one field (lines `line0`... of it),
    // or lines that are written as read whatever happens (fld NONE).
    struct entry {
        std::size_t first;   // first line
        std::size_t count;   // lines
        std::size_t line0;   // record line of the first of them
        std::uint32_t fld;   // index in m_fields, or NONE
        std::uint32_t next;  // next entry of the same field, or NONE
    };
    struct field {
        int id;
        std::uint32_t first_entry;
        std::uint32_t last_entry;
        std::size_t lines;  // record lines it holds
    };

    void add_fixed(std::size_t line);
    void shadow(std::uint32_t f);
    // Writing (rawblock.cpp has the details).
    void write(const mailhdr* hdr, std::string& out) const;
    void sort_by_id(std::vector<std::uint32_t> (&by_id)[MAILHDR_NFLDS]) const;
    void match_id(int id, const std::vector<const mailhdr_fld*>& cur, plan& p) const;
    void pair_gap(const std::vector<std::uint32_t>& orig, std::size_t o0, std::size_t o1,
                  const std::vector<const mailhdr_fld*>& cur, std::size_t c0, std::size_t c1,
                  plan& p) const;
    bool same_field(const mailhdr_fld* cur, std::uint32_t f) const;
    std::uint64_t hash_field(std::uint32_t f) const;
    const char* name_of(std::uint32_t f, std::size_t& len) const;
    void write_changed(const entry& e, const std::vector<const char*>& lines,
                       std::string& out) const;
    void write_extra(std::uint32_t f, const std::vector<const char*>& lines,
                     std::string& out) const;

    std::string m_text;  // every line as read, each followed by LF
    std::vector<line_span> m_lines;
    std::vector<entry> m_entries;
    std::vector<field> m_fields;
    bool m_valid = false;   // finish found the fields to be the record's
    bool m_broken = false;  // recording met what it cannot describe
    // While recording: the field last bound, and the one field of each
    // single-field identifier (NONE: none yet; released by finish).
    const mailhdr_fld* m_last_ptr = nullptr;
    std::uint32_t m_last = NONE;
    std::vector<std::uint32_t> m_single;
};

// Appends the header text of `hdr` (see above); false only when memory ran
// short (`out` then holds part of it).
bool mailhdr_write_asread(const mailhdr* hdr, const mailhdr_raw* raw, std::string& out);

#endif
