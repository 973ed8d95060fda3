// sigdb.cpp - reading .ndb body signatures and finding them in files (see
// sigdb.h for the contract).
//
// Matching: every signature is filed under its first two bytes, so at each
// position of the data only the signatures that begin with the two bytes
// found there are compared. Files are read in chunks; the last
// (longest signature - 1) bytes of a chunk are carried over to the next, so a
// signature that straddles two chunks is still found, and each start
// position is tried exactly once.
#include "vaveriz/sigdb.h"
#include "pf/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace vaveriz {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseHex(std::string_view hex, std::string* bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexValue(hex[i]);
        int lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        bytes->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

bool IsNumber(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsGoodName(std::string_view name) {
    return !name.empty() && name.size() <= SIGDB_MAX_NAME &&
           std::all_of(name.begin(), name.end(), [](char c) {
               unsigned char u = static_cast<unsigned char>(c);
               return u > 0x20 && u < 0x7f;
           });
}

unsigned Prefix(const unsigned char* p) {
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

}  // namespace

bool SigDb::AddLine(std::string_view line) {
    std::vector<std::string_view> fields;
    while (true) {
        std::size_t colon = line.find(':');
        fields.push_back(line.substr(0, colon));
        if (colon == std::string_view::npos) {
            break;
        }
        line.remove_prefix(colon + 1);
    }
    if (fields.size() < 4 || fields.size() > 6 || m_sigs.size() >= SIGDB_MAX_SIGNATURES) {
        return false;
    }
    Signature sig;
    if (!IsGoodName(fields[0]) || !IsNumber(fields[1]) || fields[2] != "*" ||
        !ParseHex(fields[3], &sig.bytes) || sig.bytes.size() < SIGDB_MIN_SIG_BYTES ||
        sig.bytes.size() > SIGDB_MAX_SIG_BYTES) {
        return false;
    }
    sig.name.assign(fields[0]);
    m_maxLen = std::max(m_maxLen, sig.bytes.size());
    m_sigs.push_back(std::move(sig));
    return true;
}

void SigDb::AddNdb(std::string_view text, std::size_t* skipped) {
    std::size_t skippedHere = 0;
    while (!text.empty()) {
        std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (!AddLine(line)) {
            ++skippedHere;
        }
    }
    m_skipped += skippedHere;
    if (skipped != nullptr) {
        *skipped = skippedHere;
    }
}

bool SigDb::LoadFile(const std::string& path, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = path + ": cannot open";
        return false;
    }
    std::string text;
    char chunk[8192];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() <= SIGDB_MAX_FILE) {
        text.append(chunk, n);
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || text.size() > SIGDB_MAX_FILE) {
        *error = path + (failed ? ": read error" : ": file too large");
        return false;
    }
    AddNdb(text);
    return true;
}

bool SigDb::LoadDir(const std::string& dir, std::string* error) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string ext = pf::ascii_lower(it->path().extension().string());
        if (ext == ".ndb") {
            files.push_back(it->path());
        }
    }
    if (ec) {
        *error = dir + ": cannot read folder: " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        if (!LoadFile(file.string(), error)) {
            return false;
        }
    }
    return true;
}

void SigDb::Compile() {
    m_start.assign(65537, 0);
    for (const Signature& sig : m_sigs) {
        ++m_start[Prefix(reinterpret_cast<const unsigned char*>(sig.bytes.data())) + 1];
    }
    for (std::size_t k = 1; k < m_start.size(); ++k) {
        m_start[k] += m_start[k - 1];
    }
    m_ids.assign(m_sigs.size(), 0);
    std::vector<std::uint32_t> fill(m_start.begin(), m_start.end() - 1);
    for (std::uint32_t id = 0; id < m_sigs.size(); ++id) {
        unsigned k = Prefix(reinterpret_cast<const unsigned char*>(m_sigs[id].bytes.data()));
        m_ids[fill[k]++] = id;
    }
}

long SigDb::FindIn(const unsigned char* data, std::size_t size, std::size_t limit) const {
    if (m_start.empty()) {
        return -1;
    }
    for (std::size_t p = 0; p < limit && p + 1 < size; ++p) {
        unsigned k = Prefix(data + p);
        for (std::uint32_t i = m_start[k]; i < m_start[k + 1]; ++i) {
            const std::string& bytes = m_sigs[m_ids[i]].bytes;
            if (p + bytes.size() <= size &&
                std::memcmp(data + p + 2, bytes.data() + 2, bytes.size() - 2) == 0) {
                return static_cast<long>(m_ids[i]);
            }
        }
    }
    return -1;
}

const std::string* SigDb::ScanBuffer(const unsigned char* data, std::size_t size) const {
    long id = FindIn(data, size, size);
    return id < 0 ? nullptr : &m_sigs[static_cast<std::size_t>(id)].name;
}

int SigDb::ScanFile(const char* path, std::string* name) const {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return -1;
    }
    std::size_t keep = m_maxLen > 0 ? m_maxLen - 1 : 0;
    std::vector<unsigned char> buf(keep + SIGDB_SCAN_CHUNK);
    std::size_t have = 0;  // bytes carried over from the chunk before
    int result = 0;
    while (true) {
        std::size_t n = std::fread(buf.data() + have, 1, SIGDB_SCAN_CHUNK, f);
        if (std::ferror(f)) {
            result = -1;
            break;
        }
        std::size_t size = have + n;
        bool last = n < SIGDB_SCAN_CHUNK;
        // Start positions whose longest possible match is wholly in the
        // buffer now; the rest wait for the next chunk.
        std::size_t limit = last ? size : (size > keep ? size - keep : 0);
        long id = FindIn(buf.data(), size, limit);
        if (id >= 0) {
            *name = m_sigs[static_cast<std::size_t>(id)].name;
            result = 1;
            break;
        }
        if (last) {
            break;
        }
        have = size - limit;
        std::memmove(buf.data(), buf.data() + limit, have);
    }
    std::fclose(f);
    return result;
}

}  // namespace vaveriz
