/*
 * blank_controls.h - a text taken from a mail made safe for one line.
 *
 * MimeBlankControls is for every place a text from a mail goes other than a
 * file name (a notice text, a header entry, a log line): each control
 * character (below 32, and 127: CR, LF, NUL, TAB, ESC, ...) becomes one
 * blank, so the text stays on the one line it was put in and can never start
 * a line, a header field or a MIME delimiter of the sender's choice. Nothing
 * else changes; the length stays the same. It lives in the header layer, the
 * lowest one that logs texts from mails, so every layer above can use it.
 */
#ifndef MAILWARD_BLANK_CONTROLS_H
#define MAILWARD_BLANK_CONTROLS_H

#include <string>
#include <string_view>

// The text with every control character replaced by a blank (same length).
std::string MimeBlankControls(std::string_view text);

#endif
