/*
 * qorcsock_impl.h - helpers shared by the sources of the support library; not
 * part of its interface and not installed.
 *
 *   qs_vformat(out, format, args)   formats printf-style into a std::string
 *                                   of any length (vsnprintf, then a second
 *                                   pass into an exactly sized buffer when
 *                                   the first did not fit). False on a bad
 *                                   format or when the text would exceed
 *                                   QS_FORMAT_MAX characters.
 * Every text handed to a caller is a malloc'ed copy (pf::copy_terminated),
 * so that cbcontext_free (free) releases it.
 *   qs_tolower(c)                   ASCII-only lower case; bytes >= 0x80 and
 *                                   all other bytes stay as they are, so the
 *                                   result never depends on the C locale.
 */
#ifndef QORCSOCK_IMPL_H
#define QORCSOCK_IMPL_H

#include <cstdarg>
#include <cstddef>
#include <string>

#include "pf/text.h"

// vsnprintf reports lengths as int; nothing we format may come near that.
constexpr size_t QS_FORMAT_MAX = 0x7fffffff;

bool qs_vformat(std::string& out, const char* format, va_list args);

inline unsigned char qs_tolower(unsigned char c) {
    return static_cast<unsigned char>(pf::ascii_lower(static_cast<char>(c)));
}

#endif
