/*
 * test_part_match.cpp - CRuleHelper::FindMatchingRule and MatchPart: the
 * attachment test by name (uuencoded blocks included), the keyword test by
 * whole words and by phrases with their separators, the base64 scan limit,
 * the match-mode bits, and that one decoding per walk gives the same answer
 * as testing each rule on its own.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "qorcsock.h"
#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

class PartMatch : public ::testing::Test {
  protected:
    void Add(const char* text, int action) {
        ASSERT_EQ(rules.AddRule("p", text, text, 0, action, nullptr, 0), 0) << text;
    }
    // Text of the rule FindMatchingRule gives under `mode`, "" for none.
    std::string Match(CMimePart* part, std::uint32_t mode) {
        rules.m_nMatchMode = mode;
        const Rule* r = rules.FindMatchingRule(part, rules.FindRuleSet("p"));
        return r != nullptr ? r->text : "";
    }
    CRuleHelper rules;
};

std::unique_ptr<CMimePart> NamedPart(const char* name) {
    std::string mail = std::string("Content-Type: application/octet-stream; name=\"") + name +
                       "\"\nContent-Transfer-Encoding: base64\n\nTVqQAAMAAAAEAAAA\n";
    return ParsePart(mail);
}

// A uuencoded container holding one block of the given name.
std::unique_ptr<CMimePart> UUContainerWithBlock(const char* name) {
    auto container = std::make_unique<CMimePart>(nullptr);
    container->m_bUUEncoded = true;
    auto* block = new CMimePart(container.get());
    block->m_bUUEncoded = true;
    block->m_strUUName = name;
    block->m_pData = pf::strdup("#0V%T\n`\n");
    if (!container->AppendPart(block))
        delete block;
    return container;
}

std::string Base64Of(const std::string& text) {
    char* encoded =
        CBase64::Encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    std::string result;
    for (const char* p = encoded; *p != '\0'; ++p) {
        if (*p != '\r' && *p != '\n')
            result += *p;
    }
    std::free(encoded);
    return result;
}

// ---- attachment test ----

TEST_F(PartMatch, AttachmentRuleMatchesByNameIgnoringCase) {
    Add("attachment: *.exe", 9);
    auto exe = NamedPart("setup.EXE");
    auto txt = NamedPart("setup.exe.txt");
    auto body = TextPart(nullptr, "setup.exe\n");
    EXPECT_EQ(Match(exe.get(), MATCH_ATTACHMENT), "attachment: *.exe");
    EXPECT_EQ(Match(txt.get(), MATCH_ATTACHMENT), "");
    EXPECT_EQ(Match(body.get(), MATCH_ATTACHMENT), "");
}

TEST_F(PartMatch, UUBlockNameKeepsItsCaseAndIsMatchedIgnoringIt) {
    Add("attachment: *.exe", 9);
    auto container = UUContainerWithBlock("SETUP.EXE");
    EXPECT_EQ(container->GetPart(0)->GetName(), "SETUP.EXE");
    EXPECT_EQ(Match(container->GetPart(0), MATCH_ATTACHMENT), "attachment: *.exe");
    // The container itself has no name and is no block.
    EXPECT_EQ(Match(container.get(), MATCH_ATTACHMENT), "");
}

TEST_F(PartMatch, UUBlockWithoutNameCountsAsAttachment) {
    Add("attachment: *", 9);
    auto container = UUContainerWithBlock("");
    EXPECT_EQ(Match(container->GetPart(0), MATCH_ATTACHMENT), "attachment: *");
}

TEST_F(PartMatch, ParsedUUBlockIsMatchedByItsBeginLineName) {
    Add("attachment: *.com", 9);
    auto mail =
        ParsePart("Subject: files\n\nsee below\nbegin 644 Tool.COM\n#0V%T\n`\nend\n\nbye\n");
    ASSERT_NE(mail, nullptr);
    ASSERT_EQ(mail->GetPartCount(), 1);
    EXPECT_EQ(Match(mail->GetPart(0), MATCH_ATTACHMENT), "attachment: *.com");
}

TEST_F(PartMatch, OnlyTheFirstAttachmentPatternCounts) {
    Add("attachment: *.exe;attachment: *.com", 9);
    Add("attachment: *.exe; *.com", 10);
    auto com = NamedPart("x.com");
    EXPECT_EQ(Match(com.get(), MATCH_ATTACHMENT), "");
    Add("attachment: *.com", 11);
    EXPECT_EQ(Match(com.get(), MATCH_ATTACHMENT), "attachment: *.com");
}

TEST_F(PartMatch, NamedPartNotMatchingByNameIsNotSearchedForTheKeyword) {
    // An attachment rule decides by the name alone; a keyword rule later in
    // the set still gets its turn.
    Add("attachment: *.zip", 9);
    Add("body: TVqQ*", 4);
    auto exe = NamedPart("setup.exe");
    EXPECT_EQ(Match(exe.get(), MATCH_ATTACHMENT), "");
}

// ---- keyword test ----

TEST_F(PartMatch, SingleWordMatchesWholeWordsOnly) {
    Add("body: viagra", 4);
    auto yes = TextPart(nullptr, "Buy viagra now\n");
    auto no = TextPart(nullptr, "Buy viagraX now\n");
    EXPECT_EQ(Match(yes.get(), MATCH_KEYWORD), "body: viagra");
    EXPECT_EQ(Match(no.get(), MATCH_KEYWORD), "");
    rules.ClearRules();
    Add("body: viagra*", 4);
    EXPECT_EQ(Match(yes.get(), MATCH_KEYWORD), "body: viagra*");
    EXPECT_EQ(Match(no.get(), MATCH_KEYWORD), "body: viagra*");
}

TEST_F(PartMatch, WordsAreCutAtEveryNineSeparators) {
    Add("body: money", 4);
    for (const char* text : {"a money", "a\nmoney", "a.money", "a,money", "a;money", "a!money",
                             "a-money", "a<money", "a>money", "a .,;!-<>\n money"}) {
        auto part = TextPart(nullptr, text);
        EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: money") << text;
    }
    for (const char* text : {"a\tmoney", "a\rmoney", "a:money", "a/money", "a_money"}) {
        auto part = TextPart(nullptr, text);
        EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "") << text;
    }
}

TEST_F(PartMatch, CarriageReturnStaysWithTheWord) {
    auto part = TextPart(nullptr, "send money\r\nnow\r\n");
    Add("body: money", 4);
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "");
    Add("body: money*", 5);
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: money*");
}

TEST_F(PartMatch, KeywordsIgnoreAsciiCaseOnly) {
    Add("body: VIAGRA", 4);
    auto part = TextPart(nullptr, "buy ViAgRa\n");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: VIAGRA");
    rules.ClearRules();
    // 8-bit bytes compare as they are: \xdc (U umlaut) is not \xfc (u umlaut).
    Add("body: gr\xfc\xdf"
        "e",
        4);
    auto upper = TextPart(nullptr,
                          "viele GR\xdc\xdf"
                          "E\n");
    auto lower = TextPart(nullptr,
                          "viele gr\xfc\xdf"
                          "e\n");
    EXPECT_EQ(Match(upper.get(), MATCH_KEYWORD), "");
    EXPECT_NE(Match(lower.get(), MATCH_KEYWORD), "");
}

TEST_F(PartMatch, PhraseIsSearchedInTheWholeText) {
    Add("body: free money", 4);
    auto yes = TextPart(nullptr, "Get free money today\n");
    auto twoBlanks = TextPart(nullptr, "Get free  money today\n");
    auto acrossLines = TextPart(nullptr, "Get free\nmoney today\n");
    EXPECT_EQ(Match(yes.get(), MATCH_KEYWORD), "body: free money");
    EXPECT_EQ(Match(twoBlanks.get(), MATCH_KEYWORD), "");
    EXPECT_EQ(Match(acrossLines.get(), MATCH_KEYWORD), "");
    // A phrase is not held to word limits.
    auto inside = TextPart(nullptr, "carefree moneymaker\n");
    EXPECT_EQ(Match(inside.get(), MATCH_KEYWORD), "body: free money");
}

TEST_F(PartMatch, PhraseStarsAreNotDoubled) {
    Add("body: *anti-virus", 4);
    auto part = TextPart(nullptr, "the anti-virus said\n");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: *anti-virus");
    rules.ClearRules();
    Add("body: anti-vir*", 4);
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: anti-vir*");
}

TEST_F(PartMatch, TextIsSearchedUpToItsFirstZeroByte) {
    Add("body: viagra", 4);
    std::string text("hello\0viagra", 12);
    auto part = TextPart("base64", Base64Of(text));
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "");
    auto control = TextPart("base64", Base64Of("hello viagra"));
    EXPECT_EQ(Match(control.get(), MATCH_KEYWORD), "body: viagra");
}

TEST_F(PartMatch, QuotedPrintableIsDecodedBeforeTheSearch) {
    Add("body: viagra", 4);
    auto part = TextPart("Quoted-Printable", "Buy vi=\nagra n=6Fw\n");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: viagra");
}

TEST_F(PartMatch, LargeQuotedPrintablePartIsSearched) {
    Add("body: needle", 4);
    std::string text;
    while (text.size() < 200000)
        text += "just some filler text =3D here\n";
    text += "the needle is at the end\n";
    auto part = TextPart("quoted-printable", text);
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: needle");
}

// ---- scan limit ----

TEST_F(PartMatch, Base64PartsAreSearchedOnlyBelowTheScanLimit) {
    Add("body: viagra", 4);
    std::string text = "buy viagra now ";
    while (text.size() < BODY_SCAN_LIMIT)
        text += "filler ";
    std::string encoded = Base64Of(text);
    ASSERT_GT(encoded.size(), BODY_SCAN_LIMIT);
    auto below = TextPart("base64", encoded.substr(0, BODY_SCAN_LIMIT - 1));
    auto at = TextPart("base64", encoded.substr(0, BODY_SCAN_LIMIT));
    EXPECT_EQ(below->GetDataLength(), BODY_SCAN_LIMIT - 1);
    EXPECT_EQ(Match(below.get(), MATCH_KEYWORD), "body: viagra");
    EXPECT_EQ(Match(at.get(), MATCH_KEYWORD), "");
    // The limit counts encoded characters, line ends included.
    auto folded =
        TextPart("base64", encoded.substr(0, 76) + "\n" + encoded.substr(76, BODY_SCAN_LIMIT - 77));
    EXPECT_EQ(folded->GetDataLength(), BODY_SCAN_LIMIT);
    EXPECT_EQ(Match(folded.get(), MATCH_KEYWORD), "");
}

// ---- mode bits ----

TEST_F(PartMatch, ExceptionRulesOnlyInExceptionModeOthersOnlyInKeywordMode) {
    Add("body: money", 1);
    auto part = TextPart(nullptr, "send money\n");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD_EXCEPTION), "body: money");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "");
    rules.ClearRules();
    Add("body: money", 6);
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD_EXCEPTION), "");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: money");
    EXPECT_EQ(Match(part.get(), MATCH_ATTACHMENT), "");
}

TEST_F(PartMatch, NoModeBitMatchesNothing) {
    Add("attachment: *", 9);
    Add("body: *", 4);
    Add("body: *", 1);
    auto named = NamedPart("a.exe");
    auto text = TextPart(nullptr, "words\n");
    EXPECT_EQ(Match(named.get(), 0), "");
    EXPECT_EQ(Match(text.get(), 0), "");
    // Bits other than the three change nothing.
    EXPECT_EQ(Match(text.get(), 0x01 | 0x04 | 0x100), "");
}

TEST_F(PartMatch, WithAttachmentAndKeywordBitsTheFirstRuleInTheSetWins) {
    auto part = ParsePart("Content-Type: text/plain; name=\"offer.txt\"\n\nget rich quick\n");
    ASSERT_NE(part, nullptr);
    Add("body: rich", 4);
    Add("attachment: *.txt", 9);
    EXPECT_EQ(Match(part.get(), MATCH_ATTACHMENT | MATCH_KEYWORD), "body: rich");
    rules.ClearRules();
    Add("attachment: *.txt", 9);
    Add("body: rich", 4);
    EXPECT_EQ(Match(part.get(), MATCH_ATTACHMENT | MATCH_KEYWORD), "attachment: *.txt");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: rich");
}

TEST_F(PartMatch, HeaderRulesNeverMatchAPartAndThereIsNoDefault) {
    Add("Subject: *", 4);
    Add("*: *", 4);
    auto part = TextPart(nullptr, "Subject: *\n");
    EXPECT_EQ(Match(part.get(), MATCH_ATTACHMENT | MATCH_KEYWORD | MATCH_KEYWORD_EXCEPTION), "");
    EXPECT_EQ(rules.FindMatchingRule(part.get(), nullptr), nullptr);
}

TEST_F(PartMatch, MatchPartAloneAgreesWithTheWalk) {
    Add("body: now", 4);
    const Rule* r = rules.FindRuleSet("p")->rules;
    auto part = TextPart(nullptr, "buy now\n");
    rules.m_nMatchMode = MATCH_KEYWORD;
    EXPECT_EQ(rules.MatchPart(r, part.get()), 1);
    rules.m_nMatchMode = MATCH_KEYWORD_EXCEPTION;
    EXPECT_EQ(rules.MatchPart(r, part.get()), 0);
    EXPECT_EQ(rules.MatchPart(nullptr, part.get()), 0);
}

// The keyword search as plainly stated: decode, cut like strtok at the
// separators and test each word with shcasematch, or test the whole text
// with the starred phrase. The engine's shortcuts must agree with it.
int ReferenceKeywordMatch(const char* pattern, CMimePart* part) {
    std::int64_t length = 0;
    char* data = part->DecodeData(length);
    if (data == nullptr)
        return 0;
    std::string text(data, static_cast<std::size_t>(length));
    std::free(data);
    text = text.c_str();  // up to the first zero byte
    std::string p = pattern;
    if (p.find_first_of(KEYWORD_SEPARATORS) != std::string::npos) {
        if (p.front() != '*')
            p.insert(0, "*");
        if (p.back() != '*')
            p += "*";
        return shcasematch(text.c_str(), p.c_str());
    }
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    for (char* word = std::strtok(buffer.data(), KEYWORD_SEPARATORS); word != nullptr;
         word = std::strtok(nullptr, KEYWORD_SEPARATORS)) {
        if (shcasematch(word, pattern))
            return 1;
    }
    return 0;
}

TEST_F(PartMatch, ShortcutsAgreeWithThePlainKeywordSearch) {
    const std::vector<std::string> patterns = {"money",
                                               "MONEY",
                                               "Money*",
                                               "mon?y",
                                               "[mM]oney",
                                               "[a-z]oney",
                                               "m*y",
                                               "*",
                                               "x",
                                               "",
                                               "free money",
                                               "FREE MONEY",
                                               "free mon*",
                                               "*ee mo*",
                                               "free-money",
                                               "free?money",
                                               "ee mo",
                                               "today.",
                                               "*today.*",
                                               "**free money**",
                                               "[",
                                               "gr\xfc\xdf"
                                               "e",
                                               "GR\xfc*",
                                               "money\r",
                                               "now\r",
                                               "a b",
                                               "<b>",
                                               "-"};
    const std::vector<std::string> texts = {"Get free money today.\n",
                                            "send MONEY\r\nnow\r\n",
                                            "free-money",
                                            "x\n",
                                            "nothing here",
                                            "",
                                            "<b>FREE Money</b> -- now!",
                                            "viele gr\xfc\xdf"
                                            "e, GR\xfc\xdf"
                                            "E\n",
                                            "a  b\ta b",
                                            "[x] moneymoney money"};
    rules.m_nMatchMode = MATCH_KEYWORD;
    for (const std::string& text : texts) {
        auto part = TextPart("quoted-printable", text);
        for (const std::string& pattern : patterns) {
            Rule rule{};
            rule.action = 4;
            rule.hdr = mailhdr_alloc();
            ASSERT_EQ(mailhdr_parseline(rule.hdr, ("body: " + pattern).c_str()), 0);
            EXPECT_EQ(rules.MatchPart(&rule, part.get()),
                      ReferenceKeywordMatch(pattern.c_str(), part.get()))
                << "pattern [" << pattern << "] text [" << text << "]";
            mailhdr_free(rule.hdr);
        }
    }
}

// One decoding per walk: the walk's answer must be the first rule that
// MatchPart, deciding each rule afresh, accepts.
TEST_F(PartMatch, WalkGivesTheFirstRuleThatMatchPartAccepts) {
    const std::vector<std::string> patterns = {
        "body: absent",     "body: MONEY",   "body: mon?y",   "body: [mM]oney",
        "body: free money", "body: *ee mo*", "body: money\r", "body: m*y",
        "body: now",        "body: x",       "body: ",        "body: *",
        "body: free-money", "body: [",       "body: Money",   "body: today."};
    const std::vector<std::string> texts = {"Get free money today.\n",
                                            "send MONEY\r\nnow\r\n",
                                            "free-money",
                                            "x\n",
                                            "nothing here",
                                            ""};
    for (std::size_t first = 0; first < patterns.size(); ++first) {
        rules.ClearRules();
        for (std::size_t i = first; i < patterns.size(); ++i)
            Add(patterns[i].c_str(), i % 3 == 0 ? 1 : 4);
        for (std::uint32_t mode : {MATCH_KEYWORD, MATCH_KEYWORD_EXCEPTION}) {
            for (const std::string& text : texts) {
                auto part = TextPart("quoted-printable", text);
                rules.m_nMatchMode = mode;
                const Rule* expected = nullptr;
                for (const Rule* r = rules.FindRuleSet("p")->rules; r != nullptr; r = r->next) {
                    if (rules.MatchPart(r, part.get()) == 1) {
                        expected = r;
                        break;
                    }
                }
                EXPECT_EQ(rules.FindMatchingRule(part.get(), rules.FindRuleSet("p")), expected)
                    << "first " << first << " mode " << mode << " text " << text;
            }
        }
    }
}

}  // namespace
