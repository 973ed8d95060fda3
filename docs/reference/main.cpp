/*
 * main.cpp - config_reference: prints the configuration reference made from
 * the key tables, and writes the manual pages.
 *
 *   config_reference                 the reference on standard output
 *   config_reference FILE            the reference written to FILE (replaced)
 *   config_reference --man-conf FILE mailward.conf(5) written to FILE
 *   config_reference --man NAME SECTION SOURCE INPUT FILE
 *                                    the manual page of a program from its
 *                                    --help text in INPUT (man_page.h),
 *                                    written to FILE; SOURCE is the footer's
 *                                    "program version"
 *
 * Exit status 0, 1 when a file cannot be read or written, 2 for a wrong
 * command line. scripts/config-reference.sh runs it to write
 * docs/configuration.md; the build runs it for the manual pages
 * (cmake/man_pages.cmake).
 */
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "config_reference.h"
#include "man_page.h"

namespace {

constexpr int SECTION_MAX = 9;

bool ReadText(const char* path, std::string& text) {
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr)
        return false;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;)
        text.append(buf, n);
    const bool ok = std::ferror(in) == 0;
    std::fclose(in);
    return ok;
}

int Write(const std::string& text, const char* path) {
    // Binary mode: the file has LF line ends on every system.
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::FILE* out = path != nullptr ? std::fopen(path, "wb") : stdout;
    if (out == nullptr) {
        std::perror(path != nullptr ? path : "stdout");
        return 1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(path != nullptr ? path : "stdout");
        return 1;
    }
    return 0;
}

int Usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s [FILE] | --man-conf FILE | --man NAME SECTION SOURCE INPUT FILE\n",
                 self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--man-conf") {
        if (argc != 3)
            return Usage(argv[0]);
        return Write(ManPage("mailward.conf", 5, "mailward", ConfigurationManText()), argv[2]);
    }
    if (mode == "--man") {
        if (argc != 7)
            return Usage(argv[0]);
        const int section = std::atoi(argv[3]);
        std::string help;
        if (section < 1 || section > SECTION_MAX)
            return Usage(argv[0]);
        if (!ReadText(argv[5], help)) {
            std::perror(argv[5]);
            return 1;
        }
        return Write(ManPage(argv[2], section, argv[4], help), argv[6]);
    }
    if (argc > 2)
        return Usage(argv[0]);
    return Write(ConfigurationReference(), argc == 2 ? argv[1] : nullptr);
}
