/*
 * vaveriz_test_util.h - shared pieces of the engine tests.
 *
 *   EicarText()       the EICAR anti-virus test string (put together at run
 *                     time, so this source file is no test virus itself)
 *   NdbLine(name, b)  an .ndb line that finds the bytes `b` at any offset
 *   TESTFILES_DIR     where Debian's clamav-testfiles puts its samples
 *   TestfileNames()   the sample file names, sorted (empty when missing)
 */
#ifndef VAVERIZ_TEST_UTIL_H
#define VAVERIZ_TEST_UTIL_H

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace vztest {

inline const char* TESTFILES_DIR = "/usr/share/clamav-testfiles";

inline std::string EicarText() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!" +
           "$H+H*";
}

inline std::string NdbLine(const std::string& name, const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string line = name + ":0:*:";
    for (unsigned char c : bytes) {
        line += digits[c >> 4];
        line += digits[c & 15];
    }
    return line + "\n";
}

inline std::vector<std::string> TestfileNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(TESTFILES_DIR, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file())
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace vztest

#endif
