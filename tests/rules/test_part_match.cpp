/*
 * test_part_match.cpp - FindMatchingRule and MatchPart: attachments by name
 * (uuencoded blocks included), keywords by whole words and by phrases, the
 * base64 scan limit, the match-mode bits, and that the engine's shortcuts
 * give what the plain search gives.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "codec/codec.h"
#include "mime/partnames.h"
#include "qorcsock/qorcsock.h"
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
    const std::string type = std::string("application/octet-stream; name=\"") + name + "\"";
    return TextPart("base64", "TVqQAAMAAAAEAAAA\n", type.c_str());
}

std::string Base64Of(const std::string& text) {
    char* encoded =
        CBase64::Encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    std::string result = encoded;
    std::free(encoded);
    std::erase_if(result, [](char c) { return c == '\r' || c == '\n'; });
    return result;
}

TEST_F(PartMatch, AttachmentsByNameIgnoringCaseAndUUBlocksWithout) {
    Add("attachment: *.exe;attachment: *.com", 9);  // only *.exe counts
    Add("attachment: *.txt", 10);
    EXPECT_EQ(Match(NamedPart("setup.EXE").get(), MATCH_ATTACHMENT),
              "attachment: *.exe;attachment: *.com");
    EXPECT_EQ(Match(NamedPart("setup.exe.txt").get(), MATCH_ATTACHMENT), "attachment: *.txt");
    EXPECT_EQ(Match(NamedPart("x.com").get(), MATCH_ATTACHMENT), "");
    EXPECT_EQ(Match(TextPart(nullptr, "setup.exe\n").get(), MATCH_ATTACHMENT), "");
    // A uuencoded block is one even without a name; its container is not.
    rules.ClearRules();
    Add("attachment: *", 10);
    auto container = std::make_unique<CMimePart>(nullptr);
    container->m_bUUEncoded = true;
    auto* block = new CMimePart(container.get());
    block->m_bUUEncoded = true;
    ASSERT_TRUE(container->AppendPart(block));
    EXPECT_EQ(Match(block, MATCH_ATTACHMENT), "attachment: *");
    EXPECT_EQ(Match(container.get(), MATCH_ATTACHMENT), "");
}

// An attachment rule acts when any name a mail client could show matches:
// both fields, every occurrence, the RFC 2231 forms, encoded words. The name
// the report shows stays GetName's.
TEST_F(PartMatch, AttachmentRulesSeeEveryNameAPartCarries) {
    Add("attachment: *.exe", 9);
    const struct {
        std::vector<const char*> lines;
        bool match;
        const char* shown;
    } rows[] = {
        {{"Content-Type: text/plain; name=\"a.txt\"",
          "Content-Disposition: attachment; filename=\"a.exe\""},
         true,
         "a.txt"},
        {{"Content-Type: application/x; name=\"a.exe\"; size=3"}, true, "a.exe\"; size=3"},
        {{"Content-Type: application/x; name*0=\"a.\"; name*1=\"exe\""}, true, ""},
        {{"Content-Type: application/x; name*1*=%65xe; name*0*=utf-8''a%2E"}, true, ""},
        {{"Content-Disposition: attachment; filename*=utf-8''a%2Eexe"}, true, ""},
        {{"Content-Disposition: attachment; filename=\"=?utf-8?Q?a=2Eexe?=\""}, true, "a.exe"},
        {{"Content-Type: application/x; name=\"a.txt\"; name=\"a.exe\""}, true, ""},
        {{"Content-Type: text/plain; name=a.txt", "Content-Type: application/x; name=a.exe"},
         true,
         "a.txt"},
        {{"Content-Type: application/x;", " name=\"a.ex", " e\""}, true, ""},
        {{"Content-Type: text/plain; charset=\"a.exe\"; name=a.exe.txt"}, false, "a.exe.txt"},
        {{"Content-Disposition: attachment; filename=\"readme.txt\""}, false, "readme.txt"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lines[0]);
        CMimePart part(nullptr);
        for (const char* line : row.lines)
            ASSERT_GE(mailhdr_parseline(part.m_pHeader, line), 0) << line;
        EXPECT_EQ(Match(&part, MATCH_ATTACHMENT), row.match ? "attachment: *.exe" : "");
        if (*row.shown != '\0') {
            EXPECT_EQ(part.GetName(), row.shown);
        }
    }
}

// Names as readers open them: decoded in their charset (UTF-16 in either
// byte order, with and without byte order mark, UTF-7, in encoded words and
// RFC 2231 values), encoded words split inside the extension joined, a
// malformed word spoiling only itself, and the name as Windows opens it
// (trailing blanks and dots, the "::$DATA" stream suffix). Each of them is a
// ".exe" that the plain reading of the bytes missed.
TEST_F(PartMatch, NamesAsReadersAndWindowsOpenThem) {
    Add("attachment: *.exe", 9);
    const struct {
        const char* line;
        bool match;
    } rows[] = {
        {"Content-Disposition: attachment; filename=\"evil.exe \"", true},
        {"Content-Disposition: attachment; filename=\"evil.exe.\"", true},
        {"Content-Disposition: attachment; filename=\"evil.exe::$DATA\"", true},
        {"Content-Disposition: attachment; filename=\"evil.exe. ::$data . \"", true},
        {"Content-Type: application/x; name=\"=?utf-8?q?evil.e?= =?utf-8?q?xe?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-8?q?evil.e?=\t=?utf-8?b?eGU=?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-16le?b?ZQB2AGkAbAAuAGUAeABlAA==?=\"", true},
        {"Content-Type: application/x; name=\"=?UTF-16BE?B?AGUAdgBpAGwALgBlAHgAZQ==?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-16?b?//5lAHYAaQBsAC4AZQB4AGUA?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-16?b?/v8AZQB2AGkAbAAuAGUAeABl?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-16?b?ZQB2AGkAbAAuAGUAeABlAA==?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-16?b?AGUAdgBpAGwALgBlAHgAZQ==?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-16be?b?AGUAdgA=?= "
         "=?utf-16be?b?aQBsAC4AZQB4AGU=?=\"",
         true},
        {"Content-Type: application/x; name=\"=?utf-7?q?evil+AC4-exe?=\"", true},
        {"Content-Type: application/x; name=\"=?utf-8?x?junk?= =?utf-8?q?evil.exe?=\"", true},
        {"Content-Type: application/x; name=\"=?broken?= =?utf-8?q?evil.exe?=\"", true},
        {"Content-Disposition: attachment; "
         "filename*=utf-16le''%65%00%76%00%69%00%6C%00%2E%00%65%00%78%00%65%00",
         true},
        {"Content-Disposition: attachment; filename*0*=utf-16be''%00%65%00%76%00; "
         "filename*1*=%69%00%6C%00%2E%00%65%00%78%00%65",
         true},
        {"Content-Disposition: attachment; filename*=utf-7''evil+AC4-exe", true},
        {"Content-Disposition: attachment; filename*0=\"evil.\"; filename*2=\"txt\"; "
         "filename*1=\"exe\"",
         false},  // joined: evil.exetxt
        {"Content-Disposition: attachment; filename*0=\"evil.\"; filename*1=\"exe\"; "
         "filename*3=\".txt\"",
         true},  // up to the gap: evil.exe
        {"Content-Disposition: attachment; filename=\"evil.exe.txt\"", false},
        {"Content-Disposition: attachment; filename=\"evil.exe:stream\"", false},
        {"Content-Type: application/x; name=\"=?utf-16le?b?ZQB2AGkAbAAuAHQAeAB0AA==?=\"", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        CMimePart part(nullptr);
        ASSERT_GE(mailhdr_parseline(part.m_pHeader, row.line), 0);
        EXPECT_EQ(Match(&part, MATCH_ATTACHMENT), row.match ? "attachment: *.exe" : "");
    }
}

// A name that a limit cut is suspicious, never absent: more continuation
// segments than MAX_NAME_SEGMENTS put the extension past the limit, and
// every rule that acts and whose pattern could match the rest matches; a
// rule that lets a part pass needs a name known whole.
TEST_F(PartMatch, ANameALimitCutIsSuspicious) {
    std::string line = "Content-Disposition: attachment";
    for (std::size_t i = 0; i <= MAX_NAME_SEGMENTS + 1; ++i)
        line += "; filename*" + std::to_string(i) + "=" + (i <= MAX_NAME_SEGMENTS ? "a" : ".exe");
    Add("attachment: *.txt", ACTION_NONE);
    Add("attachment: b*", 9);
    Add("attachment: *.exe", 9);
    CMimePart part(nullptr);
    ASSERT_GE(mailhdr_parseline(part.m_pHeader, line.c_str()), 0);
    EXPECT_EQ(Match(&part, MATCH_ATTACHMENT), "attachment: *.exe");
    // At the limit the name is whole, and only what it is matches.
    std::string whole = "Content-Disposition: attachment";
    for (std::size_t i = 0; i < MAX_NAME_SEGMENTS; ++i)
        whole +=
            "; filename*" + std::to_string(i) + "=" + (i + 1 < MAX_NAME_SEGMENTS ? "a" : ".txt");
    CMimePart known(nullptr);
    ASSERT_GE(mailhdr_parseline(known.m_pHeader, whole.c_str()), 0);
    EXPECT_EQ(Match(&known, MATCH_ATTACHMENT), "attachment: *.txt");
}

// Contents are decoded and searched up to the first zero byte.
TEST_F(PartMatch, WordsPhrasesAndSeparators) {
    std::string large;
    while (large.size() < 200000)
        large += "just some filler text =3D here\n";
    const struct {
        const char *cte, *pattern;
        std::string text;
        bool match;
    } cases[] = {
        {nullptr, "viagra", "Buy viagra now\n", true},
        {nullptr, "viagra", "Buy viagraX now\n", false},
        {nullptr, "viagra*", "Buy viagraX now\n", true},
        // Each of the nine separators ends a word; tab and CR do not.
        {nullptr, "money", "a .,;!-<>\n money", true},
        {nullptr, "money", "a\tmoney", false},
        {nullptr, "money", "send money\r\nnow\r\n", false},
        // A phrase is searched in the whole text, within or across words.
        {nullptr, "free money", "Get free money today\n", true},
        {nullptr, "free money", "Get free  money today\n", false},
        {nullptr, "free money", "carefree moneymaker\n", true},
        {nullptr, "*anti-virus", "the anti-virus said\n", true},
        // 8-bit bytes compare as they are: U umlaut is not u umlaut.
        {nullptr, "gr\374\337e", "viele GR\334\337E\n", false},
        {"Quoted-Printable", "viagra", "Buy vi=\nagra n=6Fw\n", true},
        {"base64", "viagra", Base64Of(std::string("hello\0viagra", 12)), false},
        {"quoted-printable", "viagra", large + "the viagra is at the end\n", true},
    };
    for (const auto& c : cases) {
        rules.ClearRules();
        Add((std::string("body: ") + c.pattern).c_str(), 4);
        auto part = TextPart(c.cte, c.text);
        EXPECT_EQ(Match(part.get(), MATCH_KEYWORD).empty(), !c.match)
            << "pattern [" << c.pattern << "] text [" << c.text.substr(0, 40) << "]";
    }
}

// The limit counts encoded characters, line ends included.
TEST_F(PartMatch, Base64PartsAreSearchedOnlyBelowTheScanLimit) {
    Add("body: viagra", 4);
    std::string text = "buy viagra now ";
    while (text.size() < BODY_SCAN_LIMIT)
        text += "filler ";
    const std::string encoded = Base64Of(text);
    auto below = TextPart("base64", encoded.substr(0, BODY_SCAN_LIMIT - 1));
    auto at = TextPart("base64", encoded.substr(0, BODY_SCAN_LIMIT));
    auto folded =
        TextPart("base64", encoded.substr(0, 76) + "\n" + encoded.substr(76, BODY_SCAN_LIMIT - 77));
    ASSERT_EQ(below->GetDataLength(), BODY_SCAN_LIMIT - 1);
    ASSERT_EQ(folded->GetDataLength(), BODY_SCAN_LIMIT);
    EXPECT_EQ(Match(below.get(), MATCH_KEYWORD), "body: viagra");
    EXPECT_EQ(Match(at.get(), MATCH_KEYWORD), "");
    EXPECT_EQ(Match(folded.get(), MATCH_KEYWORD), "");
}

// Action 1 rules are exceptions; header rules never match a part; with both
// bits the first rule of the set wins.
TEST_F(PartMatch, ModeBitsChooseTheRulesAndTheirOrder) {
    auto part = TextPart(nullptr, "send money\n");
    Add("body: money", 1);
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD_EXCEPTION), "body: money");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "");
    rules.ClearRules();
    for (const char* text : {"body: money", "attachment: *", "Subject: *", "*: *"})
        Add(text, text[0] == 'a' ? 9 : text[0] == 'b' ? 6 : 4);
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD_EXCEPTION), "");
    EXPECT_EQ(Match(part.get(), MATCH_KEYWORD), "body: money");
    EXPECT_EQ(Match(part.get(), MATCH_ATTACHMENT), "");
    EXPECT_EQ(Match(part.get(), 0), "");
    EXPECT_EQ(Match(part.get(), 0x01 | 0x04 | 0x100), "");
    EXPECT_EQ(rules.FindMatchingRule(part.get(), nullptr), nullptr);

    auto named = TextPart(nullptr, "get rich quick\n", "text/plain; name=\"offer.txt\"");
    for (bool keywordFirst : {true, false}) {
        rules.ClearRules();
        const char* first = keywordFirst ? "body: rich" : "attachment: *.txt";
        Add(first, keywordFirst ? 4 : 9);
        Add(keywordFirst ? "attachment: *.txt" : "body: rich", keywordFirst ? 9 : 4);
        EXPECT_EQ(Match(named.get(), MATCH_ATTACHMENT | MATCH_KEYWORD), first);
    }
}

// ---- the shortcuts against the plain search ----

// The keyword search as plainly stated: decode, cut like strtok at the
// separators and test each word with shcasematch, or test the whole text
// with the starred phrase.
int PlainKeywordSearch(const char* pattern, CMimePart* part) {
    std::int64_t length = 0;
    char* data = part->DecodeData(length);
    if (data == nullptr)
        return 0;
    std::string text(data, static_cast<std::size_t>(length));
    std::free(data);
    text = text.c_str();  // up to the first zero byte
    std::string p = pattern;
    if (p.find_first_of(KEYWORD_SEPARATORS) != std::string::npos) {
        p = (p.front() == '*' ? "" : "*") + p + (p.back() == '*' ? "" : "*");
        return shcasematch(text.c_str(), p.c_str());
    }
    for (char* word = std::strtok(text.data(), KEYWORD_SEPARATORS); word != nullptr;
         word = std::strtok(nullptr, KEYWORD_SEPARATORS)) {
        if (shcasematch(word, pattern))
            return 1;
    }
    return 0;
}

TEST_F(PartMatch, ShortcutsAgreeWithThePlainSearch) {
    const std::vector<std::string> patterns = {
        "money", "MONEY", "Money*", "mon?y", "[mM]oney", "[a-z]oney", "m*y", "*", "x", "",
        "free money", "FREE MONEY", "free mon*", "*ee mo*", "ee mo", "free-money", "free?money",
        "today.", "*today.*", "**free money**", "[", "<b>", "-", "money\r", "gr\xfc*", "a b",
        // Enough plain words that a walk also reaches the look-ups in the
        // set of words (the first few search the text directly).
        "zz", "yy", "ww", "vv", "uu", "tt", "ss", "get", "now", "nothing", "viele", "moneymoney",
        "b"};
    const std::vector<std::string> texts = {"Get free money today.\n",
                                            "send MONEY\r\nnow\r\n",
                                            "free-money",
                                            "x\n",
                                            "",
                                            "nothing",
                                            "<b>FREE Money</b> -- now!",
                                            "viele gr\374\337e\n",
                                            "a  b\ta b",
                                            "[x] moneymoney money"};
    rules.m_nMatchMode = MATCH_KEYWORD;
    for (std::size_t first = 0; first < patterns.size(); first += 5) {
        rules.ClearRules();
        for (std::size_t i = first; i < patterns.size(); ++i)
            Add(("body: " + patterns[i]).c_str(), 4);
        for (const std::string& text : texts) {
            auto part = TextPart("quoted-printable", text);
            const Rule* expected = nullptr;
            for (const Rule* r = rules.FindRuleSet("p")->rules; r != nullptr; r = r->next) {
                const char* pattern = CRuleHelper::GetRulePattern(r);
                EXPECT_EQ(rules.MatchPart(r, part.get()), PlainKeywordSearch(pattern, part.get()))
                    << "pattern [" << pattern << "] text [" << text << "]";
                if (expected == nullptr && PlainKeywordSearch(pattern, part.get()) == 1)
                    expected = r;
            }
            // One decoding for the whole walk gives the same first rule.
            EXPECT_EQ(rules.FindMatchingRule(part.get(), rules.FindRuleSet("p")), expected)
                << "text [" << text << "]";
        }
    }
}

}  // namespace
