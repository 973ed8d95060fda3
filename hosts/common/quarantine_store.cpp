/*
 * quarantine_store.cpp - the quarantine's folder, its entries and their
 * index records (see quarantine_store.h).
 */
#include "common/quarantine_store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "common/text.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr std::string_view ID_LETTERS = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr const char* HELD_PREFIX = "held-";

std::string RandomLetters(std::size_t n) {
    std::random_device source;
    std::uniform_int_distribution<std::size_t> pick(0, ID_LETTERS.size() - 1);
    std::string letters;
    for (std::size_t i = 0; i < n; ++i)
        letters.push_back(ID_LETTERS[pick(source)]);
    return letters;
}

std::string MakeId(std::int64_t time) {
    std::string stamp = QuarantineTimeText(time);  // "YYYY-MM-DD HH:MM:SS UTC"
    std::string id;
    for (char c : stamp.substr(0, 19)) {
        if (c >= '0' && c <= '9')
            id.push_back(c);
        else if (c == ' ')
            id.push_back('-');
    }
    return id + "-" + RandomLetters(QUARANTINE_ID_RANDOM);
}

// A value as one line of a record.
std::string OneLine(std::string_view value) {
    std::string line(value.substr(0, QUARANTINE_VALUE_MAX));
    for (char& c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = ' ';
    }
    return std::string(kit::trim(line));
}

bool ParseNumber(std::string_view text, std::uint64_t& n) {
    if (text.empty() || text.size() > 19)
        return false;
    n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// Puts a written file's bytes on disk before a rename makes it visible.
bool SyncFile(std::FILE* f) {
    if (std::fflush(f) != 0)
        return false;
#if defined(_WIN32)
    return _commit(_fileno(f)) == 0;
#else
    return ::fsync(fileno(f)) == 0;
#endif
}

bool SyncPath(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return true;
#else
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
#endif
}

bool WriteSynced(const std::string& path, const std::string& text, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && SyncFile(f);
    if (std::fclose(f) != 0 || !ok) {
        std::error_code ec;
        fs::remove(path, ec);
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return !in.bad();
}

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

bool ValidQuarantineId(std::string_view id) {
    if (id.empty() || id.size() > QUARANTINE_ID_MAX || id.front() == '-')
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '-';
    });
}

const char* QuarantineKindName(QuarantineKind kind) {
    return kind == QuarantineKind::Attachment ? "attachment" : "message";
}

std::string QuarantineTimeText(std::int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(at);
    const year_month_day ymd{day};
    const hh_mm_ss<std::chrono::seconds> clock{at - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld UTC",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<long>(clock.hours().count()),
                  static_cast<long>(clock.minutes().count()),
                  static_cast<long>(clock.seconds().count()));
    return text;
}

std::string QuarantineDirFor(const std::string& configured, const std::string& dataDir) {
    if (configured.empty())
        return (fs::path(dataDir) / QUARANTINE_DEFAULT_FOLDER).string();
    const fs::path dir(configured);
    return (dir.is_absolute() ? dir : fs::path(dataDir) / dir).string();
}

std::string FormatQuarantineRecord(const QuarantineRecord& r) {
    std::string text = std::string(QUARANTINE_FORMAT_LINE) + "\n";
    auto line = [&text](const char* key, std::string_view value) {
        text += std::string(key) + ": " + OneLine(value) + "\n";
    };
    line("Id", r.id);
    line("Kind", QuarantineKindName(r.kind));
    line("Time", std::to_string(r.time));
    line("Queue-Id", r.queueId);
    line("Sender", r.sender);
    for (const std::string& rcpt : r.recipients)
        line("Recipient", rcpt);
    line("Subject", r.subject);
    line("Verdict", r.verdict);
    for (const std::string& reason : r.reasons)
        line("Reason", reason);
    line("Size", std::to_string(r.size));
    line("Origin", r.origin);
    if (r.kind == QuarantineKind::Attachment) {
        line("Parent", r.parent);
        line("Name", r.name);
    }
    return text;
}

