// misc.cpp - cbcontext_free and the small system helpers of the support library.
#include "qorcsock.h"

#include <cstdlib>

extern "C" QORCSOCK_API void cbcontext_free(void* block) { std::free(block); }
