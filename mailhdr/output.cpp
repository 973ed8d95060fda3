/*
 * output.cpp - comparing header fields with rule patterns, and writing a
 * header record back as header text.
 *
 *   mailhdr_fld_eq(field, pattern) -> 1 match | 0
 *   mailhdr_fld_eq_id(record, id, pattern), mailhdr_fld_eq_name(record,
 *       name, pattern) -> the same on the first field found, 0 when none
 *   mailhdr_foreach_fld(record, context, fn) -> sum of fn's results, or its
 *       first negative result
 *   mailhdr_print_fld(cbuf, field), mailhdr_print(record, cbuf) -> characters
 *       written, -1 on a null argument or a refused write
 *   mailhdr_sprint_fld(text, field), mailhdr_sprint(record, text) ->
 *       characters appended to the text already in the buffer
 *   mailhdr_get_headersize(record) -> what mailhdr_sprint appends; -1 null
 *       record, -2 no buffer to measure with
 *   mailhdr_date(out), mailhdr_date_at(out, when) -> out, e.g.
 *       "Tue, 5 Mar 2024 14:07:09 +0100" (MAILHDR_DATE_SIZE characters)
 *   mailhdr_add_received(record, from, by, via, with, id) -> 0 | -1
 *
 * Header text: per field its name, ":", then the first line after one blank
 * and each further line after three blanks, every line ended by CR LF;
 * fields by identifier (0..49), each list in order. A field without lines
 * is left out, so that no name ever runs into the next field's line.
 *
 * Header text is never a way in. Values reach it from hosts, from decoded
 * encoded words and from file names of hostile mails; a line end inside one
 * would let the text gain a field nobody set ("x\r\nBcc: ..."). So in names
 * every CR and LF is written as a blank, and in values only the library's
 * own folding survives: an LF followed by a blank or tab (as in
 * "text/plain;\n\tname=...") is written as CR LF and that white space, which
 * continues the field; every other CR or LF is written as a blank. A fold
 * that would leave a line of white space alone is no fold either (its LF is
 * written as a blank): such a line must not be generated, and some readers
 * take it for the empty line that ends the header. One
 * writer serves the cbuf and the character-buffer forms, so the size that
 * mailhdr_get_headersize measures is always what mailhdr_sprint appends.
 *
 * Limits: a Received clause is cut to MAILHDR_RECEIVED_CLAUSE_SIZE - 1
 * characters. Counts are ints: text beyond INT_MAX characters is refused.
 */
#include "mailhdr/mailhdr_impl.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace mailhdr_impl;

// Writes into a cbuf; counts what cbuf_printf reports.
class CbufSink {
  public:
    explicit CbufSink(cbuf* buf) : m_pBuf(buf) {}
    bool put(const char* text, std::size_t len) {
        while (len > 0) {
            int chunk = len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
            int written = cbuf_printf(m_pBuf, "%.*s", chunk, text);
            if (written < 0)
                return false;
            m_nCount += static_cast<std::size_t>(written);
            text += chunk;
            len -= static_cast<std::size_t>(chunk);
        }
        return true;
    }
    std::size_t count() const { return m_nCount; }

  private:
    cbuf* m_pBuf;
    std::size_t m_nCount = 0;
};

// Writes into a caller's buffer that has room for the whole text.
class CTextSink {
  public:
    explicit CTextSink(char* at) : m_pAt(at) {}
    bool put(const char* text, std::size_t len) {
        std::memcpy(m_pAt + m_nCount, text, len);
        m_nCount += len;
        return true;
    }
    void terminate() { m_pAt[m_nCount] = '\0'; }
    std::size_t count() const { return m_nCount; }

  private:
    char* m_pAt;
    std::size_t m_nCount = 0;
};

// Appends to a string with LF line ends: the writer's only CRs are those of
// its CR LF line ends (every other CR becomes a blank), so each is dropped.
class CLfSink {
  public:
    explicit CLfSink(std::string& out) : m_out(out) {}
    bool put(const char* text, std::size_t len) {
        for (const char* end = text + len; text < end;) {
            const void* cr = std::memchr(text, '\r', static_cast<std::size_t>(end - text));
            const char* stop = cr != nullptr ? static_cast<const char*>(cr) : end;
            m_out.append(text, static_cast<std::size_t>(stop - text));
            text = stop + (cr != nullptr ? 1 : 0);
        }
        return true;
    }

