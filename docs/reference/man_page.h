/*
 * man_page.h - a manual page (roff, man macros) made from a text in the
 * layout of the programs' --help pages:
 *
 *     NAME
 *         prog - what it is
 *
 *     SYNOPSIS
 *         prog [options]
 *
 * A line that starts in the first column is a section heading (.SH); the
 * lines under it, with the first four blanks taken off, are set as they
 * stand (.nf), so the page shows the same columns as --help. The NAME
 * section is set as running text with "\-" between the name and its
 * description, as whatis and lexgrog read it.
 *
 * Text is escaped for roff: a backslash becomes "\e", and a line that would
 * start with '.' or '\'' (a request) gets "\&" in front.
 *
 *   ManPage(name, section, source, text)   the whole page; `source` names
 *                                          the program and version in the
 *                                          page's footer ("mailward 0.1.0")
 */
#ifndef MAILWARD_MAN_PAGE_H
#define MAILWARD_MAN_PAGE_H

#include <cstddef>
#include <string>

// Blanks taken off the start of each line of a section.
constexpr std::size_t MAN_BODY_INDENT = 4;
// The date in every page's header: the pages change with the program, not
// with the day they were built, so the build stays reproducible. It is the
// date of the packages' changelog entry (MW_DEB_DATE, cmake/install.cmake).
constexpr const char* MAN_PAGE_DATE = "2026-12-08";

std::string ManPage(const std::string& name, int section, const std::string& source,
                    const std::string& text);

#endif
