/*
 * ndb_line.h - one line of a ClamAV body signature database (.ndb) for the
 * engine tests: NdbLine(name, bytes) finds `bytes` at any offset of any
 * file type.
 */
#ifndef MAILWARD_TESTS_NDB_LINE_H
#define MAILWARD_TESTS_NDB_LINE_H

#include <string>

namespace pftest {

inline std::string NdbLine(const std::string& name, const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string line = name + ":0:*:";
    for (unsigned char c : bytes) {
        line += digits[c >> 4];
        line += digits[c & 15];
    }
    return line + "\n";
}

}  // namespace pftest

#endif
