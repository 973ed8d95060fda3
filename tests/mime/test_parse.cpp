// test_parse.cpp - the parser: header blocks, boundaries and body parts,
// uuencoded containers and blocks, and the limits (sub-parts, nesting depth,
// copied contents).
#include "mime_test_util.h"

using namespace mime_test;

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

}  // namespace

// ---- header blocks ----

TEST(MimeParseHeaders, FirstLineWithoutColonMeansNoHeaders) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Hello there\nSubject: not a header\n\nbody\n"));
    EXPECT_TRUE(msg.m_bNoHeaders);
    EXPECT_EQ("Hello there\nSubject: not a header\n\nbody", Data(msg));
    EXPECT_EQ("", msg.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}

TEST(MimeParseHeaders, TextEndingInsideTheHeaderBlockFails) {
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(msg, "Subject: a\nFrom: b@c\n"));
    CMimeMessage msg2;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(msg2, "Subject: a"));
}

TEST(MimeParseHeaders, ReturnsPositionBehindTheEmptyLine) {
    std::string text = "Subject: a\n folded\nX-A: 1\n\nbody";
    CMimePart part(nullptr);
    char* p = part.ParseHeaders(text.data(), text.data() + text.size());
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(std::string("body"), p);
    EXPECT_EQ("a\n\tfolded", part.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
    EXPECT_FALSE(part.m_bNoHeaders);
}

TEST(MimeParseHeaders, NoHeadersReturnsTheStart) {
    std::string text = "plain text\n\nmore";
    CMimePart part(nullptr);
    EXPECT_EQ(text.data(), part.ParseHeaders(text.data(), text.data() + text.size()));
    EXPECT_TRUE(part.m_bNoHeaders);
}

TEST(MimeParseHeaders, InvalidLinesAreLoggedAndSkipped) {
    MimeLog log;
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: a\nno colon here\nX-B: 2\n\nbody"));
    EXPECT_TRUE(log.Has("CMimePart::ParseHeaders() - invalid headers in line no colon here"));
    EXPECT_EQ("a", msg.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
    EXPECT_EQ("body", Data(msg));
}

TEST(MimeParseHeaders, HeaderOnlyLoadOfMultipartKeepsBoundaryOnly) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart({"Content-Type: text/plain\n\nx"}), false));
    EXPECT_EQ("b1", msg.m_strBoundary);
    EXPECT_EQ(0, msg.GetPartCount());
    EXPECT_EQ(nullptr, msg.GetData());
}

TEST(MimeParseHeaders, HeaderOnlyLoadWithoutEmptyLineStillReadsTheFields) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: a\nFrom: b@c", false));
    EXPECT_EQ("a", msg.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}

TEST(MimeSplitAssignment, QuotedUnquotedAndBroken) {
    std::string n, v;
    ASSERT_TRUE(CMimePart::SplitAssignment("boundary=\"a;b\"", n, v));
    EXPECT_EQ("boundary", n);
    EXPECT_EQ("a;b", v);
    ASSERT_TRUE(CMimePart::SplitAssignment("boundary=abc; name=\"x\"", n, v));
    EXPECT_EQ("abc", v);
    ASSERT_TRUE(CMimePart::SplitAssignment("boundary= abc ", n, v));
    EXPECT_EQ("abc", v);
    EXPECT_FALSE(CMimePart::SplitAssignment("boundary=\"abc", n, v));
    EXPECT_FALSE(CMimePart::SplitAssignment("=abc", n, v));
    EXPECT_FALSE(CMimePart::SplitAssignment("boundary", n, v));
}

// ---- boundaries and body parts ----

TEST(MimeParseBoundaries, BodyPartsAndPreamble) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart({"Content-Type: text/plain\n\none",
                                      "Content-Type: text/html\n\n<b>two</b>\n"},
                                     "This is a preamble.\n")));
    EXPECT_EQ("This is a preamble.", Data(msg));
    ASSERT_EQ(2, msg.GetPartCount());
    EXPECT_EQ("one", Data(*msg.GetPart(0)));
    EXPECT_EQ("<b>two</b>", Data(*msg.GetPart(1)));
    EXPECT_EQ("text/html", msg.GetPart(1)->GetContentType());
    EXPECT_EQ(&msg, msg.GetPart(1)->m_pParent);
}

