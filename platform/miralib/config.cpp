// config.cpp - the host library's configuration store.
#include "miralib.h"
