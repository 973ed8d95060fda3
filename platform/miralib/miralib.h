/*
 * miralib.h - the host library (libmiralib / miralib.dll): configuration
 * values, host texts and template filling.
 *
 * CONFIGURATION
 * A thread-safe, process-wide store of named text values (MIRACONF_config in
 * the host's terms). mailward reads every value at the moment of use and
 * never caches it, so a host thread may change a value while the worker
 * reads it: a reader always receives a whole old or a whole new value.
 * Keys are compared without regard to ASCII case.
 *
 * The known keys, their kinds, defaults, readers and meanings are defined
 * in one table (miralib/config.cpp) and listed by miraconf_key_info; the
 * reference docs/configuration.md is generated from that table, and a test
 * fails when the two differ. A key without a value has its default.
 *
 * The installed share folder is <prefix>/share/mailward of an installed tree
 * (cmake --install, the Debian package), found from the folder this library
 * was loaded from; a library used where it was built takes the source tree's
 * folders instead.
 *
 * A key with a dot ("Milter.Socket", "HostText.67") belongs to a family of
 * the host's own and is kept as it is given; the host checks those. Any
 * other key must be one of the table: an unknown one is refused (a file
 * names it with its line; the programs add the key meant where one is
 * close).
 * Values are single-line texts: control characters other than tab are
 * refused, because values end up in header fields and paths. Integer keys
 * take only whole decimal numbers, within the key's range where it has one
 * (miraconf_key_range); byte counts (MaxMailSize) whole decimal numbers up
 * to 2^64-1.
 *
 * Every value set or loaded keeps where it came from (miraconf_origin):
 * "FILE:LINE" for a loaded one, the host's text for miraconf_set_from,
 * "set" for miraconf_set.
 *
 * The configuration file is plain text, one "key = value" per line:
 *
 *     # a comment line (';' works too); blank lines are ignored
 *     TempDir      = /var/tmp/mailward
 *     BackupMode   = 1
 *     SubjectMark  = "[SPAM] "      (quotes keep outer blanks; \" and \\)
 *     StampHost    =                (an empty value)
 *
 * Blanks around key and value are dropped; comments stand on lines of their
 * own ('#' inside a value belongs to the value); CR LF line ends and a UTF-8
 * byte order mark are accepted; a later line for the same key wins. A file
 * with any bad line is refused whole: nothing of it is applied.
 * docs/configuration.md names every key with its default.
 *
 * HOST TEXTS
 * S_MODULENAME(id, module) gives the host's text number `id`. English
 * defaults exist for the numbers mailward uses:
 *   63 "removed-attachment.txt"          name of a replacement part
 *   65 "An attachment of this message was moved to quarantine."
 *   67 "An attachment of this message was removed."
 *   68 "An attachment of this message was removed because it contains a virus."
 *   69 "mailward-scan.tmp"               file name of the temporary scan file
 *   70 ".infected"                       appended to an infected part's name
 * The host may replace any text (S_MODULENAME_set).
 *
 * TEMPLATES
 * GiveTextFromReplacedTemplate reads a template file from TemplateDir and
 * replaces every variable name of a table by what that variable's writer
 * writes. The project ships "virremovedinfo.txt" in templates/.
 *
 * LIMITS (below) bound what a value, a file or a template may cost.
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

/* ---- limits ------------------------------------------------------------ */

/* Longest key; keys are made of letters, digits, '_', '.' and '-'. */
#define MIRACONF_MAX_KEY 64
/* Longest value (bytes, without the terminating NUL). */
#define MIRACONF_MAX_VALUE 4096
/* MaxMailSize when none is set: mails up to 256 MiB are checked. */
#define MIRACONF_DEFAULT_MAX_MAIL_SIZE 268435456ULL
#define MIRACONF_DEFAULT_MAX_MAIL_SIZE_TEXT "268435456"
/* Longest line of a configuration file and largest configuration file. */
#define MIRACONF_MAX_LINE 16384
#define MIRACONF_MAX_FILE (1024 * 1024)
/* Host text numbers run from 0 to MIRALIB_MAX_TEXT_ID; a text holds at most
 * MIRALIB_MAX_HOST_TEXT bytes. */
#define MIRALIB_MAX_TEXT_ID 65535
#define MIRALIB_MAX_HOST_TEXT 65536
/* Largest template file, most entries of a variable table, most bytes one
 * writer may write, and the largest filled text. */
#define MIRALIB_MAX_TEMPLATE_SIZE (1024 * 1024)
#define MIRALIB_MAX_TEMPLATE_VARIABLES 64
#define MIRALIB_MAX_WRITER_OUTPUT (1024 * 1024)
#define MIRALIB_MAX_FILLED_TEXT (16 * 1024 * 1024)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- configuration ---------------------------------------------------- */

/* Sets a value, or with a null value removes it so that the default applies
 * again. 0; -1 for a bad key (null, empty, too long, other characters, an
 * unknown key without a dot), a value that is too long or holds control
 * characters, a non-number for an integer key or a number outside its
 * range; the store is then unchanged. */
