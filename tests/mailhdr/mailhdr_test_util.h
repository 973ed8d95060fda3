/*
 * mailhdr_test_util.h - helpers of the header library's tests: owned
 * records and lists, a header block parsed line by line (LF or CR LF ends),
 * the record as one line, the header text through both output forms, and
 * counting fields.
 */
#ifndef MAILWARD_TESTS_MAILHDR_UTIL_H
#define MAILWARD_TESTS_MAILHDR_UTIL_H

#include "mailhdr/mailhdr.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using Strings = std::vector<std::string>;

struct HdrDeleter {
    void operator()(mailhdr* hdr) const { mailhdr_free(hdr); }
};
using HdrPtr = std::unique_ptr<mailhdr, HdrDeleter>;

struct ListDeleter {
    void operator()(stringlist* list) const { stringlist_free(&list); }
};
using ListPtr = std::unique_ptr<stringlist, ListDeleter>;

inline HdrPtr NewHdr() {
    HdrPtr hdr(mailhdr_alloc());
    EXPECT_NE(nullptr, hdr);
    return hdr;
}

inline Strings Lines(const stringlist* list) {
    Strings out;
    for (; list != nullptr; list = list->next)
        out.emplace_back(list->str);
    return out;
}

inline ListPtr MakeList(std::initializer_list<const char*> entries) {
    stringlist* list = nullptr;
    for (const char* e : entries)
        EXPECT_EQ(0, stringlist_append_string(&list, e));
    return ListPtr(list);
}

// A record filled from `text` line by line, every line accepted.
inline HdrPtr Parsed(const std::string& text) {
    HdrPtr hdr = NewHdr();
    for (std::size_t pos = 0, end; pos < text.size(); pos = end + 1) {
        end = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        EXPECT_EQ(0, mailhdr_parseline(hdr.get(), line.c_str())) << line;
    }
    return hdr;
}

// Fields of identifier `id`, or of every identifier for -1.
inline int CountFields(const mailhdr* hdr, int id = -1) {
    int n = 0;
    for (int i = 0; i < MAILHDR_NFLDS; ++i) {
        for (const mailhdr_fld* f = hdr->flds[i]; f != nullptr && (id < 0 || id == i); f = f->next)
            ++n;
    }
    return n;
}

// The record as one line, in identifier then list order: "name=line|line"
// per field ("name" alone without lines), fields split by ";".
inline std::string Record(const mailhdr* hdr) {
    std::string s;
    for (const mailhdr_fld* head : hdr->flds) {
        for (const mailhdr_fld* f = head; f != nullptr; f = f->next) {
            s += (s.empty() ? "" : ";") + std::string(f->name);
            for (const stringlist* l = f->lines; l != nullptr; l = l->next)
                s += (l == f->lines ? "=" : "|") + std::string(l->str);
        }
    }
    return s;
}

// Header text through get_headersize + sprint; a guard byte past the
// announced room catches any write beyond it.
inline std::string SprintText(const mailhdr* hdr) {
    int size = mailhdr_get_headersize(hdr);
    EXPECT_GE(size, 0);
    std::string buf(static_cast<std::size_t>(std::max(size, 0)) + 2, '#');
    buf[0] = '\0';
    EXPECT_EQ(size, mailhdr_sprint(hdr, buf.data()));
    EXPECT_EQ('#', buf.back());
    return std::string(buf.c_str());
}

// Both output forms (sprint, and print into a cbuf), which must agree.
inline std::string Text(const mailhdr* hdr) {
    std::string text = SprintText(hdr);
    cbuf* buf = cbuf_alloc(0, -1, 256, 0);
    EXPECT_NE(nullptr, buf);
    EXPECT_EQ(static_cast<int>(text.size()), mailhdr_print(hdr, buf));
    EXPECT_EQ(text, std::string(cbuf_data(buf), cbuf_length(buf)));
    cbuf_free(buf);
    return text;
}

#endif