TEST(MimeParseBoundaries, OneEmptyLineBeforeTheDelimiterIsDropped) {
    // The body text ends "text\n\n" in front of the delimiter line.
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart({"Content-Type: text/plain\n\ntext\n"})));
    ASSERT_EQ(1, msg.GetPartCount());
    EXPECT_EQ("text", Data(*msg.GetPart(0)));
}

TEST(MimeParseBoundaries, EpilogueIsDropped) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart({"Content-Type: text/plain\n\na"}) + "epilogue text\n"));
    ASSERT_EQ(1, msg.GetPartCount());
    EXPECT_EQ("a", Data(*msg.GetPart(0)));
}

TEST(MimeParseBoundaries, DelimiterIsFoundMidLine) {
    CMimeMessage msg;
    ASSERT_EQ(
        0, Load(msg, std::string(MULTI_HDR) + "--b1\nContent-Type: text/plain\n\nfirst and --b1\n"
                                              "Content-Type: text/plain\n\nsecond\n--b1--\n"));
    ASSERT_EQ(2, msg.GetPartCount());
    EXPECT_EQ("first and", Data(*msg.GetPart(0)));
    EXPECT_EQ("second", Data(*msg.GetPart(1)));
}

TEST(MimeParseBoundaries, NoBoundaryParameterIsASinglePart) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Content-Type: multipart/mixed\n\n--x\nA: b\n\nc\n--x--\n"));
    EXPECT_EQ(0, msg.GetPartCount());
    EXPECT_EQ("", msg.m_strBoundary);
    EXPECT_EQ("--x\nA: b\n\nc\n--x--", Data(msg));
}

TEST(MimeParseBoundaries, UnclosedQuotedBoundaryIsASinglePart) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Content-Type: multipart/mixed; boundary=\"x\n\n--x\nA: b\n\nc\n"));
    EXPECT_EQ(0, msg.GetPartCount());
    EXPECT_EQ("", msg.m_strBoundary);
}

TEST(MimeParseBoundaries, BoundaryThatNeverOccursKeepsTheWholeBody) {
    MimeLog log;
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, std::string(MULTI_HDR) + "just text\n"));
    EXPECT_EQ("just text", Data(msg));
    EXPECT_TRUE(log.Has("CMimePart::Parse() - multipart without sub-parts found."));
}

TEST(MimeParseBoundaries, SingleDelimiterMakesNoSubPart) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, std::string(MULTI_HDR) + "pre\n--b1\nContent-Type: text/plain\n\nx\n"));
    EXPECT_EQ(0, msg.GetPartCount());
    EXPECT_EQ("pre", Data(msg));
}

TEST(MimeParseBoundaries, DelimiterWithoutLineEndFails) {
    MimeLog log;
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(msg, std::string(MULTI_HDR) + "--b1"));
    EXPECT_TRUE(log.Has("CMimePart::Parse() - no sub-part found after boundary."));
}

TEST(MimeParseBoundaries, TwoDelimitersInARowGiveANoHeaderPart) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, std::string(MULTI_HDR) +
                               "--b1\n--b1\nContent-Type: text/plain\n\nx\n--b1--\n"));
    ASSERT_EQ(2, msg.GetPartCount());
    EXPECT_TRUE(msg.GetPart(0)->m_bNoHeaders);
    EXPECT_EQ(nullptr, msg.GetPart(0)->GetData());
    EXPECT_EQ("x", Data(*msg.GetPart(1)));
}

TEST(MimeParseBoundaries, HeaderLinesRunningIntoTheDelimiterOfANestedMultipartThrow) {
    // The nested multipart's header block never ends before its range end:
    // the delimiter search then starts behind the end and throws.
    MimeLog log;
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED,
              Load(msg, std::string(MULTI_HDR) +
                            "--b1\nContent-Type: multipart/mixed; boundary=c\nX-A: 1\n--b1--\n"));
    EXPECT_TRUE(log.Has("CMimeMessage::LoadMsg() - catched errror while parsing."));
}

