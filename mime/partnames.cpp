/*
 * partnames.cpp - every file name a part carries (contract in partnames.h).
 *
 * A parameter list is read as RFC 2045 writes it and as tolerant clients
 * read it: after the main value, parameters are separated by ";", a name
 * ends at "=", a value is a quoted string (backslash escapes; the rest up to
 * the next ";" is passed over) or everything up to the next ";", white space
 * trimmed. A piece without "=" is passed over.
 */
#include "mime/partnames.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "codec/codec.h"
#include "mime/mimeinternal.h"
#include "mime/mimepart.h"

namespace {

struct Param {
    std::string name;   // lower case
    std::string value;  // quotes and escapes removed
};

std::vector<Param> ParseParams(std::string_view v) {
    std::vector<Param> params;
    std::size_t i = v.find(';');
    while (i < v.size()) {
        ++i;  // past the ";"
        const std::size_t nNameEnd = v.find_first_of("=;", i);
        if (nNameEnd == std::string_view::npos) {
            break;
        }
        if (v[nNameEnd] == ';') {
            i = nNameEnd;
            continue;
        }
        Param p;
        p.name = pf::ascii_lower(pf::trim(v.substr(i, nNameEnd - i)));
        i = nNameEnd + 1;
        while (i < v.size() && pf::is_blank_or_line_end(v[i])) {
            ++i;
        }
        if (i < v.size() && v[i] == '"') {
            for (++i; i < v.size() && v[i] != '"'; ++i) {
                if (v[i] == '\\' && i + 1 < v.size()) {
                    ++i;
                }
                p.value += v[i];
            }
            i = v.find(';', i);
        } else {
            const std::size_t e = v.find(';', i);
            p.value = std::string(pf::trim(v.substr(i, e == std::string_view::npos ? e : e - i)));
            i = e;
        }
        params.push_back(std::move(p));
    }
    return params;
}

// The value of an RFC 2231 extended parameter without its charset'language'.
std::string_view WithoutCharset(std::string_view s) {
    const std::size_t a = s.find('\'');
    const std::size_t b = a == std::string_view::npos ? a : s.find('\'', a + 1);
    return b == std::string_view::npos ? s : s.substr(b + 1);
}

// %XX of RFC 2231 is quoted-printable's =XX: a literal "=" is escaped and
// the quoted-printable decoder does the rest.
std::string PercentDecode(std::string_view s) {
    std::string strQP;
    strQP.reserve(s.size());
    for (char c : s) {
        if (c == '%') {
            strQP += '=';
        } else if (c == '=') {
            strQP += "=3D";
        } else {
            strQP += c;
        }
    }
    CQuotedPrintable codec;
    std::size_t n = 0;
    unsigned char* p = codec.Decode(strQP.data(), strQP.size(), &n);
    std::string out = p ? std::string(reinterpret_cast<char*>(p), n) : std::string(s);
    std::free(p);
    return out;
}

// Adds a name and, when it holds encoded words, its decoded form.
void AddName(const std::string& strName, std::vector<std::string>& names) {
    names.push_back(strName);
    if (strName.find("=?") != std::string::npos) {
        char* pDecoded = DecodeHeaderData(strName.c_str());
        if (pDecoded) {
            names.emplace_back(pDecoded);
            std::free(pDecoded);
        }
    }
}

// "name" or "filename": the parameters that carry a file name.
bool IsNameParam(std::string_view s) {
    return s == "name" || s == "filename";
}

// One continuation segment: name*N= or name*N*= (the star: %-encoded).
struct Segment {
    std::string base;
    std::size_t index;
    bool encoded;
    std::string value;
};

// Splits "base*N" or "base*N*"; false for any other form.
bool ParseSegmentName(const std::string& strName, std::string& strBase, std::size_t& nIndex,
                      bool& bEncoded) {
    const std::size_t star = strName.find('*');
    if (star == std::string::npos || star == 0) {
        return false;
    }
    std::size_t i = star + 1;
    std::size_t n = 0;
    const std::size_t nDigits = i;
    while (i < strName.size() && strName[i] >= '0' && strName[i] <= '9') {
        n = n * 10 + static_cast<std::size_t>(strName[i] - '0');
        if (n > MAX_NAME_SEGMENTS) {
            return false;
        }
        ++i;
    }
    if (i == nDigits) {
        return false;
    }
    bEncoded = i < strName.size() && strName[i] == '*';
    if (i + (bEncoded ? 1 : 0) != strName.size()) {
        return false;
    }
    strBase = strName.substr(0, star);
    nIndex = n;
    return true;
}

}  // namespace

