/*
 * stringlist.cpp - ordered lists of owned strings.
 *
 * Nodes and their strings are malloc'ed one by one, so a caller may take a
 * node's string (or put its own malloc'ed one in its place) and
 * stringlist_free still releases the right blocks.
 *
 *   stringlist_append_string  adds a copy of one text at the end (0, or -1
 *                             for a null argument, -2 when memory is short).
 *   stringlist_append         copies of another list's entries at the end;
 *   stringlist_prepend        the same at the front. Both copy first and
 *                             link afterwards, so a failure leaves the list
 *                             as it was, and a list may be added to itself.
 *   stringlist_copy           a new list; null for null or short memory.
 *   stringlist_free           releases all; *list becomes null.
 *   stringlist_count          number of entries.
 *   stringlist_join           one malloc'ed text, entries with the separator
 *                             between them (a null separator counts as "").
 *   stringlist_split          pieces between occurrences of a separator:
 *                             empty pieces are kept, except that a trailing
 *                             separator gives no empty last piece; white
 *                             space stays. An empty separator cannot cut
 *                             and gives null, as does an empty text.
 *   stringlist_fmt            lines of at most `width` bytes: cut at the
 *                             last blank (space or tab) that fits, the run
 *                             of blanks there dropped; a word longer than
 *                             the width is cut hard; each LF ends a line
 *                             (so "a\n\nb" keeps its empty line, and a
 *                             trailing LF adds none). Width below 1 or a
 *                             null text gives null.
 *
 * Appending walks to the end of the list, so building a long list one
 * append at a time is quadratic; split and fmt keep a tail pointer.
 */
#include "qorcsock/qorcsock.h"
#include "qorcsock/qorcsock_impl.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

stringlist* NewNode(const char* text, size_t len) {
    stringlist* node = static_cast<stringlist*>(std::malloc(sizeof(stringlist)));
    if (node == nullptr) {
        return nullptr;
    }
    node->next = nullptr;
    node->str = pf::copy_terminated(text, len);
    if (node->str == nullptr) {
        std::free(node);
        return nullptr;
    }
    return node;
}

// Builds a list front to back in O(1) per entry; on a failed allocation the
// partial list is released and `failed` is set.
struct ListBuilder {
    stringlist* head = nullptr;
    stringlist** tail = &head;
    bool failed = false;

    void Add(const char* text, size_t len) {
        if (failed) {
            return;
        }
        stringlist* node = NewNode(text, len);
        if (node == nullptr) {
            failed = true;
            stringlist_free(&head);
            tail = &head;
            return;
        }
        *tail = node;
        tail = &node->next;
    }
    stringlist* Take() {
        stringlist* list = failed ? nullptr : head;
        head = nullptr;
        tail = &head;
        return list;
    }
};

stringlist** LastLink(stringlist** list) {
    while (*list != nullptr) {
        list = &(*list)->next;
    }
    return list;
}

// Copies `other` first and links it afterwards, so a failure changes nothing
// and a list may be added to itself.
int AddCopy(stringlist** list, const stringlist* other, bool front) {
    if (list == nullptr) {
        return -1;
    }
    if (other == nullptr) {
        return 0;
    }
    stringlist* copy = stringlist_copy(other);
    if (copy == nullptr) {
        return -2;
    }
    if (front) {
        *LastLink(&copy) = *list;
        *list = copy;
    } else {
        *LastLink(list) = copy;
    }
    return 0;
}

}  // namespace

extern "C" QORCSOCK_API void stringlist_free(stringlist** list) {
    if (list == nullptr) {
        return;
    }
    stringlist* node = *list;
    while (node != nullptr) {
        stringlist* next = node->next;
        std::free(node->str);
        std::free(node);
        node = next;
    }
    *list = nullptr;
}

extern "C" QORCSOCK_API int stringlist_append_string(stringlist** list, const char* text) {
    if (list == nullptr || text == nullptr) {
        return -1;
    }
    stringlist* node = NewNode(text, std::strlen(text));
    if (node == nullptr) {
        return -2;
    }
    *LastLink(list) = node;
    return 0;
}

