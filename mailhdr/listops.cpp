/*
 * listops.cpp - setting, replacing and removing fields, and the header
 * changes the filter writes into the mails it processed.
 *
 *   mailhdr_setfld(record, id, lines) -> 0 | -1   copy of the caller's list
 *   mailhdr_setfld_string(record, id, text) -> 0 | -1
 *       Identifiers 0..48 only. Single-field types get their one field's
 *       lines replaced; repeatable types get one more field.
 *   mailhdr_delfld(record, id), mailhdr_delfld_byname(record, name) -> 0
 *   mailhdr_marksubject(record, mark) -> 0 | -1 bad argument | -2 no memory
 *       The mark and a blank go in front of the Subject's first line; its
 *       folded lines stay (a Subject without lines becomes the mark).
 *   mailhdr_add_antispam(record, entries, prepend, prefix) -> 0 | -1
 *   mailhdr_set_rectime(record, number) -> 0 | -1
 *
 * Setting copies the new lines before it touches the record: when memory
 * is short the record keeps its old value and gains no empty field, so a
 * failed stamp or mark never takes anything out of the mail. Replaced lines
 * take the field's parsed value with them, so later comparisons see the new
 * text. Removing the field that is the record's `current` clears `current`:
 * a continuation line that follows is then refused as one without a field.
 */
#include "mailhdr/mailhdr_impl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace mailhdr_impl;

// Puts `lines` (owned, may be null) as the lines of the field of `id` that
// mailhdr_addfld gives; releases them when there is no such field.
int set_owned_lines(mailhdr* hdr, int id, stringlist* lines) {
    mailhdr_fld* fld = mailhdr_addfld(hdr, id);
    if (fld == nullptr) {
        stringlist_free(&lines);
        return -1;
    }
    stringlist* old = fld->lines;
    fld->lines = lines;
    stringlist_free(&old);
    fld_drop_parsed(fld);
    return 0;
}

bool settable(const mailhdr* hdr, int id) {
    return hdr != nullptr && id >= 0 && id < MAILHDR_FLD_OTHER;
}

char* concat(const char* a, const char* b) {
    std::size_t la = std::strlen(a), lb = std::strlen(b);
    char* text = static_cast<char*>(std::malloc(la + lb + 1));
    if (text == nullptr)
        return nullptr;
    std::memcpy(text, a, la);
    std::memcpy(text + la, b, lb + 1);
    return text;
}

}  // namespace

extern "C" {

int mailhdr_setfld(mailhdr* hdr, int id, const stringlist* lines) {
    if (!settable(hdr, id))
        return -1;
    stringlist* copy = nullptr;
    if (lines != nullptr) {
        copy = stringlist_copy(lines);
        if (copy == nullptr)
            return -1;
    }
    return set_owned_lines(hdr, id, copy);
}

MAILWARD_API int MAILWARD_CALL mailhdr_setfld_string(mailhdr* hdr, int id, const char* text) {
    if (!settable(hdr, id) || text == nullptr)
        return -1;
    stringlist* lines = nullptr;
    if (stringlist_append_string(&lines, text) < 0)
        return -1;
    return set_owned_lines(hdr, id, lines);
}

MAILWARD_API int MAILWARD_CALL mailhdr_delfld(mailhdr* hdr, int id) {
    if (hdr == nullptr || id < 0 || id >= MAILHDR_NFLDS)
        return 0;
    while (hdr->flds[id] != nullptr)
        hdr_unlink_fld(hdr, &hdr->flds[id]);
    return 0;
}

MAILWARD_API int MAILWARD_CALL mailhdr_delfld_byname(mailhdr* hdr, const char* name) {
    if (hdr == nullptr || name == nullptr)
        return 0;
    int id = mailhdr_getfldid(name);
    if (id != MAILHDR_FLD_OTHER)
        return mailhdr_delfld(hdr, id);
    mailhdr_fld** link = &hdr->flds[MAILHDR_FLD_OTHER];
    while (*link != nullptr) {
        if (ascii_ieq(fld_name_or_table(*link), name)) {
            hdr_unlink_fld(hdr, link);
        } else {
            link = &(*link)->next;
        }
    }
    return 0;
}

int mailhdr_marksubject(mailhdr* hdr, const char* mark) {
    if (hdr == nullptr || mark == nullptr || mark[0] == '\0')
        return -1;
    mailhdr_fld* subject = hdr->flds[MAILHDR_FLD_SUBJECT];
    if (subject == nullptr || subject->lines == nullptr) {
        mailhdr_setfld_string(hdr, MAILHDR_FLD_SUBJECT, mark);
        return 0;
    }
    // The mark goes in front of the first line; the folded lines stay, so
    // the header never shrinks by marking.
    stringlist* first = subject->lines;
    stringlist* parts = nullptr;
    char* joined = nullptr;
    if (stringlist_append_string(&parts, mark) >= 0 &&
        stringlist_append_string(&parts, first->str != nullptr ? first->str : "") >= 0) {
        joined = stringlist_join(parts, " ");
    }
    stringlist_free(&parts);
    if (joined == nullptr) {
        errmsg("mailhdr_marksubject: stringlist_join failed");
        return -2;
    }
    cbcontext_free(first->str);
    first->str = joined;
    fld_drop_parsed(subject);
    return 0;
}

int mailhdr_add_antispam(mailhdr* hdr, stringlist* entries, int prepend, const char* prefix) {
    if (hdr == nullptr || entries == nullptr)
        return -1;
    if (prefix != nullptr && prefix[0] != '\0') {
        // The caller's first entry gets the prefix; it keeps its old text
        // when the new one cannot be made.
        char* prefixed = concat(prefix, entries->str != nullptr ? entries->str : "");
        if (prefixed != nullptr) {
            cbcontext_free(entries->str);
            entries->str = prefixed;
        }
    }
    const mailhdr_fld* old = hdr->flds[MAILHDR_FLD_ANTISPAM];
    char* joined = nullptr;
    if (old == nullptr || old->lines == nullptr) {
        joined = stringlist_join(entries, ", ");
    } else {
        stringlist* all = stringlist_copy(old->lines);
        if (all != nullptr &&
            (prepend ? stringlist_prepend(&all, entries) : stringlist_append(&all, entries)) >= 0) {
            joined = stringlist_join(all, ", ");
        }
        stringlist_free(&all);
    }
    mailhdr_delfld(hdr, MAILHDR_FLD_ANTISPAM);
    if (joined != nullptr) {
        mailhdr_setfld_string(hdr, MAILHDR_FLD_ANTISPAM, joined);
        cbcontext_free(joined);
    }
    return 0;
}

int mailhdr_set_rectime(mailhdr* hdr, int number) {
    if (hdr == nullptr || number == 0)
        return -1;
    mailhdr_delfld(hdr, MAILHDR_FLD_RECTIME);
    char text[16];
    std::snprintf(text, sizeof(text), "%d", number);
    mailhdr_setfld_string(hdr, MAILHDR_FLD_RECTIME, text);
    return 0;
}

}  // extern "C"
