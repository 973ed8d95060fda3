/*
 * main.cpp - config_reference: prints the configuration reference made from
 * the host library's key table.
 *
 *   config_reference          the reference on standard output
 *   config_reference FILE     the reference written to FILE (replaced)
 *
 * Exit status 0, 1 when FILE cannot be written, 2 for a wrong command line.
 * scripts/config-reference.sh runs it to write docs/configuration.md.
 */
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "config_reference.h"

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [FILE]\n", argv[0]);
        return 2;
    }
    const std::string text = ConfigurationReference();
    // Binary mode: the file has LF line ends on every system.
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::FILE* out = argc == 2 ? std::fopen(argv[1], "wb") : stdout;
    if (out == nullptr) {
        std::perror(argc == 2 ? argv[1] : "stdout");
        return 1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argc == 2 ? argv[1] : "stdout");
        return 1;
    }
    return 0;
}
