// test_parse.cpp - the parser: header blocks, boundaries and body parts,
// uuencoded containers and blocks, and the limits (sub-parts, nesting depth,
// copied contents).
#include "mime_test_util.h"

using namespace mime_test;
using namespace std::string_literals;

namespace {

const char MULTI_HDR[] = "Content-Type: multipart/mixed; boundary=\"b1\"\n\n";

std::string Multipart(const std::vector<std::string>& bodies, const std::string& preamble = "") {
    std::string s = MULTI_HDR + preamble;
    for (const auto& b : bodies) {
        s += "--b1\n" + b + "\n";
    }
    return s + "--b1--\n";
}

// A mail whose leaf lies `depth` levels below the root.
std::string Nested(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        std::string b = "n" + std::to_string(i) + "z";  // no boundary a prefix of another
        open += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b + "\n";
        close = "\n--" + b + "--\n" + close;
    }
    return open + "Content-Type: text/plain\n\nleaf" + close;
}

// The tree as one line: each part's contents (Data), its sub-parts in
// brackets split by "|". "{b}" shows a boundary, "~" marks a part without
// header lines, "uu:" one read as uuencoded, and "<name>" a uu block.
std::string Shape(const CMimePart& p) {
    std::string s = p.m_strBoundary.empty() ? "" : "{" + p.m_strBoundary + "}";
    s += p.m_bNoHeaders ? "~" : "";
    s += p.m_bUUEncoded ? "uu:" : "";
    s += p.IsUUBlock() ? "<" + p.GetName() + ">" : "";
    s += Data(p);
    for (int i = 0; i < p.GetPartCount(); ++i) {
        s += (i == 0 ? "[" : "|") + Shape(*p.GetPart(i));
    }
    return s + (p.GetPartCount() > 0 ? "]" : "");
}

// A mail text and the tree it loads to, or nullptr when the load fails;
// `log`, when set, is a line logged while parsing.
struct ParseRow {
    const char* name;
    std::string text;
    const char* shape;
    const char* log = nullptr;
};

void CheckRows(const std::vector<ParseRow>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MimeLog log;
        CMimeMessage msg;
        int r = Load(msg, row.text);
        if (row.shape) {
            EXPECT_EQ(0, r);
            EXPECT_EQ(row.shape, Shape(msg));
        } else {
            EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, r);
        }
        if (row.log) {
            EXPECT_TRUE(log.Has(row.log));
        }
    }
}

}  // namespace

TEST(MimeParse, HeaderBlocks) {
    const std::string noColon = "Hello there\nSubject: not a header\n\nbody\n";
    const std::string invalid = "Subject: a\nno colon here\nX-B: 2\n\nbody";
    CheckRows({
        {"first line without colon", noColon, "~Hello there\nSubject: not a header\n\nbody"},
        // RFC 5322: a message may be header fields alone.
        {"text ends in the header block", "Subject: a\nFrom: b@c\n", "<null>"},
        {"text ends in the first line", "Subject: a", "<null>"},
        {"invalid lines are logged and skipped", invalid, "body",
         "CMimePart::ParseHeaders() - invalid headers in line no colon here"},
    });
    for (auto [text, subject] :
         {std::pair{noColon, ""}, {invalid, "a"}, {"From: b@c\nSubject: only\n", "only"}}) {
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, text));
        EXPECT_EQ(subject, msg.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
    }
    // Header-only loads: a multipart keeps its boundary only; the fields are
    // read even without the empty line.
    CMimeMessage multi;
    ASSERT_EQ(0, Load(multi, Multipart({"Content-Type: text/plain\n\nx"}), false));
    EXPECT_EQ("{b1}<null>", Shape(multi));
    // The boundary parameter: quoted (to the closing quote), or up to the
    // next ";", blanks trimmed; none without "=" or a closing quote.
    // The parameter is found by its whole name, outside quoted strings.
    for (auto [param, boundary] : {std::pair{"boundary=\"a;b\"", "a;b"},
                                   {"boundary=abc; name=\"x\"", "abc"},
                                   {"boundary= abc ", "abc"},
                                   {"boundary=\"abc", ""},
                                   {"boundary", ""},
                                   {"x-boundary=\"A\"; boundary=\"B\"", "B"},
                                   {"xboundary=A; Boundary = B", "B"},
                                   {"name=\"; boundary=A\"; boundary=B", "B"},
                                   {"boundary=\"A\"; boundary=\"B\"", "A"},
                                   {"x-boundary=\"A\"", ""}}) {
        CMimeMessage msg;
        ASSERT_EQ(
            0, Load(msg, std::string("Content-Type: multipart/mixed; ") + param + "\n\n", false));
        EXPECT_EQ(boundary, msg.m_strBoundary) << param;
    }
    CMimeMessage noEnd;
    ASSERT_EQ(0, Load(noEnd, "Subject: a\nFrom: b@c", false));
    EXPECT_EQ("a", noEnd.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}

