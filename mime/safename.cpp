/*
 * safename.cpp - MimeSafeFileName: a file name from a mail reduced to a safe
 * last path component (contract in safename.h).
 */
#include "mime/safename.h"

#include <cstring>

#include "mime/mimeinternal.h"

namespace {

bool IsRefused(unsigned char c) {
    return c < 32 || c == 127 || c == ':' || c == '<' || c == '>' || c == '"' || c == '|' ||
           c == '?' || c == '*';
}

// True when the part of `name` in front of its first dot is a device name of
// Windows (ASCII case ignored).
bool IsDeviceName(const std::string& strName) {
    static const char* const s_devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    std::string strStem = pf::ascii_lower(strName.substr(0, strName.find('.')));
    // "COM1 .txt" is the device too: Windows drops blanks before the dot.
    std::string::size_type nLast = strStem.find_last_not_of(' ');
    strStem.erase(nLast == std::string::npos ? 0 : nLast + 1);
    for (const char* pszDevice : s_devices) {
        if (strStem == pszDevice) {
            return true;
        }
    }
    return strStem.size() == 4 &&
           (strStem.compare(0, 3, "com") == 0 || strStem.compare(0, 3, "lpt") == 0) &&
           strStem[3] >= '1' && strStem[3] <= '9';
}

}  // namespace

std::string MimeSafeFileName(const char* pszName) {
    std::string strName = pszName ? pszName : "";
    // Only the last path component is a name; "..", "C:\" and the like go
    // with the directory part.
    std::string::size_type nSep = strName.find_last_of("/\\");
    if (nSep != std::string::npos) {
        strName.erase(0, nSep + 1);
    }
    // A drive prefix ("C:name" names a file in the current folder of C:).
    if (strName.size() >= 2 && strName[1] == ':' &&
        ((strName[0] >= 'a' && strName[0] <= 'z') || (strName[0] >= 'A' && strName[0] <= 'Z'))) {
        strName.erase(0, 2);
    }
    std::string strSafe;
    for (char c : strName) {
        if (!IsRefused(static_cast<unsigned char>(c))) {
            strSafe += c;
        }
    }
    strSafe = std::string(pf::trim(strSafe, " ."));
    if (!strSafe.empty() && IsDeviceName(strSafe)) {
        strSafe = "_" + strSafe;
    }
    if (strSafe.size() > SAFE_NAME_MAX) {
        std::string::size_type nDot = strSafe.rfind('.');
        std::string strExt;
        if (nDot != std::string::npos && strSafe.size() - nDot <= SAFE_NAME_EXT_MAX) {
            strExt = strSafe.substr(nDot);
        }
        strSafe =
            std::string(pf::trim(strSafe.substr(0, SAFE_NAME_MAX - strExt.size()), " .")) + strExt;
    }
    return strSafe.empty() ? std::string(SAFE_NAME_EMPTY) : strSafe;
}
