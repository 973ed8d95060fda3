// test_write.cpp - the writer: the text WriteTo makes for each kind of part,
// text-mode output, and write errors in the middle of a tree. That contents
// survive a write and a new parse is the corpus test's.
#include "mime_test_util.h"

using namespace mime_test;

namespace {

// Fails every block once `nLeft` bytes have been written.
class FailingOutput : public CMimeOutput {
  public:
    explicit FailingOutput(std::size_t nLeft) : CMimeOutput(true), m_nLeft(nLeft) {}
    std::string m_str;

  protected:
    void WriteBlock(const char* p, std::size_t n) override {
        if (n > m_nLeft) {
            throw "disk full";
        }
        m_nLeft -= n;
        m_str.append(p, n);
    }

  private:
    std::size_t m_nLeft;
};

std::string BigMultipart() {
    std::string s = "Content-Type: multipart/mixed; boundary=zz\n\n";
    for (int i = 0; i < 40; ++i) {
        s += "--zz\nContent-Type: text/plain\n\n" + std::string(4000, 'a' + i % 26) + "\n";
    }
    return s + "--zz--\n";
}

}  // namespace

// A part is written as its header dump, an empty line, its contents and two
// line ends; sub-parts follow their delimiters, then the closing delimiter
// (none for a multipart without sub-parts).
TEST(MimeWrite, WhatEachKindOfPartWrites) {
    const struct {
        const char *text, *written;
    } rows[] = {
        {"Subject: s\n\nbody", "Subject: s\n\nbody\n\n"},
        {"Content-Type: multipart/mixed; boundary=b\n\npre\n--b\nContent-Type: text/plain\n\none\n"
         "--b\nContent-Type: text/plain\n\ntwo\n--b--\nepilogue\n",
         "Content-Type: multipart/mixed; boundary=b\n\npre\n\n--b\nContent-Type: text/plain\n\n"
         "one\n\n--b\nContent-Type: text/plain\n\ntwo\n\n--b--\n\n"},
        {"Content-Type: multipart/mixed; boundary=b\n\nno parts at all\n",
         "Content-Type: multipart/mixed; boundary=b\n\nno parts at all\n\n"},
        // A sub-part without header lines is written back as its text alone,
        // an empty one as an empty line.
        {"Content-Type: multipart/mixed; boundary=b\n\n--b\nno header here\n"
         "--b\nContent-Type: text/plain\n\nkept\n--b\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n\n--b\nno header here\n\n"
         "--b\nContent-Type: text/plain\n\nkept\n\n--b\n\n--b--\n\n"},
        // A uu container inside a multipart loses its header; its block is
        // written with mode 666.
        {"Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\n"
         "intro\n\nbegin 644 f\n#86)C\n`\nend\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n\n--b\nintro\n\nbegin 666 f\n#86)C\n`\n"
         "\n\nend\n\n--b--\n\n"},
    };
    for (const auto& row : rows) {
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, row.text));
        EXPECT_EQ(row.written, Written(msg)) << row.text;
    }
}

// Text mode turns every LF into CR LF, also in contents that pass the buffer
// several times over.
TEST(MimeWrite, TextModeTurnsEveryLineFeedIntoCRLF) {
    std::string body(3 * CMimeOutput::OUTPUT_BUFFER_SIZE + 17, 'q');
    for (std::size_t i = 100; i < body.size(); i += 1000) {
        body[i] = '\n';
    }
    for (const std::string& text : {std::string("a\nb\rc"), body + "X"}) {
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, "Subject: s\n\n" + text));
        CMimeStringOutput out(true);
        ASSERT_TRUE(msg.WriteTo(out));
        EXPECT_EQ(CRLF("Subject: s\n\n" + text + "\n\n"), out.Text());
    }
}

TEST(MimeWrite, WriteErrorInTheMiddleGivesFalse) {
    CMimeMessage msg;
    std::string text = BigMultipart();
    ASSERT_EQ(0, Load(msg, text));
    for (std::size_t cut : {std::size_t(0), std::size_t(10), text.size() / 2}) {
        FailingOutput out(cut);
        bool bOk = msg.WriteTo(out);
        bool bFlushed = true;
        try {
            out.Flush();
        } catch (...) {
            bFlushed = false;
        }
        // The failure is seen either by WriteTo or, for bytes still buffered,
        // by the flush; the output remembers it either way.
        EXPECT_FALSE(bOk && bFlushed) << "cut at " << cut;
        EXPECT_TRUE(out.Failed()) << "cut at " << cut;
        EXPECT_LE(out.m_str.size(), cut);
    }
}
