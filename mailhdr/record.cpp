/*
 * record.cpp - header records: making, copying and releasing them, adding
 * fields, parsing header lines into them, parsing a field's value, and
 * finding fields.
 *
 *   mailhdr_alloc() -> record | null          mailhdr_free(record)
 *   mailhdr_copy(record) -> record | null     fields and lines, no parsed
 *                                             values, no `current`
 *   mailhdr_fld_free(field)
 *   mailhdr_addfld(record, id) -> field | null
 *   mailhdr_addfld_byname(record, name) -> field | null
 *   mailhdr_parseline(record, line) -> 0 | -1 | -2 | -3
 *   mailhdr_parse_errorstr() -> text of the last error of parseline
 *   mailhdr_parse_fld(field) -> 0 parsed value present | -1
 *   mailhdr_getfld(_byname), mailhdr_getfldvalue(_byname) -> or null
 *
 * Every block of a record comes from malloc and goes back through
 * cbcontext_free; lines through stringlist_free, address lists through
 * mailaddr_free.
 *
 * Limits: MAILHDR_MAX_FLD_LINES lines per field and MAILHDR_MAX_FLDS_PER_ID
 * fields per identifier, only against memory exhaustion (see mailhdr.h);
 * a line past one is refused (-3), never dropped silently. The lists have
 * no tail pointer (the layout is shared with hosts), so mailhdr_parseline
 * walks the list it appends to; mailhdr_block_parser keeps the tails of
 * every list and of the field lines it appends to, so that parsing a block
 * costs the same per line however many lines went before.
 *
 * BUGS: mailhdr_parseline's error text is one process-wide value: with two
 * threads parsing at once either may read the other's last error.
 */
#include "mailhdr/mailhdr_impl.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "mailhdr/rawblock.h"

