/*
 * silent_library.c - a stand-in for libmailward whose jobs never come back:
 * MAILWARD_check_mail accepts every job and no callback ever runs, as when
 * a job hangs inside the library. The mailward program's time-out is
 * tested against it. Every export of the public header is here, as the
 * program binds them all.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int MAILWARD_init(void) {
    return 0;
}
EXPORT void MAILWARD_exit(void) {}
EXPORT int MAILWARD_add_rule(const char* set, const char* name, const char* text, int prepend,
                             int action, const char* dir, uintptr_t user) {
    (void)set, (void)name, (void)text, (void)prepend, (void)action, (void)dir, (void)user;
    return 0;
}
EXPORT void MAILWARD_clear_rules(void) {}
EXPORT void MAILWARD_set_default_action(const char* set, int action) {
    (void)set, (void)action;
}
EXPORT const void* MAILWARD_check_header(const char* set, void* header) {
    (void)set, (void)header;
    return NULL;
}
EXPORT int MAILWARD_check_mail(const char* ruleSet, const char* headerSet, const char* source,
                               const char* target, int flags, void* listCheck, uintptr_t listUser,
                               void* callback, uintptr_t user) {
    (void)ruleSet, (void)headerSet, (void)source, (void)target, (void)flags, (void)listCheck,
        (void)listUser, (void)callback, (void)user;
    return 0; /* queued, and never heard of again */
}
EXPORT int MAILWARD_activate_av(int mode, const char* text) {
    (void)mode, (void)text;
    return 0;
}
EXPORT int MAILWARD_install_update_av(int update) {
    (void)update;
    return 0;
}
EXPORT int MAILWARD_set_av_stamp(void* header) {
    (void)header;
    return 0;
}
EXPORT char* MAILWARD_DecodeHeaderData(const char* data) {
    (void)data;
    return NULL;
}
EXPORT void MAILWARD_FreeData(void* data) {
    free(data);
}
/* Header records are opaque blocks that take every line: the program checks
 * its rule texts with them before it starts the service. */
EXPORT void* mailhdr_alloc(void) {
    return malloc(1);
}
EXPORT void mailhdr_free(void* header) {
    free(header);
}
EXPORT int mailhdr_parseline(void* header, const char* line) {
    (void)header, (void)line;
    return 0;
}
EXPORT const char* mailhdr_parse_errorstr(void) {
    return "";
}
EXPORT int mailhdr_getfldid(const char* name) {
    (void)name;
    return -1;
}
EXPORT const char* mailhdr_getfldvalue(void* header, int id) {
    (void)header, (void)id;
    return NULL;
}
/* The header functions the program binds but never calls on this path. */
EXPORT void* mailhdr_copy(const void* header) {
    (void)header;
    return NULL;
}
EXPORT const char* mailhdr_getfldname(int id) {
    (void)id;
    return NULL;
}
EXPORT void* mailhdr_getfld(const void* header, int id) {
    (void)header, (void)id;
    return NULL;
}
EXPORT void* mailhdr_getfld_byname(const void* header, const char* name) {
    (void)header, (void)name;
    return NULL;
}
EXPORT void* mailhdr_getfldvalue_byname(const void* header, const char* name) {
    (void)header, (void)name;
    return NULL;
}
EXPORT int mailhdr_setfld_string(void* header, int id, const char* text) {
    (void)header, (void)id, (void)text;
    return -1;
}
EXPORT int mailhdr_delfld(void* header, int id) {
    (void)header, (void)id;
    return -1;
}
EXPORT int mailhdr_delfld_byname(void* header, const char* name) {
    (void)header, (void)name;
    return -1;
}
EXPORT int mailhdr_get_headersize(const void* header) {
    (void)header;
    return -1;
}
EXPORT int mailhdr_sprint(const void* header, char* buf) {
    (void)header, (void)buf;
    return -1;
}
