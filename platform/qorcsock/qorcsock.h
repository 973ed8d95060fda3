/*
 * qorcsock.h - the support library (libqorcsock / qorcsock.dll).
 *
 * Plain C functions used by every part of mailward and available to hosts:
 *
 *   logging       debug_gethandle, debugmsg, infomsg, errmsg, bugmsg; the host
 *                 decides where lines go (qorcsock_set_log_sink, default
 *                 stderr). Debug lines are off per channel until enabled
 *                 (debug_enable); a disabled debugmsg returns before it
 *                 formats anything.
 *   stringlist    ordered lists of owned strings (stringlist_*).
 *   mailaddr      RFC 5322 address lists (mailaddr_parse, _match, _free).
 *   wildcards     shcasematch: *, ?, [...] with ranges and ! or ^ negation,
 *                 ASCII case ignored, the whole text must match, linear-time
 *                 in practice (no exponential backtracking); shcaseprefix:
 *                 whether a text known up to a point could match.
 *   cbuf          growable output buffers with printf.
 *   misc          cbcontext_free (releases any heap block the library or
 *                 mailward hands out; it is free()), csock_hostname_ascii,
 *                 WINError2str, __time.
 *
 * Every function is thread-safe unless noted. Texts are 8-bit strings; no
 * character-set conversion happens anywhere.
 */
#ifndef QORCSOCK_H
#define QORCSOCK_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "mailward.h" /* the stringlist and mailaddr records */

#if defined(_WIN32)
#if defined(QORCSOCK_BUILDING)
#define QORCSOCK_API __declspec(dllexport)
#else
#define QORCSOCK_API __declspec(dllimport)
#endif
#else
#define QORCSOCK_API __attribute__((visibility("default")))
#endif

#if defined(__GNUC__)
#define QORCSOCK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define QORCSOCK_PRINTF(f, a)
#endif

/* ---- limits ------------------------------------------------------------ */

/* Number of debug channels a process can have; debug_gethandle gives -1 for
 * a new name past it. */
#define QORCSOCK_MAX_CHANNELS 1024
/* Longest host name csock_hostname_ascii gives. */
#define QORCSOCK_HOSTNAME_MAX 255
/* Size of the per-thread buffers of WINError2str and mailaddr_parse_errorstr. */
#define QORCSOCK_ERRTEXT_MAX 256
/* mailaddr_parse refuses longer texts and lists with more addresses; both
 * bound the memory a hostile header can make the parser take. */
#define QORCSOCK_MAILADDR_MAX_TEXT (1024 * 1024)
#define QORCSOCK_MAILADDR_MAX_ADDRESSES 10000
/* Growth step a cbuf uses when cbuf_alloc is given none. */
#define QORCSOCK_CBUF_DEFAULT_BLOCK 8192