TEST(MimeParse, BoundariesAndBodyParts) {
    const std::string H = MULTI_HDR;
    const std::string inner =
        "Content-Type: multipart/alternative; boundary=b2\n\n--b2\nContent-Type: text/plain\n\n"
        "plain\n--b2\nContent-Type: text/html\n\nhtml\n--b2--\n";
    const std::string nested = Multipart({inner, "Content-Type: image/gif\n\nGIF"});
    CheckRows({
        {"body parts and preamble",
         Multipart({"Content-Type: text/plain\n\none", "Content-Type: text/html\n\n<b>two</b>\n"},
                   "This is a preamble.\n"),
         "{b1}This is a preamble.[one|<b>two</b>]"},
        {"one empty line before the delimiter is dropped",
         Multipart({"Content-Type: text/plain\n\ntext\n"}), "{b1}<null>[text]"},
        {"epilogue is dropped", Multipart({"Content-Type: text/plain\n\na"}) + "epilogue text\n",
         "{b1}<null>[a]"},
        {"delimiter found mid-line",
         H + "--b1\nContent-Type: text/plain\n\nfirst and --b1\nContent-Type: text/plain\n\n"
             "second\n--b1--\n",
         "{b1}<null>[first and|second]"},
        {"no boundary parameter: a single part",
         "Content-Type: multipart/mixed\n\n--x\nA: b\n\nc\n--x--\n", "--x\nA: b\n\nc\n--x--"},
        {"unclosed quoted boundary: a single part",
         "Content-Type: multipart/mixed; boundary=\"x\n\n--x\nA: b\n\nc\n", "--x\nA: b\n\nc"},
        {"boundary that never occurs keeps the whole body", H + "just text\n", "{b1}just text",
         "CMimePart::Parse() - multipart without sub-parts found."},
        {"single delimiter makes no sub-part", H + "pre\n--b1\nContent-Type: text/plain\n\nx\n",
         "{b1}pre"},
        {"delimiter without line end", H + "--b1", nullptr,
         "CMimePart::Parse() - no sub-part found after boundary."},
        {"two delimiters in a row give a part without header",
         H + "--b1\n--b1\nContent-Type: text/plain\n\nx\n--b1--\n", "{b1}<null>[~<null>|x]"},
        // The nested multipart's header block never ends before its range
        // end: the delimiter search then starts behind the end and throws.
        {"header lines running into the delimiter of a nested multipart",
         H + "--b1\nContent-Type: multipart/mixed; boundary=c\nX-A: 1\n--b1--\n", nullptr,
         "CMimeMessage::LoadMsg() - catched errror while parsing."},
        {"nested multipart", nested, "{b1}<null>[{b2}<null>[plain|html]|GIF]"},
    });
    // Tree links of the nested multipart.
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, nested));
    CMimePart* pAlt = msg.GetPart(0);
    ASSERT_EQ(2, pAlt->GetPartCount());
    EXPECT_EQ(&msg, pAlt->m_pParent);
    EXPECT_EQ(pAlt, pAlt->GetPart(1)->m_pParent);
    EXPECT_EQ(&msg, pAlt->GetPart(1)->GetRootPart());
    EXPECT_EQ("text/html", pAlt->GetPart(1)->GetContentType());
}

