/*
 * cli_args.cpp - the option parser of cli_args.h.
 */
#include "cli_args.h"

#include <cstring>

namespace {

const OptionSpec* FindLong(const std::vector<OptionSpec>& specs, const std::string& name) {
    for (const OptionSpec& s : specs) {
        if (name == s.longName)
            return &s;
    }
    return nullptr;
}

const OptionSpec* FindShort(const std::vector<OptionSpec>& specs, char c) {
    for (const OptionSpec& s : specs) {
        if (s.shortName != 0 && s.shortName == c)
            return &s;
    }
    return nullptr;
}

}  // namespace

bool ParseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
               ParsedArgs& out, std::string& error) {
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg[1] == '-') {
            const std::size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? eq : eq - 2);
            const OptionSpec* spec = FindLong(specs, name);
            if (spec == nullptr) {
                error = "unknown option --" + name;
                return false;
            }
            if (!spec->takesValue) {
                if (eq != std::string::npos) {
                    error = "option --" + name + " takes no value";
                    return false;
                }
                out.options.emplace_back(spec->id, "");
            } else if (eq != std::string::npos) {
                out.options.emplace_back(spec->id, arg.substr(eq + 1));
            } else if (i + 1 < argc) {
                out.options.emplace_back(spec->id, argv[++i]);
            } else {
                error = "option --" + name + " needs a value";
                return false;
            }
            continue;
        }
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const OptionSpec* spec = FindShort(specs, arg[k]);
            if (spec == nullptr) {
                error = std::string("unknown option -") + arg[k];
                return false;
            }
            if (!spec->takesValue) {
                out.options.emplace_back(spec->id, "");
                continue;
            }
            if (k + 1 < arg.size()) {
                out.options.emplace_back(spec->id, arg.substr(k + 1));
            } else if (i + 1 < argc) {
                out.options.emplace_back(spec->id, argv[++i]);
            } else {
                error = std::string("option -") + arg[k] + " needs a value";
                return false;
            }
            break;
        }
    }
    return true;
}
