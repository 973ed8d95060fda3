/*
 * content_fixtures.h - the files and mails of make_content_fixtures.py
 * (archives, a renamed program, an encrypted zip, a macro workbook, a
 * forwarded mail, ...), made once per test program into a folder of the
 * build tree and read from there.
 *
 *   ContentFixtureDir()      the folder; the script runs on the first call
 *                            of the first program (python3 and p7zip's 7z
 *                            must be installed); later calls and programs
 *                            find it made, until the script changes.
 *                            An empty path when the script failed.
 *   ContentFixture(name)     the bytes of one fixture ("" when missing).
 */
#ifndef MAILWARD_TESTS_SUPPORT_CONTENT_FIXTURES_H
#define MAILWARD_TESTS_SUPPORT_CONTENT_FIXTURES_H

#include <cstdlib>
#include <functional>
#include <filesystem>
#include <mutex>
#include <string>
#include <unistd.h>

#include "support/test_files.h"

namespace testkit {

inline std::filesystem::path ContentFixtureDir() {
    static std::once_flag once;
    static std::filesystem::path dir;
    std::call_once(once, [] {
        // One folder per version of the script, shared by the test programs
        // (made under a private name, then renamed into place whole).
        const std::string script =
            std::string(MAILWARD_SOURCE_DIR) + "/tests/support/make_content_fixtures.py";
        const std::filesystem::path base = std::filesystem::path(MAILWARD_BINARY_DIR);
        const std::filesystem::path done =
            base /
            ("content-fixtures-" + std::to_string(std::hash<std::string>()(ReadFile(script))));
        std::error_code ec;
        if (std::filesystem::exists(done / "forwarded.eml", ec)) {
            dir = done;
            return;
        }
        const std::filesystem::path made =
            base / ("content-fixtures.tmp-" + std::to_string(getpid()));
        std::filesystem::remove_all(made, ec);
        const std::string command = "python3 '" + script + "' '" + made.string() + "' --mails";
        if (std::system(command.c_str()) != 0)
            return;
        std::filesystem::rename(made, done, ec);
        if (ec)
            std::filesystem::remove_all(made, ec);  // another program was first
        if (std::filesystem::exists(done / "forwarded.eml", ec))
            dir = done;
    });
    return dir;
}

inline std::string ContentFixture(const std::string& name) {
    const std::filesystem::path dir = ContentFixtureDir();
    return dir.empty() ? std::string() : ReadFile(dir / name);
}

}  // namespace testkit

#endif
