/*
 * mailhdr_test_util.h - helpers of the header library's tests: owned
 * records and lists, a header block fed line by line (LF or CR LF ends) to
 * mailhdr_parseline, the header text through both output forms (sprint with
 * a guard byte, and print into a cbuf), and counting fields.
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

// The results of mailhdr_parseline, one per line of `text`.
inline std::vector<int> ParseBlock(mailhdr* hdr, const std::string& text) {
    std::vector<int> results;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        results.push_back(mailhdr_parseline(hdr, line.c_str()));
        pos = end + 1;
    }
    return results;
}

// A record filled from `text`, every line accepted.
inline HdrPtr Parsed(const std::string& text) {
    HdrPtr hdr = NewHdr();
    for (int result : ParseBlock(hdr.get(), text))
        EXPECT_EQ(0, result) << text;
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

// Header text through get_headersize + sprint; a guard byte past the
// announced room catches any write beyond it.
inline std::string SprintText(const mailhdr* hdr) {
    int size = mailhdr_get_headersize(hdr);
    EXPECT_GE(size, 0);
    if (size < 0)
        return {};
    std::string buf(static_cast<std::size_t>(size) + 2, '#');
    buf[0] = '\0';
    EXPECT_EQ(size, mailhdr_sprint(hdr, buf.data()));
    EXPECT_EQ('#', buf[static_cast<std::size_t>(size) + 1]);
    return std::string(buf.c_str());
}

inline std::string CbufText(const mailhdr* hdr) {
    cbuf* buf = cbuf_alloc(0, -1, 256, 0);
    EXPECT_NE(nullptr, buf);
    if (buf == nullptr)
        return {};
    int written = mailhdr_print(hdr, buf);
    std::string text(cbuf_data(buf), cbuf_length(buf));
    EXPECT_EQ(static_cast<int>(text.size()), written);
    cbuf_free(buf);
    return text;
}

// Both output forms, which must agree.
inline std::string Text(const mailhdr* hdr) {
    std::string text = SprintText(hdr);
    EXPECT_EQ(text, CbufText(hdr));
    return text;
}

#endif
