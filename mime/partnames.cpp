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
#include "pf/platform.h"

namespace {

// The file system's own data stream, which a name may end in.
constexpr std::string_view DATA_STREAM_SUFFIX = "::$data";

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

// An RFC 2231 extended value split at its two apostrophes: the charset and
// the rest (the whole value, no charset, when they are missing).
std::string_view SplitCharset(std::string_view s, std::string_view* pCharset) {
    const std::size_t a = s.find('\'');
    const std::size_t b = a == std::string_view::npos ? a : s.find('\'', a + 1);
    if (b == std::string_view::npos) {
        *pCharset = std::string_view();
        return s;
    }
    *pCharset = s.substr(0, a);
    return s.substr(b + 1);
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

bool IsWide(const std::string& charset) {
    return charset == "utf-16" || charset == "ucs-2" || charset == "utf-32";
}

// Whether a value holds an encoded word in a bare "utf-16", "ucs-2" or
// "utf-32" (no byte order in the name): only then can the other byte order
// give another reading.
bool HasBareWideWord(std::string_view v) {
    for (std::size_t at = v.find("=?"); at != std::string_view::npos; at = v.find("=?", at + 2)) {
        const std::size_t q = v.find('?', at + 2);
        if (q != std::string_view::npos) {
            const std::string charset = pf::ascii_lower(v.substr(at + 2, q - at - 2));
            if (IsWide(charset.substr(0, charset.find('*')))) {
                return true;
            }
        }
    }
    return false;
}

// Collects the forms of the names of one value, into `names` or, for a
// name a limit cut, into `cut`.
class CNameForms {
  public:
    CNameForms(std::vector<std::string>& names, std::vector<std::string>* pCut)
        : m_names(names), m_pCut(pCut) {}

    // A name as it stands, decoded where it holds encoded words.
    void Add(const std::string& strName, bool bCut = false) {
        Put(strName, bCut);
        if (strName.find("=?") == std::string::npos) {
            return;
        }
        if (char* pDecoded = DecodeHeaderData(strName.c_str())) {
            Put(pDecoded, bCut);
            std::free(pDecoded);
        }
        Put(DecodeHeaderWords(strName, false), bCut);
        if (HasBareWideWord(strName)) {
            Put(DecodeHeaderWords(strName, true), bCut);
        }
    }

    // The bytes of an RFC 2231 value and their readings in its charset.
    void AddInCharset(std::string_view charset, const std::string& strBytes, bool bCut) {
        Add(strBytes, bCut);
        const std::string name = pf::ascii_lower(charset);
        std::string text;
        if (!name.empty() && pf::charset_to_utf8(name, strBytes, text)) {
            Add(text, bCut);
        }
        if (IsWide(name) &&
            pf::charset_to_utf8(name == "utf-32" ? "utf-32le" : "utf-16le", strBytes, text)) {
            Add(text, bCut);
        }
    }

  private:
    void Put(const std::string& strName, bool bCut) {
        std::vector<std::string>* pList = bCut ? m_pCut : &m_names;
        if (!pList) {
            return;
        }
        pList->push_back(strName);
        std::string strOpened = MimeOpenedName(strName);
        if (strOpened != strName) {
            pList->push_back(std::move(strOpened));
        }
    }

    std::vector<std::string>& m_names;
    std::vector<std::string>* m_pCut;
};

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

// Splits "base*N" or "base*N*"; false for any other form. An index past
// MAX_NAME_SEGMENTS is given as MAX_NAME_SEGMENTS + 1.
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
        n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(strName[i] - '0'),
                                  MAX_NAME_SEGMENTS + 1);
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

// The value of one segment as bytes; segment 0's charset in `pCharset`.
std::string SegmentBytes(const Segment& s, std::string_view* pCharset) {
    if (!s.encoded) {
        return s.value;
    }
    std::string_view charset;
    const std::string_view rest = s.index == 0 ? SplitCharset(s.value, &charset) : s.value;
    if (s.index == 0) {
        *pCharset = charset;
    }
    return PercentDecode(rest);
}

// The continuations of each parameter, sorted by base and index: each base
// joined whole (cut when an index passed the limit) and, when an index is
// missing, joined up to the gap as well.
template <class F>
void JoinSegments(std::vector<Segment>& segments, F emit) {
    std::stable_sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
        return a.base != b.base ? a.base < b.base : a.index < b.index;
    });
    std::size_t k = 0;
    while (k < segments.size()) {
        std::size_t e = k;
        while (e < segments.size() && segments[e].base == segments[k].base) {
            ++e;
        }
        std::string_view charset;
        std::string strAll, strToGap;
        bool bGap = false;
        bool bCut = false;
        for (std::size_t i = k; i < e; ++i) {
            const Segment& s = segments[i];
            if (s.index > MAX_NAME_SEGMENTS) {
                bCut = true;
                break;
            }
            const std::string strBytes = SegmentBytes(s, &charset);
            strAll += strBytes;
            bGap = bGap || s.index != i - k;
            if (!bGap) {
                strToGap += strBytes;
            }
        }
        emit(segments[k].base, charset, strAll, bCut);
        if (bGap) {
            emit(segments[k].base, charset, strToGap, false);
        }
        k = e;
    }
}

}  // namespace

