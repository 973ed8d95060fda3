/*
 * commands.h - the subcommands of the mailward program. Each takes the
 * whole argv, the index of its first own argument and the folder of the
 * executable, and returns the exit status (host_session.h).
 */
#ifndef MAILWARD_TOOLS_COMMANDS_H
#define MAILWARD_TOOLS_COMMANDS_H

#include <string>

int RunCheck(int argc, char** argv, int first, const std::string& exeDir);
int RunCheckHeader(int argc, char** argv, int first, const std::string& exeDir);
int RunDecodeHeader(int argc, char** argv, int first, const std::string& exeDir);
int RunRules(int argc, char** argv, int first, const std::string& exeDir);
int RunConfig(int argc, char** argv, int first, const std::string& exeDir);
int RunQuarantine(int argc, char** argv, int first, const std::string& exeDir);

// The configuration file of the installed service, which "mailward config
// check" reads when no -c is given.
#define SERVICE_CONFIG "/etc/mailward/mailward.conf"
// `given`, or SERVICE_CONFIG where it exists and nothing was given.
std::string DefaultServiceConfig(const std::string& given);

#endif
