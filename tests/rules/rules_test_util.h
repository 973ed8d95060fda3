/*
 * rules_test_util.h - helpers shared by the rule engine's tests.
 *
 *   MakeHeader({lines})      a header record parsed line by line (a line led
 *                            by white space continues the field before it)
 *   CorpusHeader(path)       the header block of a corpus mail as a record
 *                            (CR LF reduced, parsed up to the empty line)
 *   ParsePart(text)          a part tree parsed from mail text with LF line
 *                            ends; null when the parser refuses it
 *   TextPart(cte, data)      a single part with that transfer encoding (none
 *                            when null) holding `data` as its contents
 *   FieldLines(hdr, name)    the value lines of the first field of a name
 */
#ifndef MAILWARD_RULES_TEST_UTIL_H
#define MAILWARD_RULES_TEST_UTIL_H

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"
#include "mime/mimepart.h"
#include "platform.h"

struct HdrDeleter {
    void operator()(mailhdr* hdr) const {
        if (hdr != nullptr)
            mailhdr_free(hdr);
    }
};
using HdrPtr = std::unique_ptr<mailhdr, HdrDeleter>;

inline HdrPtr MakeHeader(std::initializer_list<const char*> lines) {
    HdrPtr hdr(mailhdr_alloc());
    for (const char* line : lines)
        mailhdr_parseline(hdr.get(), line);
    return hdr;
}

inline HdrPtr CorpusHeader(const std::string& relative) {
    std::ifstream in(std::string(MAILWARD_CORPUS_DIR) + "/" + relative, std::ios::binary);
    HdrPtr hdr(mailhdr_alloc());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        mailhdr_parseline(hdr.get(), line.c_str());
    }
    return hdr;
}

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

inline std::unique_ptr<CMimePart> TextPart(const char* cte, const std::string& data) {
    auto part = std::make_unique<CMimePart>(nullptr);
    if (cte != nullptr)
        part->SetHeader(MAILHDR_FLD_CTE, cte);
    part->m_pData = pf::strdup(data.c_str());
    return part;
}

inline std::vector<std::string> FieldLines(const mailhdr* hdr, const char* name) {
    std::vector<std::string> lines;
    mailhdr_fld* fld = mailhdr_getfld_byname(hdr, name);
    for (stringlist* l = fld != nullptr ? fld->lines : nullptr; l != nullptr; l = l->next)
        lines.push_back(l->str);
    return lines;
}

#endif
