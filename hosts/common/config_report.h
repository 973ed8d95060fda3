/*
 * config_report.h - the configuration in force, as "mailward config check"
 * and "mailward-milter --check-config" print it: one line per key of the
 * library and of the programs, its value and where the value came from.
 *
 *   # /etc/mailward/mailward.conf:12     (or "-O", "the program's default",
 *   KEY = VALUE                           "default")
 *   # KEY has no value (default: none: the local host name)
 *
 * The print is a configuration file itself, which gives the same values:
 * the origin stands on a comment line above its key (the file syntax has
 * no comment after a value), and a value with blanks at either end, an
 * empty one or one that starts with a quote is written in quotes. Keys of a family
 * (Milter.RuleSetFor.DOMAIN) are listed as the configuration names them (`entries`,
 * CheckConfiguration's). With `milterKeys` false the milter's keys are left out (the mailward
 * program does not read them; its check still refuses an unknown one).
 *
 * Values are read from the host library's store: call it after the
 * configuration was set up (SetUpHostConfig).
 */
#ifndef MAILWARD_HOSTKIT_CONFIG_REPORT_H
#define MAILWARD_HOSTKIT_CONFIG_REPORT_H

#include <string>
#include <vector>

#include "common/host_keys.h"

std::string EffectiveConfiguration(const std::vector<ConfigEntry>& entries, bool milterKeys);

// `value` as a configuration file would have to write it.
std::string ConfigFileValue(const std::string& value);

#endif