std::string MimeOpenedName(std::string_view strName) {
    std::string s(strName.substr(0, strName.find('\0')));
    for (;;) {
        if (!s.empty() && (s.back() == ' ' || s.back() == '.')) {
            s.pop_back();
        } else if (s.size() >= DATA_STREAM_SUFFIX.size() &&
                   pf::equals_nocase(
                       std::string_view(s).substr(s.size() - DATA_STREAM_SUFFIX.size()),
                       DATA_STREAM_SUFFIX)) {
            s.resize(s.size() - DATA_STREAM_SUFFIX.size());
        } else {
            return s;
        }
    }
}

void MimeNamesOfValue(std::string_view strValue, std::vector<std::string>& names,
                      std::vector<std::string>* pCut) {
    CNameForms forms(names, pCut);
    std::vector<Segment> segments;
    for (Param& p : ParseParams(strValue)) {
        if (IsNameParam(p.name)) {
            forms.Add(p.value);
            continue;
        }
        if (p.name.size() > 1 && p.name.back() == '*' &&
            IsNameParam(std::string_view(p.name).substr(0, p.name.size() - 1))) {
            std::string_view charset;
            const std::string_view rest = SplitCharset(p.value, &charset);
            forms.AddInCharset(charset, PercentDecode(rest), false);
            continue;
        }
        Segment seg;
        if (ParseSegmentName(p.name, seg.base, seg.index, seg.encoded) && IsNameParam(seg.base)) {
            seg.value = std::move(p.value);
            segments.push_back(std::move(seg));
        }
    }
    JoinSegments(segments,
                 [&](const std::string&, std::string_view charset, const std::string& strBytes,
                     bool bCut) { forms.AddInCharset(charset, strBytes, bCut); });
}

std::vector<std::string> MimeParamValues(std::string_view strValue, std::string_view param) {
    std::vector<std::string> values;
    std::vector<Segment> segments;
    for (Param& p : ParseParams(strValue)) {
        if (p.name == param) {
            values.push_back(std::move(p.value));
            continue;
        }
        if (p.name.size() == param.size() + 1 && p.name.back() == '*' &&
            std::string_view(p.name).substr(0, param.size()) == param) {
            std::string_view charset;
            values.push_back(PercentDecode(SplitCharset(p.value, &charset)));
            continue;
        }
        Segment seg;
        if (ParseSegmentName(p.name, seg.base, seg.index, seg.encoded) && seg.base == param) {
            seg.value = std::move(p.value);
            segments.push_back(std::move(seg));
        }
    }
    JoinSegments(segments, [&](const std::string&, std::string_view, const std::string& strBytes,
                               bool) { values.push_back(strBytes); });
    return values;
}

MimeNameList MimePartNameList(const CMimePart& part) {
    MimeNameList list;
    try {
        std::vector<std::string> names, cut;
        const std::string strShown = part.GetName();
        if (!strShown.empty()) {
            names.push_back(strShown);
            std::string strOpened = MimeOpenedName(strShown);
            if (strOpened != strShown) {
                names.push_back(std::move(strOpened));
            }
        }
        // A uuencoded block has no fields; a container that is a body part
        // of a multipart counts as a block but keeps its fields.
        for (int nId : {MAILHDR_FLD_CONTENT_TYPE, MAILHDR_FLD_DISPOSITION}) {
            for (const mailhdr_fld* f = mailhdr_getfld(part.m_pHeader, nId); f; f = f->next) {
                // Unfolded as RFC 5322 says (the line breaks go, the white
                // space stays), and glued as some clients do.
                std::string strUnfolded, strGlued;
                for (const stringlist* l = f->lines; l; l = l->next) {
                    const std::string_view line = l->str ? l->str : "";
                    strUnfolded += line;
                    strGlued += l == f->lines ? line : pf::trim(line);
                }
                MimeNamesOfValue(strUnfolded, names, &cut);
                if (strGlued != strUnfolded) {
                    MimeNamesOfValue(strGlued, names, &cut);
                }
            }
        }
        for (auto [pFrom, pTo] : {std::pair{&names, &list.names}, {&cut, &list.cut}}) {
            std::unordered_set<std::string> seen;
            for (std::string& n : *pFrom) {
                if (!n.empty() && seen.insert(n).second) {
                    pTo->push_back(std::move(n));
                }
            }
        }
        return list;
    } catch (...) {
        return MimeNameList();
    }
}

std::vector<std::string> MimePartNames(const CMimePart& part) {
    return MimePartNameList(part).names;
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
