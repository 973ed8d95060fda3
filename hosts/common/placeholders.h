/*
 * placeholders.h - the texts an operator writes with the facts of a message
 * in them (reply texts, the administrator's notice), and the cleaning of a
 * text that goes out of the program.
 *
 * SYNTAX: "%{name}" stands for a fact; "%%" is one '%'. Any other '%', a
 * "%{" without its '}', or a name the text may not use is refused.
 *
 *   PlaceholderProblem  "" when `text` uses only `names`, else the reason
 *                       ("unknown placeholder %{x}: use %{virus}, ...");
 *                       `at` (when given) receives the byte offset of the
 *                       fault, for the caller's line number
 *   ExpandPlaceholders  `text` with each placeholder replaced by what
 *                       `value` gives for its name, "%%" as '%'; what
 *                       `value` gives is not read again. A lone '%' or an
 *                       unclosed "%{" stays as written (the programs refuse
 *                       such texts before they use them)
 *   PrintableText       `text` cut to `max` bytes, every byte outside
 *                       printable ASCII (control characters, DEL, 8-bit) as
 *                       '?': one line of plain ASCII, whatever a sender put
 *                       in the value
 *
 * The names: REPLY_PLACEHOLDERS for the SMTP reply texts (the facts the
 * sending client may see), NOTICE_PLACEHOLDERS for the administrator's
 * notice and everything else a site's own program is told.
 */
#ifndef MAILWARD_HOSTKIT_PLACEHOLDERS_H
#define MAILWARD_HOSTKIT_PLACEHOLDERS_H

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::string_view REPLY_PLACEHOLDERS[] = {"virus", "rules", "queueid", "verdict"};
inline constexpr std::string_view NOTICE_PLACEHOLDERS[] = {
    "virus",  "rules",      "queueid", "verdict",   "action", "outcome",
    "sender", "recipients", "subject", "messageid", "size",   "time"};

std::string PlaceholderProblem(std::string_view text, std::span<const std::string_view> names,
                               std::size_t* at = nullptr);

using PlaceholderValue = std::function<std::string(std::string_view name)>;
std::string ExpandPlaceholders(std::string_view text, const PlaceholderValue& value);

std::string PrintableText(std::string_view text, std::size_t max);

#endif