namespace {

using namespace mailhdr_impl;

// Error texts of mailhdr_parseline, as log readers know them.
constexpr const char* ERR_CONTINUATION_FIRST = "first line is a concatination line";
constexpr const char* ERR_NO_FIELD = "no hdr fld found";
constexpr const char* ERR_NO_MEMORY = "no memory";
constexpr const char* ERR_LIMIT = "hdr fld limit reached";

// Characters of a field value that an error line shows.
constexpr std::size_t LOGGED_VALUE_MAX = 256;

// Written only on errors; atomic so that parsing threads race benignly.
std::atomic<const char*> g_parse_error{""};

void set_parse_error(const char* text) {
    g_parse_error.store(text, std::memory_order_relaxed);
}

// The bytes a header line may start or pad with: isspace() of the C locale.
inline bool is_space(char c) {
    return pf::is_c_space(c);
}

mailhdr_fld* new_fld(int id, const char* name, std::size_t name_len) {
    mailhdr_fld* fld = static_cast<mailhdr_fld*>(std::calloc(1, sizeof(mailhdr_fld)));
    if (fld == nullptr)
        return nullptr;
    fld->id = id;
    fld->name = pf::copy_terminated(name, name_len);
    if (fld->name == nullptr) {
        cbcontext_free(fld);
        return nullptr;
    }
    return fld;
}

// The link behind the last field of the list of `id` and the number of
// fields before it: from the block parser's tails when there are any, else
// by walking the list (the walk stops at the limit).
mailhdr_fld** fld_append_link(mailhdr* hdr, int id, append_tails* tails, std::size_t& count) {
    if (tails != nullptr) {
        count = tails->fld_count[id];
        mailhdr_fld* last = tails->fld_tail[id];
        return last != nullptr ? &last->next : &hdr->flds[id];
    }
    mailhdr_fld** link = &hdr->flds[id];
    count = 0;
    for (; *link != nullptr && count < MAILHDR_MAX_FLDS_PER_ID; link = &(*link)->next)
        ++count;
    return link;
}

// Appends a new field at the end of the list of `id`; null when memory is
// short or the list is full (`*why` then says which).
mailhdr_fld* append_new_fld(mailhdr* hdr, int id, const char* name, std::size_t name_len,
                            const char** why, append_tails* tails) {
    std::size_t count = 0;
    mailhdr_fld** link = fld_append_link(hdr, id, tails, count);
    if (count >= MAILHDR_MAX_FLDS_PER_ID) {
        *why = ERR_LIMIT;
        return nullptr;
    }
    mailhdr_fld* fld = new_fld(id, name, name_len);
    if (fld == nullptr) {
        *why = ERR_NO_MEMORY;
        return nullptr;
    }
    *link = fld;
    if (tails != nullptr) {
        tails->fld_tail[id] = fld;
        tails->fld_count[id] = count + 1;
        tails->last.new_fld = true;
    }
    return fld;
}

// The field that takes the value lines of a field `id` named `name`: the one
// field of a single-field type (an address field loses its old lines, so the
// new value replaces it), else a new field at the end of the list.
mailhdr_fld* add_fld(mailhdr* hdr, int id, const char* name, std::size_t name_len, const char** why,
                     append_tails* tails = nullptr) {
    if (id != MAILHDR_FLD_OTHER) {
        mailhdr_fld* head = hdr->flds[id];
        switch (mailhdr_getfldtype(id)) {
            case FLDTYPE_TEXT:
                if (head != nullptr)
                    return head;
                break;
            case FLDTYPE_ADDR:
                if (head != nullptr) {
                    stringlist_free(&head->lines);
                    fld_drop_parsed(head);
                    if (tails != nullptr && tails->line_fld[id] == head)
                        tails->line_fld[id] = nullptr;
                    return head;
                }
                break;
            default:
                break;
        }
    }
    return append_new_fld(hdr, id, name, name_len, why, tails);
}

// The link behind the last value line of `fld` and the number of lines
// before it; the block parser walks a field's lines once, when it first
// appends to it, and then keeps the tail.
stringlist** line_append_link(mailhdr_fld* fld, append_tails* tails, std::size_t& count) {
    const int id = fld->id;
    const bool kept = tails != nullptr && id >= 0 && id < MAILHDR_NFLDS;
    if (kept && tails->line_fld[id] == fld) {
        count = tails->line_count[id];
        stringlist* last = tails->line_tail[id];
        return last != nullptr ? &last->next : &fld->lines;
    }
    stringlist* last = nullptr;
    count = 0;
    for (stringlist* node = fld->lines; node != nullptr && count < MAILHDR_MAX_FLD_LINES;
         node = node->next) {
        last = node;
        ++count;
    }
    stringlist** link = last != nullptr ? &last->next : &fld->lines;
    if (kept && *link == nullptr) {
        tails->line_fld[id] = fld;
        tails->line_tail[id] = last;
        tails->line_count[id] = count;
    }
    return link;
}

// Appends one value line to `current`; 0, or -3 with the parse error set.
// A full field also stops being `current`: the continuation lines of a flood
// are then refused at once (-1) instead of each walking the full list.
int append_line(mailhdr* hdr, const char* text, append_tails* tails) {
    mailhdr_fld* fld = hdr->current;
    std::size_t count = 0;
    stringlist** link = line_append_link(fld, tails, count);
    if (count >= MAILHDR_MAX_FLD_LINES) {
        set_parse_error(ERR_LIMIT);
        hdr->current = nullptr;
        return -3;
    }
    if (stringlist_append_string(link, text) < 0) {
        set_parse_error(ERR_NO_MEMORY);
        return -3;
    }
    if (tails != nullptr) {
        if (tails->line_fld[fld->id] == fld) {
            tails->line_tail[fld->id] = *link;
            tails->line_count[fld->id] = count + 1;
        }
        tails->last.fld = fld;
        tails->last.line = count;
    }
    fld_drop_parsed(fld);
    return 0;
}

// mailhdr_parseline, with the block parser's tails or without.
int parse_line(mailhdr* hdr, const char* line, append_tails* tails) {
    if (hdr == nullptr || line == nullptr) {
        set_parse_error(ERR_NO_FIELD);
        return -2;
    }
    if (tails != nullptr)
        tails->last = line_effect{};
    if (is_space(line[0])) {
        const char* text = line;
        while (is_space(*text))
            ++text;
        if (hdr->current == nullptr) {
            set_parse_error(ERR_CONTINUATION_FIRST);
            return -1;
        }
        if (tails != nullptr)
            tails->last.value = static_cast<std::size_t>(text - line);
        return append_line(hdr, text, tails);
    }
    const char* colon = std::strchr(line, ':');
    if (colon == nullptr) {
        set_parse_error(ERR_NO_FIELD);
        return -2;
    }
    // The name is the text before the colon byte for byte, blanks included;
    // table names are stored as the table writes them.
    std::size_t name_len = static_cast<std::size_t>(colon - line);
    int id = lookup_fldid(line, name_len);
    const char* why = ERR_NO_MEMORY;
    if (id == MAILHDR_FLD_OTHER) {
        hdr->current = add_fld(hdr, id, line, name_len, &why, tails);
    } else {
        hdr->current = add_fld(hdr, id, mailhdr_getfldname(id), table_name_len(id), &why, tails);
    }
    if (hdr->current == nullptr) {
        set_parse_error(why);
        return -3;
    }
    const char* value = colon + 1;
    while (is_space(*value))
        ++value;
    if (tails != nullptr)
        tails->last.value = static_cast<std::size_t>(value - line);
    return append_line(hdr, value, tails);
}

}  // namespace

