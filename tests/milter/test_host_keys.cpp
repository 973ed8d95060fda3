/*
 * test_host_keys.cpp - the programs' key table against the milter's
 * reader of those keys, and the check of a configuration: unknown keys with
 * their line and the key meant, values by kind and range.
 */
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/host_keys.h"
#include "common/text.h"
#include "milter/milter_policy.h"
#include "miralib/miralib.h"
#include "platform/pf_scratch.h"

namespace {

bool IsFamily(const HostKey& k) {
    return !FamilyPrefix(k).empty();
}

bool IsMilterKey(const HostKey& k) {
    return std::string(k.name).rfind("Milter.", 0) == 0;
}

// The milter's reader given one key, and what it made of it.
struct Read {
    MilterSettings settings;
    std::vector<std::string> errors;
};
Read ReadOne(const std::string& key, const std::string& value) {
    Read r;
    const MilterKeys keys = {{kit::ascii_lower(key), value}};
    ReadMilterSettings(LookupIn(keys), r.settings, r.errors);
    return r;
}

std::vector<std::string> Words(const char* choices) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = choices;; ++p) {
        if (*p == '|' || *p == '\0') {
            words.push_back(word);
            word.clear();
            if (*p == '\0')
                break;
        } else {
            word += *p;
        }
    }
    return words;
}

std::string Octal(unsigned long long n) {
    std::ostringstream out;
    out << '0' << std::oct << n;
    return out.str();
}

// Every key the reader asks for is in the table, and every single key of
// the table is one the reader asks for: the table documents what is read.
TEST(HostKeyTable, NamesTheKeysTheMilterReads) {
    std::set<std::string> asked;
    const ConfigLookup recorder = [&asked](const char* key) {
        asked.insert(key);
        return std::string();
    };
    MilterSettings s;
    std::vector<std::string> errors;
    ReadMilterSettings(recorder, s, errors);
    ChooseRuleSet(recorder, "a@b.example", "c@d.example", "default");
    ASSERT_TRUE(errors.empty());
    for (const std::string& key : asked)
        EXPECT_NE(FindHostKey(key), nullptr) << key << " is read but not in the table";
    for (const HostKey& k : HostKeyTable()) {
        if (!IsMilterKey(k))
            continue;
        if (IsFamily(k)) {
            bool seen = false;
            for (const std::string& key : asked)
                seen |= FindHostKey(key) == &k;
            EXPECT_TRUE(seen) << k.name << " is in the table but never read";
        } else {
            EXPECT_EQ(asked.count(k.name), 1u) << k.name << " is in the table but never read";
        }
    }
}

// The table's words, ranges and defaults are the reader's: what one takes
// the other takes, what one refuses the other refuses.
TEST(HostKeyTable, ValuesAndDefaultsAreTheReaders) {
    const MilterSettings defaults;
    for (const HostKey& k : HostKeyTable()) {
        if (!IsMilterKey(k) || IsFamily(k))
            continue;
        SCOPED_TRACE(k.name);
        if (k.defaultValue != nullptr) {
            EXPECT_EQ(CheckHostValue(k, k.defaultValue), "");
            const Read r = ReadOne(k.name, k.defaultValue);
            EXPECT_TRUE(r.errors.empty());
            EXPECT_TRUE(r.settings == defaults) << "the default written out differs from none";
        }
        std::vector<std::string> good, bad = {"no-such-value"};
        switch (k.kind) {
            case HostKeyKind::Choice: {
                good = Words(k.choices);
                std::string upper = good.front();  // letter case is ignored
                for (char& c : upper)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                good.push_back(upper);
                break;
            }
            case HostKeyKind::Octal:
                good = {Octal(k.min), Octal(k.max)};
                bad.push_back(Octal(k.max + 1));
                bad.push_back("08");
                break;
            case HostKeyKind::Integer:
            case HostKeyKind::Bytes:
                good = {std::to_string(k.min), std::to_string(k.max)};
                bad.push_back(std::to_string(k.max + 1));
                bad.push_back("-1");
                bad.push_back("1x");
                if (k.min > 0)
                    bad.push_back(std::to_string(k.min - 1));
                break;
            case HostKeyKind::Text:
                bad.clear();
                break;
            case HostKeyKind::Reply:
                good = {"refused: %{virus} in %{queueid}", "100%% sure: %{verdict}, %{rules}"};
                bad = {"refused: %{Virus}", "50% off", "%{virus"};
                break;
        }
        for (const std::string& v : good) {
            EXPECT_EQ(CheckHostValue(k, v), "") << v;
            EXPECT_TRUE(ReadOne(k.name, v).errors.empty()) << v;
        }
        for (const std::string& v : bad) {
            EXPECT_NE(CheckHostValue(k, v), "") << v;
            EXPECT_FALSE(ReadOne(k.name, v).errors.empty()) << v;
        }
    }
}

