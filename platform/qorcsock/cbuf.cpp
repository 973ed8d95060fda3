/*
 * cbuf.cpp - growable output buffers written with printf.
 *
 *   cbuf_alloc(context, maxsize, blocksize, flags)
 *       a new empty buffer, or null when memory is short or `maxsize` is
 *       below -1. `maxsize` is the most characters the buffer may hold (-1:
 *       no limit); `blocksize` is the step the storage grows by (below 1:
 *       QORCSOCK_CBUF_DEFAULT_BLOCK). `context` and `flags` are ignored.
 *   cbuf_describe(buf, name)   a label used in error lines ("cbuf" before).
 *   cbuf_printf(buf, format, ...)
 *       appends the formatted text and returns its length, or -1 with the
 *       buffer unchanged: null or closed buffer, a bad format, the limit
 *       (an error line names the label), short memory, or a text of more
 *       than INT_MAX characters. A write is whole or not at all.
 *   cbuf_data / cbuf_length   the text so far, NUL-terminated ("" and 0 for
 *       a null buffer); the pointer is valid until the next write or free.
 *   cbuf_close   refuses further writes; the contents stay readable.
 *   cbuf_free    releases the buffer (null is accepted).
 *
 * Storage grows by at least doubling (rounded up to the block size), so
 * writing n characters in many small pieces costs O(n) copying. One buffer
 * must not be used by two threads at once; different buffers may.
 */
#include "qorcsock/qorcsock.h"
#include "qorcsock/qorcsock_impl.h"

#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct cbuf {
    char* data;        // malloc'ed storage, NUL-terminated at len
    size_t len;        // characters written
    size_t cap;        // bytes of storage
    long maxsize;      // most characters, or -1 for no limit
    size_t blocksize;  // growth step
    bool closed;       // cbuf_close was called
    char* name;        // label from cbuf_describe, or null
};

namespace {

const char* Label(const cbuf* buf) {
    return buf->name != nullptr ? buf->name : "cbuf";
}

// Makes room for `extra` more characters plus the NUL; false when memory is
// short or the result would not fit in size_t.
bool Reserve(cbuf* buf, size_t extra) {
    if (extra > SIZE_MAX - 1 - buf->len) {
        return false;
    }
    size_t need = buf->len + extra + 1;
    if (need <= buf->cap) {
        return true;
    }
    size_t want = buf->cap <= SIZE_MAX / 2 ? buf->cap * 2 : SIZE_MAX;
    if (want < need) {
        want = need;
    }
    if (want % buf->blocksize != 0 && want <= SIZE_MAX - buf->blocksize) {
        want += buf->blocksize - want % buf->blocksize;
    }
    if (buf->maxsize >= 0 && want > static_cast<size_t>(buf->maxsize) + 1) {
        want = static_cast<size_t>(buf->maxsize) + 1;  // need fits: the caller checked the limit
    }
    char* grown = static_cast<char*>(std::realloc(buf->data, want));
    if (grown == nullptr) {
        return false;
    }
    buf->data = grown;
    buf->cap = want;
    return true;
}

}  // namespace

extern "C" QORCSOCK_API cbuf* cbuf_alloc(int /*context*/, int maxsize, int blocksize,
                                         int /*flags*/) {
    if (maxsize < -1) {
        return nullptr;
    }
    cbuf* buf = static_cast<cbuf*>(std::calloc(1, sizeof(cbuf)));
    if (buf == nullptr) {
        return nullptr;
    }
    buf->maxsize = maxsize;
    buf->blocksize = blocksize >= 1 ? static_cast<size_t>(blocksize) : QORCSOCK_CBUF_DEFAULT_BLOCK;
    buf->data = static_cast<char*>(std::malloc(1));
    if (buf->data == nullptr) {
        std::free(buf);
        return nullptr;
    }
    buf->data[0] = '\0';
    buf->cap = 1;
    return buf;
}

extern "C" QORCSOCK_API void cbuf_describe(cbuf* buf, const char* name) {
    if (buf == nullptr) {
        return;
    }
    char* copy = name != nullptr ? pf::copy_terminated(name, std::strlen(name)) : nullptr;
    std::free(buf->name);
    buf->name = copy;
}

extern "C" QORCSOCK_API int cbuf_printf(cbuf* buf, const char* format, ...) {
    if (buf == nullptr || buf->closed || format == nullptr) {
        return -1;
    }
    va_list args;
    va_list again;
    va_start(args, format);
    va_copy(again, args);
    // First try straight into the free space; most writes fit.
    size_t room = buf->cap - buf->len;
    int n = std::vsnprintf(buf->data + buf->len, room, format, args);
    va_end(args);
    int result = -1;
    if (n < 0) {
        buf->data[buf->len] = '\0';
    } else if (buf->maxsize >= 0 &&
               static_cast<size_t>(n) > static_cast<size_t>(buf->maxsize) - buf->len) {
        buf->data[buf->len] = '\0';
        errmsg("cbuf_printf(%s): limit of %ld characters reached", Label(buf), buf->maxsize);
    } else if (static_cast<size_t>(n) < room) {
        buf->len += static_cast<size_t>(n);
        result = n;
    } else if (Reserve(buf, static_cast<size_t>(n)) &&
               std::vsnprintf(buf->data + buf->len, buf->cap - buf->len, format, again) == n) {
        buf->len += static_cast<size_t>(n);
        result = n;
    } else {
        buf->data[buf->len] = '\0';
    }
    va_end(again);
    return result;
}

extern "C" QORCSOCK_API const char* cbuf_data(const cbuf* buf) {
    return buf != nullptr ? buf->data : "";
}

extern "C" QORCSOCK_API size_t cbuf_length(const cbuf* buf) {
    return buf != nullptr ? buf->len : 0;
}

extern "C" QORCSOCK_API void cbuf_close(cbuf* buf) {
    if (buf != nullptr) {
        buf->closed = true;
    }
}

extern "C" QORCSOCK_API void cbuf_free(cbuf* buf) {
    if (buf == nullptr) {
        return;
    }
    std::free(buf->data);
    std::free(buf->name);
    std::free(buf);
}
