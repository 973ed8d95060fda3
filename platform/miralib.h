/*
 * miralib.h - the host library (libmiralib / miralib.dll): configuration
 * values, host texts and template filling.
 *
 * Configuration: a thread-safe store of named values. mailward reads every
 * value at the moment of use and never caches it, so a host may change a
 * value on one thread while the worker reads it on another. Values can be set
 * one by one (miraconf_set) or loaded from a file (miraconf_load) in a plain
 * "key = value" format:
 *
 *     # comment
 *     TempDir      = /var/tmp/mailward
 *     BackupMode   = 1
 *
 * Keys are compared without regard to case; unknown keys are kept (a host may
 * keep its own values there). Known keys and their defaults are listed in
 * miraconf_default(). The store is a process-wide singleton
 * (MIRACONF_config in the host's terms).
 *
 * Host texts: S_MODULENAME(id, "EXE") gives the host's text number `id`; the
 * library ships English defaults for the numbers mailward uses (63, 65, 67,
 * 68, 69, 70) and the host may replace them (S_MODULENAME_set).
 *
 * Templates: GiveTextFromReplacedTemplate reads a template file from the
 * configured TemplateDir and replaces every variable name of a table by what
 * that variable's writer function writes.
 */
#ifndef MIRALIB_H
#define MIRALIB_H

#include <stdio.h>

#if defined(_WIN32)
#if defined(MIRALIB_BUILDING)
#define MIRALIB_API __declspec(dllexport)
#else
#define MIRALIB_API __declspec(dllimport)
#endif
#else
#define MIRALIB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- configuration ---------------------------------------------------- */

/* Sets (or, with a null value, removes) a value: 0, or -1 for a null key. */
MIRALIB_API int miraconf_set(const char* key, const char* value);
/* Copies the value of `key` into `buf` (cut to size-1, NUL-terminated) and
 * returns 1; returns 0 and leaves an empty text when the key has no value
 * and no default. */
MIRALIB_API int miraconf_get(const char* key, char* buf, size_t size);
/* The value as a number; `fallback` when it is missing or not a number. */
MIRALIB_API int miraconf_get_int(const char* key, int fallback);
/* Loads a configuration file. 0 on success; on a bad line -1 and, when
 * `error` is not null, a message naming the line number and the reason.
 * Nothing is changed when the file has an error. */
MIRALIB_API int miraconf_load(const char* path, char* error, size_t errorSize);
/* Forgets every value set or loaded: the defaults apply again. */
MIRALIB_API void miraconf_reset(void);

/* ---- host texts -------------------------------------------------------- */

/* The host text number `id` for module `module` (always "EXE"); the empty
 * text when there is none. The pointer stays valid until the text is
 * replaced; callers copy it at once. */
MIRALIB_API const char* S_MODULENAME(int id, const char* module);
/* Replaces host text `id` (a null text restores the default). */
MIRALIB_API void S_MODULENAME_set(int id, const char* text);

/* ---- templates --------------------------------------------------------- */

/* A writer writes its variable's text to `out`. `a` and `b` are values of
 * the host library that the writer ignores. Returns 0. */
typedef int (*TemplateWriter)(void* a, void* b, FILE* out, void* context);

typedef struct TemplateVariable {
    const char* name;      /* e.g. "${VirusInfoText}"; "" ends the table */
    TemplateWriter writer; /* null in the end entry */
} TemplateVariable;

/* Reads the template `templateName` from TemplateDir and returns its text
 * with every occurrence of each variable name replaced by what its writer
 * writes, or null when the template cannot be read. Release the result with
 * cbcontext_free. `flags` is reserved (0). */
MIRALIB_API char* GiveTextFromReplacedTemplate(const TemplateVariable* variables,
                                               const char* templateName, void* context,
                                               int flags);

#ifdef __cplusplus
}
#endif

#endif /* MIRALIB_H */
