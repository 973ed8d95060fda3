/*
 * test_milter_policy.cpp - the Milter.* settings and the action taken for
 * each outcome of a check.
 */
#include <gtest/gtest.h>

#include <functional>

#include <map>

#include "mailward.h"
#include "milter/milter_policy.h"

namespace {

using Kind = CheckResult::Kind;

ConfigLookup From(const std::map<std::string, std::string>& values) {
    return [values](const char* key) {
        const auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    };
}

CheckResult Done(std::uint32_t errors, std::int32_t virus, std::uint32_t status, std::int32_t parts,
                 const char* name = "") {
    CheckResult r;
    r.errors = errors;
    r.result = errors != 0 ? -1 : 0;
    r.virusResult = virus;
    r.status = status;
    r.partActions = parts;
    r.virusName = name;
    return r;
}

CheckResult Of(Kind k) {
    CheckResult r;
    r.kind = k;
    return r;
}

TEST(MilterPolicy, DecisionPerOutcomeAndSetting) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> config;
        CheckResult result;
        MilterAction action;
        const char* verdict;
        const char* rcode;
    };
    const std::vector<Case> cases = {
        {"clean", {}, Done(0, VIRUS_CLEAN, 0, 0), MilterAction::Deliver, "clean", ""},
        {"keyword record alone",
         {},
         Done(0, VIRUS_CLEAN, 0, PART_KEYWORD),
         MilterAction::Deliver,
         "clean",
         ""},
        {"virus, default",
         {},
         Done(0, VIRUS_FOUND, 0, PART_REMOVED, "Eicar"),
         MilterAction::Deliver,
         "virus Eicar",
         ""},
        {"virus, reject",
         {{"Milter.OnVirus", "reject"}},
         Done(0, VIRUS_FOUND, 0, 0, "Eicar"),
         MilterAction::Reject,
         "virus Eicar",
         "550"},
        {"virus, discard",
         {{"Milter.OnVirus", "Discard"}},
         Done(0, VIRUS_FOUND, 0, 0, "E"),
         MilterAction::Discard,
         "virus E",
         ""},
        {"virus, quarantine",
         {{"Milter.OnVirus", "quarantine"}},
         Done(0, VIRUS_FOUND, 0, 0, "E"),
         MilterAction::Quarantine,
         "virus E",
         ""},
        {"virus without a name",
         {},
         Done(0, VIRUS_FOUND, 0, 0),
         MilterAction::Deliver,
         "virus unnamed",
         ""},
        {"virus beats a parse error",
         {},
         Done(ERR_LOAD, VIRUS_FOUND, 0, 0, "E"),
         MilterAction::Deliver,
         "virus E",
         ""},
        {"removed",
         {},
         Done(0, VIRUS_CLEAN, ST_PART_RULE, PART_REMOVED),
         MilterAction::Deliver,
         "filtered (part rule, removed)",
         ""},
        {"moved, reject",
         {{"Milter.OnFiltered", "reject"}},
         Done(0, VIRUS_CLEAN, ST_PART_RULE, PART_MOVED),
         MilterAction::Reject,
         "filtered (part rule, moved)",
         "550"},
        {"spam list",
         {},
         Done(0, VIRUS_CLEAN, ST_SPAM_LISTED, 0),
         MilterAction::Deliver,
         "filtered (spam list)",
         ""},
        {"header rule",
         {},
         Done(0, VIRUS_CLEAN, ST_HEADER_RULE, 0),
         MilterAction::Deliver,
         "filtered (header rule)",
         ""},
        {"parse error, default",
         {},
         Done(ERR_LOAD, VIRUS_CLEAN, 0, 0),
         MilterAction::Reject,
         "unchecked (not parsed)",
         "550"},
        {"parse error, quarantine",
         {{"Milter.OnParseError", "quarantine"}},
         Done(ERR_LOAD, VIRUS_CLEAN, 0, 0),
         MilterAction::QuarantineUntouched,
         "unchecked (not parsed)",
         ""},
        {"parse error, tempfail",
         {{"Milter.OnParseError", "tempfail"}},
         Done(ERR_LOAD, VIRUS_CLEAN, 0, 0),
         MilterAction::Tempfail,
         "unchecked (not parsed)",
         "451"},
        {"parse error, accept",
         {{"Milter.OnParseError", "accept"}},
         Done(ERR_LOAD, VIRUS_CLEAN, 0, 0),
         MilterAction::AcceptUntouched,
         "unchecked (not parsed)",
         ""},
        {"engine failure beats a parse failure",
         {{"Milter.OnParseError", "accept"}},
         Done(ERR_LOAD | ERR_CHECK, VIRUS_NOT_CHECKED, 0, 0),
         MilterAction::Tempfail,
         "unchecked (scan failed)",
         "451"},
        {"disagreement, default",
         {},
         Done(0, VIRUS_CLEAN, ST_MIME_DISAGREEMENT, 0),
         MilterAction::Reject,
         "unchecked (MIME disagreement)",
         "550"},
        {"disagreement beside a removal",
         {{"Milter.OnFiltered", "deliver"}},
         Done(0, VIRUS_CLEAN, ST_MIME_DISAGREEMENT | ST_PART_RULE, PART_REMOVED),
         MilterAction::Reject,
         "unchecked (MIME disagreement)",
         "550"},
        {"disagreement, quarantine",
         {{"Milter.OnDisagreement", "quarantine"}},
         Done(0, VIRUS_CLEAN, ST_MIME_DISAGREEMENT, 0),
         MilterAction::Quarantine,
         "unchecked (MIME disagreement)",
         ""},
        {"disagreement, accept",
         {{"Milter.OnDisagreement", "accept"}},
         Done(0, VIRUS_CLEAN, ST_MIME_DISAGREEMENT, 0),
         MilterAction::Deliver,
         "unchecked (MIME disagreement)",
         ""},
        {"scan error, default",
         {},
         Done(ERR_CHECK, VIRUS_NOT_CHECKED, 0, 0),
         MilterAction::Tempfail,
         "unchecked (scan failed)",
         "451"},
        {"scan error, accept",
         {{"Milter.OnScanError", "accept"}},
         Done(ERR_CHECK, VIRUS_NOT_CHECKED, 0, 0),
         MilterAction::AcceptUntouched,
         "unchecked (scan failed)",
         ""},
        {"engine limit, default",
         {},
         Done(ERR_CHECK, VIRUS_NOT_CHECKED, ST_ENGINE_LIMIT, 0),
         MilterAction::Reject,
         "unchecked (engine limit)",
         "550"},
        // OnScanError does not reach a limit: tried again, it stops there again.
        {"engine limit, scan errors accepted",
         {{"Milter.OnScanError", "accept"}},
         Done(ERR_CHECK, VIRUS_NOT_CHECKED, ST_ENGINE_LIMIT, 0),
         MilterAction::Reject,
         "unchecked (engine limit)",
         "550"},
        {"engine limit, quarantine",
         {{"Milter.OnLimit", "quarantine"}},
         Done(ERR_CHECK, VIRUS_NOT_CHECKED, ST_ENGINE_LIMIT, 0),
         MilterAction::QuarantineUntouched,
         "unchecked (engine limit)",
         ""},
        {"engine limit, accept",
         {{"Milter.OnLimit", "accept"}},
         Done(ERR_CHECK, VIRUS_NOT_CHECKED, ST_ENGINE_LIMIT, 0),
         MilterAction::AcceptUntouched,
         "unchecked (engine limit)",
         ""},
        {"engine limit and a parse failure",
         {},
         Done(ERR_CHECK | ERR_LOAD, VIRUS_NOT_CHECKED, ST_ENGINE_LIMIT, 0),
         MilterAction::Reject,
         "unchecked (engine limit)",
         "550"},
        {"virus beside an engine limit",
         {},
         Done(ERR_CHECK, VIRUS_FOUND, ST_ENGINE_LIMIT, PART_REMOVED, "Eicar"),
         MilterAction::Deliver,
         "virus Eicar",
         ""},
        {"save error",
         {},
         Done(ERR_SAVE, VIRUS_CLEAN, 0, 0),
         MilterAction::Tempfail,
         "unchecked (filter error)",
         "451"},
        {"timeout, default",
         {},
         Of(Kind::TimedOut),
         MilterAction::Tempfail,
         "unchecked (timeout)",
         "451"},
        {"timeout, accept",
         {{"Milter.OnScanError", "accept"}},
         Of(Kind::TimedOut),
         MilterAction::AcceptUntouched,
         "unchecked (timeout)",
         ""},
        {"too big, default",
         {},
         Of(Kind::TooBig),
         MilterAction::Reject,
         "unchecked (too big)",
         "552"},
        {"too big, accept",
         {{"Milter.OnTooBig", "accept"}},
         Of(Kind::TooBig),
         MilterAction::AcceptUntouched,
         "unchecked (too big)",
         ""},
        {"too big, tempfail",
         {{"Milter.OnTooBig", "tempfail"}},
         Of(Kind::TooBig),
         MilterAction::Tempfail,
         "unchecked (too big)",
         "451"},
        {"process died",
         {{"Milter.OnScanError", "accept"}},
         Of(Kind::Died),
         MilterAction::Tempfail,
         "unchecked (filter failed)",
         "451"},
        {"refused", {}, Of(Kind::Refused), MilterAction::Tempfail, "unchecked (refused)", "451"},
        {"busy", {}, Of(Kind::Busy), MilterAction::Tempfail, "unchecked (busy)", "451"},
    };
    for (const Case& c : cases) {
        MilterSettings s;
        std::vector<std::string> errors;
        ASSERT_TRUE(ReadMilterSettings(From(c.config), s, errors)) << c.name;
        const Decision d = Decide(s, c.result);
        EXPECT_EQ(ActionWord(d.action), std::string(ActionWord(c.action))) << c.name;
        EXPECT_EQ(d.verdict, c.verdict) << c.name;
        EXPECT_EQ(d.rcode, c.rcode) << c.name;
        if (!d.rcode.empty()) {
            EXPECT_EQ(d.xcode[0], d.rcode[0]) << c.name << ": enhanced code class";
        }
    }
}

