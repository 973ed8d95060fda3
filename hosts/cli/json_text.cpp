/*
 * json_text.cpp - JSON string escaping (8-bit safe) and the object and
 * array builders of json_text.h.
 */
#include "json_text.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `s` (1 to 4), or 0 when the bytes
// there are no valid sequence (overlong forms, surrogates and code points
// above U+10FFFF are refused, as a strict JSON reader would).
std::size_t Utf8Length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80)
        return 1;
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string Escape(unsigned int value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", value);
    return buf;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                ++i;
                continue;
            case '\\':
                out += "\\\\";
                ++i;
                continue;
            case '\n':
                out += "\\n";
                ++i;
                continue;
            case '\r':
                out += "\\r";
                ++i;
                continue;
            case '\t':
                out += "\\t";
                ++i;
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7F) {
            out += Escape(c);
            ++i;
            continue;
        }
        const std::size_t n = Utf8Length(text.substr(i));
        if (n == 0) {
            out += Escape(c);  // a stray 8-bit byte, read as Latin-1
            ++i;
            continue;
        }
        out.append(text.data() + i, n);
        i += n;
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
    if (!m_body.empty())
        m_body += ',';
    m_body += JsonString(key);
    m_body += ':';
    m_body += json;
    return *this;
}

JsonObject& JsonObject::AddString(std::string_view key, std::string_view value) {
    return AddRaw(key, JsonString(value));
}

JsonObject& JsonObject::AddStringOrNull(std::string_view key, const std::string* value) {
    return value != nullptr ? AddString(key, *value) : AddRaw(key, "null");
}

JsonObject& JsonObject::AddInt(std::string_view key, long long value) {
    return AddRaw(key, std::to_string(value));
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
    return AddRaw(key, value ? "true" : "false");
}

JsonArray& JsonArray::AddRaw(std::string_view json) {
    if (!m_body.empty())
        m_body += ',';
    m_body += json;
    return *this;
}
