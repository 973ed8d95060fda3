/*
 * archive_list.cpp - archive members through libarchive (contract in
 * archive_list.h).
 *
 * Only the formats and filters named below are switched on: libarchive's
 * "all" would also bring filters that run outside programs (lrzip, lzop,
 * grzip), which a mail filter must never start for a sender.
 */
#include "inspect/archive_list.h"

#include <chrono>
#include <memory>
#include <string>

#include "inspect/content_type.h"

#if !defined(_WIN32)
#include <archive.h>
#include <archive_entry.h>
#endif

namespace {

// Names a compressed stream's single member from the stream's own name.
std::string StreamMemberName(std::string_view name) {
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    struct Suffix {
        std::string_view from, to;
    };
    constexpr Suffix SUFFIXES[] = {{".tgz", ".tar"}, {".tbz2", ".tar"}, {".tbz", ".tar"},
                                   {".txz", ".tar"}, {".gz", ""},       {".bz2", ""},
                                   {".xz", ""},      {".z", ""}};
    for (const Suffix& s : SUFFIXES) {
        if (name.size() > s.from.size()) {
            std::string_view tail = name.substr(name.size() - s.from.size());
            bool same = true;
            for (std::size_t i = 0; i < tail.size() && same; ++i)
                same = (tail[i] | 0x20) == (s.from[i] | 0x20);
            if (same)
                return std::string(name.substr(0, name.size() - s.from.size())) + std::string(s.to);
        }
    }
    return name.empty() ? "data" : std::string(name);
}

#if !defined(_WIN32)

struct ReadCloser {
    void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ReadCloser>;

// Bytes asked of libarchive at a time.
constexpr std::size_t READ_BLOCK = 64 * 1024;

class CLister {
  public:
    CLister(const ArchiveLimits& limits, ArchiveListing& listing)
        : m_limits(limits), m_listing(listing), m_start(std::chrono::steady_clock::now()) {}

    // Lists one archive level; false when the listing must stop (a limit).
    bool List(const void* pData, std::size_t nLength, std::string_view type, std::string_view name,
              const std::string& prefix, int depth);

  private:
    static ArchivePtr Open(const void* pData, std::size_t nLength, bool bRaw);
    bool TimeUp() {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - m_start);
        return static_cast<std::uint64_t>(spent.count()) > m_limits.nMaxMillis;
    }
    // Marks the listing as not whole; the first problem is the one told.
    void Unreadable(const std::string& problem) {
        if (!m_listing.bUnreadable) {
            m_listing.bUnreadable = true;
            m_listing.strProblem = problem;
        }
    }
    // A limit: the listing ends here, at every level. Returns false.
    bool Stop(const std::string& problem) {
        Unreadable(problem);
        m_bStopped = true;
        return false;
    }
    bool StopForTime() {
        return Stop("listing took longer than " + std::to_string(m_limits.nMaxMillis) + " ms");
    }
    // Counts `n` more unpacked bytes; false (stopped) past the limit.
    bool Count(std::uint64_t n) {
        m_listing.nUnpacked += n;
        if (m_listing.nUnpacked <= m_limits.nMaxUnpacked)
            return true;
        return Stop("unpacked size above " + std::to_string(m_limits.nMaxUnpacked) + " bytes");
    }
    // One member's data as it is read: what its header declared (counted
    // before reading) and what was read so far.
    struct MemberRead {
        std::int64_t declared = -1;
        std::uint64_t counted = 0;
        std::uint64_t read = 0;
    };
    // Appends the member's next bytes to `kept` until it holds `want` bytes
    // or the member ends. 1: more data follows; 0: the member ended; -1: a
    // read error (listing unreadable) or a limit (stopped).
    int ReadInto(archive* a, MemberRead& m, std::string& kept, std::size_t want,
                 const std::string& path);
    // Reads past the rest of the member: skipped where its size was counted
    // already, else read through and counted. False on an error or a limit.
    bool Rest(archive* a, MemberRead& m, const std::string& path);