// The original is held before the check exactly when some outcome may be
// quarantined: otherwise a quarantine decision would find nothing to keep.
TEST(MilterPolicy, OriginalsAreHeldWhenAnOutcomeMayQuarantine) {
    MilterSettings s;
    EXPECT_FALSE(MayQuarantine(s)) << "the defaults quarantine nothing";
    const std::vector<std::function<void(MilterSettings&)>> each = {
        [](MilterSettings& m) { m.onVirus = OnVirus::Quarantine; },
        [](MilterSettings& m) { m.onFiltered = OnVirus::Quarantine; },
        [](MilterSettings& m) { m.onParseError = OnUnjudged::Quarantine; },
        [](MilterSettings& m) { m.onDisagreement = OnUnjudged::Quarantine; },
        [](MilterSettings& m) { m.onLimit = OnLimit::Quarantine; },
    };
    for (std::size_t i = 0; i < each.size(); ++i) {
        MilterSettings one;
        each[i](one);
        EXPECT_TRUE(MayQuarantine(one)) << "policy " << i;
    }
    MilterSettings others;
    others.onVirus = OnVirus::Discard;
    others.onFiltered = OnVirus::Reject;
    others.onParseError = OnUnjudged::Accept;
    others.onDisagreement = OnUnjudged::Tempfail;
    others.onLimit = OnLimit::Accept;
    EXPECT_FALSE(MayQuarantine(others));
}