bool ParseQuarantineRecord(std::string_view text, QuarantineRecord& r, std::string& error) {
    r = QuarantineRecord{};
    const std::string_view format = QUARANTINE_FORMAT_LINE;
    if (text.substr(0, format.size()) != format ||
        (text.size() > format.size() && text[format.size()] != '\n')) {
        error = "not an index record (no \"" + std::string(format) + "\" line)";
        return false;
    }
    bool haveId = false, haveKind = false, haveTime = false, haveSize = false;
    std::size_t pos = std::min(format.size() + 1, text.size());
    while (pos < text.size()) {
        const std::size_t nl = std::min(text.find('\n', pos), text.size());
        const std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        const std::size_t colon = line.find(": ");
        if (colon == std::string_view::npos) {
            error = "a line without \"Key: value\": '" + std::string(line.substr(0, 60)) + "'";
            return false;
        }
        const std::string_view key = line.substr(0, colon);
        const std::string value(line.substr(colon + 2));
        std::uint64_t n = 0;
        if (key == "Id") {
            r.id = value;
            haveId = ValidQuarantineId(value);
        } else if (key == "Kind") {
            haveKind = value == "message" || value == "attachment";
            r.kind = value == "attachment" ? QuarantineKind::Attachment : QuarantineKind::Message;
        } else if (key == "Time") {
            haveTime = ParseNumber(value, n);
            r.time = static_cast<std::int64_t>(n);
        } else if (key == "Size") {
            haveSize = ParseNumber(value, n);
            r.size = n;
        } else if (key == "Queue-Id") {
            r.queueId = value;
        } else if (key == "Sender") {
            r.sender = value;
        } else if (key == "Recipient") {
            r.recipients.push_back(value);
        } else if (key == "Subject") {
            r.subject = value;
        } else if (key == "Verdict") {
            r.verdict = value;
        } else if (key == "Reason") {
            r.reasons.push_back(value);
        } else if (key == "Origin") {
            r.origin = value;
        } else if (key == "Parent") {
            r.parent = value;
        } else if (key == "Name") {
            r.name = value;
        }
    }
    const char* missing = !haveId     ? "Id"
                          : !haveKind ? "Kind"
                          : !haveTime ? "Time"
                          : !haveSize ? "Size"
                                      : nullptr;
    if (missing != nullptr) {
        error = std::string("no valid ") + missing + " line";
        return false;
    }
    return true;
}

QuarantineHold& QuarantineHold::operator=(QuarantineHold&& other) noexcept {
    if (this != &other) {
        Drop();
        m_path = std::move(other.m_path);
        other.m_path.clear();
    }
    return *this;
}

void QuarantineHold::Drop() {
    if (m_path.empty())
        return;
    std::error_code ec;
    fs::remove(m_path, ec);
    m_path.clear();
}

