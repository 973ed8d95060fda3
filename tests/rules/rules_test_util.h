/*
 * rules_test_util.h - helpers of the rule engine's tests: header records
 * parsed line by line and single parts holding given data.
 */
#ifndef MAILWARD_RULES_TEST_UTIL_H
#define MAILWARD_RULES_TEST_UTIL_H

#include <memory>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"
#include "mime/mimepart.h"
#include "pf/platform.h"

using Strings = std::vector<std::string>;

struct HdrDeleter {
    void operator()(mailhdr* hdr) const { mailhdr_free(hdr); }
};
using HdrPtr = std::unique_ptr<mailhdr, HdrDeleter>;

// A line led by white space continues the field before it.
inline HdrPtr MakeHeader(const std::vector<const char*>& lines) {
    HdrPtr hdr(mailhdr_alloc());
    for (const char* line : lines)
        mailhdr_parseline(hdr.get(), line);
    return hdr;
}

// A single part with transfer encoding `cte` and content type `type` (none
// for null) holding `data`.
inline std::unique_ptr<CMimePart> TextPart(const char* cte, const std::string& data,
                                           const char* type = nullptr) {
    auto part = std::make_unique<CMimePart>(nullptr);
    if (cte != nullptr)
        part->SetHeader(MAILHDR_FLD_CTE, cte);
    if (type != nullptr)
        part->SetHeader(MAILHDR_FLD_CONTENT_TYPE, type);
    part->AdoptData(pf::strdup(data.c_str()), data.size());
    return part;
}

#endif
