/*
 * mailward.h - the one public header of the mailward mail-security filter.
 *
 * A mail server host loads libmailward (mailward.dll on Windows) into its own
 * process and talks to it only through the plain C functions and the records
 * declared here. Nothing in this header needs a C++ compiler; it compiles as
 * C89-with-stdint and as C++.
 *
 * Life cycle:
 *   MAILWARD_init()            create the service (0 ok, -1 failed)
 *   MAILWARD_add_rule(...)     fill named rule sets (caller's thread)
 *   MAILWARD_activate_av(...)  start the virus engine
 *   MAILWARD_check_mail(...)   queue a mail; the report arrives through the
 *                              job's callback on the library's worker thread
 *   MAILWARD_exit()            destroy the service; queued jobs are dropped
 *                              without their callbacks. Called from inside
 *                              the callback or the spam-list look-up, it
 *                              returns at once and the worker destroys the
 *                              service after that job.
 *
 * Results: every export returns 0 (or a pointer) on success and -1 (or null)
 * on failure. No exception ever leaves an export.
 *
 * Ownership: records handed to the host (CheckReport, PartReport, Rule) belong
 * to the library. A CheckReport is valid only during the callback. A Rule is
 * valid until the rules are cleared (a Rule returned by MAILWARD_check_header
 * or held by a report of a check in progress stays readable until that header
 * check or mail check has ended). Header records (mailhdr) that the host
 * builds with the mailhdr_ functions below are the host's; it releases them
 * with mailhdr_free. Texts returned by MAILWARD_DecodeHeaderData go back
 * through MAILWARD_FreeData.
 *
 * Texts are NUL-terminated 8-bit strings; nothing converts character sets.
 *
 * Pointer-sized values: listUser and user travel unchanged to the host's
 * callbacks; they are uintptr_t so that a host can pass a pointer.
 */
#ifndef MAILWARD_H
#define MAILWARD_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(MAILWARD_BUILDING)
#define MAILWARD_API __declspec(dllexport)
#elif defined(MAILWARD_STATIC)
#define MAILWARD_API
#else
#define MAILWARD_API __declspec(dllimport)
#endif
#define MAILWARD_CALL __cdecl
#else
#define MAILWARD_API __attribute__((visibility("default")))
#define MAILWARD_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Support-library records shared with the host                             */
/* ------------------------------------------------------------------------ */

/* A list of strings: one node per entry, in order. Made and released by the
 * support library (libqorcsock); the host may walk it and read `str`. */
typedef struct stringlist {
    struct stringlist* next; /* next entry, or null */
    char* str;               /* this entry's own NUL-terminated copy */
} stringlist;

/* One parsed mail address; a list of them is what mailaddr_parse gives.
 * Every text is the record's own heap copy, or null. */
typedef struct mailaddr {
    struct mailaddr* next; /* next address of the list, or null */
    char* name;            /* display name (phrase), unquoted, or null */
    char* local;           /* local part as written (quotes kept), or null */
    char* domain;          /* domain, or null for a bare local part */
    char* display;         /* display form: name and <address> as one text,
                              e.g. "Joe Q. Public <john@example.com>"; the bare
                              address when there is no name */
    char* address;         /* bare address: local "@" domain, e.g.
                              "john@example.com" (local alone without domain) */
    char* route;           /* obsolete source route ("@a,@b"), or null */
    char* group;           /* name of the group the address stands in, or null */
    /* The null address "<>" has local "" and address "". An empty group
     * ("undisclosed-recipients:;") is one record with only group and display
     * set. A comment after an address without a phrase stands in as name. */
} mailaddr;

/* ------------------------------------------------------------------------ */
/* Header records                                                           */
/* ------------------------------------------------------------------------ */

#define MAILHDR_NFLDS 50     /* number of field identifiers */
#define MAILHDR_FLD_OTHER 49 /* identifier of every name outside the table */

/* Field types of the field table. */
#define FLDTYPE_TEXT 0     /* one field; value lines joined by a blank */
#define FLDTYPE_TEXTLIST 1 /* any number of fields, in order of arrival */
#define FLDTYPE_ADDR 2     /* one field; value parsed as an address list */
#define FLDTYPE_ADDRLIST 3 /* any number of fields, each an address list */

