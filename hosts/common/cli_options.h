/*
 * cli_options.h - the command-line options of the subcommands, on CLI11.
 *
 * Every subcommand builds its own CLI::App with exactly the options it
 * uses, so an option of another command is an error there, not silently
 * ignored. Options shared by several commands are added through
 * AddCommonOptions with the set of them the command takes; their names,
 * value names and help texts are written once, here.
 *
 * Forms accepted (CLI11): --name VALUE, --name=VALUE, -x VALUE, -xVALUE,
 * grouped short switches (-vv), options and operands mixed, "--" ends the
 * options. -O may be given any number of times, one KEY=VALUE each.
 * Unknown options, missing values and values out of range are errors.
 *
 * ParseCommand parses argv[first..argc) and returns PARSE_GO_ON, or the
 * exit status to end with: EXIT_CLEAN after printing --help (the command's
 * help with its footer), EXIT_ERRORS after printing "mailward CMD: reason"
 * and where to find the options.
 */
#ifndef MAILWARD_TOOLS_CLI_OPTIONS_H
#define MAILWARD_TOOLS_CLI_OPTIONS_H

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

#include "common/host_session.h"

// The shared options a command takes (bits for AddCommonOptions).
enum CommonOption : unsigned {
    OPTION_CONFIG = 1u << 0,   // -c, --config FILE
    OPTION_RULES = 1u << 1,    // --rules FILE
    OPTION_VALUE = 1u << 2,    // -O, --option KEY=VALUE (repeatable)
    OPTION_JSON = 1u << 3,     // --json
    OPTION_LIBRARY = 1u << 4,  // --library PATH
    OPTION_VERBOSE = 1u << 5,  // -v, --verbose (counted)
};

// A command's option parser: "mailward CMD" with its one-line description
// and the footer printed at the end of --help.
std::unique_ptr<CLI::App> MakeCommand(const std::string& command, const std::string& description,
                                      const std::string& footer);

void AddCommonOptions(CLI::App& app, CommonOptions& common, unsigned which);

constexpr int PARSE_GO_ON = -1;
int ParseCommand(CLI::App& app, int argc, char** argv, int first);

#endif
