/*
 * cli_options.cpp - the subcommands' option parsers (see cli_options.h).
 */
#include "common/cli_options.h"

#include <algorithm>
#include <vector>

#include "common/console.h"

std::unique_ptr<CLI::App> MakeCommand(const std::string& command, const std::string& description,
                                      const std::string& footer) {
    auto app = std::make_unique<CLI::App>(description, "mailward " + command);
    app->footer(footer);
    app->get_formatter()->column_width(30);
    return app;
}

void AddCommonOptions(CLI::App& app, CommonOptions& common, unsigned which) {
    if ((which & OPTION_CONFIG) != 0)
        app.add_option("-c,--config", common.configFile,
                       "configuration file (default: the embedded set-up)")
            ->type_name("FILE");
    if ((which & OPTION_RULES) != 0)
        app.add_option("--rules", common.rulesFile,
                       "rules file (default: the embedded example rules)")
            ->type_name("FILE");
    if ((which & OPTION_VALUE) != 0)
        app.add_option("-O,--option", common.overrides,
                       "one configuration value, after the file (repeatable)")
            ->type_name("KEY=VALUE")
            ->allow_extra_args(false);
    if ((which & OPTION_JSON) != 0)
        app.add_flag("--json", common.json, "one JSON object per line");
    if ((which & OPTION_LIBRARY) != 0)
        app.add_option("--library", common.library, "the mailward library to load")
            ->type_name("PATH");
    if ((which & OPTION_VERBOSE) != 0)
        app.add_flag("-v,--verbose", common.verbosity,
                     "also the library's info lines; -vv also its debug lines");
}

int ParseCommand(CLI::App& app, int argc, char** argv, int first) {
    // CLI11 takes the arguments in reverse order when given as a list.
    std::vector<std::string> args;
    for (int i = argc - 1; i >= first; --i)
        args.emplace_back(argv[i]);
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            Console::Get().Out(app.help());
            return EXIT_CLEAN;
        }
        Console::Get().Err(app.get_name() + ": " + e.what() + "\n(" + app.get_name() +
                           " --help lists its options)");
        return EXIT_ERRORS;
    }
    return PARSE_GO_ON;
}