TEST(MilterPolicy, SettingsReadAndRefused) {
    MilterSettings s;
    std::vector<std::string> errors;
    ASSERT_TRUE(ReadMilterSettings(From({{"Milter.SocketMode", "0600"},
                                         {"Milter.Processes", "3"},
                                         {"Milter.MaxSize", "1000"},
                                         {"Milter.Timeout", "7"},
                                         {"Milter.Engine", "off"},
                                         {"Milter.WorkerPark", "off"},
                                         {"Milter.WatchSignatures", "off"},
                                         {"Milter.OnLimit", "quarantine"},
                                         {"Milter.HeaderRuleSet", "\"\""},
                                         {"Milter.VerdictField", "X-Filter"}}),
                                   s, errors));
    EXPECT_EQ(s.socketMode, 0600u);
    EXPECT_EQ(s.processes, 3);
    EXPECT_EQ(s.maxSize, 1000u);
    EXPECT_EQ(s.timeoutSeconds, 7);
    EXPECT_FALSE(s.engine);
    EXPECT_FALSE(s.workerPark);
    EXPECT_FALSE(s.watchSignatures);
    EXPECT_EQ(s.onLimit, OnLimit::Quarantine);
    EXPECT_EQ(s.headerRuleSet, "");
    EXPECT_EQ(s.verdictField, "X-Filter");

    const struct {
        const char* key;
        const char* value;
    } bad[] = {
        {"Milter.OnVirus", "bounce"},   {"Milter.OnParseError", "discard"},
        {"Milter.Processes", "0"},      {"Milter.Processes", "9999"},
        {"Milter.SocketMode", "0999"},  {"Milter.Timeout", "-1"},
        {"Milter.MaxSize", "1k"},       {"Milter.Engine", "maybe"},
        {"Milter.VerdictField", "X Y"}, {"Milter.OnTooBig", "discard"},
        {"Milter.WorkerPark", "yes"},   {"Milter.OnDisagreement", "deliver"},
        {"Milter.OnLimit", "tempfail"}, {"Milter.WatchSignatures", "sometimes"},
    };
    for (const auto& b : bad) {
        MilterSettings t;
        std::vector<std::string> e;
        EXPECT_FALSE(ReadMilterSettings(From({{b.key, b.value}}), t, e)) << b.key << b.value;
        ASSERT_EQ(e.size(), 1u) << b.key;
        EXPECT_NE(e[0].find(b.key), std::string::npos) << e[0];
    }
}

}  // namespace

