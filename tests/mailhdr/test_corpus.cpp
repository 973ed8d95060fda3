/*
 * test_corpus.cpp - header blocks of the test corpus parsed line by line:
 * both output forms agree with the size, a copy writes the same text, the
 * text read back writes itself again; a known mail gives its fields.
 */
#include "mailhdr_test_util.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = MAILWARD_CORPUS_DIR;

// The lines before the first empty line (CR LF or LF ends), without ends.
Strings HeaderLines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    Strings lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        lines.push_back(line);
    }
    return lines;
}

TEST(Corpus, HeaderTextIsConsistentForEveryMail) {
    int files = 0, accepted_lines = 0;
    for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
        const fs::path& path = entry.path();
        if (!entry.is_regular_file() || path.parent_path().filename() == "LICENSES" ||
            path.filename() == "README.md")
            continue;
        SCOPED_TRACE(path.string());
        ++files;
        HdrPtr hdr = NewHdr();
        for (const std::string& line : HeaderLines(path)) {
            int result = mailhdr_parseline(hdr.get(), line.c_str());
            EXPECT_LE(result, 0);
            EXPECT_NE(-3, result);  // real mails stay far within the limits
            accepted_lines += result == 0;
        }
        const std::string text = Text(hdr.get());
        HdrPtr copy(mailhdr_copy(hdr.get()));
        ASSERT_NE(nullptr, copy);
        EXPECT_EQ(text, SprintText(copy.get()));

        HdrPtr reread = Parsed(text);
        EXPECT_EQ(CountFields(hdr.get()), CountFields(reread.get()));
        EXPECT_EQ(text, SprintText(reread.get()));
    }
    EXPECT_GE(files, 100) << "corpus not found at " << kCorpus;
    EXPECT_GT(accepted_lines, 1000);
}

TEST(Corpus, KnownMailGivesItsFields) {
    HdrPtr hdr = NewHdr();
    Strings lines = HeaderLines(kCorpus / "cpython" / "msg_01.txt");
    ASSERT_EQ(12u, lines.size());
    for (const std::string& line : lines)
        ASSERT_EQ(0, mailhdr_parseline(hdr.get(), line.c_str()));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "*@ddd.com"));
    const std::string text = SprintText(hdr.get());
    EXPECT_EQ(0u, text.find("Return-Path: <bbb@zzz.org>\r\n"
                            "Received: by mail.zzz.org (Postfix, from userid 889)\r\n"
                            "   id 27CEAD38CC; Fri,  4 May 2001 14:05:44 -0400 (EDT)\r\n"
                            "Date: Fri, 4 May 2001 14:05:44 -0400\r\n"));
    for (const char* line :
         {"Subject: This is a test message\r\n", "Mime-Version: ", "Delivered-To: bbb@zzz.org\r\n"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;
}

}  // namespace
