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
 * Two exports are optional: AV_Preload and AV_GetEngineVersion of the
 * engine library (libvaveriz), which the product library loads and through
 * whose handle they are found; a host that forks its checking processes
 * from one loader uses the first, the milter's metrics the second.
 *
 * The library stays loaded until the process ends: the service's worker
 * thread and the engine live in it, and unloading buys nothing.
 */
#ifndef MAILWARD_TOOLS_LIBRARY_LOADER_H
#define MAILWARD_TOOLS_LIBRARY_LOADER_H

#include <string>
#include <vector>

#include "mailward.h"
#include "mailward_exports.h"

// Every export of the public header, bound by its plain name into the
// member of that name (api.MAILWARD_init, api.mailhdr_alloc, ...). The list
// is generated from the header at build time (mailward_exports.h), so a new
// export reaches the hosts without a second list to keep.
struct MailwardApi {
#define MAILWARD_API_SLOT(name) decltype(&::name) name = nullptr;
    MAILWARD_EXPORTS(MAILWARD_API_SLOT)
#undef MAILWARD_API_SLOT
    // Optional, null where missing: the engine library's AV_Preload, which
    // builds the engine before the process forks the checkers that adopt it
    // (0 built, -1 failed).
    int (*AV_Preload)(void) = nullptr;
    // Optional too: the engine library's version text ("ClamAV 1.4.6, 2
    // signatures"), which tells the milter's metrics the signature count.
    const char* (*AV_GetEngineVersion)(int, int, int, int, int, int, int, int, int, int,
                                       int) = nullptr;
};

// File name of the product library on this platform: its soname where the
// build gives one (libmailward.so.0), else libmailward.so / mailward.dll.
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