TEST(MimeParseBoundaries, NestedMultipart) {
    CMimeMessage msg;
    std::string inner =
        "Content-Type: multipart/alternative; boundary=b2\n\n--b2\nContent-Type: text/plain\n\n"
        "plain\n--b2\nContent-Type: text/html\n\nhtml\n--b2--\n";
    ASSERT_EQ(0, Load(msg, Multipart({inner, "Content-Type: image/gif\n\nGIF"})));
    ASSERT_EQ(2, msg.GetPartCount());
    CMimePart* pAlt = msg.GetPart(0);
    ASSERT_EQ(2, pAlt->GetPartCount());
    EXPECT_EQ("plain", Data(*pAlt->GetPart(0)));
    EXPECT_EQ("html", Data(*pAlt->GetPart(1)));
    EXPECT_EQ(&msg, pAlt->GetPart(1)->GetRootPart());
}

TEST(MimeParseBoundaries, ZeroByteEndsTheText) {
    std::string text = std::string("Subject: a\n\nbefore") + '\0' + "after\n";
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, text));
    EXPECT_EQ("before", Data(msg));
}

// ---- uuencode ----

TEST(MimeParseUU, TextBodyWithBeginLineBecomesAContainer) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg,
                      "Subject: uu\n\nSee the file:\n\nbegin 644 file.txt\n"
                      "#86)C\n`\nend\ntrailing text\n"));
    EXPECT_TRUE(msg.m_bUUEncoded);
    EXPECT_EQ("See the file:", Data(msg));
    ASSERT_EQ(1, msg.GetPartCount());
    CMimePart* pBlock = msg.GetPart(0);
    EXPECT_TRUE(pBlock->IsUUBlock());
    EXPECT_EQ("file.txt", pBlock->GetName());
    EXPECT_EQ("#86)C\n`\n", Data(*pBlock));
    EXPECT_EQ("abc", Decoded(*pBlock));
}

TEST(MimeParseUU, NameKeepsBlanksAndItsOwnEnd) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: uu\n\nx\n\nbegin 600 my legend file.txt\n#86)C\n`\nend\n"));
    ASSERT_EQ(1, msg.GetPartCount());
    EXPECT_EQ("my legend file.txt", msg.GetPart(0)->GetName());
    EXPECT_EQ("#86)C\n`\n", Data(*msg.GetPart(0)));
}

TEST(MimeParseUU, SeveralBlocksAndTextBetweenThemIsDropped) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg,
                      "Subject: uu\n\nhead\n\nbegin 644 a\n#86)C\n`\nend\nbetween\n"
                      "begin 644 b\n\"9&4\n`\nend\n"));
    ASSERT_EQ(2, msg.GetPartCount());
    EXPECT_EQ("a", msg.GetPart(0)->GetName());
    EXPECT_EQ("b", msg.GetPart(1)->GetName());
    EXPECT_EQ("de", Decoded(*msg.GetPart(1)));
}

TEST(MimeParseUU, ContainerLosesTheTwoCharactersBeforeBegin) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: uu\n\nHello\nbegin 644 f\n#86)C\nend\n"));
    EXPECT_EQ("Hell", Data(msg));
}

TEST(MimeParseUU, UpperCaseBeginWithoutLowerCaseFails) {
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED,
              Load(msg, "Subject: uu\n\ntext\nBEGIN 644 FILE.TXT\n#86)C\nEND\n"));
}

TEST(MimeParseUU, BeginLineMustHaveModeBlankAndName) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: uu\n\nwe begin 6 things here and end\n"));
    EXPECT_FALSE(msg.m_bUUEncoded);
    EXPECT_EQ(0, msg.GetPartCount());
}

TEST(MimeParseUU, MultipartBodyPartCanBeAContainer) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart({"Content-Type: text/plain\n\nintro\n\nbegin 644 f.bin\n"
                                      "#86)C\n`\nend\n"})));
    ASSERT_EQ(1, msg.GetPartCount());
    CMimePart* pContainer = msg.GetPart(0);
    EXPECT_TRUE(pContainer->m_bUUEncoded);
    ASSERT_EQ(1, pContainer->GetPartCount());
    EXPECT_EQ("f.bin", pContainer->GetPart(0)->GetName());
    // It has a parent, so it counts as a block itself: named by its (empty)
    // begin-line name rather than by its header.
    EXPECT_TRUE(pContainer->IsUUBlock());
    EXPECT_EQ("", pContainer->GetName());
}