TEST(MimeParse, UUEncodedContainersAndBlocks) {
    const std::string several =
        "Subject: uu\n\nhead\n\nbegin 644 a\n#86)C\n`\nend\nbetween\nbegin 644 b\n\"9&4\n`\nend\n";
    CheckRows({
        {"text body with begin line becomes a container",
         "Subject: uu\n\nSee the file:\n\nbegin 644 file.txt\n#86)C\n`\nend\ntrailing text\n",
         "uu:See the file:[uu:<file.txt>#86)C\n`\n]"},
        {"name keeps blanks and its own end",
         "Subject: uu\n\nx\n\nbegin 600 my legend file.txt\n#86)C\n`\nend\n",
         "uu:x[uu:<my legend file.txt>#86)C\n`\n]"},
        {"several blocks, text between them is dropped", several,
         "uu:head[uu:<a>#86)C\n`\n|uu:<b>\"9&4\n`\n]"},
        {"container loses the two characters before begin",
         "Subject: uu\n\nHello\nbegin 644 f\n#86)C\nend\n", "uu:Hell[uu:<f>#86)C\n]"},
        {"upper-case BEGIN is text", "Subject: uu\n\ntext\nBEGIN 644 FILE.TXT\n#86)C\nEND\n",
         "text\nBEGIN 644 FILE.TXT\n#86)C\nEND"},
        {"begin line needs mode, blank and name", "Subject: uu\n\nwe begin 6 things here and end\n",
         "we begin 6 things here and end"},
        {"any octal mode of three or four digits",
         "Subject: uu\n\nx\n\nbegin 0755 run.exe\n#86)C\nend\nbegin 444 r.txt\n\"9&4\nend\n",
         "uu:x[uu:<run.exe>#86)C\n|uu:<r.txt>\"9&4\n]"},
        {"a block without its end runs to the end of its part",
         "Subject: uu\n\nx\n\nbegin 644 f.exe\n#86)C\n", "uu:x[uu:<f.exe>#86)C\n]"},
        // It has a parent, so it counts as a block itself: named by its
        // (empty) begin-line name rather than by its header.
        {"body part of a multipart as a container",
         Multipart({"Content-Type: text/plain\n\nintro\n\nbegin 644 f.bin\n#86)C\n`\nend\n"}),
         "{b1}<null>[uu:<>intro[uu:<f.bin>#86)C\n`\n]]"},
    });
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, several));
    EXPECT_EQ("abc", Decoded(*msg.GetPart(0)));
    EXPECT_EQ("de", Decoded(*msg.GetPart(1)));
}

// A begin line is what uudecode and mail readers take: "begin" at a line's
// start, one blank, three or four octal digits, one blank, a name. Every
// other line is text, and a text of such lines loads as one plain part.
TEST(MimeParse, OnlyExactBeginLinesOpenUuencodedBlocks) {
    const char* const text[] = {
        "Begin 6pm sharp", "BEGIN 644 FILE.TXT",
        "begin 6pm sharp", "begin 64 x",
        "begin 64444 x",   "begin 648 x",
        "begin  644 x",    "begin 644  ",
        "begin 644",       "begin\t644 x",
        " begin 644 x",    "we begin 644 x",
        "beginning 644 x", "=ybegin line=128 size=3",
        "=ybegin name=",   "(This file must be converted with BinHex 4.0)",
    };
    for (const char* line : text) {
        SCOPED_TRACE(line);
        const std::string body = std::string("See below.\n") + line + "\nM86)C\nend\nBye\n";
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, "Subject: t\n\n" + body));
        EXPECT_FALSE(msg.m_bUUEncoded);
        EXPECT_EQ(0, msg.GetPartCount());
        EXPECT_EQ(body.substr(0, body.size() - 1), Data(msg));
    }
    for (const char* line : {"begin 644 a.exe", "begin 0644 a.exe", "begin 777 a.exe",
                             "begin 0000 a.exe", "begin 644 a.exe \r"}) {
        SCOPED_TRACE(line);
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, std::string("Subject: t\n\nhi\n\n") + line + "\n#86)C\nend\n"));
        ASSERT_EQ(1, msg.GetPartCount());
        EXPECT_EQ("abc", Decoded(*msg.GetPart(0)));
    }
}