namespace {

TEST(MilterPolicy, RuleSetBySenderThenRecipientDomain) {
    const ConfigLookup lookup = From({{"Milter.RuleSetFrom.boss@example.org", "vip"},
                                      {"Milter.RuleSetFrom.partner.example", "partner"},
                                      {"Milter.RuleSetFor.strict.example", "strict"},
                                      {"Milter.RuleSetFor.lab.example", "lab"}});
    const struct {
        const char* name;
        const char* sender;
        const char* recipient;
        const char* want;
    } cases[] = {
        {"sender address", "<Boss@Example.ORG>", "a@strict.example", "vip"},
        {"sender domain", "<x@partner.example>", "a@strict.example", "partner"},
        {"recipient domain", "<x@else.example>", "b@Lab.Example", "lab"},
        {"null sender", "<>", "a@strict.example", "strict"},
        {"nothing matches", "<x@else.example>", "a@plain.example", "default"},
        {"no recipient domain", "x@else.example", "postmaster", "default"},
        {"other address of the vip domain", "<clerk@example.org>", "a@plain.example", "default"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ChooseRuleSet(lookup, EnvelopeAddress(c.sender),
                                EnvelopeAddress(std::string("<") + c.recipient + ">"), "default"),
                  c.want)
            << c.name;
    }
    const Decision other = OtherRuleSetReply();
    EXPECT_EQ(other.rcode, "451");
    EXPECT_EQ(other.xcode, "4.7.1");
}

TEST(MilterPolicy, EnvelopeAddresses) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"<A@B.Example>", "a@b.example"}, {"a@b", "a@b"}, {"<>", ""}, {"<a@b", "a@b"}, {"", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(EnvelopeAddress(c.in), c.out) << c.in;
}

}  // namespace

namespace {

TEST(MilterPolicy, KeysOfAConfigurationText) {
    const std::string text =
        "# comment\n"
        "; comment\n"
        "DataDir = /var/lib/mailward\n"
        "Milter.OnVirus = reject\r\n"
        "  milter.ruleset.FOR.example.org=strict  \n"
        "Milter.VerdictField = \" X-Spaced \"\n"
        "Milter.HeaderRuleSet = \"\"\n"
        "\n"
        "Milter.Timeout = 5\n";
    MilterKeys keys;
    std::vector<std::string> errors;
    ASSERT_TRUE(
        ParseMilterKeys(text, "m.conf", {"Milter.Timeout=9", "Milter.Engine = off"}, keys, errors));
    EXPECT_TRUE(errors.empty());
    const ConfigLookup get = LookupIn(keys);
    EXPECT_EQ(get("Milter.OnVirus"), "reject");
    EXPECT_EQ(get("Milter.RuleSet.For.Example.Org"), "strict");
    EXPECT_EQ(get("Milter.VerdictField"), " X-Spaced ");
    EXPECT_EQ(get("Milter.HeaderRuleSet"), "\"\"");
    EXPECT_EQ(get("Milter.Timeout"), "9") << "the -O value comes after the file";
    EXPECT_EQ(get("Milter.Engine"), "off");
    EXPECT_EQ(get("DataDir"), "") << "only Milter.* keys are kept";

    MilterKeys bad;
    std::vector<std::string> badErrors;
    EXPECT_FALSE(ParseMilterKeys("Milter.OnVirus = reject\nno equals sign\n = x\n", "m.conf", {},
                                 bad, badErrors));
    ASSERT_EQ(badErrors.size(), 2u);
    EXPECT_EQ(badErrors[0].rfind("m.conf:2: ", 0), 0u) << badErrors[0];
    EXPECT_EQ(badErrors[1].rfind("m.conf:3: ", 0), 0u) << badErrors[1];
}

}  // namespace
