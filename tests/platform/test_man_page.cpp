/*
 * test_man_page.cpp - the manual pages made from --help texts and from the
 * key tables: sections, the NAME line as whatis reads it, text that roff
 * would take for requests or escapes, and mailward.conf(5) naming every key
 * of both tables.
 */
#include <gtest/gtest.h>

#include <string>

#include "common/host_keys.h"
#include "config_reference.h"
#include "man_page.h"
#include "miralib/miralib.h"

namespace {

bool Has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

TEST(ManPage, SectionsNameLineAndRoffEscapes) {
    const std::string page = ManPage("mailward-test", 8, "mailward 9.9",
                                     "    text before the first section is left out\n"
                                     "NAME\n"
                                     "    mailward-test - a program - with dashes\n"
                                     "\n"
                                     "OPTIONS\n"
                                     "    -x        a \\ backslash\n"
                                     "    .start    a line that looks like a request\n"
                                     "    'quote    and one that looks like a control line\n"
                                     "\n"
                                     "        indented deeper, kept\n"
                                     "\n\n");
    EXPECT_EQ(page, ".TH \"MAILWARD-TEST\" \"8\" \"" + std::string(MAN_PAGE_DATE) +
                        "\" \"mailward 9.9\" \"mailward manual\"\n"
                        ".SH \"NAME\"\n"
                        "mailward-test \\- a program - with dashes\n"
                        ".SH \"OPTIONS\"\n"
                        ".nf\n"
                        "-x        a \\e backslash\n"
                        "\\&.start    a line that looks like a request\n"
                        "\\&'quote    and one that looks like a control line\n"
                        ".sp\n"
                        "    indented deeper, kept\n"
                        ".fi\n");
}

TEST(ManPage, ConfigurationPageNamesEveryKeyOfBothTables) {
    const std::string text = ConfigurationManText();
    miraconf_keyinfo k{};
    for (std::size_t i = 0; miraconf_key_info(i, &k) == 1; ++i)
        EXPECT_TRUE(Has(text, std::string("\n    ") + k.name + " (")) << k.name;
    for (const HostKey& key : HostKeyTable())
        EXPECT_TRUE(Has(text, std::string("\n    ") + key.name + " (")) << key.name;
    // Ranges and words come from the tables.
    EXPECT_TRUE(Has(text, "FlushMails (integer, 0 to 1; default: 1)")) << text;
    EXPECT_TRUE(Has(text, "Milter.OnTooBig (choice: reject|tempfail|accept; default: reject)"));
    // Every line of a section is indented, so none starts a new section.
    const std::string page = ManPage("mailward.conf", 5, "mailward", text);
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "THE LIBRARY'S KEYS",
                                "THE PROGRAMS' KEYS", "SEE ALSO"})
        EXPECT_TRUE(Has(page, std::string(".SH \"") + section + "\"\n")) << section;
    std::size_t sections = 0;
    for (std::size_t at = page.find(".SH "); at != std::string::npos;
         at = page.find(".SH ", at + 1))
        ++sections;
    EXPECT_EQ(sections, 6u);
}

}  // namespace
