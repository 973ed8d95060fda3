/*
 * milter_check.cpp - the milter's configuration check (see milter_check.h).
 */
#include "milter_check.h"

#include <cstdio>
#include <set>
#include <vector>

#include "common/config_report.h"
#include "common/spam_list.h"
#include "milter_settings.h"

namespace {

void Problem(const std::string& line) {
    std::fprintf(stderr, "mailward-milter: %s\n", line.c_str());
}

// The rule sets the settings name, each once.
std::set<std::string> NamedSets(const MilterSettings& settings, const MilterKeys& keys) {
    std::set<std::string> sets = {settings.ruleSet};
    if (!settings.headerRuleSet.empty())
        sets.insert(settings.headerRuleSet);
    for (const auto& [key, value] : keys) {
        if ((key.rfind("milter.rulesetfor.", 0) == 0 || key.rfind("milter.rulesetfrom.", 0) == 0) &&
            !value.empty())
            sets.insert(value);
    }
    return sets;
}

}  // namespace

int RunCheckConfig(MainOptions& o, const std::string& exeDir) {
    MakePathsAbsolute(o);
    HostSession session(exeDir);
    session.InstallLog(o.common.verbosity);
    if (!session.Configure(o.common))
        return EXIT_ERRORS;
    MilterKeys keys;
    MilterSettings settings;
    std::vector<std::string> errors;
    if (!LoadMilterSettings(o.common.configFile, o.common.overrides, keys, settings, errors)) {
        for (const std::string& e : errors)
            Problem(e);
        return EXIT_ERRORS;
    }
    if (!session.LoadLibrary(o.common) || !session.LoadRules(o.common))
        return EXIT_ERRORS;
    bool good = true;
    for (const std::string& set : NamedSets(settings, keys)) {
        if (const std::string missing = session.MissingSet(set); !missing.empty()) {
            Problem(missing);
            good = false;
        }
    }
    std::string listLine = "# spam list: none";
    if (!o.spamListFile.empty()) {
        SpamList list;
        std::vector<std::string> listErrors;
        if (!list.Load(o.spamListFile, listErrors)) {
            for (const std::string& e : listErrors)
                Problem(e);
            good = false;
        }
        listLine = "# spam list: " + o.spamListFile;
    }
    if (!good)
        return EXIT_ERRORS;
    std::vector<ConfigEntry> entries;
    CheckConfiguration(o.common.configFile, o.common.overrides, entries, errors);
    std::string text =
        "# mailward-milter " MAILWARD_VERSION ": the configuration in force (" +
        (o.common.configFile.empty() ? std::string("no file") : o.common.configFile) + ")\n" +
        EffectiveConfiguration(entries, true) + "\n# rules: " + session.RulesName() + ", " +
        std::to_string(session.Book().sets.size()) + " sets, " +
        std::to_string(session.Book().rules.size()) + " rules\n" + listLine + "\n";
    std::fputs(text.c_str(), stdout);
    return EXIT_CLEAN;
}
