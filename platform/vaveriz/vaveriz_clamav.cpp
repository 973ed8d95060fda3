// vaveriz_clamav.cpp - the virus engine interface backed by libclamav.
#include "vaveriz.h"