/* Field identifiers used by the library (the full table is in the docs). */
#define MAILHDR_FLD_SUBJECT 4
#define MAILHDR_FLD_CONTENT_TYPE 32
#define MAILHDR_FLD_RECTIME 35
#define MAILHDR_FLD_ANTISPAM 41
#define MAILHDR_FLD_AVSTAMP 44
#define MAILHDR_FLD_CTE 45
#define MAILHDR_FLD_DISPOSITION 46
#define MAILHDR_FLD_LOCATION 47

/* One header field. */
typedef struct mailhdr_fld {
    struct mailhdr_fld* next; /* next field of the same identifier */
    int id;                   /* field identifier, 0..49 */
    char* name;               /* field name (table spelling for 0..48) */
    stringlist* lines;        /* value lines, without line ends */
    void* parsed;             /* cached parsed value: char* for text types,
                                 mailaddr* for address types; null until
                                 mailhdr_parse_fld made it */
} mailhdr_fld;

/* One header block: a list of fields per identifier. */
typedef struct mailhdr {
    mailhdr_fld* current;             /* field that took the last line */
    mailhdr_fld* flds[MAILHDR_NFLDS]; /* list heads, one per identifier */
} mailhdr;

/* ------------------------------------------------------------------------ */
/* Rules                                                                    */
/* ------------------------------------------------------------------------ */

/* One filter rule. The host reads these members; it never writes them. */
typedef struct Rule {
    struct Rule* report_next; /* link of a check report's chain of rules */
    char* name;               /* rule name given to MAILWARD_add_rule, or null */
    char* text;               /* rule text; "default" in a default rule */
    int is_default;           /* 1 in a set's default rule, else 0 */
    mailhdr* hdr;             /* parsed criteria; null in a default rule */
    uint32_t user_value;      /* the host's value, returned unchanged */
    int action;               /* action code (1..11 have a meaning) */
    char* target_dir;         /* target directory of a move, or null */
    struct Rule* next;        /* next rule of the same set */
} Rule;

/* Action codes of rules: what the filter does with a part a rule matches.
 * Every other code (0, 2, 12, ...) is refused: the filter logs "invalid
 * action code" and sets ERR_PART_ACTION. Pairs that act alike in the library
 * (3 and 8, 5 and 7, 4 and 6 on parts) are the host's to tell apart. */
#define ACTION_KEYWORD_EXCEPTION 1 /* keyword exception entry; ends the check */
#define ACTION_RESERVED 2          /* no meaning: refused as invalid */
#define ACTION_MARK_MAIL 3         /* the rule marks the whole mail */
#define ACTION_KEYWORD_MARK 4      /* keyword entry and Subject mark */
#define ACTION_KEYWORD 5           /* keyword entry only */
#define ACTION_MARK_SUBJECT 6      /* header rule: entry and Subject mark */
#define ACTION_KEYWORD_ALT 7       /* as ACTION_KEYWORD */
#define ACTION_MARK_MAIL_ALT 8     /* as ACTION_MARK_MAIL */
#define ACTION_REMOVE 9            /* remove the part, leave a notice */
#define ACTION_MOVE 10             /* move the part to target_dir, leave a notice */
#define ACTION_NONE 11             /* only record that the rule applied */

/* ------------------------------------------------------------------------ */
/* Check report                                                             */
/* ------------------------------------------------------------------------ */

/* A small ordered set of pointers; its first node lies inside the set. */
typedef struct PtrSetNode {
    void* value;
    struct PtrSetNode* next;
} PtrSetNode;

typedef struct PtrSet {
    void* value;          /* member held by the first node */
    PtrSetNode* next;     /* second node, or null */
    struct PtrSet* first; /* null while empty, else this set itself */
} PtrSet;

/* One record per part of the checked mail. */
typedef struct PartReport {
    struct PartReport* next; /* next record, or null */
    void* part;              /* identity of the part; null for "mail" */
    int32_t reserved;        /* always 0 */
    char* name;              /* file name, else lower-case content type */
    char* targetPath;        /* where the part was moved to, or null */
    int32_t virusResult;     /* VIRUS_NOT_CHECKED, VIRUS_CLEAN, VIRUS_FOUND */
    char* virusName;         /* engine's name of the virus, or null */
    char* engineVersion;     /* engine version at the finding, or null */
    int32_t action;          /* highest action code recorded (2,4,16,32,64) */
    PtrSet rules;            /* rules that acted on the part (Rule*) */
} PartReport;

