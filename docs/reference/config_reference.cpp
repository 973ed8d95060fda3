/*
 * config_reference.cpp - the configuration reference made from the key
 * tables (see config_reference.h).
 */
#include "config_reference.h"

#include <cstddef>
#include <sstream>
#include <vector>

#include "common/host_keys.h"
#include "miralib/miralib.h"

namespace {

// One key as the reference tells it, from either table.
struct KeyText {
    std::string name;
    std::string kind;
    std::string defaultText;
    std::string readBy;
    std::string meaning;
};

// Markdown would take "<folder>" for a tag, and "|" for a column.
std::string MarkdownText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '|')
            out += "\\|";
        else
            out += c;
    }
    return out;
}

std::string Anchor(const std::string& name) {
    std::string anchor;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z')
            anchor += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')
            anchor += c;
    }
    return anchor;
}

std::vector<KeyText> LibraryKeys() {
    std::vector<KeyText> keys;
    miraconf_keyinfo k{};
    for (std::size_t i = 0; miraconf_key_info(i, &k) == 1; ++i) {
        std::string kind = k.kind;
        long long min = 0, max = 0;
        if (miraconf_key_range(k.name, &min, &max) == 1)
            kind += ", " + std::to_string(min) + " to " + std::to_string(max);
        keys.push_back({k.name, kind, k.default_text, k.read_by, k.meaning});
    }
    return keys;
}

std::vector<KeyText> ProgramKeys() {
    std::vector<KeyText> keys;
    for (const HostKey& k : HostKeyTable()) {
        std::string kind = HostKeyKindName(k.kind);
        if (k.kind == HostKeyKind::Choice) {
            kind += ": " + std::string(k.choices);
        } else if (k.kind == HostKeyKind::Octal) {
            std::ostringstream max;
            max << ", 0 to 0" << std::oct << k.max;
            kind += max.str();
        } else if (k.kind == HostKeyKind::Reply) {
            kind += ": %{virus} %{rules} %{queueid} %{verdict}, %% for %";
        } else if (k.kind != HostKeyKind::Text) {
            kind += ", " + std::to_string(k.min) + " to " + std::to_string(k.max);
        }
        const std::string program = k.program;
        keys.push_back(
            {k.name, kind, k.defaultText,
             (program == "both" ? std::string("mailward and mailward-milter") : program) + ": " +
                 k.readBy,
             k.meaning});
    }
    return keys;
}

std::string Table(const std::vector<KeyText>& keys) {
    std::string table = "| key | kind | default |\n|---|---|---|\n";
    for (const KeyText& k : keys)
        table += "| [`" + MarkdownText(k.name) + "`](#" + Anchor(k.name) + ") | " +
                 MarkdownText(k.kind) + " | " + MarkdownText(k.defaultText) + " |\n";
    return table;
}

std::string Sections(const std::vector<KeyText>& keys) {
    std::string sections;
    for (const KeyText& k : keys)
        sections += "\n### " + k.name + "\n\n" + MarkdownText(k.meaning) +
                    "\n\n- kind: " + MarkdownText(k.kind) +
                    "\n- default: " + MarkdownText(k.defaultText) +
                    "\n- read by: " + MarkdownText(k.readBy) + "\n";
    return sections;
}

// Words of `text` in lines of at most `width` characters, each indented.
std::string Wrapped(const std::string& text, std::size_t width, const std::string& indent) {
    std::string out, line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        out += indent + line + "\n";
    return out;
}

std::string ManKeys(const std::vector<KeyText>& keys) {
    constexpr std::size_t WIDTH = 68;
    std::string out;
    for (const KeyText& k : keys) {
        out += "    " + k.name + " (" + k.kind + "; default: " + k.defaultText + ")\n";
        out += Wrapped(k.meaning, WIDTH, "        ");
        out += Wrapped("Read by " + k.readBy + ".", WIDTH, "        ");
        out += "\n";
    }
    return out;
}

}  // namespace

std::string ConfigurationReference() {
    const std::vector<KeyText> library = LibraryKeys();
    const std::vector<KeyText> programs = ProgramKeys();
    return "# Configuration reference\n\n"
           "<!-- Generated from the key tables of the host library (miraconf_key_info)\n"
           "     and of the programs (hosts/common/host_keys.cpp) by\n"
           "     scripts/config-reference.sh, which writes it anew;\n"
           "     tests/platform/test_miralib.cpp fails when this file differs from it. -->\n\n"
           "Values are set with `miraconf_set`, loaded from a `key = value` file with\n"
           "`miraconf_load` (the programs: `--config FILE`, `-O KEY=VALUE`), and read at\n"
           "the moment of use unless said otherwise below. Keys are compared without\n"
           "regard to letter case. A key neither table knows is refused with its file and\n"
           "line (and the key meant, where one is close); `mailward config check` and\n"
           "`mailward-milter --check-config` print the configuration in force with where\n"
           "each value came from.\n\n"
           "## The library's keys\n\n" +
           Table(library) + "\n## The programs' keys\n\n" +
           "Read by the `mailward` program and `mailward-milter` from the same file. A key\n"
           "whose name ends in `.DOMAIN`, `.ADDRESS|DOMAIN` or `.N` stands for a family:\n"
           "every key that starts with the part before it.\n\n" +
           Table(programs) + "\n## Every key\n" + Sections(library) + Sections(programs);
}

std::string ConfigurationManText() {
    return "NAME\n"
           "    mailward.conf - configuration file of mailward and mailward-milter\n"
           "\n"
           "SYNOPSIS\n"
           "    /etc/mailward/mailward.conf\n"
           "\n"
           "DESCRIPTION\n"
           "    One \"KEY = VALUE\" a line; '#' or ';' starts a comment line, blank lines\n"
           "    are ignored, a value in double quotes keeps its blanks (\\\" and \\\\ inside).\n"
           "    Keys are compared without regard to letter case; a later line for the\n"
           "    same key wins. A file with a bad line, an unknown key or a value its key\n"
           "    does not take is refused whole, with its file and line. The programs\n"
           "    take -O KEY=VALUE after the file. \"mailward config check\" and\n"
           "    \"mailward-milter --check-config\" print every key in force with where\n"
           "    its value came from.\n"
           "\n"
           "THE LIBRARY'S KEYS\n" +
           ManKeys(LibraryKeys()) + "THE PROGRAMS' KEYS\n" + ManKeys(ProgramKeys()) +
           "SEE ALSO\n"
           "    mailward(1), mailward-milter(8)\n";
}
