// exports.cpp - the exported C interface.
#include "mailward.h"