mailhdr_fld* mailhdr_impl::fld_new(int id) {
    const char* name = mailhdr_getfldname(id);
    return name != nullptr ? new_fld(id, name, std::strlen(name)) : nullptr;
}

void mailhdr_impl::fld_drop_parsed(mailhdr_fld* fld) {
    if (fld->parsed == nullptr)
        return;
    int type = mailhdr_getfldtype(fld->id);
    if (type == FLDTYPE_ADDR || type == FLDTYPE_ADDRLIST) {
        mailaddr* list = static_cast<mailaddr*>(fld->parsed);
        mailaddr_free(&list);
    } else {
        cbcontext_free(fld->parsed);
    }
    fld->parsed = nullptr;
}

const char* mailhdr_impl::fld_name_or_table(const mailhdr_fld* fld) {
    if (fld->name != nullptr)
        return fld->name;
    if (fld->id >= 0 && fld->id < MAILHDR_NFLDS)
        return mailhdr_getfldname(fld->id);
    return OTHER_NAME;
}

void mailhdr_impl::hdr_unlink_fld(mailhdr* hdr, mailhdr_fld** link) {
    mailhdr_fld* fld = *link;
    *link = fld->next;
    // A continuation line must never reach a released field.
    if (hdr->current == fld)
        hdr->current = nullptr;
    mailhdr_fld_free(fld);
}

extern "C" {

MAILWARD_API mailhdr* MAILWARD_CALL mailhdr_alloc(void) {
    return static_cast<mailhdr*>(std::calloc(1, sizeof(mailhdr)));
}

void mailhdr_fld_free(mailhdr_fld* fld) {
    if (fld == nullptr)
        return;
    fld_drop_parsed(fld);
    stringlist_free(&fld->lines);
    cbcontext_free(fld->name);
    cbcontext_free(fld);
}

MAILWARD_API void MAILWARD_CALL mailhdr_free(mailhdr* hdr) {
    if (hdr == nullptr)
        return;
    for (mailhdr_fld*& head : hdr->flds) {
        while (head != nullptr) {
            mailhdr_fld* next = head->next;
            mailhdr_fld_free(head);
            head = next;
        }
    }
    cbcontext_free(hdr);
}

MAILWARD_API mailhdr* MAILWARD_CALL mailhdr_copy(const mailhdr* hdr) {
    if (hdr == nullptr)
        return nullptr;
    mailhdr* copy = mailhdr_alloc();
    if (copy == nullptr)
        return nullptr;
    for (int id = 0; id < MAILHDR_NFLDS; ++id) {
        mailhdr_fld** tail = &copy->flds[id];
        for (const mailhdr_fld* src = hdr->flds[id]; src != nullptr; src = src->next) {
            const char* name = fld_name_or_table(src);
            mailhdr_fld* fld = new_fld(src->id, name, std::strlen(name));
            if (fld == nullptr) {
                mailhdr_free(copy);
                return nullptr;
            }
            *tail = fld;
            tail = &fld->next;
            if (src->lines != nullptr) {
                fld->lines = stringlist_copy(src->lines);
                if (fld->lines == nullptr) {
                    mailhdr_free(copy);
                    return nullptr;
                }
            }
        }
    }
    return copy;
}

mailhdr_fld* mailhdr_addfld(mailhdr* hdr, int id) {
    if (hdr == nullptr || id < 0 || id >= MAILHDR_NFLDS)
        return nullptr;
    const char* name = mailhdr_getfldname(id);
    const char* why = nullptr;
    return add_fld(hdr, id, name, std::strlen(name), &why);
}

mailhdr_fld* mailhdr_addfld_byname(mailhdr* hdr, const char* name) {
    if (hdr == nullptr)
        return nullptr;
    int id = mailhdr_getfldid(name);
    if (id != MAILHDR_FLD_OTHER)
        return mailhdr_addfld(hdr, id);
    if (name == nullptr)
        name = OTHER_NAME;
    const char* why = nullptr;
    return add_fld(hdr, id, name, std::strlen(name), &why);
}

MAILWARD_API int MAILWARD_CALL mailhdr_parseline(mailhdr* hdr, const char* line) {
    return parse_line(hdr, line, nullptr);
}

MAILWARD_API const char* MAILWARD_CALL mailhdr_parse_errorstr(void) {
    return g_parse_error.load(std::memory_order_relaxed);
}

int mailhdr_parse_fld(mailhdr_fld* fld) {
    if (fld == nullptr)
        return -1;
    if (fld->parsed != nullptr)
        return 0;
    const char* name = fld_name_or_table(fld);
    int type = mailhdr_getfldtype(fld->id);
    switch (type) {
        case FLDTYPE_TEXT:
        case FLDTYPE_TEXTLIST: {
            char* joined = stringlist_join(fld->lines, " ");
            if (joined == nullptr) {
                errmsg("mailhdr_parse_fld(%s) failed - no memory", name);
                return -1;
            }
            fld->parsed = joined;
            return 0;
        }
        case FLDTYPE_ADDR:
        case FLDTYPE_ADDRLIST: {
            char* joined = stringlist_join(fld->lines, ",");
            if (joined == nullptr) {
                errmsg("mailhdr_parse_fld(%s) failed - no memory", name);
                return -1;
            }
            int result = -1;
            if (joined[0] != '\0') {
                mailaddr* list = mailaddr_parse(joined);
                if (list != nullptr) {
                    fld->parsed = list;
                    result = 0;
                } else {
                    // A hostile field can be megabytes long: the line shows
                    // its start only, on one line.
                    errmsg("mailhdr_parse_fld(%s) #%s# failed - %s", name,
                           pf::blank_controls(std::string_view(joined).substr(0, LOGGED_VALUE_MAX))
                               .c_str(),
                           mailaddr_parse_errorstr());
                }
            }
            cbcontext_free(joined);
            return result;
        }
        default:
            bugmsg("mailhdr_parse_fld(%s): unsupported fldtype", name);
            return -1;
    }
}

MAILWARD_API mailhdr_fld* MAILWARD_CALL mailhdr_getfld(const mailhdr* hdr, int id) {
    if (hdr == nullptr || id < 0 || id >= MAILHDR_NFLDS)
        return nullptr;
    return hdr->flds[id];
}

MAILWARD_API mailhdr_fld* MAILWARD_CALL mailhdr_getfld_byname(const mailhdr* hdr,
                                                              const char* name) {
    if (hdr == nullptr || name == nullptr)
        return nullptr;
    int id = mailhdr_getfldid(name);
    if (id != MAILHDR_FLD_OTHER)
        return hdr->flds[id];
    for (mailhdr_fld* fld = hdr->flds[MAILHDR_FLD_OTHER]; fld != nullptr; fld = fld->next) {
        if (fld->name != nullptr && ascii_ieq(fld->name, name))
            return fld;
    }
    return nullptr;
}

MAILWARD_API stringlist* MAILWARD_CALL mailhdr_getfldvalue(const mailhdr* hdr, int id) {
    if (id < 0 || id >= MAILHDR_FLD_OTHER)
        return nullptr;
    mailhdr_fld* fld = mailhdr_getfld(hdr, id);
    return fld != nullptr ? fld->lines : nullptr;
}

MAILWARD_API stringlist* MAILWARD_CALL mailhdr_getfldvalue_byname(const mailhdr* hdr,
                                                                  const char* name) {
    mailhdr_fld* fld = mailhdr_getfld_byname(hdr, name);
    return fld != nullptr ? fld->lines : nullptr;
}

}  // extern "C"

