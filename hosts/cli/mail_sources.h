/*
 * mail_sources.h - the mails named on the command line.
 *
 * Each argument is:
 *   a file           checked as one mail;
 *   a Maildir        (a folder with cur/ and new/) the files of cur/ and
 *                    new/; tmp/ holds mails still being delivered and is
 *                    left alone;
 *   another folder   every regular file in it; with --recursive also the
 *                    files of its subfolders (a Maildir among them again
 *                    gives only cur/ and new/);
 *   anything else    (a missing path) queued all the same: the library
 *                    reports it like any mail it cannot open.
 * Files are taken in name order, so runs are repeatable.
 *
 * TARGETS: without an output folder a mail is written in place. With one,
 * a mail from a folder argument keeps its path below that folder, and a
 * file argument keeps its file name; two mails that would land on the same
 * target are an error, since the second would overwrite the first.
 *
 * PRIVATE COPIES: with an output folder the source is never written. The
 * library writes a header change into the mail it checks and an infected
 * mail's replacement over it, so it checks a copy of the source made beside
 * the target (MakeCheckCopy: "<target>.mailward-<random>", created
 * exclusively), and FinishCheckCopy then renames that copy to the target
 * (or removes it when the check wrote no result: the mail could not be
 * loaded or saved). A source that is not a regular file gets no copy: the
 * library refuses it without reading or writing it.
 *
 * LIMITS: SOURCES_MAX_MAILS mails per run and SOURCES_MAX_DEPTH folder
 * levels below an argument.
 */
#ifndef MAILWARD_TOOLS_MAIL_SOURCES_H
#define MAILWARD_TOOLS_MAIL_SOURCES_H

#include <cstddef>
#include <string>
#include <vector>

constexpr std::size_t SOURCES_MAX_MAILS = 10000000;
constexpr int SOURCES_MAX_DEPTH = 64;

struct MailItem {
    std::string source;  // path passed to the library
    std::string target;  // empty: in place
};

// Expands the arguments; false with `error` for a folder that cannot be
// read, colliding targets or too many mails. Target folders are made.
bool CollectMails(const std::vector<std::string>& args, bool recursive,
                  const std::string& outputDir, std::vector<MailItem>& mails, std::string& error);

// True when `dir` is a Maildir (has cur/ and new/).
bool IsMaildir(const std::string& dir);

// Attempts at a free name for a private copy.
constexpr int CHECK_COPY_ATTEMPTS = 100;

// The private copy `item` is checked in (see above): its path, or empty
// when the source is no regular file; false with `error` when it cannot be
// made.
bool MakeCheckCopy(const MailItem& item, std::string& copy, std::string& error);
// Renames `copy` to `target` when `keep`, else removes it; false with
// `error` when that fails.
bool FinishCheckCopy(const std::string& copy, const std::string& target, bool keep,
                     std::string& error);

#endif
