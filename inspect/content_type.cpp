/*
 * content_type.cpp - types of bytes by libmagic, and the classes of types
 * (contract in content_type.h).
 */
#include "inspect/content_type.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>

#include "pf/text.h"
#include "qorcsock/qorcsock.h"

#if !defined(_WIN32)
#include <magic.h>
#endif

namespace {

bool OneOf(std::string_view text, std::initializer_list<std::string_view> list) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Extensions under which an executable is what it says it is.
constexpr std::string_view EXECUTABLE_EXTENSIONS[] = {
    "exe",      "dll", "com", "scr", "sys",  "cpl", "ocx", "drv", "efi", "msi",   "msp",   "mui",
    "ax",       "acm", "xll", "pyd", "node", "so",  "bin", "elf", "out", "run",   "dylib", "bundle",
    "appimage", "ko",  "o",   "lnk", "pif",  "tlb", "mod", "ime", "wll", "gadget"};

#if !defined(_WIN32)
struct MagicCloser {
    void operator()(magic_t cookie) const { magic_close(cookie); }
};

// The thread's libmagic handle, or null when it cannot be opened.
magic_t ThreadMagic() {
    thread_local std::unique_ptr<std::remove_pointer_t<magic_t>, MagicCloser> cookie;
    thread_local bool tried = false;
    if (!tried) {
        tried = true;
        magic_t made = magic_open(MAGIC_MIME_TYPE | MAGIC_ERROR);
        if (made != nullptr && magic_load(made, nullptr) != 0) {
            errmsg("inspect: libmagic cannot load its database: %s", magic_error(made));
            magic_close(made);
            made = nullptr;
        } else if (made == nullptr) {
            errmsg("inspect: libmagic cannot be opened");
        }
        cookie.reset(made);
    }
    return cookie.get();
}
#else
// Signatures at offset 0 and the types libmagic gives them.
struct Signature {
    std::string_view bytes;
    const char* type;
};
constexpr Signature SIGNATURES[] = {
    {"MZ", "application/x-dosexec"},
    {"\x7f"
     "ELF",
     "application/x-executable"},
    {"PK\x03\x04", "application/zip"},
    {"PK\x05\x06", "application/zip"},
    {"7z\xbc\xaf\x27\x1c", "application/x-7z-compressed"},
    {"Rar!\x1a\x07", "application/x-rar"},
    {"\x1f\x8b", "application/gzip"},
    {"BZh", "application/x-bzip2"},
    {"\xfd"
     "7zXZ",
     "application/x-xz"},
    {"MSCF", "application/vnd.ms-cab-compressed"},
    {"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "application/x-ole-storage"},
    {"%PDF-", "application/pdf"},
};
#endif

}  // namespace

std::string inspect_type_of(const void* pData, std::size_t nLength) {
    if (nLength == 0)
        return "application/x-empty";
    const std::size_t n = std::min(nLength, TYPE_PROBE_BYTES);
#if !defined(_WIN32)
    magic_t cookie = ThreadMagic();
    if (cookie == nullptr)
        return TYPE_UNKNOWN;
    const char* type = magic_buffer(cookie, pData, n);
    if (type == nullptr || *type == '\0')
        return TYPE_UNKNOWN;
    return pf::ascii_lower(type);
#else
    const std::string_view bytes(static_cast<const char*>(pData), n);
    for (const Signature& s : SIGNATURES) {
        if (StartsWith(bytes, s.bytes))
            return s.type;
    }
    return TYPE_UNKNOWN;
#endif
}

bool inspect_is_executable(std::string_view type) {
    return OneOf(type, {"application/x-dosexec", "application/vnd.microsoft.portable-executable",
                        "application/x-msdownload", "application/x-executable",
                        "application/x-pie-executable", "application/x-sharedlib",
                        "application/x-mach-binary", "application/x-msi",
                        "application/x-ms-shortcut", "application/x-elf"});
}

bool inspect_is_compressed_stream(std::string_view type) {
    return OneOf(type, {"application/gzip", "application/x-gzip", "application/x-bzip2",
                        "application/x-xz"});
}

bool inspect_is_archive(std::string_view type) {
    return inspect_is_compressed_stream(type) ||
           OneOf(type,
                 {"application/zip", "application/x-zip-compressed", "application/java-archive",
                  "application/x-7z-compressed", "application/x-rar", "application/vnd.rar",
                  "application/x-rar-compressed", "application/x-tar", "application/x-gtar",
                  "application/vnd.ms-cab-compressed", "application/x-iso9660-image",
                  "application/epub+zip"}) ||
           StartsWith(type, "application/vnd.openxmlformats-officedocument.") ||
           StartsWith(type, "application/vnd.oasis.opendocument.") ||
           StartsWith(type, "application/vnd.ms-word.") ||
           StartsWith(type, "application/vnd.ms-excel.") ||
           StartsWith(type, "application/vnd.ms-powerpoint.");
}

bool inspect_is_encrypted_document(std::string_view type, const void* pData, std::size_t nLength) {
    if (type == "application/encrypted" || type == "application/x-encrypted")
        return true;
    if (type != "application/pdf" || pData == nullptr)
        return false;
    // The encryption dictionary is named from the trailer (or the
    // cross-reference stream): a PDF without "/Encrypt" is not encrypted.
    const std::string_view bytes(static_cast<const char*>(pData), nLength);
    return bytes.find("/Encrypt") != std::string_view::npos;
}

std::string inspect_extension(std::string_view name) {
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 >= name.size())
        return "";
    return pf::ascii_lower(name.substr(dot + 1));
}

bool inspect_hides_executable(std::string_view name, std::string_view type) {
    if (!inspect_is_executable(type))
        return false;
    const std::string ext = inspect_extension(name);
    if (ext.empty())
        return false;
    return std::find(std::begin(EXECUTABLE_EXTENSIONS), std::end(EXECUTABLE_EXTENSIONS), ext) ==
           std::end(EXECUTABLE_EXTENSIONS);
}
