/*
 * host.c - the smallest host of an installed mailward: built against the
 * installed header and library only (through pkg-config or find_package),
 * it starts the service, activates the engine with the installed signature
 * database, decodes one encoded word and stops again.
 *
 * Prints the signature folder the host library chose by itself, so that the
 * calling script can check it lies in the installed tree. Exit status 0 when
 * every step did what the interface promises.
 */
#include <stdio.h>
#include <string.h>

#include "mailward.h"

/* The host library's configuration reader (libmiralib, installed beside
 * libmailward); declared here, since hosts normally have their own header. */
extern int miraconf_get(const char* key, char* buf, size_t size);

int main(void) {
    char folder[4096] = "";
    char* text;
    int ok;
    if (MAILWARD_init() != 0) {
        fprintf(stderr, "MAILWARD_init failed\n");
        return 1;
    }
    if (MAILWARD_activate_av(9, NULL) != 0) {
        fprintf(stderr, "MAILWARD_activate_av failed\n");
        MAILWARD_exit();
        return 1;
    }
    text = MAILWARD_DecodeHeaderData("=?us-ascii?q?hello_from?= the host");
    ok = text != NULL && strcmp(text, "hello from the host") == 0;
    MAILWARD_FreeData(text);
    if (miraconf_get("SignatureDir", folder, sizeof folder) != 1)
        ok = 0;
    printf("SignatureDir=%s\n", folder);
    MAILWARD_exit();
    return ok ? 0 : 1;
}
