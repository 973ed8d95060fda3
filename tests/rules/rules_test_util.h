/*
 * rules_test_util.h - helpers of the rule engine's tests: header records
 * parsed line by line, part trees parsed from mail text, and single parts
 * holding given data.
 */
#ifndef MAILWARD_RULES_TEST_UTIL_H
#define MAILWARD_RULES_TEST_UTIL_H

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"
#include "mime/mimepart.h"
#include "platform.h"

using Strings = std::vector<std::string>;

struct HdrDeleter {
    void operator()(mailhdr* hdr) const { mailhdr_free(hdr); }
};
using HdrPtr = std::unique_ptr<mailhdr, HdrDeleter>;

// A line led by white space continues the field before it.
inline HdrPtr MakeHeader(std::initializer_list<const char*> lines) {
    HdrPtr hdr(mailhdr_alloc());
    for (const char* line : lines)
        mailhdr_parseline(hdr.get(), line);
    return hdr;
}

// A part tree from mail text with LF ends; null when the parser refuses it.
inline std::unique_ptr<CMimePart> ParsePart(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    auto part = std::make_unique<CMimePart>(nullptr);
    try {
        if (!part->Parse(buffer.data(), buffer.data() + text.size()))
            return nullptr;
    } catch (...) {
        return nullptr;
    }
    return part;
}

// A single part with transfer encoding `cte` (none for null) holding `data`.
inline std::unique_ptr<CMimePart> TextPart(const char* cte, const std::string& data) {
    auto part = std::make_unique<CMimePart>(nullptr);
    if (cte != nullptr)
        part->SetHeader(MAILHDR_FLD_CTE, cte);
    part->m_pData = pf::strdup(data.c_str());
    return part;
}

#endif
