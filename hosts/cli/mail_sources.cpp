/*
 * mail_sources.cpp - expansion of MAIL|DIR arguments into mails and their
 * targets.
 */
#include "mail_sources.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

struct Found {
    fs::path path;
    fs::path relative;  // below the argument (file name for a file argument)
};

bool ListFolder(const fs::path& dir, const fs::path& relative, bool recursive, int depth,
                std::vector<Found>& out, std::string& error) {
    if (depth > SOURCES_MAX_DEPTH) {
        error =
            dir.string() + ": more than " + std::to_string(SOURCES_MAX_DEPTH) + " folder levels";
        return false;
    }
    if (IsMaildir(dir.string())) {
        for (const char* sub : {"cur", "new"}) {
            if (!ListFolder(dir / sub, relative / sub, false, depth + 1, out, error))
                return false;
        }
        return true;
    }
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec) {
        error = dir.string() + ": cannot read folder: " + ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename() < b.path().filename();
    });
    for (const fs::directory_entry& e : entries) {
        const fs::path name = e.path().filename();
        if (e.is_regular_file(ec)) {
            out.push_back({e.path(), relative / name});
        } else if (recursive && e.is_directory(ec) && !e.is_symlink(ec)) {
            // Symbolic links to folders are not followed: a loop would
            // never end.
            if (!ListFolder(e.path(), relative / name, true, depth + 1, out, error))
                return false;
        }
        if (out.size() > SOURCES_MAX_MAILS) {
            error = "more than " + std::to_string(SOURCES_MAX_MAILS) + " mails";
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsMaildir(const std::string& dir) {
    std::error_code ec;
    const fs::path p(dir);
    return fs::is_directory(p / "cur", ec) && fs::is_directory(p / "new", ec);
}

bool CollectMails(const std::vector<std::string>& args, bool recursive,
                  const std::string& outputDir, std::vector<MailItem>& mails, std::string& error) {
    std::vector<Found> found;
    for (const std::string& arg : args) {
        std::error_code ec;
        const fs::path p(arg);
        if (fs::is_directory(p, ec)) {
            if (!ListFolder(p, fs::path(), recursive, 0, found, error))
                return false;
        } else {
            found.push_back({p, p.filename()});
        }
    }
    mails.clear();
    mails.reserve(found.size());
    std::map<std::string, std::string> targets;  // target -> source
    for (const Found& f : found) {
        MailItem item;
        item.source = f.path.string();
        if (!outputDir.empty()) {
            const fs::path target = (fs::path(outputDir) / f.relative).lexically_normal();
            item.target = target.string();
            auto [it, fresh] = targets.emplace(item.target, item.source);
            if (!fresh) {
                error = "both " + it->second + " and " + item.source + " would be written to " +
                        item.target;
                return false;
            }
            std::error_code ec;
            fs::create_directories(target.parent_path(), ec);
            if (ec) {
                error = "cannot make folder " + target.parent_path().string() + ": " + ec.message();
                return false;
            }
        }
        mails.push_back(std::move(item));
    }
    return true;
}

bool MakeCheckCopy(const MailItem& item, std::string& copy, std::string& error) {
    copy.clear();
    std::error_code ec;
    if (!fs::is_regular_file(item.source, ec))
        return true;
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < CHECK_COPY_ATTEMPTS; ++attempt) {
        std::string name = item.target + ".mailward-";
        for (int i = 0; i < 10; ++i)
            name += kLetters[random() % (sizeof kLetters - 1)];
        // copy_file without overwrite never replaces what is there.
        if (fs::copy_file(item.source, name, fs::copy_options::none, ec)) {
            copy = name;
            return true;
        }
        if (!fs::exists(fs::symlink_status(name, ec)))
            break;  // failed for another reason than the name
    }
    error = "cannot copy " + item.source + " for checking beside " + item.target +
            (ec ? ": " + ec.message() : "");
    return false;
}

bool FinishCheckCopy(const std::string& copy, const std::string& target, bool keep,
                     std::string& error) {
    std::error_code ec;
    if (keep)
        fs::rename(copy, target, ec);
    else
        fs::remove(copy, ec);
    if (ec)
        error = (keep ? "cannot move " + copy + " to " + target : "cannot remove " + copy) + ": " +
                ec.message();
    return !ec;
}