// yEnc and BinHex 4.0 blocks in text are blocks like uuencoded ones: named
// by their begin line or header, decoded by their coding, written back as
// they came.
TEST(MimeParse, YEncAndBinHexBlocksInText) {
    // "abc" in yEnc: each byte plus 42; "=" escapes a byte plus 64 more.
    const std::string yenc =
        "=ybegin line=128 size=4 name=evil file.exe\n\x8b\x8c=M\x8d\n=yend size=4\n";
    // BinHex of a file "a.exe" whose data fork is "MZ", as an encoder of the
    // test's own writes it (header, forks and checksums, run-length coded).
    const std::string binhex =
        "(This file must be converted with BinHex 4.0)\n\n"
        ":\"@%ZCAKP!&4&@&4dG(Kd!*!&!J#3\"$)I69U!,`!!:\n";
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: t\n\nfiles:\n\n" + yenc + "between\n" + binhex + "bye\n"));
    ASSERT_TRUE(msg.m_bUUEncoded);
    ASSERT_EQ(2, msg.GetPartCount());
    CMimePart& y = *msg.GetPart(0);
    EXPECT_EQ(MimeBlockCoding::YEnc, y.m_eBlockCoding);
    EXPECT_EQ("evil file.exe", y.GetName());
    EXPECT_EQ(std::string("ab\xe3"
                          "c",
                          4),
              Decoded(y));
    CMimePart& b = *msg.GetPart(1);
    EXPECT_EQ(MimeBlockCoding::BinHex, b.m_eBlockCoding);
    EXPECT_EQ("a.exe", b.GetName());
    EXPECT_EQ("MZ", Decoded(b));
    // Written back: the blocks keep their lines and their opening and
    // closing lines, and read back the same.
    const std::string written = Written(msg);
    EXPECT_NE(std::string::npos, written.find(yenc)) << written;
    EXPECT_NE(std::string::npos, written.find(binhex.substr(0, binhex.size() - 1))) << written;
    CMimeMessage again;
    ASSERT_EQ(0, Load(again, written));
    ASSERT_EQ(2, again.GetPartCount());
    EXPECT_EQ("evil file.exe", again.GetPart(0)->GetName());
    EXPECT_EQ("MZ", Decoded(*again.GetPart(1)));
    // Runs of a byte, and the run mark itself as data.
    CMimeMessage runs;
    ASSERT_EQ(0, Load(runs,
                      "Subject: t\n\n(This file must be converted with BinHex 4.0)\n"
                      ":\"A)ZBQPZ!&4&@&4dG(Kd!*!&$J#3\"!NFN!#3!(L3#T!!!12X!!!:\n"));
    ASSERT_EQ(1, runs.GetPartCount());
    EXPECT_EQ("r.bin", runs.GetPart(0)->GetName());
    EXPECT_EQ(std::string("\x90\x90xxxxxxxxxx\x90\0", 14), Decoded(*runs.GetPart(0)));
    // Without their closing lines the blocks run to the end of the part.
    CMimeMessage cut;
    ASSERT_EQ(0, Load(cut, "Subject: t\n\nx\n\n=ybegin size=1 name=c.exe\n\x8b"));
    ASSERT_EQ(1, cut.GetPartCount());
    EXPECT_EQ("a", Decoded(*cut.GetPart(0)));
}

// Each part the parser makes knows where its text stood in the mail: the
// strict reading pairs its parts with the parser's by these places.
TEST(MimeParse, PartsKnowTheirPlaceInTheMail) {
    const std::string text =
        Multipart({"Content-Type: text/plain\n\none",
                   "Content-Type: text/plain\n\nx\n\nbegin 644 f\n#86)C\nend\n"});
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, CRLF(text)));  // places count the mail as loaded: LF line ends
    EXPECT_EQ(0u, msg.m_nMailStart);
    EXPECT_EQ(text.size(), msg.m_nMailEnd);
    ASSERT_EQ(2, msg.GetPartCount());
    const CMimePart& one = *msg.GetPart(0);
    EXPECT_EQ(text.find("Content-Type: text/plain\n\none"), one.m_nMailStart);
    EXPECT_EQ(text.find("\n--b1\nContent-Type: text/plain\n\nx"), one.m_nMailEnd);
    const CMimePart& block = *msg.GetPart(1)->GetPart(0);
    EXPECT_EQ(text.find("begin 644 f"), block.m_nMailStart);
    EXPECT_EQ(text.find("end\n") + 3, block.m_nMailEnd);
    // A notice put in by the check has no place.
    CMimePart* notice = msg.ReplacePart(0, "n.txt", "removed");
    ASSERT_NE(nullptr, notice);
    EXPECT_EQ(CMimePart::NO_PLACE, notice->m_nMailStart);
}

TEST(MimeParse, ParseOnTheSameMessageTwiceStartsAfresh) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart({"Content-Type: text/plain\n\na", "B: c\n\nd"})));
    ASSERT_EQ(0, Load(msg, "Subject: second\n\nbody"));
    EXPECT_EQ("body", Shape(msg));
    EXPECT_EQ("", msg.GetContentType());
    EXPECT_EQ("second", msg.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}

// ---- limits ----

