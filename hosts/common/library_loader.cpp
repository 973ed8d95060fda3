/*
 * library_loader.cpp - run-time loading of the product library: dlopen on
 * POSIX, LoadLibrary on Windows; every export bound by its plain name.
 */
#include "common/library_loader.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Longest executable path /proc/self/exe or GetModuleFileName may give.
constexpr std::size_t EXE_PATH_MAX = 4096;

#if defined(_WIN32)
using Handle = HMODULE;
Handle OpenLibrary(const std::string& path, std::string& why) {
    Handle h = LoadLibraryA(path.c_str());
    if (h == nullptr)
        why = "LoadLibrary error " + std::to_string(GetLastError());
    return h;
}
void* Symbol(Handle h, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(h, name));
}
void CloseLibrary(Handle h) {
    FreeLibrary(h);
}
#else
using Handle = void*;
Handle OpenLibrary(const std::string& path, std::string& why) {
    Handle h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* e = dlerror();
        why = e != nullptr ? e : "dlopen failed";
    }
    return h;
}
void* Symbol(Handle h, const char* name) {
    return dlsym(h, name);
}
void CloseLibrary(Handle h) {
    dlclose(h);
}
#endif

template <class F>
bool Bind(Handle h, F& slot, const char* name, std::string& missing) {
    slot = reinterpret_cast<F>(Symbol(h, name));
    if (slot == nullptr) {
        if (!missing.empty())
            missing += ", ";
        missing += name;
        return false;
    }
    return true;
}

bool BindAll(Handle h, MailwardApi& api, std::string& missing) {
    bool ok = true;
#define MAILWARD_BIND_SLOT(name) ok &= Bind(h, api.name, #name, missing);
    MAILWARD_EXPORTS(MAILWARD_BIND_SLOT)
#undef MAILWARD_BIND_SLOT
    // Optional: found in the engine library the product library loads.
    api.AV_Preload = reinterpret_cast<decltype(api.AV_Preload)>(Symbol(h, "AV_Preload"));
    api.AV_GetEngineVersion =
        reinterpret_cast<decltype(api.AV_GetEngineVersion)>(Symbol(h, "AV_GetEngineVersion"));
    return ok;
}

}  // namespace

const char* MailwardLibraryFileName() {
#if defined(_WIN32)
    return "mailward.dll";
#elif defined(MAILWARD_LIBRARY_SONAME)
    // The soname: the one name an installed runtime (the Debian package
    // without its -dev links) has.
    return MAILWARD_LIBRARY_SONAME;
#elif defined(__APPLE__)
    return "libmailward.dylib";
#else
    return "libmailward.so";
#endif
}

std::vector<std::string> LibraryCandidates(const std::string& explicitPath,
                                           const std::string& exeDir) {
    if (!explicitPath.empty())
        return {explicitPath};
    if (const char* env = std::getenv("MAILWARD_LIBRARY"); env != nullptr && *env != '\0')
        return {env};
    std::vector<std::string> out;
    const std::string file = MailwardLibraryFileName();
    if (!exeDir.empty()) {
        const fs::path dir(exeDir);
        out.push_back((dir / file).string());
        out.push_back((dir / ".." / "lib" / file).lexically_normal().string());
        out.push_back((dir / ".." / "lib" / "mailward" / file).lexically_normal().string());
    }
    out.push_back(file);  // the system's own search
    return out;
}

bool LoadMailwardLibrary(const std::vector<std::string>& candidates, MailwardApi& api,
                         std::string& loadedPath, std::string& error) {
    std::string tried;
    for (const std::string& path : candidates) {
        const bool bare = path.find_first_of("/\\") == std::string::npos;
        std::error_code ec;
        if (!bare && !fs::exists(path, ec)) {
            tried += "\n  " + path + ": no such file";
            continue;
        }
        std::string why;
        Handle h = OpenLibrary(path, why);
        if (h == nullptr) {
            tried += "\n  " + path + ": " + why;
            continue;
        }
        MailwardApi bound;
        std::string missing;
        if (!BindAll(h, bound, missing)) {
            CloseLibrary(h);
            tried += "\n  " + path + ": missing exports " + missing;
            continue;
        }
        api = bound;
        loadedPath = path;
        return true;
    }
    error =
        "cannot load the mailward library (use --library PATH or MAILWARD_LIBRARY); tried:" + tried;
    return false;
}

std::string ExecutableDir(const char* argv0) {
    std::error_code ec;
#if defined(_WIN32)
    char buf[EXE_PATH_MAX];
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(sizeof buf));
    if (n > 0 && n < sizeof buf)
        return fs::path(std::string(buf, n)).parent_path().string();
#else
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && !self.empty() && self.string().size() < EXE_PATH_MAX)
        return self.parent_path().string();
#endif
    if (argv0 != nullptr && std::string(argv0).find_first_of("/\\") != std::string::npos) {
        fs::path p = fs::absolute(argv0, ec);
        if (!ec)
            return p.parent_path().string();
    }
    return "";
}