#ifdef __cplusplus
extern "C" {
#endif

/* stringlist and mailaddr are records the host reads too: they are declared
 * once, in mailward.h (included above). */

/* ---- logging ----------------------------------------------------------- */

/* Levels handed to the sink. */
#define QLOG_DEBUG 0
#define QLOG_INFO 1
#define QLOG_ERROR 2
#define QLOG_BUG 3

/* Receives every line that is written: the channel name ("" for info, error
 * and bug lines), the level and the formatted line without a line end. May
 * be called from any thread at once. */
typedef void (*qorcsock_log_sink)(const char* channel, int level, const char* line, void* user);

/* Sets the sink (null restores the default, stderr). When it returns, the
 * old sink is no longer running on any thread. A sink must not call it (such
 * a call is ignored); lines a sink logs itself go to stderr. */
QORCSOCK_API void qorcsock_set_log_sink(qorcsock_log_sink sink, void* user);

/* Handle of a named channel, created on first use; -1 for a null name and
 * for a new name once QORCSOCK_MAX_CHANNELS channels exist. */
QORCSOCK_API int debug_gethandle(const char* name);
/* Turns debug lines of a named channel on or off ("*" means every channel,
 * also those created later). Channels start off unless the environment
 * variable QORCSOCK_DEBUG, read when the channel is created, lists them
 * (comma-separated, or "*"), or while debug_enable("*", 1) is in force. */
QORCSOCK_API void debug_enable(const char* name, int on);
QORCSOCK_API int debug_enabled(int handle);

QORCSOCK_API void debugmsg(int handle, const char* format, ...) QORCSOCK_PRINTF(2, 3);
QORCSOCK_API void infomsg(const char* format, ...) QORCSOCK_PRINTF(1, 2);
QORCSOCK_API void errmsg(const char* format, ...) QORCSOCK_PRINTF(1, 2);
QORCSOCK_API void bugmsg(const char* format, ...) QORCSOCK_PRINTF(1, 2);

/* ---- string lists ------------------------------------------------------ */

/* Appends a copy of `text`: 0, or a negative value when memory is short or
 * `list`/`text` is null. */
QORCSOCK_API int stringlist_append_string(stringlist** list, const char* text);
/* Append / prepend copies of the entries of `other` (which stays the
 * caller's): 0 or negative. */
QORCSOCK_API int stringlist_append(stringlist** list, const stringlist* other);
QORCSOCK_API int stringlist_prepend(stringlist** list, const stringlist* other);
/* New copy; null for a null list or when memory is short. */
QORCSOCK_API stringlist* stringlist_copy(const stringlist* list);
/* Releases nodes and strings; *list becomes null. */
QORCSOCK_API void stringlist_free(stringlist** list);
QORCSOCK_API size_t stringlist_count(const stringlist* list);
/* New string of all entries with `separator` between them ("" for an empty
 * list); null when memory is short. Release with cbcontext_free. */
QORCSOCK_API char* stringlist_join(const stringlist* list, const char* separator);
/* Cuts `text` at every occurrence of `separator`. Empty pieces are kept as
 * empty strings; a trailing separator gives no empty last piece; white space
 * is kept. An empty text gives an empty list (null); null also when memory
 * is short, an argument is null or the separator is empty. */
QORCSOCK_API stringlist* stringlist_split(const char* text, const char* separator);
/* Cuts `text` into lines of at most `width` characters, at blanks where it
 * can (the blanks there are dropped), hard where a word is longer than the
 * width; existing line feeds end lines (empty lines stay, a final line feed
 * adds none). Null for a null or empty text and a width below 1. */
QORCSOCK_API stringlist* stringlist_fmt(const char* text, int width);

/* ---- mail addresses ---------------------------------------------------- */

/* Parses an RFC 5322 address list (display names, quoted strings, comments,
 * angle addresses, groups, obsolete routes, raw 8-bit bytes, empty elements,
 * bare local parts). Null when the text is no address list (also an empty
 * one, or one beyond QORCSOCK_MAILADDR_MAX_TEXT / _MAX_ADDRESSES);
 * mailaddr_parse_errorstr then tells why (the reason is kept per thread,
 * "no error" after a success). */
QORCSOCK_API mailaddr* mailaddr_parse(const char* text);
QORCSOCK_API const char* mailaddr_parse_errorstr(void);
/* 2 when `address` (that record alone) matches one of the addresses of the
 * list `pattern`: local part and domain compared as shell wildcards, case
 * ignored, quotes of local parts ignored, a missing domain counting as "";
 * else 0. */
QORCSOCK_API int mailaddr_match(const mailaddr* address, const mailaddr* pattern);
QORCSOCK_API void mailaddr_free(mailaddr** list);

/* ---- wildcards ------------------------------------------------------- */

/* 1 when the whole `text` matches `pattern`, ignoring ASCII case; else 0.
 * The backslash is an ordinary character: "[*]" matches a star. */
QORCSOCK_API int shcasematch(const char* text, const char* pattern);
/* 1 when some text that starts with `text` matches `pattern` (what is left
 * of the pattern when `text` is used up can take the rest); else 0. */
QORCSOCK_API int shcaseprefix(const char* text, const char* pattern);

/* ---- output buffers ---------------------------------------------------- */

typedef struct cbuf cbuf;
/* A growing buffer. `maxsize` -1 means no limit (below -1: null);
 * `blocksize` is the growth step (below 1: QORCSOCK_CBUF_DEFAULT_BLOCK). The
 * first and last arguments are kept for compatibility (pass 0). One buffer
 * is used by one thread at a time. */
QORCSOCK_API cbuf* cbuf_alloc(int context, int maxsize, int blocksize, int flags);
QORCSOCK_API void cbuf_describe(cbuf* buf, const char* name);
/* Number of characters written, or -1 (closed buffer, limit, no memory);
 * a refused write leaves the buffer as it was. */
QORCSOCK_API int cbuf_printf(cbuf* buf, const char* format, ...) QORCSOCK_PRINTF(2, 3);
/* Contents so far (NUL-terminated) and their length. */
QORCSOCK_API const char* cbuf_data(const cbuf* buf);
QORCSOCK_API size_t cbuf_length(const cbuf* buf);
/* Refuses further writes. */
QORCSOCK_API void cbuf_close(cbuf* buf);
QORCSOCK_API void cbuf_free(cbuf* buf);

/* ---- misc -------------------------------------------------------------- */

/* Releases a heap block made by this library or by mailward (free()). */
QORCSOCK_API void cbcontext_free(void* block);
/* The local host name; owned by the library. */
QORCSOCK_API const char* csock_hostname_ascii(void);
/* The system's text for an error code (errno on POSIX, GetLastError values
 * on Windows); owned by the library, per thread. */
QORCSOCK_API const char* WINError2str(unsigned long code);
/* Seconds since 1970; also stored through `t` when it is not null. */
QORCSOCK_API time_t __time(time_t* t);

#ifdef __cplusplus
}
#endif

#endif /* QORCSOCK_H */