extern "C" QORCSOCK_API stringlist* stringlist_copy(const stringlist* list) {
    ListBuilder out;
    for (; list != nullptr; list = list->next) {
        const char* text = list->str != nullptr ? list->str : "";
        out.Add(text, std::strlen(text));
    }
    return out.Take();
}

extern "C" QORCSOCK_API int stringlist_append(stringlist** list, const stringlist* other) {
    return AddCopy(list, other, false);
}

extern "C" QORCSOCK_API int stringlist_prepend(stringlist** list, const stringlist* other) {
    return AddCopy(list, other, true);
}

extern "C" QORCSOCK_API size_t stringlist_count(const stringlist* list) {
    size_t n = 0;
    for (; list != nullptr; list = list->next) {
        ++n;
    }
    return n;
}

extern "C" QORCSOCK_API char* stringlist_join(const stringlist* list, const char* separator) {
    if (separator == nullptr) {
        separator = "";
    }
    const size_t seplen = std::strlen(separator);
    size_t total = 0;
    for (const stringlist* node = list; node != nullptr; node = node->next) {
        size_t len = node->str != nullptr ? std::strlen(node->str) : 0;
        size_t add = len + (node->next != nullptr ? seplen : 0);
        if (add > SIZE_MAX - 1 - total) {
            return nullptr;
        }
        total += add;
    }
    char* text = static_cast<char*>(std::malloc(total + 1));
    if (text == nullptr) {
        return nullptr;
    }
    char* p = text;
    for (const stringlist* node = list; node != nullptr; node = node->next) {
        if (node->str != nullptr) {
            size_t len = std::strlen(node->str);
            std::memcpy(p, node->str, len);
            p += len;
        }
        if (node->next != nullptr) {
            std::memcpy(p, separator, seplen);
            p += seplen;
        }
    }
    *p = '\0';
    return text;
}

extern "C" QORCSOCK_API stringlist* stringlist_split(const char* text, const char* separator) {
    if (text == nullptr || separator == nullptr || *separator == '\0') {
        return nullptr;
    }
    const size_t seplen = std::strlen(separator);
    ListBuilder out;
    const char* p = text;
    while (*p != '\0') {
        const char* hit = std::strstr(p, separator);
        if (hit == nullptr) {
            out.Add(p, std::strlen(p));
            break;
        }
        out.Add(p, static_cast<size_t>(hit - p));
        p = hit + seplen;
    }
    return out.Take();
}

extern "C" QORCSOCK_API stringlist* stringlist_fmt(const char* text, int width) {
    if (text == nullptr || width < 1) {
        return nullptr;
    }
    const size_t w = static_cast<size_t>(width);
    ListBuilder out;
    const char* p = text;
    while (*p != '\0') {
        const char* eol = std::strchr(p, '\n');
        size_t len = eol != nullptr ? static_cast<size_t>(eol - p) : std::strlen(p);
        // Cut this line into pieces of at most w bytes.
        bool emitted = false;
        while (len > w) {
            size_t cut = w;
            while (cut > 0 && !pf::is_wsp(p[cut])) {
                --cut;
            }
            size_t skip = cut;
            while (cut > 0 && pf::is_wsp(p[cut - 1])) {
                --cut;  // the whole run of blanks goes, not only its last
            }
            if (cut == 0) {
                cut = w;  // no blank that fits: the word is cut hard
                skip = w;
            } else {
                while (skip < len && pf::is_wsp(p[skip])) {
                    ++skip;
                }
            }
            out.Add(p, cut);
            emitted = true;
            p += skip;
            len -= skip;
        }
        if (len > 0 || (eol != nullptr && !emitted)) {
            out.Add(p, len);
        }
        p += len;
        if (*p == '\n') {
            ++p;
        }
    }
    return out.Take();
}