/* The result of one mail check, handed to the job's callback. */
typedef struct CheckReport {
    int32_t result;        /* 0, or -1 once any error bit is set */
    uint32_t errors;       /* ERR_ bits */
    int32_t virusResult;   /* highest virus result of any part */
    uint32_t status;       /* ST_ bits */
    uint32_t listValue;    /* value reported with a spam-list hit */
    uint8_t modified;      /* parts changed / mail written changed */
    uint8_t headerChanged; /* only the header changed */
    uint32_t reserved[3];  /* always 0 */
    PtrSet headerRules;    /* header rules that matched (Rule*) */
    PartReport* parts;     /* first part record, or null */
    Rule* ruleChain;       /* rules that applied, via report_next */
    mailhdr* header;       /* the mail's header during the callback */
} CheckReport;

#define ERR_LOAD 0x01
#define ERR_CHECK 0x02
#define ERR_PART_ACTION 0x08
#define ERR_SAVE 0x10

#define VIRUS_NOT_CHECKED 0
#define VIRUS_CLEAN 1
#define VIRUS_FOUND 2

#define ST_SPAM_LISTED 0x01
#define ST_HEADER_RULE 0x02
#define ST_PART_RULE 0x04
/* The strict reading of the mail (delimiters only at a line's start, every
 * name form, attached messages looked into, duplicated Content-Type fields
 * and boundary parameters read both ways) found an attachment that a rule
 * of the job's set removes or moves but that the check did not act on, or
 * could not read the mail to its end within its limits: mail clients may
 * show the recipient an attachment the filter did not see. Set after the
 * attachment filter, only for jobs with JOB_ATTACHMENT_FILTER; logged as
 * "[MAILCHECK] [DISAGREEMENT] [strict: ...] [parser: ...]". What to do with
 * such a mail (deliver, hold, reject) is the host's decision. */
#define ST_MIME_DISAGREEMENT 0x08
/* The engine stopped at one of its limits (EngineMaxScanSize,
 * EngineMaxFileSize, EngineMaxFiles, EngineMaxRecursion, EngineMaxScanTime;
 * with Engine = clamd also the stream limit) in the mail or one of its
 * parts, or left part of it out (an archive member over EngineMaxFileSize,
 * a zip64 entry, a member the unpacker cut, encrypted content no rule of
 * the attachment filter judged), and that was the only reason for
 * ERR_CHECK, which is set with it: what lies behind the limit was not
 * scanned, and the same mail stops there again at every try. A host may
 * give it an outcome of its own (reject or hold) rather than try again as
 * after another engine failure. The engine logs "stopped at a limit" with
 * the limit's name or "did not see all of it" with what it left out. */
#define ST_ENGINE_LIMIT 0x10

/* Processor codes found in PartReport.action. */
#define PART_RENAMED 2
#define PART_KEYWORD 4
#define PART_MOVED 16
#define PART_REMOVED 32
#define PART_MAIL_MARKED 64

/* ------------------------------------------------------------------------ */
/* Jobs                                                                     */
/* ------------------------------------------------------------------------ */

#define JOB_AV_CHECK 0x01
#define JOB_ATTACHMENT_FILTER 0x02
#define JOB_SPAM_LIST 0x08
#define JOB_HEADER_CHECK 0x10
#define JOB_KEYWORD_CHECK 0x20

/* Engine modes of MAILWARD_activate_av. */
#define AV_MODE_REMOVE 9
#define AV_MODE_RENAME 12

/* Receives the report of one checked mail on the worker thread. `report` is
 * valid only during the call. */
typedef void(MAILWARD_CALL* MailJobCallback)(const CheckReport* report, uintptr_t user);

/* The library's completion for a spam-list request: the host calls it exactly
 * once per SpamListCheck call, from any thread, with `job` as it was given.
 * `job` is a ticket number, not an address: a second answer, or one after the
 * check stopped waiting, is ignored with an error line. */
typedef void(MAILWARD_CALL* SpamListDone)(int hit, uint32_t value, void* job);

/* The host's spam-list look-up for the header of a mail in work. */
typedef void(MAILWARD_CALL* SpamListCheck)(mailhdr* header, uintptr_t listUser, SpamListDone done,
                                           void* job);

/* ------------------------------------------------------------------------ */
/* Exports                                                                  */
/* ------------------------------------------------------------------------ */

