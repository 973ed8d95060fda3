/* header_is_c.c - the public header compiles as plain C, and a C host can
 * name every record and callback type it declares. */
#include "mailward.h"

static void MAILWARD_CALL on_report(const CheckReport* report, uintptr_t user) {
    (void)report;
    (void)user;
}

MailJobCallback mailward_c_host_callback(void);
MailJobCallback mailward_c_host_callback(void) {
    Rule rule;
    PartReport part;
    mailhdr_fld fld;
    stringlist line;
    mailaddr addr;
    (void)rule;
    (void)part;
    (void)fld;
    (void)line;
    (void)addr;
    return on_report;
}
