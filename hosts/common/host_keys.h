/*
 * host_keys.h - the configuration keys of the two programs, beside the
 * library's own (miraconf_key_info), in one table; and the check of a
 * configuration against both.
 *
 * THE TABLE: every key of the programs has a name, the program that reads
 * it, a kind and what the reference says of it (its default, who reads it
 * and when, its meaning). docs/configuration.md and mailward.conf(5) are
 * made from this table and the library's (docs/reference). A name ending in
 * ".DOMAIN", ".ADDRESS|DOMAIN" or ".N" stands for a family: every key that
 * starts with the part before it (Milter.RuleSetFor.example.org). The
 * milter's reader (milter_policy.cpp) reads no key the table lacks, takes
 * the same values and has the same defaults: tests/milter/test_host_keys.cpp
 * holds the two together.
 *
 * KINDS and the values they take (letter case of words ignored):
 *   text      any one-line text
 *   integer   whole decimal numbers from min to max
 *   bytes     the same, a count of bytes
 *   octal     octal digits from min to max (file modes)
 *   choice    one of the words of `choices` ("deliver|reject|...")
 *   reply     an SMTP reply text: one line with the placeholders
 *             REPLY_PLACEHOLDERS only (placeholders.h)
 *
 * THE CHECK: CheckHostEntries names every key neither table knows (the
 * library's: miraconf_key_info; the programs': this one) with the key meant
 * where a known key is close (SuggestKey), and every value of a program's
 * key that its kind does not take, each as "ORIGIN: reason". The values of
 * the library's keys are the host library's to check (miraconf_check_file,
 * miraconf_set), as is the syntax of the file.
 *
 * ReadConfigEntries reads the "KEY = VALUE" lines of a configuration text in
 * the host library's syntax (comments, quotes); lines it cannot read are
 * left to the library's loader, which refuses the file for them.
 * CheckConfiguration checks a file and -O KEY=VALUE values (origin "-O"):
 * first every key and program value (all problems at once), then, when
 * they pass, the file with the host library's loader without applying it;
 * false with one line per problem.
 */
#ifndef MAILWARD_HOSTKIT_HOST_KEYS_H
#define MAILWARD_HOSTKIT_HOST_KEYS_H

#include <string>
#include <string_view>
#include <vector>

enum class HostKeyKind { Text, Integer, Bytes, Octal, Choice, Reply };

// The library's host texts that HostText.N replaces.
inline constexpr int HOST_TEXT_IDS[] = {63, 65, 67, 68, 69, 70};

struct HostKey {
    const char* name;     // as documented; a family ends in ".DOMAIN", ".N", ...
    const char* program;  // "mailward", "mailward-milter", or "both"
    HostKeyKind kind;
    const char* defaultText;   // the default as the reference tells it
    const char* defaultValue;  // the value the reader takes when none is set,
                               // or null when it is worked out or none
    unsigned long long min;
    unsigned long long max;
    const char* choices;  // choice: words separated by '|'; else null
    const char* readBy;
    const char* meaning;
};

const std::vector<HostKey>& HostKeyTable();
const char* HostKeyKindName(HostKeyKind kind);

// "Milter.RuleSetFor." for a family, "" for a single key.
std::string FamilyPrefix(const HostKey& key);
// The entry of `key` (a single key, or the family it belongs to), or null.
const HostKey* FindHostKey(std::string_view key);
// "" when `value` is one the key takes, else the reason.
std::string CheckHostValue(const HostKey& key, std::string_view value);
// " (did you mean 'X'?)" for the library's or the programs' key closest to
// `key`, or "" when none is close.
std::string SuggestKey(std::string_view key);

struct ConfigEntry {
    std::string key;  // as written
    std::string value;
    std::string origin;  // "FILE:LINE" or "-O"
};

std::vector<ConfigEntry> ReadConfigEntries(std::string_view text, const std::string& name);
// The entries of a configuration file ("" or one that cannot be read: none).
std::vector<ConfigEntry> FileEntries(const std::string& file);
// The -O KEY=VALUE values as entries; a value without '=' is an entry with
// an empty key (CheckHostEntries refuses it).
std::vector<ConfigEntry> OverrideEntries(const std::vector<std::string>& overrides);
// One "ORIGIN: reason" per problem; none when every entry is good.
std::vector<std::string> CheckHostEntries(const std::vector<ConfigEntry>& entries);
// The file (empty: none) and the -O values; `entries` receives what was
// read, file first.
bool CheckConfiguration(const std::string& file, const std::vector<std::string>& overrides,
                        std::vector<ConfigEntry>& entries, std::vector<std::string>& errors);

#endif
