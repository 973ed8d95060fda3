/*
 * test_milter_settings.cpp - the settings read from the configuration
 * file at start and on a reload, and what a reload may change.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/milter_settings.h"
#include "platform/pf_scratch.h"

namespace {

TEST(MilterSettingsFile, ReadWithTheCommandLineOverIt) {
    pftest::Scratch scratch;
    const std::string file = scratch.Path("milter.conf");
    ASSERT_TRUE(pftest::WriteFile(file, "Milter.OnVirus = reject\nMilter.Timeout = 5\n"));
    MilterKeys keys;
    MilterSettings s;
    std::vector<std::string> errors;
    ASSERT_TRUE(LoadMilterSettings(file, {"Milter.Timeout=9"}, keys, s, errors));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(s.onVirus, OnVirus::Reject);
    EXPECT_EQ(s.timeoutSeconds, 9) << "-O comes after the file";
    EXPECT_EQ(LookupIn(keys)("Milter.OnVirus"), "reject");

    MilterSettings none;
    MilterKeys noKeys;
    ASSERT_TRUE(LoadMilterSettings("", {}, noKeys, none, errors)) << "no file: the defaults";
    EXPECT_EQ(none.timeoutSeconds, DEFAULT_TIMEOUT_SECONDS);
}

TEST(MilterSettingsFile, EachProblemIsNamed) {
    pftest::Scratch scratch;
    const struct {
        const char* text;  // nullptr: no such file
        const char* want;
    } cases[] = {
        {nullptr, "milter.conf: cannot open"},
        {"Milter.OnVirus = reject\nnot a key line\n", "milter.conf:2: "},
        {"Milter.OnVirus = bounce\n", "Milter.OnVirus = 'bounce'"},
    };
    for (const auto& c : cases) {
        const std::string file = scratch.Path("milter.conf");
        if (c.text != nullptr) {
            ASSERT_TRUE(pftest::WriteFile(file, c.text));
        }
        MilterKeys keys;
        MilterSettings s;
        std::vector<std::string> errors;
        EXPECT_FALSE(LoadMilterSettings(file, {}, keys, s, errors)) << c.want;
        ASSERT_EQ(errors.size(), 1u) << c.want;
        EXPECT_NE(errors[0].find(c.want), std::string::npos) << errors[0];
    }
}

TEST(MilterSettingsReload, ChangesPoliciesAndLimitsButNotWhatNeedsARestart) {
    MilterSettings start;
    start.socket = "unix:/run/a.sock";
    start.stateDir = "/var/lib/a";
    start.processes = 3;
    MilterKeys startKeys = {{"milter.rulesetfor.a.example", "strict"}};
    MilterConfig config;
    config.Start(start, startKeys);

    MilterSettings fresh;
    fresh.socket = "unix:/run/b.sock";
    fresh.stateDir = "/var/lib/b";
    fresh.processes = 7;
    fresh.engine = false;
    fresh.workerPark = false;
    fresh.dnsZones = {"dbl.example"};
    fresh.onVirus = OnVirus::Reject;
    fresh.onParseError = OnUnjudged::Tempfail;
    fresh.onDisagreement = OnUnjudged::Accept;
    fresh.onLimit = OnLimit::Quarantine;
    fresh.watchSignatures = false;
    fresh.maxSize = 1000;
    fresh.timeoutSeconds = 9;
    fresh.ruleSet = "other";
    fresh.verdictField = "X-Other";
    fresh.outcomes.mode = MilterMode::Monitor;
    fresh.outcomes.replies.virus = "no %{virus}";
    fresh.outcomes.noticeTo = "admin@example.org";
    fresh.outcomes.noticeText = "Subject: x\n\n";
    fresh.outcomes.hook = {"/bin/true"};
    const std::shared_ptr<const MilterKeys> before = config.Keys();
    config.Reload(fresh, {{"milter.rulesetfor.b.example", "lenient"}});

    const MilterSettings now = config.Settings();
    EXPECT_EQ(now.onVirus, OnVirus::Reject);
    EXPECT_EQ(now.onParseError, OnUnjudged::Tempfail);
    EXPECT_EQ(now.onDisagreement, OnUnjudged::Accept);
    EXPECT_EQ(now.onLimit, OnLimit::Quarantine);
    EXPECT_EQ(now.maxSize, 1000u);
    EXPECT_EQ(now.timeoutSeconds, 9);
    EXPECT_EQ(now.ruleSet, "other");
    EXPECT_EQ(now.verdictField, "X-Other");
    EXPECT_TRUE(now.outcomes == fresh.outcomes) << "mode, replies, notice and hook reload";
    EXPECT_EQ(now.socket, "unix:/run/a.sock");
    EXPECT_EQ(now.stateDir, "/var/lib/a");
    EXPECT_EQ(now.processes, 3);
    EXPECT_TRUE(now.engine);
    EXPECT_TRUE(now.workerPark);
    EXPECT_TRUE(now.watchSignatures);
    EXPECT_TRUE(now.dnsZones.empty());
    EXPECT_EQ(LookupIn(*config.Keys())("Milter.RuleSetFor.b.example"), "lenient");
    EXPECT_EQ(LookupIn(*before)("Milter.RuleSetFor.a.example"), "strict")
        << "a message in work keeps the keys it started with";
}

}  // namespace