  private:
    std::string& m_out;
};

// Gathers the text in memory (mailhdr_get_headersize hands it to its cbuf in
// one write instead of one formatted write per piece).
class CStringSink {
  public:
    bool put(const char* text, std::size_t len) {
        m_text.append(text, len);
        return true;
    }
    const std::string& text() const { return m_text; }

  private:
    std::string m_text;
};

inline bool is_fold_space(char c) {
    return pf::is_wsp(c);
}

// True when the LF at `lf` starts a fold: blanks or tabs, then text that is
// neither the end nor another line end.
bool is_fold(const char* lf) {
    const char* p = lf + 1;
    if (!is_fold_space(*p))
        return false;
    while (is_fold_space(*p))
        ++p;
    return *p != '\0' && *p != '\r' && *p != '\n';
}

// Writes `text` with CR and LF turned into blanks, except (when `folds`)
// an LF that starts a fold, which becomes CR LF before the fold's blank.
template <class Sink>
bool put_clean(Sink& out, const char* text, bool folds) {
    const char* run = text;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        if (*p != '\r' && *p != '\n')
            continue;
        if (!out.put(run, static_cast<std::size_t>(p - run)))
            return false;
        if (folds && *p == '\n' && is_fold(p)) {
            if (!out.put("\r\n", 2) || !out.put(p + 1, 1))
                return false;
            ++p;
        } else if (!out.put(" ", 1)) {
            return false;
        }
        run = p + 1;
    }
    return out.put(run, static_cast<std::size_t>(p - run));
}

template <class Sink>
bool put_fld(Sink& out, const mailhdr_fld* fld) {
    if (fld->lines == nullptr)
        return true;
    if (!put_clean(out, fld_name_or_table(fld), false) || !out.put(":", 1))
        return false;
    bool first = true;
    for (const stringlist* line = fld->lines; line != nullptr; line = line->next) {
        if (!out.put(first ? " " : "   ", first ? 1 : 3))
            return false;
        if (line->str != nullptr && !put_clean(out, line->str, true))
            return false;
        if (!out.put("\r\n", 2))
            return false;
        first = false;
    }
    return true;
}

template <class Sink>
bool put_hdr(Sink& out, const mailhdr* hdr) {
    for (const mailhdr_fld* head : hdr->flds) {
        for (const mailhdr_fld* fld = head; fld != nullptr; fld = fld->next) {
            if (!put_fld(out, fld))
                return false;
        }
    }
    return true;
}

int count_or_fail(bool ok, std::size_t count) {
    return ok && count <= static_cast<std::size_t>(INT_MAX) ? static_cast<int>(count) : -1;
}

// Address types: whether any address of the field (and, for a list type,
// of the fields after it) matches any address of the pattern.
int addr_eq(mailhdr_fld* fld, const char* pattern, bool whole_list) {
    mailaddr* patterns = mailaddr_parse(pattern);
    if (patterns == nullptr) {
        errmsg("mailhdr_fld_eq(%s): #%s# - %s", fld_name_or_table(fld), pattern,
               mailaddr_parse_errorstr());
        return 0;
    }
    int result = 0;
    for (mailhdr_fld* f = fld; f != nullptr && result == 0; f = whole_list ? f->next : nullptr) {
        if (mailhdr_parse_fld(f) != 0)
            continue;
        for (const mailaddr* a = static_cast<mailaddr*>(f->parsed); a != nullptr && result == 0;
             a = a->next) {
            for (const mailaddr* p = patterns; p != nullptr; p = p->next) {
                if (mailaddr_match(a, p) == 2) {
                    result = 1;
                    break;
                }
            }
        }
    }
    mailaddr_free(&patterns);
    return result;
}

