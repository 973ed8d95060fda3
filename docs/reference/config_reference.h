/*
 * config_reference.h - the configuration reference (docs/configuration.md)
 * as the key table of the host library makes it.
 *
 *   ConfigurationReference()  the whole Markdown text: a table of every key
 *                             listed by miraconf_key_info (name, kind,
 *                             default) and a section per key with its
 *                             meaning and who reads it.
 *
 * The program config_reference prints it (scripts/config-reference.sh writes
 * it into docs/), and the host library's tests compare the file in the tree
 * with it. Never throws but std::bad_alloc.
 */
#ifndef MAILWARD_CONFIG_REFERENCE_H
#define MAILWARD_CONFIG_REFERENCE_H

#include <string>

std::string ConfigurationReference();

#endif