MIRALIB_API int miraconf_set(const char* key, const char* value);
/* miraconf_set with the value's origin ("-O", "the program's default"),
 * which miraconf_origin gives back; a null origin is "set". */
MIRALIB_API int miraconf_set_from(const char* key, const char* value, const char* origin);
/* Where the value of `key` came from: 1 and the origin copied into `buf`
 * (cut to `size`), or 0 and an empty text when the key has no value set or
 * loaded (only its default). */
MIRALIB_API int miraconf_origin(const char* key, char* buf, size_t size);
/* 1 and the smallest and largest value an integer key takes, or 0 when the
 * key has no range (any int, or not an integer key). */
MIRALIB_API int miraconf_key_range(const char* key, long long* min, long long* max);
/* Copies the value of `key` (set, loaded or default) into `buf` and returns
 * 1. Returns 0 and leaves an empty text when the key has no value. Returns
 * -1 and leaves an empty text when the value does not fit into `size` bytes:
 * a cut path would name another file, so values are never cut. With a null
 * `buf` or a zero `size` nothing is copied and the result says whether the
 * key has a value (1 or 0). */
MIRALIB_API int miraconf_get(const char* key, char* buf, size_t size);
/* The reference of the known keys, one per index from 0: 1 and `info`
 * filled (texts owned by the library, valid for as long as it is loaded),
 * or 0 past the last key. docs/configuration.md is made from it. */
typedef struct miraconf_keyinfo {
    const char* name;         /* as documented, e.g. "TempDir" */
    const char* kind;         /* "text", "integer" or "bytes" */
    const char* default_text; /* the default, as the reference tells it */
    const char* read_by;      /* who reads it, and when it takes effect */
    const char* meaning;
} miraconf_keyinfo;
MIRALIB_API int miraconf_key_info(size_t index, miraconf_keyinfo* info);
/* 1 when `key` holds a value that was set or loaded, 0 when it has none or
 * only its default: a host tells with it what a configuration file named. */
MIRALIB_API int miraconf_is_set(const char* key);
/* A newly allocated copy of the value, or null when the key has no value
 * (or memory is short). Release it with cbcontext_free. */
MIRALIB_API char* miraconf_dup(const char* key);
/* The value as a number; `fallback` when it is missing or not a whole
 * decimal number in the range of int. */
MIRALIB_API int miraconf_get_int(const char* key, int fallback);
/* Loads a configuration file and applies all its values at once. 0 on
 * success; -1 when the file cannot be read or a line is bad, and then, when
 * `error` is not null, a message "<path>:<line>: <reason>" (or "<path>:
 * <reason>" for the file as a whole), cut to `errorSize`. Nothing is changed
 * when the file has an error. Values not named in the file stay as they were. */
MIRALIB_API int miraconf_load(const char* path, char* error, size_t errorSize);
/* Reads and checks a configuration file as miraconf_load does, and changes
 * nothing: 0 when miraconf_load would take it, else -1 with the same
 * message. A host checks a file with it before it reloads its own keys. */
MIRALIB_API int miraconf_check_file(const char* path, char* error, size_t errorSize);
/* Forgets every value set or loaded: the defaults apply again. */
MIRALIB_API void miraconf_reset(void);

/* ---- host texts -------------------------------------------------------- */

/* The host text number `id`; `module` (always "EXE") is not looked at. The
 * empty text when there is none. The pointer stays valid for the life of the
 * process (replaced texts are kept), so a reader on another thread is never
 * left with a released text; callers copy it all the same. */
MIRALIB_API const char* S_MODULENAME(int id, const char* module);
/* Replaces host text `id`; a null text restores the default. 0, or -1 for an
 * id outside 0..MIRALIB_MAX_TEXT_ID or a text longer than
 * MIRALIB_MAX_HOST_TEXT. */
MIRALIB_API int S_MODULENAME_set(int id, const char* text);

/* ---- templates --------------------------------------------------------- */

/* A writer writes its variable's text to `out`. `a` is the writer's own entry
 * of the variable table and `b` is null; writers may ignore both. Returns 0. */
typedef int (*TemplateWriter)(void* a, void* b, FILE* out, void* context);

typedef struct TemplateVariable {
    const char* name;      /* e.g. "${VirusInfoText}"; "" (or null) ends the table */
    TemplateWriter writer; /* null: the name is replaced by nothing */
} TemplateVariable;

/* Reads the template `templateName` (a plain file name, no folders) from
 * TemplateDir and returns its text with every occurrence of each variable
 * name replaced by what its writer writes, or null when the template cannot
 * be read, is too large, holds a NUL byte, or a limit is passed (an error
 * line says which). Each writer whose name occurs is called once and its
 * output is used for every occurrence; inserted texts are not searched for
 * variable names again. At one place of the template the first matching
 * entry of the table wins. Release the result with cbcontext_free. `flags`
 * is reserved (0). */
MIRALIB_API char* GiveTextFromReplacedTemplate(const TemplateVariable* variables,
                                               const char* templateName, void* context, int flags);

#ifdef __cplusplus
}
#endif

#endif /* MIRALIB_H */
