// platform_posix.cpp - the operating-system calls of mailward on POSIX.
#include "platform.h"
