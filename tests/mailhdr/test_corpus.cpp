/*
 * test_corpus.cpp - header blocks of real mails from the shared corpus,
 * parsed line by line: the size agrees with the text written through both
 * output forms, a copy writes the same text, writing is stable (the text
 * read back writes itself again), every field keeps its place, and a known
 * mail gives the fields it has.
 */
#include "mailhdr_test_util.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const fs::path kCorpus = MAILWARD_CORPUS_DIR;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines before the first empty line (CR LF or LF ends), without ends.
Strings HeaderLines(const std::string& mail) {
    Strings lines;
    std::istringstream in(mail);
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

std::vector<fs::path> CorpusFiles() {
    std::vector<fs::path> files;
    if (!fs::is_directory(kCorpus))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path& p = entry.path();
        if (p.parent_path().filename() == "LICENSES" || p.filename() == "README.md")
            continue;
        files.push_back(p);
    }
    return files;
}

int CountFieldsWithLines(const mailhdr* hdr) {
    int n = 0;
    for (const mailhdr_fld* head : hdr->flds) {
        for (const mailhdr_fld* f = head; f != nullptr; f = f->next)
            n += f->lines != nullptr;
    }
    return n;
}

TEST(Corpus, HeaderTextIsConsistentForEveryMail) {
    std::vector<fs::path> files = CorpusFiles();
    ASSERT_GE(files.size(), 100u) << "corpus not found at " << kCorpus;
    int accepted_lines = 0;
    for (const fs::path& path : files) {
        SCOPED_TRACE(path.string());
        Strings lines = HeaderLines(ReadFile(path));
        HdrPtr hdr = NewHdr();
        for (const std::string& line : lines) {
            int result = mailhdr_parseline(hdr.get(), line.c_str());
            EXPECT_LE(result, 0);
            EXPECT_NE(-3, result);  // real mails stay far within the limits
            accepted_lines += result == 0;
        }
        const std::string text = SprintText(hdr.get());
        EXPECT_EQ(text, CbufText(hdr.get()));

        HdrPtr copy(mailhdr_copy(hdr.get()));
        ASSERT_NE(nullptr, copy);
        EXPECT_EQ(text, SprintText(copy.get()));

        // Read back, the text gives the same fields and writes itself again.
        HdrPtr reread = NewHdr();
        for (int result : ParseBlock(reread.get(), text))
            EXPECT_EQ(0, result);
        EXPECT_EQ(CountFieldsWithLines(hdr.get()), CountFieldsWithLines(reread.get()));
        EXPECT_EQ(text, SprintText(reread.get()));
    }
    EXPECT_GT(accepted_lines, 1000);
}

TEST(Corpus, KnownMailGivesItsFields) {
    HdrPtr hdr = NewHdr();
    Strings lines = HeaderLines(ReadFile(kCorpus / "cpython" / "msg_01.txt"));
    ASSERT_EQ(12u, lines.size());
    for (const std::string& line : lines)
        ASSERT_EQ(0, mailhdr_parseline(hdr.get(), line.c_str()));
    EXPECT_EQ((Strings{"by mail.zzz.org (Postfix, from userid 889)",
                       "id 27CEAD38CC; Fri,  4 May 2001 14:05:44 -0400 (EDT)"}),
              Lines(mailhdr_getfldvalue(hdr.get(), 1)));
    EXPECT_EQ((Strings{"This is a test message"}),
              Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    EXPECT_STREQ("Mime-Version", mailhdr_getfld(hdr.get(), 31)->name);
    EXPECT_STREQ("Delivered-To", mailhdr_getfld(hdr.get(), MAILHDR_FLD_OTHER)->name);
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "*@ddd.com"));
    const std::string text = SprintText(hdr.get());
    EXPECT_EQ(0u, text.find("Return-Path: <bbb@zzz.org>\r\n"
                            "Received: by mail.zzz.org (Postfix, from userid 889)\r\n"
                            "   id 27CEAD38CC; Fri,  4 May 2001 14:05:44 -0400 (EDT)\r\n"
                            "Date: Fri, 4 May 2001 14:05:44 -0400\r\n"));
    EXPECT_NE(std::string::npos, text.rfind("Delivered-To: bbb@zzz.org\r\n"));
}

}  // namespace