// Body parts of a multipart and uu blocks of a container share the limit.
TEST(MimeParseLimits, FiveHundredTwelveSubPartsLoadAndOneMoreFails) {
    auto bodies = [](std::uint32_t n) {
        return Multipart(std::vector<std::string>(n, "Content-Type: text/plain\n\nx"));
    };
    auto blocks = [](std::uint32_t n) {
        std::string body = "Subject: uu\n\nfiles\n\n";
        for (std::uint32_t i = 0; i < n; ++i) {
            body += "begin 644 f" + std::to_string(i) + "\n#86)C\n`\nend\n";
        }
        return body;
    };
    for (auto [make, log] :
         {std::pair{+bodies, "CMimePart::Parse() - No nore Parse possible, Maximal 512 Subparts"},
          {+blocks, "Maximal 512 Subparts"}}) {
        CMimeMessage ok;
        ASSERT_EQ(0, Load(ok, make(CMimePart::MAX_SUBPARTS)));
        EXPECT_EQ(512, ok.GetPartCount());
        CheckRows({{"513 parts", make(CMimePart::MAX_SUBPARTS + 1), nullptr, log}});
    }
}

// A root multipart of `inner` multiparts holding `leaves` text parts each,
// `extra` more in the last one: inner + inner * leaves + extra parts.
std::string ManyParts(int inner, int leaves, int extra) {
    std::vector<std::string> bodies;
    for (int k = 0; k < inner; ++k) {
        std::string b = "in" + std::to_string(k) + "z";
        std::string body = "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n";
        int count = leaves + (k == inner - 1 ? extra : 0);
        for (int i = 0; i < count; ++i) {
            body += "--" + b + "\nContent-Type: text/plain\n\nx\n";
        }
        bodies.push_back(body + "--" + b + "--");
    }
    return Multipart(bodies);
}

TEST(MimeParseLimits, PartsOfOneMailAtTheLimitLoadAndOneMoreFails) {
    static_assert(CMimePart::MAX_TOTAL_PARTS == 20 + 20 * 499);
    CMimeMessage ok;
    ASSERT_EQ(0, Load(ok, ManyParts(20, 499, 0)));
    ASSERT_EQ(20, ok.GetPartCount());
    EXPECT_EQ(499, ok.GetPart(19)->GetPartCount());

    CheckRows({{"10001 parts", ManyParts(20, 499, 1), nullptr,
                "CMimePart::Parse() - more than 10000 parts in one mail"}});
}

TEST(MimeParseLimits, NestingAtTheLimitLoadsAndDeeperFails) {
    CMimeMessage ok;
    ASSERT_EQ(0, Load(ok, Nested(CMimePart::MAX_NESTING_DEPTH)));
    const CMimePart* p = &ok;
    int depth = 0;
    while (p->GetPartCount() > 0) {
        p = p->GetPart(0);
        ++depth;
    }
    EXPECT_EQ(CMimePart::MAX_NESTING_DEPTH, depth);
    EXPECT_EQ("leaf", Data(*p));

    // Thousands of levels fail too, without exhausting the stack.
    CheckRows({{"one level more", Nested(CMimePart::MAX_NESTING_DEPTH + 1), nullptr,
                "nesting deeper than"},
               {"20000 levels", Nested(20000), nullptr, "nesting deeper than 32 levels"}});
}

// Lines that look like begin lines but are not are text in their part, and
// a block in a later part belongs to that part alone: however many such
// parts there are, none copies the parts behind it and the mail loads.
TEST(MimeParseLimits, ContainersNeverCopyThePartsBehindThem) {
    const std::string big = std::string(100000, 'A');
    const std::string tail = "begin 644 y\n#86)C\nend\n";
    const std::string twoShape =
        "{b1}<null>[Begin 644 a|Begin 644 b|uu:<>" + big.substr(1) + "[uu:<y>#86)C\n]]";
    std::vector<std::string> many(
        400, "Content-Type: text/plain\n\nBEGIN 644 X\n" + std::string(2000, 'z'));
    CheckRows({{"one part", Multipart({"Content-Type: text/plain\n\nBEGIN 644 X\nq"}) + tail,
                "{b1}<null>[BEGIN 644 X\nq]"},
               {"two lines \"Begin \" in front of a large part",
                Multipart({"Content-Type: text/plain\n\nBegin 644 a",
                           "Content-Type: text/plain\n\nBegin 644 b",
                           "Content-Type: text/plain\n\n" + big + "\n" + tail}),
                twoShape.c_str()}});
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart(many) + tail));
    ASSERT_EQ(400, msg.GetPartCount());
    for (int i : {0, 399}) {
        EXPECT_EQ("BEGIN 644 X\n" + std::string(2000, 'z'), Data(*msg.GetPart(i)));
    }
}
