/*
 * blank_controls.cpp - MimeBlankControls (contract in blank_controls.h).
 */
#include "mailhdr/blank_controls.h"

namespace {
// The delete character, a control character outside the range below 32.
constexpr unsigned char DELETE_CHAR = 127;
// The first printable character.
constexpr unsigned char FIRST_PRINTABLE = 32;
}  // namespace

std::string MimeBlankControls(std::string_view text) {
    std::string strLine(text);
    for (char& c : strLine) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < FIRST_PRINTABLE || u == DELETE_CHAR) {
            c = ' ';
        }
    }
    return strLine;
}
