/*
 * milter_check.h - mailward-milter --check-config: the configuration, the
 * rules file and the spam list checked as a start of the milter checks
 * them, without starting anything, and the configuration in force printed
 * with where each value came from (config_report.h).
 *
 * Checked: every key of the file and of -O (unknown keys with file, line
 * and the key meant; values by kind and range), the Milter.* settings as
 * the milter reads them, the rules file with the library, that every rule
 * set the settings name (Milter.RuleSet, Milter.HeaderRuleSet and each
 * Milter.RuleSetFor / RuleSetFrom value) is in the rules file, and the spam
 * list. Problems go to stderr, one a line.
 *
 * Returns the exit status: EXIT_CLEAN when all is good, EXIT_ERRORS when not.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_CHECK_H
#define MAILWARD_HOSTS_MILTER_MILTER_CHECK_H

#include <string>

#include "milter_options.h"

int RunCheckConfig(MainOptions& o, const std::string& exeDir);

#endif
