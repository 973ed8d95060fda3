/*
 * cmd_config.cpp - "mailward config check": the configuration as the
 * programs take it, checked whole and printed with where each value came
 * from.
 *
 *   mailward config check [-c FILE] [-O KEY=VALUE]... [--rules FILE]
 *
 * Without -c the installed service's file (SERVICE_CONFIG) when it exists,
 * else none (the embedded set-up). Checked: every key of the file and of
 * -O (unknown keys with file and line and the key meant, values by kind and
 * range; the milter's keys too, so one file serves both programs), and the
 * rules file with the library (its FILE:LINE: reasons). Then the library's
 * keys and the mailward program's are printed as config_report.h writes
 * them (mailward-milter --check-config prints the milter's as well).
 *
 * Exit status: 0 the configuration is good, 2 it is not.
 */
#include <filesystem>

#include "commands.h"
#include "common/cli_options.h"
#include "common/config_report.h"
#include "common/console.h"
#include "common/host_session.h"

namespace {

const char* const kDescription =
    "Checks the configuration (file, -O values, rules file) as the programs take it\n"
    "and prints every key in force with where its value came from.";
const char* const kFooter = "Without -c: " SERVICE_CONFIG
                            " when it exists.\n"
                            "Exit status: 0 the configuration is good, 2 it is not.\n";

}  // namespace

std::string DefaultServiceConfig(const std::string& given) {
    std::error_code ec;
    if (!given.empty() || !std::filesystem::is_regular_file(SERVICE_CONFIG, ec))
        return given;
    return SERVICE_CONFIG;
}

int RunConfig(int argc, char** argv, int first, const std::string& exeDir) {
    Console& console = Console::Get();
    CommonOptions common;
    auto app = MakeCommand("config", "The configuration of the programs.", "");
    app->require_subcommand(1, 1);
    CLI::App* check = app->add_subcommand("check", kDescription);
    check->footer(kFooter);
    AddCommonOptions(*check, common,
                     OPTION_CONFIG | OPTION_RULES | OPTION_VALUE | OPTION_LIBRARY | OPTION_VERBOSE);
    if (const int status = ParseCommand(*app, argc, argv, first); status != PARSE_GO_ON)
        return status;
    common.configFile = DefaultServiceConfig(common.configFile);

    HostSession session(exeDir);
    session.InstallLog(common.verbosity);
    std::vector<ConfigEntry> entries;
    std::vector<std::string> errors;
    if (!session.Configure(common))
        return EXIT_ERRORS;
    CheckConfiguration(common.configFile, common.overrides, entries, errors);
    if (!session.LoadLibrary(common) || !session.LoadRules(common))
        return EXIT_ERRORS;
    console.Out("# mailward " MAILWARD_VERSION ": the configuration in force (" +
                (common.configFile.empty() ? std::string("no file") : common.configFile) + ")\n" +
                EffectiveConfiguration(entries, false) + "\n# rules: " + session.RulesName() +
                ", " + std::to_string(session.Book().sets.size()) + " sets, " +
                std::to_string(session.Book().rules.size()) + " rules\n");
    return EXIT_CLEAN;
}