    const ArchiveLimits& m_limits;
    ArchiveListing& m_listing;
    std::size_t m_nEntries = 0;  // members and folders seen, every level
    bool m_bStopped = false;     // a limit ended the listing
    std::chrono::steady_clock::time_point m_start;
};

ArchivePtr CLister::Open(const void* pData, std::size_t nLength, bool bRaw) {
    ArchivePtr a(archive_read_new());
    if (!a)
        return a;
    archive_read_support_filter_gzip(a.get());
    archive_read_support_filter_bzip2(a.get());
    archive_read_support_filter_xz(a.get());
    archive_read_support_filter_lzma(a.get());
    if (bRaw) {
        archive_read_support_format_raw(a.get());
    } else {
        archive_read_support_format_zip_seekable(a.get());
        archive_read_support_format_7zip(a.get());
        archive_read_support_format_rar(a.get());
        archive_read_support_format_rar5(a.get());
        archive_read_support_format_tar(a.get());
        archive_read_support_format_gnutar(a.get());
        archive_read_support_format_cab(a.get());
        archive_read_support_format_iso9660(a.get());
    }
    if (archive_read_open_memory(a.get(), pData, nLength) != ARCHIVE_OK)
        a.reset();
    return a;
}

int CLister::ReadInto(archive* a, MemberRead& m, std::string& kept, std::size_t want,
                      const std::string& path) {
    char block[READ_BLOCK];
    while (kept.size() < want) {
        if (TimeUp()) {
            StopForTime();
            return -1;
        }
        const std::size_t ask = std::min(sizeof block, want - kept.size());
        const la_ssize_t n = archive_read_data(a, block, ask);
        if (n == 0)
            return 0;
        if (n < 0) {
            const char* why = archive_error_string(a);
            Unreadable("member " + path + " cannot be read: " + (why ? why : "error"));
            return -1;
        }
        m.read += static_cast<std::uint64_t>(n);
        if (m.read > m.counted) {
            const std::uint64_t more = m.read - m.counted;
            m.counted = m.read;
            if (!Count(more))
                return -1;
        }
        kept.append(block, static_cast<std::size_t>(n));
    }
    return 1;
}

bool CLister::Rest(archive* a, MemberRead& m, const std::string& path) {
    if (m.declared >= 0) {
        if (archive_read_data_skip(a) == ARCHIVE_OK)
            return true;
        const char* why = archive_error_string(a);
        Unreadable("member " + path + " cannot be read: " + (why ? why : "error"));
        return false;
    }
    std::string scratch;
    for (;;) {
        scratch.clear();
        const int r = ReadInto(a, m, scratch, READ_BLOCK, path);
        if (r <= 0)
            return r == 0;
    }
}

bool CLister::List(const void* pData, std::size_t nLength, std::string_view type,
                   std::string_view name, const std::string& prefix, int depth) {
    const bool bStream = inspect_is_compressed_stream(type);
    ArchivePtr a = Open(pData, nLength, false);
    bool bRaw = false;
    if (!a && bStream) {
        // A compressed file that holds no tar: one member.
        a = Open(pData, nLength, true);
        bRaw = true;
    }
    if (!a) {
        Unreadable((prefix.empty() ? std::string("archive") : prefix) +
                   " cannot be opened (damaged, or a format that cannot be read)");
        return true;
    }
    for (;;) {
        if (TimeUp())
            return StopForTime();
        archive_entry* entry = nullptr;
        const int r = archive_read_next_header(a.get(), &entry);
        if (r == ARCHIVE_EOF)
            return true;
        if (r < ARCHIVE_WARN) {
            const char* why = archive_error_string(a.get());
            const std::string text = why ? why : "error";
            if (archive_read_has_encrypted_entries(a.get()) > 0 ||
                text.find("ncrypt") != std::string::npos) {
                m_listing.bEncrypted = true;
                return true;
            }
            Unreadable((prefix.empty() ? std::string("archive") : prefix) + " is damaged: " + text);
            return true;
        }
        if (++m_nEntries > m_limits.nMaxMembers)
            return Stop("more than " + std::to_string(m_limits.nMaxMembers) + " members");
        if (archive_entry_filetype(entry) == AE_IFDIR)
            continue;
        ArchiveMember member;
        const char* path = archive_entry_pathname_utf8(entry);
        if (path == nullptr)
            path = archive_entry_pathname(entry);
        member.strName = bRaw ? StreamMemberName(name) : (path ? path : "");
        member.strPath = prefix.empty() ? member.strName : prefix + "/" + member.strName;
        member.nDepth = depth;
        member.bEncrypted = archive_entry_is_encrypted(entry) != 0;
        if (member.bEncrypted) {
            m_listing.bEncrypted = true;
            m_listing.members.push_back(std::move(member));
            continue;
        }
        MemberRead m;
        m.declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        const std::size_t index = m_listing.members.size();
        m_listing.members.push_back(member);
        if (m.declared > 0) {
            m.counted = static_cast<std::uint64_t>(m.declared);
            if (!Count(m.counted))
                return false;
        }
        std::string bytes;
        const int got = ReadInto(a.get(), m, bytes, TYPE_PROBE_BYTES, member.strPath);
        if (m_bStopped)
            return false;
        if (got < 0)
            continue;  // unreadable; the next member may still be listed
        member.strType = inspect_type_of(bytes.data(), bytes.size());
        m_listing.members[index].strType = member.strType;
        const bool bNested = inspect_is_archive(member.strType);
        if (bNested && depth >= m_limits.nMaxDepth) {
            Unreadable(member.strPath + " is nested deeper than " +
                       std::to_string(m_limits.nMaxDepth) + " archives");
        } else if (bNested) {
            if (got > 0 &&
                ReadInto(a.get(), m, bytes, static_cast<std::size_t>(-1), member.strPath) < 0)
                continue;
            if (!List(bytes.data(), bytes.size(), member.strType, member.strName, member.strPath,
                      depth + 1) &&
                m_bStopped)
                return false;
            continue;
        }
        if (got > 0 && !Rest(a.get(), m, member.strPath) && m_bStopped)
            return false;
    }
}

#endif

}  // namespace

bool inspect_list_archive(const void* pData, std::size_t nLength, std::string_view type,
                          std::string_view name, const ArchiveLimits& limits,
                          ArchiveListing& listing) {
    if (!inspect_is_archive(type))
        return false;
#if !defined(_WIN32)
    CLister lister(limits, listing);
    lister.List(pData, nLength, type, name, std::string(), 1);
#else
    (void)pData;
    (void)nLength;
    (void)name;
    (void)limits;
    (void)StreamMemberName;
    listing.bUnreadable = true;
    listing.strProblem = "archives cannot be listed on this platform";
#endif
    return true;
}
