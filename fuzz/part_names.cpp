/*
 * part_names.cpp - fuzz target for the attachment-name reader
 * (mime/partnames.h), which the attachment rules trust to see every name a
 * mail client would.
 *
 * The whole input is read as one Content-Type or Content-Disposition value
 * (zero bytes and line ends included). These must hold (else abort):
 *   - every value of a "name" or "filename" parameter (MimeParamValues)
 *     is among the names MimeNamesOfValue gives, or among the names a
 *     limit cut (a segment number past the limit), and one holding an
 *     encoded word is listed decoded as well.
 * The input, cut at its first NUL byte and to MAX_NAME bytes, is then taken
 * as a file name N and written in each form a sender may choose; reading
 * each back must list N:
 *   filename="N" (quotes and backslashes escaped), name*=utf-8''%XX...
 *   (every byte %-encoded), name*0*=utf-8''%XX...; name*1*=%XX... and
 *   filename*0="..."; filename*1="..." (the segments given out of order,
 *   N cut where its last byte says).
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec.h"
#include "mime/partnames.h"

namespace {

// Longest name taken from the input for the written forms.
constexpr std::size_t MAX_NAME = 512;

void Check(bool ok) {
    if (!ok)
        std::abort();
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names) {
        if (n == name)
            return true;
    }
    return false;
}

// The names of `value`, those a limit cut among them.
std::vector<std::string> NamesOf(const std::string& value) {
    std::vector<std::string> names, cut;
    MimeNamesOfValue(value, names, &cut);
    names.insert(names.end(), cut.begin(), cut.end());
    return names;
}

std::string Quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Percent(std::string_view s) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += '%';
        out += HEX[c >> 4];
        out += HEX[c & 15];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> names = NamesOf(value);
    for (const char* param : {"name", "filename"}) {
        for (const std::string& v : MimeParamValues(value, param)) {
            Check(Has(names, v));
            if (v.find("=?") == std::string::npos)
                continue;
            char* decoded = DecodeHeaderData(v.c_str());
            Check(decoded != nullptr && Has(names, decoded));
            std::free(decoded);
        }
    }

    std::string name(value.c_str());
    if (name.size() > MAX_NAME)
        name.resize(MAX_NAME);
    if (name.empty())
        return 0;
    const std::size_t cut = static_cast<unsigned char>(name.back()) % (name.size() + 1);
    const std::string_view head = std::string_view(name).substr(0, cut);
    const std::string_view tail = std::string_view(name).substr(cut);
    const std::string forms[] = {
        "application/octet-stream; filename=" + Quoted(name),
        "attachment; name*=utf-8''" + Percent(name),
        "attachment; name*1*=" + Percent(tail) + "; name*0*=utf-8''" + Percent(head),
        "attachment; filename*1=" + Quoted(tail) + "; filename*0=" + Quoted(head),
    };
    for (const std::string& form : forms)
        Check(Has(NamesOf(form), name));
    return 0;
}
