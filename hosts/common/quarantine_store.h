/*
 * quarantine_store.h - the quarantine both programs keep held mail in, so
 * that an operator can list, look at, give back or delete it later.
 *
 * LAYOUT of the folder (Quarantine.Dir, default <DataDir>/quarantine; made
 * owner-only):
 *   ID.eml   the mail as it arrived, byte for byte (or a moved attachment)
 *   ID.idx   its index record (below)
 *   tmp/     files on their way in (held originals, records being written)
 * An entry is listed when its ID.idx exists. Add writes the mail and the
 * record in tmp/, puts the mail in place under a name no entry has (a link,
 * which never replaces a file), and renames the record in last, after both
 * are on disk: a crash leaves at most a file that is not listed, never a
 * listed entry without its mail or with half a record. Remove takes the
 * record away first for the same reason.
 *
 * IDS are "YYYYMMDD-HHMMSS-" (the time of the entry, UTC) and
 * QUARANTINE_ID_RANDOM random letters and digits: they sort by time, are
 * safe as file names everywhere, and ValidQuarantineId refuses anything
 * else a user types (no dot, no slash, so no path can be named).
 *
 * HOLDING AN ORIGINAL before a check that may rewrite it: Hold makes a
 * second name for `source` in tmp/ (a hard link where the file system
 * allows, which costs no copy: the library writes every result into a new
 * file that replaces the old name, so the link keeps the bytes as they
 * arrived; a copy otherwise). The QuarantineHold removes that name when it
 * is destroyed, unless Add took it into an entry.
 *
 * THE INDEX RECORD is text, one "Key: value" a line, values on one line
 * (control characters become blanks, at most QUARANTINE_VALUE_MAX bytes):
 *   Mailward-Quarantine: 1        (first line, the format)
 *   Id, Kind (message | attachment), Time (seconds since 1970, UTC),
 *   Queue-Id, Sender, Recipient (one line each), Subject, Verdict,
 *   Reason (virus or rule names, one line each), Size (bytes of ID.eml),
 *   Origin (the program that held it), Parent and Name (an attachment:
 *   the id of the message entry it came from, "" when that mail was not
 *   held, and its file name)
 * ParseQuarantineRecord refuses a record without the first line, an Id,
 * Kind, Time or Size, or with a number that is not one; List reports such
 * an entry (and one whose mail is missing) as damaged and goes on.
 *
 * All functions return false with the reason in `error`; an unknown or
 * invalid id is named in it. One process may use a store from several
 * threads; several processes may share a folder (every name is made
 * exclusively).
 */
#ifndef MAILWARD_HOSTKIT_QUARANTINE_STORE_H
#define MAILWARD_HOSTKIT_QUARANTINE_STORE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr const char* QUARANTINE_MAIL_SUFFIX = ".eml";
constexpr const char* QUARANTINE_INDEX_SUFFIX = ".idx";
constexpr const char* QUARANTINE_TEMP_FOLDER = "tmp";
constexpr const char* QUARANTINE_FORMAT_LINE = "Mailward-Quarantine: 1";
constexpr std::size_t QUARANTINE_ID_RANDOM = 8;
constexpr std::size_t QUARANTINE_ID_MAX = 64;
constexpr std::size_t QUARANTINE_VALUE_MAX = 4096;
constexpr int QUARANTINE_NAME_TRIES = 16;
// Files in tmp/ younger than this are never expired: a check may still be
// holding them.
constexpr std::int64_t QUARANTINE_TEMP_GRACE_SECONDS = 2 * 24 * 3600;
// The folder below DataDir when Quarantine.Dir is not set.
constexpr const char* QUARANTINE_DEFAULT_FOLDER = "quarantine";

enum class QuarantineKind { Message, Attachment };

struct QuarantineRecord {
    std::string id;
    QuarantineKind kind = QuarantineKind::Message;
    std::int64_t time = 0;
    std::string queueId;
    std::string sender;  // "" for the null sender
    std::vector<std::string> recipients;
    std::string subject;
    std::string verdict;
    std::vector<std::string> reasons;  // virus names, rule names
    std::uint64_t size = 0;
    std::string origin;
    std::string parent;  // attachment: its message's entry
    std::string name;    // attachment: its file name
};

struct QuarantineListing {
    std::vector<QuarantineRecord> entries;  // oldest first
    std::vector<std::string> damaged;       // "ID: reason"
};

bool ValidQuarantineId(std::string_view id);
const char* QuarantineKindName(QuarantineKind kind);
std::string FormatQuarantineRecord(const QuarantineRecord& record);
bool ParseQuarantineRecord(std::string_view text, QuarantineRecord& record, std::string& error);
// "2024-01-31 12:00:00 UTC".
std::string QuarantineTimeText(std::int64_t seconds);
// Quarantine.Dir in force: the key's value (relative: below `dataDir`), or
// <dataDir>/quarantine.
std::string QuarantineDirFor(const std::string& configured, const std::string& dataDir);

class QuarantineStore;

// A held original (see the top); movable, not copyable.
class QuarantineHold {
  public:
    QuarantineHold() = default;
    ~QuarantineHold() { Drop(); }
    QuarantineHold(QuarantineHold&& other) noexcept : m_path(std::move(other.m_path)) {
        other.m_path.clear();
    }
    QuarantineHold& operator=(QuarantineHold&& other) noexcept;
    QuarantineHold(const QuarantineHold&) = delete;
    QuarantineHold& operator=(const QuarantineHold&) = delete;

    bool Active() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    // Removes the held name.
    void Drop();

  private:
    friend class QuarantineStore;
    std::string m_path;
};

class QuarantineStore {
  public:
    // Makes the folder and tmp/ (owner-only) when missing.
    bool Open(const std::string& dir, std::string& error);
    const std::string& Dir() const { return m_dir; }

    bool Hold(const std::string& source, QuarantineHold& hold, std::string& error);
    // Makes an entry of `hold`'s file: `record` gets its id, time (now,
    // unless set) and size. The hold is used up, also on failure.
    bool Add(QuarantineRecord& record, QuarantineHold& hold, std::string& error);

    QuarantineListing List() const;
    bool Read(const std::string& id, QuarantineRecord& record, std::string& error) const;
    std::string MailPath(const std::string& id) const;
    // Removes an entry (also a damaged one).
    bool Remove(const std::string& id, std::string& error);
    // Removes every entry made at or before `cutoff` (seconds since 1970) and the
    // leftovers in tmp/ older than it and than QUARANTINE_TEMP_GRACE_SECONDS;
    // the ids removed. Damaged entries are left for the operator to see.
    std::vector<std::string> Expire(std::int64_t cutoff, std::int64_t now,
                                    std::vector<std::string>& errors);

  private:
    std::string m_dir;
};

#endif
