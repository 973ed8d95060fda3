// test_corpus.cpp - every mail of the test corpus loads (0) or fails as a
// parse fails (-3); each that loads survives a save and a new load with the
// same tree, apart from the named differences the writer and the parser
// cause, and a second save gives the same bytes once those are undone; and a
// stamp alone gives each mail back as it was plus the stamp.
#include "mime_test_util.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>

using namespace mime_test;

namespace {

// The differences a save and a new load make on purpose. The contents that end the
// mail are followed by two line ends of which the parser drops one. A uu
// block is written as its lines, two line ends and "end", which the new block
// holds too. A mail without header lines is written with an empty header
// block, read back as the first line of its contents. A body part whose
// header ran into the delimiter is written with an empty header block and
// read back without one. A uu container in a multipart counts as a block and
// is written without its header lines.
enum Allowed {
    LAST_CONTENTS_GAIN_LF,
    UU_BLOCK_GAINS_TWO_LF,
    HEADERLESS_MAIL_GAINS_LF,
    UNREAD_HEADER_BECOMES_NO_HEADER,
    UU_CONTAINER_IN_MULTIPART_LOSES_HEADER,
    ALLOWED_COUNT
};

const char* const ALLOWED_NAMES[ALLOWED_COUNT] = {
    "contents that end the mail gain a LF",
    "uu block gains two LF",
    "mail without header gains a leading LF",
    "body part with unread header read back without header",
    "uu container in a multipart loses its header",
};

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    for (const char* sub : {"mail-parser", "cpython"}) {
        std::filesystem::path dir = std::filesystem::path(MAILWARD_CORPUS_DIR) / sub;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
            if (e.is_regular_file()) {
                files.push_back(e.path().string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string Kind(const CMimePart& p) {
    if (p.IsUUBlock()) {
        return p.GetPartCount() > 0 ? "uu-container-in-multipart" : "uu-block";
    }
    if (p.m_bUUEncoded) {
        return "uu-container";
    }
    if (p.IsMultipart() && !p.m_strBoundary.empty()) {
        return "multipart";
    }
    return "single";
}

std::string Raw(const CMimePart& p) {
    return p.GetData() ? std::string(p.GetData(), p.GetDataLength()) : "";
}

class TreeCompare {
  public:
    int m_counts[ALLOWED_COUNT] = {};
    std::vector<std::string> m_faults;

    // `before` was saved, `after` loaded from that file. Allowed differences
    // are undone in `after`, so that it writes exactly as `before` did.
    void Compare(const CMimePart& before, CMimePart& after, const std::string& where) {
        const bool bRoot = before.m_pParent == nullptr;
        UndoLostHeader(before, after);
        Check(Kind(before) == Kind(after), where, "kind " + Kind(before) + " / " + Kind(after));
        Check(before.GetName() == after.GetName(), where, "name");
        Check(before.GetContentType() == after.GetContentType(), where, "content type");
        Check(before.m_strBoundary == after.m_strBoundary, where, "boundary");
        UndoGrowth(before, after, bRoot);
        Check(Raw(before) == Raw(after), where, "contents");
        Check(Decoded(const_cast<CMimePart&>(before)) == Decoded(after), where, "decoded");

        // Every sub-part comes back, a body part without header lines too.
        if (!Check(before.GetPartCount() == after.GetPartCount(), where,
                   "part count " + std::to_string(before.GetPartCount()) + " / " +
                       std::to_string(after.GetPartCount()))) {
            return;
        }
        for (int i = 0; i < before.GetPartCount(); ++i) {
            Compare(*before.GetPart(static_cast<unsigned>(i)),
                    *after.GetPart(static_cast<unsigned>(i)), where + "/" + std::to_string(i));
        }
    }

  private:
    bool Check(bool bOk, const std::string& where, const std::string& what) {
        if (!bOk) {
            m_faults.push_back(where + ": " + what);
        }
        return bOk;
    }

    // Gives `after` the header state of `before` back where it was lost as
    // one of the allowed differences says.
    void UndoLostHeader(const CMimePart& before, CMimePart& after) {
        if (before.m_bNoHeaders || !after.m_bNoHeaders || !before.m_pParent) {
            return;
        }
        Allowed which = ALLOWED_COUNT;
        if (before.IsUUBlock() && before.GetPartCount() > 0) {
            which = UU_CONTAINER_IN_MULTIPART_LOSES_HEADER;
        } else if (before.GetHeaderDump().empty()) {
            which = UNREAD_HEADER_BECOMES_NO_HEADER;
        }
        if (which != ALLOWED_COUNT) {
            ++m_counts[which];
            after.m_bNoHeaders = false;
            mailhdr* pCopy = mailhdr_copy(before.m_pHeader);
            ASSERT_NE(nullptr, pCopy);
            mailhdr_free(after.m_pHeader);
            after.m_pHeader = pCopy;
        }
    }

    // Gives `after` the contents of `before` back where they grew exactly as
    // one of the allowed differences says.
    void UndoGrowth(const CMimePart& before, CMimePart& after, bool bRoot) {
        const std::string b = Raw(before);
        const std::string a = Raw(after);
        std::string undone = a;
        Allowed which = ALLOWED_COUNT;
        if (before.IsUUBlock() && before.GetPartCount() == 0 && a == b + "\n\n") {
            which = UU_BLOCK_GAINS_TWO_LF;
        } else if (bRoot && before.m_bNoHeaders &&
                   a == (b.empty() ? std::string("\n") : "\n" + b + "\n")) {
            which = HEADERLESS_MAIL_GAINS_LF;
        } else if (bRoot && before.GetPartCount() == 0 && !b.empty() && a == b + "\n") {
            which = LAST_CONTENTS_GAIN_LF;
        }
        if (which != ALLOWED_COUNT) {
            ++m_counts[which];
            after.AdoptData(b.empty() && !before.GetData() ? nullptr : MimeCopyForTest(b),
                            b.size());
        }
    }

    static char* MimeCopyForTest(const std::string& s) {
        char* p = static_cast<char*>(std::malloc(s.size() + 1));
        std::memcpy(p, s.c_str(), s.size() + 1);
        return p;
    }
};

// Every LF not already behind a CR gets one: what a mail file holds once
// written with CR LF line ends.
std::string BareLfToCrLf(const std::string& text) {
    std::string s;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            s += '\r';
        s += text[i];
    }
    return s;
}

}  // namespace

TEST(MimeCorpus, EveryMailLoadsAndSurvivesSaveAndReload) {
    TempDir dir;
    std::vector<std::string> files = CorpusFiles();
    ASSERT_EQ(154u, files.size());
    std::map<int, int> results;
    TreeCompare cmp;
    int nStable = 0;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        CMimeMessage first;
        int r = first.LoadMsg(file.c_str(), true);
        ++results[r];
        ASSERT_TRUE(r == 0 || r == CMimeMessage::LOAD_PARSE_FAILED) << r;
        if (r != 0) {
            continue;
        }
        const std::string saved1 = dir.Path("1.eml");
        ASSERT_TRUE(first.SaveMsg(saved1.c_str()));
        CMimeMessage second;
        ASSERT_EQ(0, second.LoadMsg(saved1.c_str(), true));
        std::size_t nFaults = cmp.m_faults.size();
        cmp.Compare(first, second, file.substr(file.find("corpus/") + 7));
        if (cmp.m_faults.size() != nFaults) {
            continue;
        }
        // With the named differences undone, the second save is the first.
        const std::string saved2 = dir.Path("2.eml");
        ASSERT_TRUE(second.SaveMsg(saved2.c_str()));
        EXPECT_EQ(ReadFile(saved1), ReadFile(saved2));
        ++nStable;
    }
    std::string faults;
    for (const auto& f : cmp.m_faults) {
        faults += "  " + f + "\n";
    }
    EXPECT_TRUE(cmp.m_faults.empty()) << faults;
    std::string summary;
    for (const auto& [code, n] : results) {
        summary += "LoadMsg " + std::to_string(code) + ": " + std::to_string(n) + " mails\n";
    }
    for (int i = 0; i < ALLOWED_COUNT; ++i) {
        summary += std::string(ALLOWED_NAMES[i]) + ": " + std::to_string(cmp.m_counts[i]) + "\n";
    }
    summary += "byte-stable after undoing them: " + std::to_string(nStable) + "\n";
    std::cout << summary;
    EXPECT_EQ(results[0], nStable);
}

// The check's usual change, the engine stamp alone, written by both savers:
// the header-changed save gives the header block as read (line ends CR LF)
// with the stamp as its last line and the body byte for byte; the rebuild
// writes the header block the same way.
TEST(MimeCorpus, StampedMailIsTheOriginalPlusTheStampAndNothingElse) {
    TempDir dir;
    const std::string stamp = "X-VaveRiz4Zan: engine 1.0\r\n";
    int nCompared = 0, nNoEmptyLine = 0;
    for (const std::string& file : CorpusFiles()) {
        SCOPED_TRACE(file);
        const std::string raw = ReadFile(file);
        CMimeMessage msg;
        if (msg.LoadMsg(file.c_str(), true) != 0) {
            continue;
        }
        ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine 1.0"));
        const std::string path = dir.Path("m.eml");
        WriteFile(path, raw);
        // The header block ends in front of the first empty line; a mail
        // whose first line is no header line has none, all of it is body.
        std::size_t end = 0, body = 0;
        if (!msg.m_bNoHeaders) {
            const std::size_t lf = raw.compare(0, 1, "\n") == 0 || raw.compare(0, 2, "\r\n") == 0
                                       ? 0
                                       : std::min(raw.find("\n\n"), raw.find("\n\r\n"));
            if (lf == std::string::npos) {
                // Header fields alone: the stamp goes behind them.
                ++nNoEmptyLine;
                std::string fields = BareLfToCrLf(raw);
                if (fields.size() < 2 || fields.compare(fields.size() - 2, 2, "\r\n") != 0) {
                    fields += "\r\n";
                }
                ASSERT_TRUE(msg.SaveHeaderChangedMsg(path.c_str()));
                EXPECT_EQ(fields + stamp + "\r\n", ReadFile(path));
                continue;
            }
            end = lf == 0 ? 0 : lf + 1;
            body = end + (raw[end] == '\n' ? 1 : 2);
        }
        const std::string head = BareLfToCrLf(raw.substr(0, end)) + stamp;
        ASSERT_TRUE(msg.SaveHeaderChangedMsg(path.c_str()));
        EXPECT_EQ(head + "\r\n" + raw.substr(body), ReadFile(path));
        ASSERT_TRUE(msg.SaveMsg(path.c_str()));
        EXPECT_EQ(head, ReadFile(path).substr(0, head.size()));
        ++nCompared;
    }
    std::cout << nCompared << " mails compared, " << nNoEmptyLine << " of header fields alone\n";
    EXPECT_GT(nCompared, 140);
}