mailhdr_block_parser::mailhdr_block_parser(mailhdr* hdr, mailhdr_raw* raw)
    : m_hdr(hdr), m_raw(raw), m_tails{} {
    if (hdr == nullptr)
        return;
    for (int id = 0; id < MAILHDR_NFLDS; ++id) {
        std::size_t count = 0;
        mailhdr_fld* last = nullptr;
        for (mailhdr_fld* fld = hdr->flds[id]; fld != nullptr; fld = fld->next) {
            last = fld;
            ++count;
        }
        m_tails.fld_tail[id] = last;
        m_tails.fld_count[id] = count;
    }
}

int mailhdr_block_parser::parseline(const char* line) {
    return parse_line(m_hdr, line, m_hdr != nullptr ? &m_tails : nullptr);
}

int mailhdr_block_parser::parse_span(char* begin, char* end) {
    const std::size_t len = static_cast<std::size_t>(end - begin);
    if (m_raw != nullptr)
        m_raw->add_line(m_rec, begin, end);
    // The record holds C strings: a zero byte would cut the line there, so
    // it is read as a blank (the rest of the line stays); the block as read
    // gets it back.
    for (char* z = static_cast<char*>(std::memchr(begin, '\0', len)); z != nullptr;
         z = static_cast<char*>(std::memchr(z, '\0', static_cast<std::size_t>(end - z)))) {
        *z = ' ';
        if (m_raw != nullptr)
            m_rec.nuls.push_back(static_cast<std::size_t>(z - m_rec.base));
    }
    const char saved = *end;
    *end = '\0';
    const int result = parseline(begin);
    *end = saved;
    if (m_raw != nullptr)
        m_raw->bind_line(m_rec, result, m_tails.last);
    return result;
}

void mailhdr_block_parser::finish() {
    if (m_raw != nullptr)
        m_raw->finish(m_rec, m_hdr);
}
