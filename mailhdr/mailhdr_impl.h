/*
 * mailhdr_impl.h - helpers the files of the header library share; not for
 * callers outside mailhdr/.
 *
 *   ascii_lower, ascii_ieq, ascii_ieq_n   byte compares that ignore the case
 *                                         of A-Z only, as _stricmp does in
 *                                         the C locale (8-bit bytes compare
 *                                         as they are)
 *   lookup_fldid(name, len)               identifier of a name given as a
 *                                         span (no NUL needed), 49 when no
 *                                         table row carries it
 *   table_name_len(id)                    length of the table name of an
 *                                         identifier 0..49 (no strlen)
 *   fld_new(id)                           a new field of a table identifier
 *                                         with its table name, no lines;
 *                                         null when memory is short
 *   fld_drop_parsed(fld)                  releases the cached parsed value
 *   fld_name_or_table(fld)                the field's name, or its
 *                                         identifier's table name when it
 *                                         has none
 *   hdr_unlink_fld(hdr, link)             takes the field at *link out of
 *                                         its list, clears `current` when it
 *                                         was that field, and releases it
 *   append_fld_lf(out, fld)               one field as mailhdr_print writes
 *   append_hdr_lf(out, hdr)               it / the whole record, with LF
 *                                         line ends, appended to `out`
 *   append_value_lf(out, text)            one value line as mailhdr_print
 *                                         writes it (its own folds kept,
 *                                         other line ends made blanks), LF
 * The append functions throw std::bad_alloc when memory runs short.
 */
#ifndef MAILWARD_MAILHDR_IMPL_H
#define MAILWARD_MAILHDR_IMPL_H

#include "mailhdr/mailhdr.h"

#include <cstddef>
#include <string>

#include "pf/text.h"

namespace mailhdr_impl {

// Name of identifier 49 and the fallback for a field without a name; its
// colon keeps any field found in a mail from matching it by name.
inline constexpr const char* OTHER_NAME = "Other:";

using pf::ascii_lower;

// True when the first `n` bytes of `a` and `b` are equal ignoring A-Z case.
inline constexpr bool ascii_ieq_n(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}

// Whole NUL-terminated strings, like _stricmp(a, b) == 0.
inline bool ascii_ieq(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b))
            return false;
        if (*a == '\0')
            return true;
    }
}

int lookup_fldid(const char* name, std::size_t len);
std::size_t table_name_len(int id);
mailhdr_fld* fld_new(int id);
void fld_drop_parsed(mailhdr_fld* fld);
const char* fld_name_or_table(const mailhdr_fld* fld);
void hdr_unlink_fld(mailhdr* hdr, mailhdr_fld** link);
void append_fld_lf(std::string& out, const mailhdr_fld* fld);
void append_hdr_lf(std::string& out, const mailhdr* hdr);
void append_value_lf(std::string& out, const char* text);

}  // namespace mailhdr_impl

#endif
