/*
 * cli_args.h - command-line options of the subcommands.
 *
 * Forms accepted: --name VALUE, --name=VALUE, -x VALUE, -xVALUE, grouped
 * short switches (-vv), and "--" to end the options. Options and operands
 * may be mixed. Unknown options and missing values are errors.
 */
#ifndef MAILWARD_TOOLS_CLI_ARGS_H
#define MAILWARD_TOOLS_CLI_ARGS_H

#include <string>
#include <utility>
#include <vector>

struct OptionSpec {
    int id;
    const char* longName;  // without "--"
    char shortName;        // 0: none
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::pair<int, std::string>> options;  // id, value ("" for switches)
    std::vector<std::string> operands;
};

// Parses argv[first..argc). False with `error` on a bad option.
bool ParseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
               ParsedArgs& out, std::string& error);

#endif
