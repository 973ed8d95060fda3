/*
 * mailhdr.h - the mail header library: the table of known header fields,
 * header records, line parsing, comparison with patterns, header text output
 * and the field changes the filter makes. Plain functions that report by
 * integer codes and null pointers and log through the support library; no
 * exceptions, no locks.
 *
 * The records (mailhdr, mailhdr_fld) and the functions a host needs are
 * declared in the public header mailward.h; the rest is declared here.
 *
 * Field table (fldtable.cpp)
 *   mailhdr_init / mailhdr_exit   0 / nothing. The by-identifier arrays are
 *                                 constant data, so every lookup also works
 *                                 before init and from any thread.
 *   mailhdr_getfldid(name)        identifier 0..48 of a table name (ASCII case
 *                                 ignored), else MAILHDR_FLD_OTHER (49).
 *   mailhdr_getfldid_line(line)   identifier of the name before the first
 *                                 colon, looking at MAILHDR_FLDID_LINE_MAX
 *                                 characters at most.
 *   mailhdr_getfldtype(id)        FLDTYPE_*; 0 outside 0..49.
 *   mailhdr_getfldname(id)        table name ("Other:" for 49); null and a
 *                                 bug line for an identifier no row carries.
 *
 * Records (record.cpp)
 *   mailhdr_alloc / _free / _copy, mailhdr_fld_free, mailhdr_addfld(_byname),
 *   mailhdr_parseline (MAILHDR_PARSE_OK, _NO_FIELD, _NO_COLON, _REFUSED of
 *   the public header: 0, -1, -2, -3), mailhdr_parse_errorstr,
 *   mailhdr_parse_fld (0 parsed, -1 not), mailhdr_getfld(_byname),
 *   mailhdr_getfldvalue(_byname).
 *
 * Comparison and output (output.cpp)
 *   mailhdr_fld_eq(_id/_name) 1 match / 0; mailhdr_foreach_fld; header text
 *   with mailhdr_print(_fld), mailhdr_sprint(_fld), mailhdr_get_headersize;
 *   mailhdr_date, mailhdr_add_received.
 *
 * List operations (listops.cpp)
 *   mailhdr_setfld(_string) 0/-1, mailhdr_delfld(_byname) 0,
 *   mailhdr_marksubject 0/-1/-2, mailhdr_add_antispam 0/-1,
 *   mailhdr_set_rectime 0/-1.
 *
 * Invariants kept by every function here:
 *   - `current` is null or a field of the record: removing it clears it.
 *   - a field's parsed value always belongs to its present lines: any change
 *     of the lines drops it, so the next comparison parses again.
 *   - header text never gains a line that starts a field nobody set (see
 *     output.cpp).
 *
 * Limits (only against memory exhaustion, far above any real mail: a header
 * of 100,000 fields of one name, or a field of 100,000 lines, is parsed
 * whole):
 *   MAILHDR_MAX_FLD_LINES     value lines of one field (250,000)
 *   MAILHDR_MAX_FLDS_PER_ID   fields in the list of one identifier (250,000)
 * A line past either limit is refused by mailhdr_parseline with
 * MAILHDR_PARSE_REFUSED and the
 * error text "hdr fld limit reached"; the record keeps what it holds, and
 * the refused line's field is no longer `current`, so the continuation
 * lines after it are refused too (MAILHDR_PARSE_NO_FIELD). A caller that
 * parses a mail must treat MAILHDR_PARSE_REFUSED as a failure of the whole
 * header (the MIME parser fails the
 * load): a record that misses lines must never be written back.
 *
 * mailhdr_block_parser (C++ only) parses the lines of one block at a
 * constant cost per line; mailhdr_parseline walks the list it appends to.
 *
 * Errors (the whole header library): integer codes (0 success, small
 * negative numbers as listed with each function; MAILHDR_PARSE_* for
 * parseline) and null pointers, with an error line where the caller cannot
 * tell why; no function throws, and a failed allocation is such a result.
 */
#ifndef MAILWARD_MAILHDR_H
#define MAILWARD_MAILHDR_H

#include "mailward.h"
#include "qorcsock/qorcsock.h"

#include <time.h>

/* Identifier of "Received" (the public header names the others it uses). */
#define MAILHDR_FLD_RECEIVED 1

/* Characters of a line that mailhdr_getfldid_line looks at. */
#define MAILHDR_FLDID_LINE_MAX 2047
/* Value lines one field may hold. Real mails stay far below (a long
 * References field has a few hundred lines, a To field of a large list a few
 * thousand); the bound only stops a header from exhausting memory. */
#define MAILHDR_MAX_FLD_LINES 250000
/* Fields one identifier's list may hold (Received fields, and every unknown
 * name, which all share identifier 49). Same purpose as above. */
#define MAILHDR_MAX_FLDS_PER_ID 250000
/* Buffer size mailhdr_date needs: "Sun, 31 Dec 2023 23:59:59 +1400" fits
 * with room for years of more digits. */
#define MAILHDR_DATE_SIZE 64
/* Buffer of one clause of a Received field; clauses are cut to one less. */
#define MAILHDR_RECEIVED_CLAUSE_SIZE 2048
/* Growth step of the buffer mailhdr_get_headersize measures with. */
#define MAILHDR_SIZE_BLOCK 8192

