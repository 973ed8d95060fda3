/*
 * library_loader.h - finds libmailward (mailward.dll on Windows) and binds
 * its exported C functions at run time, as a mail server host does.
 *
 * The host never links the product: it loads it with dlopen / LoadLibrary
 * and resolves every export by its plain name. A missing export is an error
 * at load time, so no half-bound table is ever used.
 *
 * Search order (the first that names a file wins; the error lists every
 * place that was tried):
 *   1. the --library PATH option, alone;
 *   2. the MAILWARD_LIBRARY environment variable, alone;
 *   3. the folder of the executable, then ../lib and ../lib/mailward below
 *      it (an installed tree), then the plain file name (the system's own
 *      library search: LD_LIBRARY_PATH, PATH on Windows).
 *
 * One export is optional: AV_Preload of the engine library (libvaveriz),
 * which the product library loads and through whose handle it is found; a
 * host that forks its checking processes from one loader uses it.
 *
 * The library stays loaded until the process ends: the service's worker
 * thread and the engine live in it, and unloading buys nothing.
 */
#ifndef MAILWARD_TOOLS_LIBRARY_LOADER_H
#define MAILWARD_TOOLS_LIBRARY_LOADER_H

#include <string>
#include <vector>

#include "mailward.h"

// The exports the host uses, bound by name.
struct MailwardApi {
    decltype(&MAILWARD_init) init = nullptr;
    decltype(&MAILWARD_exit) exit = nullptr;
    decltype(&MAILWARD_add_rule) add_rule = nullptr;
    decltype(&MAILWARD_clear_rules) clear_rules = nullptr;
    decltype(&MAILWARD_set_default_action) set_default_action = nullptr;
    decltype(&MAILWARD_check_header) check_header = nullptr;
    decltype(&MAILWARD_check_mail) check_mail = nullptr;
    decltype(&MAILWARD_activate_av) activate_av = nullptr;
    decltype(&MAILWARD_install_update_av) install_update_av = nullptr;
    decltype(&MAILWARD_set_av_stamp) set_av_stamp = nullptr;
    decltype(&MAILWARD_DecodeHeaderData) decode_header = nullptr;
    decltype(&MAILWARD_FreeData) free_data = nullptr;
    decltype(&mailhdr_alloc) hdr_alloc = nullptr;
    decltype(&mailhdr_free) hdr_free = nullptr;
    decltype(&mailhdr_parseline) hdr_parseline = nullptr;
    decltype(&mailhdr_parse_errorstr) hdr_parse_errorstr = nullptr;
    decltype(&mailhdr_getfldid) hdr_getfldid = nullptr;
    decltype(&mailhdr_getfldvalue) hdr_getfldvalue = nullptr;
    // Optional, null where missing: the engine library's AV_Preload, which
    // builds the engine before the process forks the checkers that adopt it
    // (0 built, -1 failed).
    int (*preload_engine)(void) = nullptr;
};

// File name of the product library on this platform.
const char* MailwardLibraryFileName();

// The places to try, in order (see the file comment). `exeDir` may be empty.
std::vector<std::string> LibraryCandidates(const std::string& explicitPath,
                                           const std::string& exeDir);

// Loads the first candidate that exists and binds every export. On failure
// returns false and sets `error` to a text naming what was tried and why it
// failed.
bool LoadMailwardLibrary(const std::vector<std::string>& candidates, MailwardApi& api,
                         std::string& loadedPath, std::string& error);

// The folder holding the running executable ("" when it cannot be told).
std::string ExecutableDir(const char* argv0);

#endif
