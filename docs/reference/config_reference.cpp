/*
 * config_reference.cpp - the configuration reference made from the key
 * table (see config_reference.h).
 */
#include "config_reference.h"

#include <cstddef>

#include "miralib/miralib.h"

namespace {

// Markdown would take "<folder>" for a tag.
std::string MarkdownText(const char* s) {
    std::string out;
    for (const char* p = s; *p != '\0'; ++p)
        out += *p == '<' ? std::string("&lt;") : std::string(1, *p);
    return out;
}

std::string Anchor(const char* name) {
    std::string anchor = name;
    for (char& c : anchor)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return anchor;
}

}  // namespace

std::string ConfigurationReference() {
    std::string table, sections;
    miraconf_keyinfo k{};
    for (std::size_t i = 0; miraconf_key_info(i, &k) == 1; ++i) {
        table += std::string("| [`") + k.name + "`](#" + Anchor(k.name) + ") | " + k.kind + " | " +
                 MarkdownText(k.default_text) + " |\n";
        sections += std::string("\n### ") + k.name + "\n\n" + MarkdownText(k.meaning) +
                    "\n\n- kind: " + k.kind + "\n- default: " + MarkdownText(k.default_text) +
                    "\n- read by: " + MarkdownText(k.read_by) + "\n";
    }
    return "# Configuration reference\n\n"
           "<!-- Generated from the key table of the host library (miraconf_key_info)\n"
           "     by scripts/config-reference.sh, which writes it anew;\n"
           "     tests/platform/test_miralib.cpp fails when this file differs from it. -->\n\n"
           "Values are set with `miraconf_set`, loaded from a `key = value` file with\n"
           "`miraconf_load` (the `mailward` program: `--config FILE`, `-O KEY=VALUE`), and\n"
           "read at the moment of use unless said otherwise below. Keys are compared\n"
           "without regard to letter case; keys not listed here are kept for the host's\n"
           "own use.\n\n"
           "| key | kind | default |\n|---|---|---|\n" +
           table + "\n## The keys\n" + sections;
}
