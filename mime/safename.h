/*
 * safename.h - reduces a file name taken from a mail to a name that is safe
 * to create inside a folder of our choosing.
 *
 * Names of parts (CMimePart::GetName) come from hostile mails: they are data,
 * never paths. MimeSafeFileName keeps only the last path component and
 * removes from it
 *   - everything up to the last "/" or "\" (directory parts, "..\.." too),
 *   - a drive prefix such as "C:" and every other ":" (streams on NTFS),
 *   - control characters (below 32, and 127) and the characters Windows
 *     refuses in names: < > " | ? *,
 *   - blanks and dots at both ends (Windows drops trailing ones, leading
 *     dots would make a hidden file, a name of dots alone such as ".."
 *     vanishes),
 *   - the reserved device names of Windows (CON, PRN, AUX, NUL, COM1-9,
 *     LPT1-9, CONIN$, CONOUT$, also with an extension): such a name gets a
 *     "_" in front. This is done on every platform, so that a saved file can
 *     be copied to Windows later.
 * Names longer than SAFE_NAME_MAX bytes are cut, keeping an extension of up
 * to SAFE_NAME_EXT_MAX bytes. An empty result becomes "unnamed". Bytes of
 * 128 and more are kept as they are (names are 8-bit strings).
 */
#ifndef MAILWARD_SAFENAME_H
#define MAILWARD_SAFENAME_H

#include <cstddef>
#include <string>

// Longest safe name, in bytes (well below every file system's component limit).
constexpr std::size_t SAFE_NAME_MAX = 200;
// Longest extension (with its dot) kept when a long name is cut.
constexpr std::size_t SAFE_NAME_EXT_MAX = 16;
// The name given when nothing of the original is left.
constexpr const char* SAFE_NAME_EMPTY = "unnamed";

// A null name gives SAFE_NAME_EMPTY.
std::string MimeSafeFileName(const char* pszName);

#endif
