/*
 * config_reference.h - the configuration reference (docs/configuration.md)
 * and the manual page mailward.conf(5) as the key tables make them: the
 * host library's (miraconf_key_info, miraconf_key_range) and the programs'
 * (HostKeyTable of hosts/common/host_keys.h).
 *
 *   ConfigurationReference()  the whole Markdown text: a table of every key
 *                             of each table (name, kind with its range or
 *                             words, default) and a section per key with
 *                             its meaning and who reads it.
 *
 * The program config_reference prints it (scripts/config-reference.sh writes
 * it into docs/), and the host library's tests compare the file in the tree
 * with it. Never throws but std::bad_alloc.
 */
#ifndef MAILWARD_CONFIG_REFERENCE_H
#define MAILWARD_CONFIG_REFERENCE_H

#include <string>

std::string ConfigurationReference();
// The text of the manual page mailward.conf(5), in the layout man_page.h
// reads: every key of both tables with its kind, default and meaning.
std::string ConfigurationManText();

#endif