bool text_eq(mailhdr_fld* fld, const char* pattern) {
    return mailhdr_parse_fld(fld) == 0 &&
           shcasematch(static_cast<const char*>(fld->parsed), pattern) == 1;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (month
// 1..12); exact for any year, unlike mktime it reads no time zone.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool local_time(time_t when, struct tm* out) {
#if defined(_WIN32)
    _tzset();
    return localtime_s(out, &when) == 0;
#else
    tzset();
    return localtime_r(&when, out) != nullptr;
#endif
}

// Minutes east of UTC in force at `when`: the local wall-clock time read as
// if it were UTC, less the moment itself. Includes daylight saving time.
int utc_offset_minutes(time_t when, const struct tm& local) {
    std::int64_t wall = days_from_civil(static_cast<std::int64_t>(local.tm_year) + 1900,
                                        static_cast<unsigned>(local.tm_mon + 1),
                                        static_cast<unsigned>(local.tm_mday)) *
                            86400 +
                        local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return static_cast<int>((wall - static_cast<std::int64_t>(when)) / 60);
}

// Appends "<prefix><value><suffix>", cut to the clause buffer, when `value`
// is given. False when memory is short.
bool add_clause(stringlist** lines, const char* prefix, const char* value, const char* suffix) {
    if (value == nullptr)
        return true;
    char clause[MAILHDR_RECEIVED_CLAUSE_SIZE];
    std::snprintf(clause, sizeof(clause), "%s%s%s", prefix, value, suffix);
    return stringlist_append_string(lines, clause) >= 0;
}

}  // namespace

void mailhdr_impl::append_fld_lf(std::string& out, const mailhdr_fld* fld) {
    CLfSink sink(out);
    put_fld(sink, fld);
}

void mailhdr_impl::append_value_lf(std::string& out, const char* text) {
    CLfSink sink(out);
    put_clean(sink, text, true);
}

void mailhdr_impl::append_hdr_lf(std::string& out, const mailhdr* hdr) {
    CLfSink sink(out);
    put_hdr(sink, hdr);
}

