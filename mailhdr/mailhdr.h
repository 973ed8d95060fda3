/*
 * mailhdr.h - the mail header library: the table of known header fields,
 * header records, line parsing, comparison with patterns, header text output
 * and the field changes the filter makes. Plain functions that report by
 * integer codes and null pointers and log through the support library; no
 * exceptions, no locks.
 *
 * The records (mailhdr, mailhdr_fld) and the functions a host needs are
 * declared in the public header mailward.h; the rest is declared here.
 */
#ifndef MAILWARD_MAILHDR_H
#define MAILWARD_MAILHDR_H

#include "mailward.h"
#include "qorcsock.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Field table (Part of the header library's contract). */
int mailhdr_init(void);
void mailhdr_exit(void);
int mailhdr_getfldtype(int id);
int mailhdr_getfldid_line(const char* line);

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
int mailhdr_print_fld(cbuf* buf, const mailhdr_fld* fld);
int mailhdr_print(const mailhdr* hdr, cbuf* buf);
int mailhdr_sprint_fld(char* buf, const mailhdr_fld* fld);
char* mailhdr_date(char* out);
int mailhdr_add_received(mailhdr* hdr, const char* from, const char* by, const char* via,
                         const char* with, const char* id);

/* List operations. */
int mailhdr_setfld(mailhdr* hdr, int id, const stringlist* lines);
int mailhdr_marksubject(mailhdr* hdr, const char* mark);
int mailhdr_add_antispam(mailhdr* hdr, stringlist* entries, int prepend, const char* prefix);
int mailhdr_set_rectime(mailhdr* hdr, int number);

#ifdef __cplusplus
}
#endif

#endif