bool QuarantineStore::Open(const std::string& dir, std::string& error) {
    std::error_code ec;
    const fs::path temp = fs::path(dir) / QUARANTINE_TEMP_FOLDER;
    for (const fs::path& folder : {fs::path(dir), temp}) {
        if (fs::is_directory(folder, ec))
            continue;
        fs::create_directories(folder, ec);
        if (ec) {
            error = "cannot make the quarantine folder " + folder.string() + ": " + ec.message();
            return false;
        }
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
    m_dir = dir;
    return true;
}

bool QuarantineStore::Hold(const std::string& source, QuarantineHold& hold, std::string& error) {
    hold.Drop();
    const fs::path temp = fs::path(m_dir) / QUARANTINE_TEMP_FOLDER;
    for (int i = 0; i < QUARANTINE_NAME_TRIES; ++i) {
        const fs::path held =
            temp / (HELD_PREFIX + RandomLetters(QUARANTINE_ID_RANDOM * 2) + QUARANTINE_MAIL_SUFFIX);
        std::error_code ec;
        fs::create_hard_link(source, held, ec);
        if (!ec) {
            hold.m_path = held.string();
            return true;
        }
        if (fs::exists(held))
            continue;
        // Another file system, or one without links: a copy, owner-only.
        if (fs::copy_file(source, held, fs::copy_options::none, ec)) {
            fs::permissions(held, fs::perms::owner_read | fs::perms::owner_write,
                            fs::perm_options::replace, ec);
            hold.m_path = held.string();
            return true;
        }
        error = "cannot keep " + source + " in " + temp.string() + ": " + ec.message();
        fs::remove(held, ec);
        return false;
    }
    error = "no free name in " + temp.string();
    return false;
}

bool QuarantineStore::Add(QuarantineRecord& record, QuarantineHold& hold, std::string& error) {
    if (!hold.Active()) {
        error = "the original was not kept";
        return false;
    }
    std::error_code ec;
    record.size = fs::file_size(hold.Path(), ec);
    if (ec) {
        error = "cannot read " + hold.Path() + ": " + ec.message();
        hold.Drop();
        return false;
    }
    if (std::FILE* f = std::fopen(hold.Path().c_str(), "rb+")) {
        const bool synced = SyncFile(f);
        std::fclose(f);
        if (!synced) {
            error = "cannot put " + hold.Path() + " on disk";
            hold.Drop();
            return false;
        }
    }
    if (record.time == 0)
        record.time = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    const fs::path dir(m_dir);
    bool placed = false;
    for (int i = 0; i < QUARANTINE_NAME_TRIES && !placed; ++i) {
        record.id = MakeId(record.time);
        const fs::path mail = dir / (record.id + QUARANTINE_MAIL_SUFFIX);
        fs::create_hard_link(hold.Path(), mail, ec);
        if (!ec) {
            placed = true;
        } else if (!fs::exists(mail)) {
            // A file system without links: the hold renamed, once the name
            // is seen to be free.
            fs::rename(hold.Path(), mail, ec);
            placed = !ec;
            if (ec)
                break;
        }
    }
    hold.Drop();
    if (!placed) {
        error = "cannot put the mail into " + m_dir + (ec ? ": " + ec.message() : "");
        return false;
    }
    const std::string mail = MailPath(record.id);
    const fs::path temp = dir / QUARANTINE_TEMP_FOLDER / (record.id + QUARANTINE_INDEX_SUFFIX);
    if (!WriteSynced(temp.string(), FormatQuarantineRecord(record), error)) {
        fs::remove(mail, ec);
        return false;
    }
    fs::rename(temp, dir / (record.id + QUARANTINE_INDEX_SUFFIX), ec);
    if (ec) {
        error = "cannot put the index record into " + m_dir + ": " + ec.message();
        fs::remove(temp, ec);
        fs::remove(mail, ec);
        return false;
    }
    if (!SyncPath(m_dir)) {
        error = "cannot put the folder " + m_dir + " on disk";
        return false;
    }
    return true;
}

std::string QuarantineStore::MailPath(const std::string& id) const {
    return (fs::path(m_dir) / (id + QUARANTINE_MAIL_SUFFIX)).string();
}

bool QuarantineStore::Read(const std::string& id, QuarantineRecord& record,
                           std::string& error) const {
    if (!ValidQuarantineId(id)) {
        error = "'" + id + "' is not a quarantine id";
        return false;
    }
    const fs::path index = fs::path(m_dir) / (id + QUARANTINE_INDEX_SUFFIX);
    std::error_code ec;
    if (!fs::exists(index, ec)) {
        error = "no quarantine entry " + id;
        return false;
    }
    std::string text;
    if (!ReadText(index.string(), text)) {
        error = id + ": cannot read its index record";
        return false;
    }
    std::string why;
    if (!ParseQuarantineRecord(text, record, why)) {
        error = id + ": damaged index record: " + why;
        return false;
    }
    if (record.id != id) {
        error = id + ": damaged index record: it names the entry " + record.id;
        return false;
    }
    if (!fs::is_regular_file(MailPath(id), ec)) {
        error = id + ": its mail " + MailPath(id) + " is missing";
        return false;
    }
    return true;
}

QuarantineListing QuarantineStore::List() const {
    QuarantineListing listing;
    std::error_code ec;
    for (fs::directory_iterator it(m_dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!EndsWith(name, QUARANTINE_INDEX_SUFFIX) || !it->is_regular_file(ec))
            continue;
        const std::string id =
            name.substr(0, name.size() - std::string(QUARANTINE_INDEX_SUFFIX).size());
        QuarantineRecord record;
        std::string error;
        if (Read(id, record, error))
            listing.entries.push_back(std::move(record));
        else
            listing.damaged.push_back(ValidQuarantineId(id) ? error
                                                            : name + ": not a quarantine id");
    }
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const QuarantineRecord& a, const QuarantineRecord& b) {
                  return a.time != b.time ? a.time < b.time : a.id < b.id;
              });
    std::sort(listing.damaged.begin(), listing.damaged.end());
    return listing;
}

bool QuarantineStore::Remove(const std::string& id, std::string& error) {
    if (!ValidQuarantineId(id)) {
        error = "'" + id + "' is not a quarantine id";
        return false;
    }
    const fs::path index = fs::path(m_dir) / (id + QUARANTINE_INDEX_SUFFIX);
    const fs::path mail = MailPath(id);
    std::error_code ec;
    const bool hadIndex = fs::exists(index, ec);
    if (!hadIndex && !fs::exists(mail, ec)) {
        error = "no quarantine entry " + id;
        return false;
    }
    if (hadIndex && !fs::remove(index, ec)) {
        error = "cannot remove " + index.string() + ": " + ec.message();
        return false;
    }
    fs::remove(mail, ec);
    if (ec) {
        error = "cannot remove " + mail.string() + ": " + ec.message();
        return false;
    }
    return true;
}

std::vector<std::string> QuarantineStore::Expire(std::int64_t cutoff, std::int64_t now,
                                                 std::vector<std::string>& errors) {
    std::vector<std::string> removed;
    for (const QuarantineRecord& r : List().entries) {
        if (r.time > cutoff)
            continue;
        std::string error;
        if (Remove(r.id, error))
            removed.push_back(r.id);
        else
            errors.push_back(error);
    }
    const auto age = std::chrono::seconds(std::max(now - cutoff, QUARANTINE_TEMP_GRACE_SECONDS));
    const fs::file_time_type oldest = fs::file_time_type::clock::now() - age;
    std::error_code ec;
    const fs::path temp = fs::path(m_dir) / QUARANTINE_TEMP_FOLDER;
    for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        if (it->is_regular_file(fileEc) && it->last_write_time(fileEc) < oldest)
            fs::remove(it->path(), fileEc);
    }
    return removed;
}