void MimeNamesOfValue(std::string_view strValue, std::vector<std::string>& names) {
    std::vector<Segment> segments;
    for (Param& p : ParseParams(strValue)) {
        if (IsNameParam(p.name)) {
            AddName(p.value, names);
            continue;
        }
        if (p.name.size() > 1 && p.name.back() == '*' &&
            IsNameParam(std::string_view(p.name).substr(0, p.name.size() - 1))) {
            AddName(PercentDecode(WithoutCharset(p.value)), names);
            continue;
        }
        Segment seg;
        if (ParseSegmentName(p.name, seg.base, seg.index, seg.encoded) && IsNameParam(seg.base)) {
            seg.value = std::move(p.value);
            segments.push_back(std::move(seg));
        }
    }
    if (segments.empty()) {
        return;
    }
    std::stable_sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
        return a.base != b.base ? a.base < b.base : a.index < b.index;
    });
    std::string strJoined;
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const Segment& s = segments[k];
        if (s.encoded) {
            strJoined += PercentDecode(s.index == 0 ? WithoutCharset(s.value) : s.value);
        } else {
            strJoined += s.value;
        }
        if (k + 1 == segments.size() || segments[k + 1].base != s.base) {
            AddName(strJoined, names);
            strJoined.clear();
        }
    }
}

std::vector<std::string> MimeParamValues(std::string_view strValue, std::string_view param) {
    std::vector<std::string> values;
    for (Param& p : ParseParams(strValue)) {
        if (p.name == param) {
            values.push_back(std::move(p.value));
        }
    }
    return values;
}

std::vector<std::string> MimePartNames(const CMimePart& part) {
    std::vector<std::string> names;
    try {
        const std::string strShown = part.GetName();
        if (!strShown.empty()) {
            names.push_back(strShown);
        }
        {
            // A uuencoded block has no fields; a container that is a body
            // part of a multipart counts as a block but keeps its fields.
            for (int nId : {MAILHDR_FLD_CONTENT_TYPE, MAILHDR_FLD_DISPOSITION}) {
                for (const mailhdr_fld* f = mailhdr_getfld(part.m_pHeader, nId); f; f = f->next) {
                    // Unfolded as RFC 5322 says (the line breaks go, the
                    // white space stays), and glued as some clients do.
                    std::string strUnfolded, strGlued;
                    for (const stringlist* l = f->lines; l; l = l->next) {
                        const std::string_view line = l->str ? l->str : "";
                        strUnfolded += line;
                        strGlued += l == f->lines ? line : pf::trim(line);
                    }
                    MimeNamesOfValue(strUnfolded, names);
                    if (strGlued != strUnfolded) {
                        MimeNamesOfValue(strGlued, names);
                    }
                }
            }
        }
        std::vector<std::string> unique;
        std::unordered_set<std::string> seen;
        for (std::string& n : names) {
            if (!n.empty() && seen.insert(n).second) {
                unique.push_back(std::move(n));
            }
        }
        return unique;
    } catch (...) {
        return std::vector<std::string>();
    }
}

std::string MimeReportName(const CMimePart& part) {
    std::string strName = part.GetName();
    if (!strName.empty()) {
        return strName;
    }
    // GetName reads "name=" and "filename=" only; what else names the part
    // is one of the RFC 2231 forms.
    const std::vector<std::string> names = MimePartNames(part);
    return names.empty() ? std::string() : pf::blank_controls(names.front());
}