extern "C" {

int mailhdr_fld_eq(mailhdr_fld* fld, const char* pattern) {
    if (fld == nullptr || pattern == nullptr)
        return 0;
    switch (mailhdr_getfldtype(fld->id)) {
        case FLDTYPE_TEXT:
            return text_eq(fld, pattern) ? 1 : 0;
        case FLDTYPE_TEXTLIST: {
            // Fields outside the table share one list: only those of the
            // same name stand for this field.
            const char* name = fld_name_or_table(fld);
            bool other = fld->id == MAILHDR_FLD_OTHER;
            for (mailhdr_fld* f = fld; f != nullptr; f = f->next) {
                if (other && !ascii_ieq(fld_name_or_table(f), name))
                    continue;
                if (text_eq(f, pattern))
                    return 1;
            }
            return 0;
        }
        case FLDTYPE_ADDR:
            return addr_eq(fld, pattern, false);
        case FLDTYPE_ADDRLIST:
            return addr_eq(fld, pattern, true);
        default:
            bugmsg("mailhdr_parse_fld(%s): unsupported fldtype", fld_name_or_table(fld));
            return 0;
    }
}

int mailhdr_fld_eq_id(mailhdr* hdr, int id, const char* pattern) {
    if (id < 0 || id >= MAILHDR_FLD_OTHER)
        return 0;
    mailhdr_fld* fld = mailhdr_getfld(hdr, id);
    return fld != nullptr ? mailhdr_fld_eq(fld, pattern) : 0;
}

int mailhdr_fld_eq_name(mailhdr* hdr, const char* name, const char* pattern) {
    mailhdr_fld* fld = mailhdr_getfld_byname(hdr, name);
    return fld != nullptr ? mailhdr_fld_eq(fld, pattern) : 0;
}

int mailhdr_foreach_fld(mailhdr* hdr, void* context, mailhdr_fld_fn fn) {
    if (hdr == nullptr || fn == nullptr)
        return 0;
    int sum = 0;
    for (mailhdr_fld* head : hdr->flds) {
        for (mailhdr_fld* fld = head; fld != nullptr;) {
            mailhdr_fld* next = fld->next;  // fn may release fld
            int result = fn(context, fld);
            if (result < 0)
                return result;
            sum += result;
            fld = next;
        }
    }
    return sum;
}

int mailhdr_print_fld(cbuf* buf, const mailhdr_fld* fld) {
    if (buf == nullptr || fld == nullptr)
        return -1;
    CbufSink out(buf);
    bool ok = put_fld(out, fld);
    return count_or_fail(ok, out.count());
}

int mailhdr_print(const mailhdr* hdr, cbuf* buf) {
    if (hdr == nullptr || buf == nullptr)
        return -1;
    CbufSink out(buf);
    bool ok = put_hdr(out, hdr);
    return count_or_fail(ok, out.count());
}

int mailhdr_sprint_fld(char* buf, const mailhdr_fld* fld) {
    if (buf == nullptr || fld == nullptr)
        return -1;
    CTextSink out(buf + std::strlen(buf));
    put_fld(out, fld);
    out.terminate();
    return count_or_fail(true, out.count());
}

MAILWARD_API int MAILWARD_CALL mailhdr_sprint(const mailhdr* hdr, char* buf) {
    if (hdr == nullptr || buf == nullptr)
        return -1;
    CTextSink out(buf + std::strlen(buf));
    put_hdr(out, hdr);
    out.terminate();
    return count_or_fail(true, out.count());
}

MAILWARD_API int MAILWARD_CALL mailhdr_get_headersize(const mailhdr* hdr) {
    if (hdr == nullptr)
        return -1;
    cbuf* buf = cbuf_alloc(0, -1, MAILHDR_SIZE_BLOCK, 0);
    if (buf == nullptr)
        return -2;
    cbuf_describe(buf, "mailhdr_get_headersize");
    // What mailhdr_print would write, gathered first and written in one go:
    // the same count, without a formatted write for every piece.
    int size = -1;
    try {
        CStringSink text;
        put_hdr(text, hdr);
        CbufSink out(buf);
        const bool ok = out.put(text.text().data(), text.text().size());
        size = count_or_fail(ok, out.count());
    } catch (...) {
        size = -1;  // memory ran short
    }
    cbuf_close(buf);
    cbuf_free(buf);
    return size < 0 ? -2 : size;
}

char* mailhdr_date_at(char* out, time_t when) {
    static const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (out == nullptr)
        return nullptr;
    struct tm local {};
    char date[MAILHDR_DATE_SIZE] = "";
    int minutes = 0;  // no zone when the platform gives no local time
    if (local_time(when, &local)) {
        if (local.tm_wday >= 0 && local.tm_wday <= 6 && local.tm_mon >= 0 && local.tm_mon <= 11) {
            std::snprintf(date, sizeof(date), "%s, %d %s %d %.2d:%.2d:%.2d",
                          WEEKDAYS[local.tm_wday], local.tm_mday, MONTHS[local.tm_mon],
                          local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
        }
        minutes = utc_offset_minutes(when, local);
    }
    // UTC itself is written "-0000", as the mail system always wrote it.
    if (minutes > 0) {
        std::snprintf(out, MAILHDR_DATE_SIZE, "%s +%.2d%.2d", date, minutes / 60, minutes % 60);
    } else {
        std::snprintf(out, MAILHDR_DATE_SIZE, "%s -%.2d%.2d", date, -minutes / 60, -minutes % 60);
    }
    return out;
}

char* mailhdr_date(char* out) {
    return mailhdr_date_at(out, __time(nullptr));
}

int mailhdr_add_received(mailhdr* hdr, const char* from, const char* by, const char* via,
                         const char* with, const char* id) {
    if (hdr == nullptr)
        return -1;
    stringlist* lines = nullptr;
    char date[MAILHDR_DATE_SIZE];
    mailhdr_date(date);
    bool ok = add_clause(&lines, "from ", from, "") && add_clause(&lines, "by ", by, "") &&
              add_clause(&lines, "via ", via, "") && add_clause(&lines, "with ", with, "") &&
              add_clause(&lines, "id <", id, ">") && add_clause(&lines, "; ", date, "");
    mailhdr_fld* fld = ok ? fld_new(MAILHDR_FLD_RECEIVED) : nullptr;
    if (fld == nullptr) {
        stringlist_free(&lines);
        return -1;
    }
    fld->lines = lines;
    fld->next = hdr->flds[MAILHDR_FLD_RECEIVED];
    hdr->flds[MAILHDR_FLD_RECEIVED] = fld;
    return 0;
}

}  // extern "C"