TEST(HostKeyTable, FamiliesAndTheKeyMeant) {
    ASSERT_NE(FindHostKey("milter.rulesetfor.lab.example.org"), nullptr);
    EXPECT_STREQ(FindHostKey("Milter.RuleSetFrom.scanner@example.org")->name,
                 "Milter.RuleSetFrom.ADDRESS|DOMAIN");
    EXPECT_NE(FindHostKey("HostText.67"), nullptr);
    EXPECT_EQ(FindHostKey("HostText.99"), nullptr) << "the library reads no text 99";
    EXPECT_EQ(FindHostKey("Milter.RuleSetFor."), nullptr) << "a family needs its member";
    EXPECT_EQ(FindHostKey("Milter.Foo"), nullptr);

    const struct {
        const char* typo;
        const char* meant;  // "": no guess
    } cases[] = {
        {"BakupMode", "BackupMode"},
        {"stamplable", "StampLabel"},
        {"Milter.OnVirs", "Milter.OnVirus"},
        {"milter.ontoobig2", "Milter.OnTooBig"},
        {"Milter.RuleSetFro.example.org", "Milter.RuleSetFrom.ADDRESS|DOMAIN"},
        {"Milter.RulesetFr.example.org", "Milter.RuleSetFor.DOMAIN"},
        {"Zzyzx", ""},
        {"Milter.Foo", "Milter.Hook"},  // two letters off a real key
        {"Milter.Frobnicate", ""},
    };
    for (const auto& c : cases) {
        const std::string said = SuggestKey(c.typo);
        if (*c.meant == '\0')
            EXPECT_EQ(said, "") << c.typo;
        else
            EXPECT_EQ(said, std::string(" (did you mean '") + c.meant + "'?)") << c.typo;
    }
}

// One line per problem, each with where it stands; nothing is applied.
TEST(ConfigurationCheck, EveryProblemWithItsLineAndNothingApplied) {
    pftest::Scratch scratch;
    const std::string file = scratch.Path("mailward.conf");
    ASSERT_TRUE(pftest::WriteFile(file,
                                  "# a comment\r\n"
                                  "StampLabel = from the file\r\n"
                                  "BakupMode = 2\r\n"
                                  "Milter.Frobnicate = 1\r\n"
                                  "milter.onvirus = Bounce\r\n"
                                  "Milter.Timeout = 0\r\n"
                                  "Milter.SocketMode = 0999\r\n"
                                  "Milter.RuleSetFor.lab.example.org = \"lab\"\r\n"
                                  "HostText.99 = x\r\n"));
    miraconf_reset();
    std::vector<ConfigEntry> entries;
    std::vector<std::string> errors;
    EXPECT_FALSE(CheckConfiguration(file, {"Milter.OnTooBig=accept", "Bogus=1", "novalue"}, entries,
                                    errors));
    const std::vector<std::string> want = {
        file + ":3: unknown key 'BakupMode' (did you mean 'BackupMode'?)",
        file + ":4: unknown key 'Milter.Frobnicate'",
        file + ":5: milter.onvirus = 'Bounce': use one of: deliver reject discard quarantine",
        file + ":6: Milter.Timeout = '0': a whole number from 1 to 86400",
        file + ":7: Milter.SocketMode = '0999': an octal number from 00 to 07777",
        file + ":9: unknown key 'HostText.99'",
        "-O: unknown key 'Bogus'",
        "-O needs KEY=VALUE, got 'novalue'",
    };
    EXPECT_EQ(errors, want);
    ASSERT_EQ(entries.size(), 11u);
    EXPECT_EQ(entries[6].value, "lab") << "quotes are the file's, not the value's";
    EXPECT_EQ(entries[6].origin, file + ":8");
    EXPECT_EQ(entries[8].origin, "-O");
    EXPECT_EQ(miraconf_is_set("StampLabel"), 0) << "a check applies nothing";

    // Good keys and values pass to the host library, which checks the rest
    // of the file as its loader would.
    ASSERT_TRUE(pftest::WriteFile(file, "Milter.OnVirus = reject\nFlushMails = 7\n"));
    errors.clear();
    EXPECT_FALSE(CheckConfiguration(file, {}, entries, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(":2: FlushMails: value out of range (0 to 1)"), std::string::npos)
        << errors[0];
    ASSERT_TRUE(pftest::WriteFile(file, "Milter.OnVirus = reject\nFlushMails = 0\n"));
    errors.clear();
    EXPECT_TRUE(CheckConfiguration(file, {"Milter.RuleSetFrom.a@b.example=x"}, entries, errors))
        << errors[0];
}

}  // namespace
