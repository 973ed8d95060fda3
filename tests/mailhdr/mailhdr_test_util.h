/*
 * mailhdr_test_util.h - small helpers for the header library's tests.
 *
 *   HdrPtr                 owns a record, releases it with mailhdr_free
 *   NewHdr()               a fresh empty record (never null in a test)
 *   Lines(list)            the entries of a stringlist as strings
 *   MakeList({...})        a stringlist the caller frees (ListPtr owns one)
 *   ParseBlock(hdr, text)  feeds a header block line by line (LF or CR LF
 *                          ends) to mailhdr_parseline; returns the results
 *   SprintText(hdr)        header text through get_headersize + sprint,
 *                          failing the test when the two disagree
 *   CbufText(hdr)          header text through mailhdr_print into a cbuf
 */
#ifndef MAILWARD_TESTS_MAILHDR_UTIL_H
#define MAILWARD_TESTS_MAILHDR_UTIL_H

#include "mailhdr/mailhdr.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

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

inline std::vector<std::string> Lines(const stringlist* list) {
    std::vector<std::string> out;
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

inline std::vector<int> ParseBlock(mailhdr* hdr, const std::string& text) {
    std::vector<int> results;
    std::size_t pos = 0;
    while (pos < text.size()) {
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

inline std::string SprintText(const mailhdr* hdr) {
    int size = mailhdr_get_headersize(hdr);
    EXPECT_GE(size, 0);
    if (size < 0)
        return {};
    // A guard byte past the announced room catches any write beyond it.
    std::string buf(static_cast<std::size_t>(size) + 2, '#');
    buf[0] = '\0';
    int appended = mailhdr_sprint(hdr, buf.data());
    EXPECT_EQ(size, appended);
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

#endif