MAILWARD_API int MAILWARD_CALL MAILWARD_init(void);
MAILWARD_API void MAILWARD_CALL MAILWARD_exit(void);
MAILWARD_API int MAILWARD_CALL MAILWARD_add_rule(const char* set, const char* name,
                                                 const char* text, uint32_t value, int action,
                                                 const char* dir, int prepend);
MAILWARD_API void MAILWARD_CALL MAILWARD_clear_rules(void);
MAILWARD_API const Rule* MAILWARD_CALL MAILWARD_check_header(const char* set, mailhdr* header);
MAILWARD_API int MAILWARD_CALL MAILWARD_check_mail(const char* ruleSet, const char* headerRuleSet,
                                                   const char* source, const char* target,
                                                   int flags, SpamListCheck listCheck,
                                                   uintptr_t listUser, MailJobCallback callback,
                                                   uintptr_t user);
MAILWARD_API void MAILWARD_CALL MAILWARD_set_default_action(const char* set, int action);
MAILWARD_API int MAILWARD_CALL MAILWARD_activate_av(int mode, const char* text);
MAILWARD_API int MAILWARD_CALL MAILWARD_install_update_av(int update);
MAILWARD_API int MAILWARD_CALL MAILWARD_set_av_stamp(mailhdr* header);
MAILWARD_API char* MAILWARD_CALL MAILWARD_DecodeHeaderData(const char* data);
MAILWARD_API void MAILWARD_CALL MAILWARD_FreeData(void* data);

/* Header-record functions a host needs to make, fill, read, print and free
 * the records it passes to MAILWARD_check_header and MAILWARD_set_av_stamp.
 * Result codes as documented with each. */
MAILWARD_API mailhdr* MAILWARD_CALL mailhdr_alloc(void);
MAILWARD_API void MAILWARD_CALL mailhdr_free(mailhdr* hdr);
MAILWARD_API mailhdr* MAILWARD_CALL mailhdr_copy(const mailhdr* hdr);
/* Results of mailhdr_parseline. A caller that reads a mail must take
 * MAILHDR_PARSE_REFUSED as a failure of the whole header: the record misses
 * the refused line and must never be written back. */
#define MAILHDR_PARSE_OK 0
#define MAILHDR_PARSE_NO_FIELD                        \
    (-1) /* a continuation line without a field (also \
            after its field reached the line limit) */
#define MAILHDR_PARSE_NO_COLON (-2)
#define MAILHDR_PARSE_REFUSED                    \
    (-3) /* no memory, or a record limit reached \
            (250,000 lines in one field, 250,000 \
            fields of one identifier) */
MAILWARD_API int MAILWARD_CALL mailhdr_parseline(mailhdr* hdr, const char* line);
MAILWARD_API const char* MAILWARD_CALL mailhdr_parse_errorstr(void);
MAILWARD_API int MAILWARD_CALL mailhdr_getfldid(const char* name);
MAILWARD_API const char* MAILWARD_CALL mailhdr_getfldname(int id);
MAILWARD_API mailhdr_fld* MAILWARD_CALL mailhdr_getfld(const mailhdr* hdr, int id);
MAILWARD_API mailhdr_fld* MAILWARD_CALL mailhdr_getfld_byname(const mailhdr* hdr, const char* name);
MAILWARD_API stringlist* MAILWARD_CALL mailhdr_getfldvalue(const mailhdr* hdr, int id);
MAILWARD_API stringlist* MAILWARD_CALL mailhdr_getfldvalue_byname(const mailhdr* hdr,
                                                                  const char* name);
/* 0 ok, -1 failed (identifiers of 49 and more cannot be set) */
MAILWARD_API int MAILWARD_CALL mailhdr_setfld_string(mailhdr* hdr, int id, const char* text);
MAILWARD_API int MAILWARD_CALL mailhdr_delfld(mailhdr* hdr, int id);
MAILWARD_API int MAILWARD_CALL mailhdr_delfld_byname(mailhdr* hdr, const char* name);
/* Number of characters of the header text (CR LF line ends), -1 null record */
MAILWARD_API int MAILWARD_CALL mailhdr_get_headersize(const mailhdr* hdr);
/* Appends the header text to `buf`, which holds room for
 * strlen(buf) + mailhdr_get_headersize(hdr) + 1 characters. */
MAILWARD_API int MAILWARD_CALL mailhdr_sprint(const mailhdr* hdr, char* buf);

#ifdef __cplusplus
}
#endif

#endif /* MAILWARD_H */
