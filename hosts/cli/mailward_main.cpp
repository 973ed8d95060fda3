/*
 * mailward_main.cpp - the mailward command-line host.
 *
 * A host program for the mailward library that uses it exactly as a mail
 * server does: the library is loaded at run time and used only through its
 * exported C interface (mailward.h); configuration and logging go through
 * the host's own libraries (miralib, qorcsock).
 *
 *   mailward check [options] MAIL|DIR...      check mails (cmd_check.cpp)
 *   mailward check-header [--set S] MAIL...   header rule of a mail
 *   mailward decode-header TEXT...            decode encoded words
 *   mailward rules [--rules FILE]             check and list a rules file
 *   mailward config check [-c FILE]           the configuration in force
 *   mailward quarantine list | show ID | release ID [--to ADDR] | delete ID
 *                       | expire DAYS         held mails (cmd_quarantine.cpp)
 *   mailward help | --help, mailward --version
 *
 * Exit status: 0 clean, 1 something found or changed, 2 errors.
 */
#include <cstring>
#include <string>

#include "commands.h"
#include "common/console.h"
#include "common/host_session.h"
#include "common/library_loader.h"

namespace {

#ifndef MAILWARD_VERSION
#define MAILWARD_VERSION "0.1.0"
#endif

const char* const kUsage =
    "usage: mailward COMMAND [options] ...\n"
    "\n"
    "Commands:\n"
    "  check [options] MAIL|DIR...     check mails as a mail server would\n"
    "  check-header [--set S] MAIL...  the header rule that applies to a mail\n"
    "  decode-header TEXT...           decode RFC 2047 encoded words\n"
    "  rules [--rules FILE]            check a rules file and list its rules\n"
    "  config check [-c FILE]          check the configuration, print it in force\n"
    "  quarantine list | show ID | release ID [--to ADDR] | delete ID | expire DAYS\n"
    "                                  the mails held by mailward-milter and check\n"
    "  help                            this text\n"
    "\n"
    "\"mailward COMMAND --help\" shows the options of a command.\n"
    "With no --config and no --rules, an embedded set-up is used: the shipped\n"
    "signatures and template, a data folder below $XDG_STATE_HOME (or\n"
    "~/.local/state/mailward) and the example rule set of share/examples/rules.conf.\n";

}  // namespace

int main(int argc, char** argv) {
    const std::string exeDir = ExecutableDir(argc > 0 ? argv[0] : nullptr);
    if (argc < 2) {
        Console::Get().Err(kUsage);
        return EXIT_ERRORS;
    }
    const std::string command = argv[1];
    try {
        if (command == "check")
            return RunCheck(argc, argv, 2, exeDir);
        if (command == "check-header")
            return RunCheckHeader(argc, argv, 2, exeDir);
        if (command == "decode-header")
            return RunDecodeHeader(argc, argv, 2, exeDir);
        if (command == "rules")
            return RunRules(argc, argv, 2, exeDir);
        if (command == "config")
            return RunConfig(argc, argv, 2, exeDir);
        if (command == "quarantine")
            return RunQuarantine(argc, argv, 2, exeDir);
        if (command == "help" || command == "--help" || command == "-h") {
            Console::Get().Out(kUsage);
            return EXIT_CLEAN;
        }
        if (command == "--version") {
            Console::Get().Out(std::string("mailward ") + MAILWARD_VERSION + "\n");
            return EXIT_CLEAN;
        }
    } catch (const std::exception& e) {
        Console::Get().Err(std::string("mailward: ") + e.what());
        return EXIT_ERRORS;
    }
    Console::Get().Err("mailward: unknown command '" + command + "'\n\n" + kUsage);
    return EXIT_ERRORS;
}