TEST(MimeParseUU, BlockLimitMakesTheParseFail) {
    std::string body = "Subject: uu\n\nfiles\n\n";
    for (std::uint32_t i = 0; i <= CMimePart::MAX_SUBPARTS; ++i) {
        body += "begin 644 f" + std::to_string(i) + "\n#86)C\n`\nend\n";
    }
    MimeLog log;
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(msg, body));
    EXPECT_TRUE(log.Has("Maximal 512 Subparts"));
    // At the limit itself the mail loads.
    std::string atLimit = "Subject: uu\n\nfiles\n\n";
    for (std::uint32_t i = 0; i < CMimePart::MAX_SUBPARTS; ++i) {
        atLimit += "begin 644 f" + std::to_string(i) + "\n#86)C\n`\nend\n";
    }
    CMimeMessage ok;
    ASSERT_EQ(0, Load(ok, atLimit));
    EXPECT_EQ(static_cast<int>(CMimePart::MAX_SUBPARTS), ok.GetPartCount());
}

// ---- limits ----

TEST(MimeParseLimits, FiveHundredTwelveBodyPartsLoadAndOneMoreFails) {
    std::vector<std::string> bodies(CMimePart::MAX_SUBPARTS, "Content-Type: text/plain\n\nx");
    CMimeMessage ok;
    ASSERT_EQ(0, Load(ok, Multipart(bodies)));
    EXPECT_EQ(512, ok.GetPartCount());

    bodies.push_back("Content-Type: text/plain\n\ny");
    MimeLog log;
    CMimeMessage bad;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(bad, Multipart(bodies)));
    EXPECT_TRUE(log.Has("CMimePart::Parse() - No nore Parse possible, Maximal 512 Subparts"));
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

    MimeLog log;
    CMimeMessage bad;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(bad, ManyParts(20, 499, 1)));
    EXPECT_TRUE(log.Has("CMimePart::Parse() - more than 10000 parts in one mail"));
}

TEST(MimeParseLimits, NestingAtTheLimitLoadsAndOneLevelMoreFails) {
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

    MimeLog log;
    CMimeMessage deep;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED,
              Load(deep, Nested(CMimePart::MAX_NESTING_DEPTH + 1)));
    EXPECT_TRUE(log.Has("nesting deeper than"));
}

TEST(MimeParseLimits, ThousandsOfLevelsFailWithoutExhaustingTheStack) {
    MimeLog log;
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(msg, Nested(20000)));
    EXPECT_TRUE(log.Has("nesting deeper than 32 levels"));
}

TEST(MimeParseLimits, ContainersCopyingPastTheirPartAreBounded) {
    // Each body part holds only an upper-case begin line; the first lower-case
    // "begin 6" stands at the very end, so every container would copy the
    // rest of the mail.
    std::vector<std::string> bodies(
        400, "Content-Type: text/plain\n\nBEGIN 644 X\n" + std::string(2000, 'z'));
    std::string text = Multipart(bodies) + "begin 644 y\n#86)C\nend\n";
    MimeLog log;
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, Load(msg, text));
    EXPECT_TRUE(log.Has("contents exceed"));
    // One such part alone is the behaviour kept: the container takes the text
    // up to the later "begin 6".
    CMimeMessage one;
    ASSERT_EQ(0, Load(one, Multipart({"Content-Type: text/plain\n\nBEGIN 644 X\nq"}) +
                               "begin 644 y\n#86)C\nend\n"));
    ASSERT_EQ(1, one.GetPartCount());
    EXPECT_TRUE(one.GetPart(0)->m_bUUEncoded);
    EXPECT_EQ(0, one.GetPart(0)->GetPartCount());
    EXPECT_EQ("BEGIN 644 X\nq\n--b1-", Data(*one.GetPart(0)));
}

TEST(MimeParseLimits, ParseOnTheSameMessageTwiceStartsAfresh) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, Multipart({"Content-Type: text/plain\n\na", "B: c\n\nd"})));
    ASSERT_EQ(0, Load(msg, "Subject: second\n\nbody"));
    EXPECT_EQ(0, msg.GetPartCount());
    EXPECT_EQ("", msg.m_strBoundary);
    EXPECT_EQ("", msg.GetContentType());
    EXPECT_EQ("second", msg.GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}