#ifdef __cplusplus
extern "C" {
#endif

/* Field table. */
int mailhdr_init(void);
void mailhdr_exit(void);
int mailhdr_getfldtype(int id);
int mailhdr_getfldid_line(const char* line);

/* Records. */
void mailhdr_fld_free(mailhdr_fld* fld);
mailhdr_fld* mailhdr_addfld(mailhdr* hdr, int id);
mailhdr_fld* mailhdr_addfld_byname(mailhdr* hdr, const char* name);
int mailhdr_parse_fld(mailhdr_fld* fld);

/* Comparison and output. */
int mailhdr_fld_eq(mailhdr_fld* fld, const char* pattern);
int mailhdr_fld_eq_id(mailhdr* hdr, int id, const char* pattern);
int mailhdr_fld_eq_name(mailhdr* hdr, const char* name, const char* pattern);
typedef int (*mailhdr_fld_fn)(void* context, mailhdr_fld* fld);
int mailhdr_foreach_fld(mailhdr* hdr, void* context, mailhdr_fld_fn fn);
/* Characters written, or -1 (null argument, buffer refused the text). */
int mailhdr_print_fld(cbuf* buf, const mailhdr_fld* fld);
int mailhdr_print(const mailhdr* hdr, cbuf* buf);
int mailhdr_sprint_fld(char* buf, const mailhdr_fld* fld);
/* `out` holds MAILHDR_DATE_SIZE characters. */
char* mailhdr_date(char* out);
/* mailhdr_date for a given moment instead of the current time. */
char* mailhdr_date_at(char* out, time_t when);
int mailhdr_add_received(mailhdr* hdr, const char* from, const char* by, const char* via,
                         const char* with, const char* id);

/* List operations. */
int mailhdr_setfld(mailhdr* hdr, int id, const stringlist* lines);
int mailhdr_marksubject(mailhdr* hdr, const char* mark);
int mailhdr_add_antispam(mailhdr* hdr, stringlist* entries, int prepend, const char* prefix);
int mailhdr_set_rectime(mailhdr* hdr, int number);

#ifdef __cplusplus
}

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

class mailhdr_raw;

namespace mailhdr_impl {
/* What the last line parsed did: the field it went to, its line number
 * there, where its value text starts in the line, and whether it made the
 * field. */
struct line_effect {
    mailhdr_fld* fld = nullptr;
    std::size_t line = 0;
    std::size_t value = 0;
    bool new_fld = false;
};

/* One line of a block as read, and one field of it (rawblock.h). A field's
 * lines are chained in mail order; a line of no field (fld RAW_NONE) is
 * written as read whatever happens. */
inline constexpr std::uint32_t RAW_NONE = UINT32_MAX;
struct raw_line {
    std::uint32_t at;    /* first byte in the block's text */
    std::uint32_t len;   /* bytes, the LF not counted */
    std::uint32_t value; /* bytes of lead before the value text */
    std::uint32_t fld;   /* its field, or RAW_NONE */
    std::uint32_t rec;   /* its line number in the field's lines */
    std::uint32_t next;  /* next line of the same field, or RAW_NONE */
};
struct raw_field {
    std::uint32_t id;
    std::uint32_t first; /* first and last line */
    std::uint32_t last;
    std::uint32_t lines; /* record lines it holds */
};

/* What a block parser keeps while it records a block as read: the lines and
 * fields so far (in a buffer of the parser's own while they fit, so that a
 * common part header costs no allocation until it is kept), the field last
 * bound and the one field of each single-field identifier, where the block
 * starts and its last line ends in the parsed text, where NUL bytes stood
 * in it, and whether it met what it cannot describe. */
struct raw_recording {
    static constexpr std::size_t BUFFER = 2048;
    alignas(std::max_align_t) unsigned char buffer[BUFFER];
    std::pmr::monotonic_buffer_resource arena{buffer, BUFFER};
    std::pmr::vector<raw_line> lines{&arena};
    std::pmr::vector<raw_field> fields{&arena};
    std::pmr::vector<std::size_t> nuls{&arena};
    const mailhdr_fld* last_ptr = nullptr;
    std::uint32_t last = 0;
    std::uint32_t single[MAILHDR_NFLDS] = {}; /* field index + 1, 0: none yet */
    const char* base = nullptr;
    const char* end = nullptr;
    bool broken = false;
};

/* Where the next field of each identifier and the next line of a field go. */
struct append_tails {
    mailhdr_fld* fld_tail[MAILHDR_NFLDS];  /* last field of each list, or null */
    std::size_t fld_count[MAILHDR_NFLDS];  /* fields in each list */
    mailhdr_fld* line_fld[MAILHDR_NFLDS];  /* field whose last line is known */
    stringlist* line_tail[MAILHDR_NFLDS];  /* its last line, or null */
    std::size_t line_count[MAILHDR_NFLDS]; /* its lines */
    line_effect last;                      /* of the last line parsed */
};
}  // namespace mailhdr_impl

/* Parses the lines of one header block into a record at a constant cost per
 * line. mailhdr_parseline walks a field list for every line it appends (the
 * records have no tail pointers; their layout is shared with hosts), which
 * makes a header of many fields of one name, or of one field of many lines,
 * quadratic; the block parser keeps the tails while it works. Results and
 * effects are those of mailhdr_parseline. Nothing else may change the record
 * while a block parser is in use on it.
 *
 * Given a mailhdr_raw (rawblock.h), it keeps the block's bytes as read:
 * parse_span takes one line in place ([begin, end), no LF, writable: a NUL
 * byte in it is read as a blank, the bytes kept are those before), and
 * finish ties the kept lines to the record once the block is over. */
class mailhdr_block_parser {
  public:
    explicit mailhdr_block_parser(mailhdr* hdr, mailhdr_raw* raw = nullptr);
    int parseline(const char* line);
    int parse_span(char* begin, char* end);
    void finish();

  private:
    mailhdr* m_hdr;
    mailhdr_raw* m_raw;
    mailhdr_impl::append_tails m_tails;
    mailhdr_impl::raw_recording m_rec;
};
#endif

#endif
