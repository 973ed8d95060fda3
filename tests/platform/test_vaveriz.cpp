/*
 * test_vaveriz.cpp - the virus engine through its exports: findings (EICAR,
 * every clamav-testfiles sample), clean files, failures, the per-thread virus
 * name, the version text, (re)loading signature folders, scans of data in
 * memory (the same results as of the same bytes in a file), and scans from
 * several threads during reloads. On Windows the engine is the portable
 * signature reader (tested here on every platform: which .ndb lines it takes,
 * where it finds signatures, chunk edges, folders); it finds only the samples
 * that hold the test program unpacked (RAW_CLAM_SAMPLES).
 */
#include "miralib/miralib.h"
#include "ndb_line.h"
#include "pf_scratch.h"
#include "qorcsock_capture.h"
#include "vaveriz/sigdb.h"
#include "vaveriz/vaveriz.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <zlib.h>
#endif

#include <atomic>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using pftest::NdbLine;

const char* TESTFILES_DIR = "/usr/share/clamav-testfiles";

// EICAR, put together at run time so that this file is no test virus itself.
std::string EicarText() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!" +
           "$H+H*";
}

#if defined(_WIN32)
const char* ENGINE_PREFIX = "mailward-sigscan ";
// The samples that hold clam.exe's bytes unpacked and unencoded.
const std::set<std::string> RAW_CLAM_SAMPLES = {
    "clam-fsg.exe", "clam.bin-be.cpio", "clam.bin-le.cpio",  "clam.cab",
    "clam.exe",     "clam.newc.cpio",   "clam.odc.cpio",     "clam.ole.doc",
    "clam.pdf",     "clam.tnef",        "clam_IScab_ext.exe"};
#else
const char* ENGINE_PREFIX = "ClamAV ";
#endif

const char* MARKER = "mailward reload marker 7f3a";

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The number before " signatures" at the end of the version text, or -1.
long SignatureCount(const std::string& version) {
    std::smatch m;
    return std::regex_search(version, m, std::regex(" ([0-9]+) signatures$")) ? std::stol(m[1])
                                                                              : -1;
}

// The engine's result for the bytes of the file at `path`, scanned in memory.
int CheckContents(const std::string& path) {
    const std::string data = pftest::ReadFile(path);
    return AV_CheckBuffer(data.data(), data.size(), path.c_str());
}

std::string Version() {
    return AV_GetEngineVersion(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

class VaverizEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        miraconf_reset();  // only the shipped database, whatever is installed
        ASSERT_EQ(0, miraconf_set("SystemSignatureDir", ""));
        m_eicar = m_scratch.Path("eicar.com");
        m_clean = m_scratch.Path("clean.txt");
        m_marker = m_scratch.Path("marker.bin");
        ASSERT_TRUE(pftest::WriteFile(m_eicar, EicarText()));
        ASSERT_TRUE(pftest::WriteFile(m_clean, "Hello,\r\nnothing to see here.\r\n"));
        ASSERT_TRUE(pftest::WriteFile(m_marker, std::string("head ") + MARKER + " tail"));
        ASSERT_EQ(0, AV_Init());
    }
    void TearDown() override {
        AV_Exit();
        miraconf_reset();
    }
    // A signature folder in the scratch folder holding the given .ndb text.
    std::string SignatureFolder(const std::string& name, const std::string& ndb) {
        std::string dir = m_scratch.Path(name);
        std::filesystem::create_directories(dir);
        EXPECT_TRUE(pftest::WriteFile(dir + pf::path_sep() + "own.ndb", ndb));
        return dir;
    }

    pftest::Scratch m_scratch;
    std::string m_eicar, m_clean, m_marker;
};

TEST_F(VaverizEngine, EicarIsInfectedCleanFilesGiveZeroFailuresMinusOne) {
    EXPECT_EQ(1, AV_CheckFile(m_eicar.c_str()));
    EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "Mailward.Test.EICAR")) << AV_GetLastVirusName();
    std::string empty = m_scratch.Path("empty");
    ASSERT_TRUE(pftest::WriteFile(empty, ""));
    EXPECT_EQ(0, AV_CheckFile(m_clean.c_str()));
    EXPECT_EQ(0, AV_CheckFile(empty.c_str()));
    EXPECT_EQ(0, AV_CheckFile(m_marker.c_str()));
    EXPECT_EQ(-1, AV_CheckFile(m_scratch.Path("missing.txt").c_str()));
    EXPECT_EQ(-1, AV_CheckFile(m_scratch.str().c_str()));
    EXPECT_EQ(-1, AV_CheckFile(""));
    EXPECT_EQ(-1, AV_CheckFile(nullptr));
    // The last name is the thread's own and outlives clean and failed scans.
    EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "Mailward.Test.EICAR"));
    std::string other = "unset";
    std::thread([&] { other = AV_GetLastVirusName(); }).join();
    EXPECT_EQ("", other);
}

// Data in memory gives what the same bytes give in a file; the name only
// labels error lines.
TEST_F(VaverizEngine, BufferScansGiveTheResultsOfFiles) {
    const std::string eicar = EicarText();
    const std::string clean = "Hello,\r\nnothing to see here.\r\n";
    const std::string wrapped = "some text before " + eicar + " and after";
    struct Row {
        const void* data;
        std::size_t size;
        const char* name;
        int expected;
    };
    const Row rows[] = {
        {eicar.data(), eicar.size(), "eicar", 1},
        {wrapped.data(), wrapped.size(), nullptr, 1},
        {clean.data(), clean.size(), "clean", 0},
        {clean.data(), 0, "", 0},
        {nullptr, 0, "nothing", 0},
        {nullptr, 5, "null data", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name != nullptr ? row.name : "(null name)");
        EXPECT_EQ(row.expected, AV_CheckBuffer(row.data, row.size, row.name));
        if (row.expected == 1) {
            EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "Mailward.Test.EICAR"))
                << AV_GetLastVirusName();
        }
    }
    EXPECT_EQ(CheckContents(m_marker), AV_CheckFile(m_marker.c_str()));
    AV_Exit();
    EXPECT_EQ(-1, AV_CheckBuffer(eicar.data(), eicar.size(), "eicar"));
    EXPECT_EQ(-1, AV_CheckBuffer(clean.data(), 0, "empty"));
}

#if !defined(_WIN32)
// libclamav makes a folder per scan: it goes below TempDir, read at each
// load. A TempDir that is a plain file fails the scans; a folder serves.
TEST_F(VaverizEngine, EngineTemporaryFilesGoBelowTempDir) {
    const std::string zip = std::string(TESTFILES_DIR) + "/clam.zip";
    const std::string notAFolder = m_scratch.Path("not-a-folder");
    ASSERT_TRUE(pftest::WriteFile(notAFolder, "x"));
    ASSERT_EQ(0, miraconf_set("TempDir", notAFolder.c_str()));
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(-1, AV_CheckFile(zip.c_str()));
    EXPECT_EQ(-1, CheckContents(zip));
    ASSERT_EQ(0, miraconf_set("TempDir", m_scratch.str().c_str()));
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(1, AV_CheckFile(zip.c_str()));
    EXPECT_EQ(1, CheckContents(zip));
}
#endif

#if !defined(_WIN32)
// One member of a zip archive the tests build: stored or deflated, and in
// the forms hostile archives take (zip64 sizes, the encryption flag on, a
// stated size other than the real one).
struct ZipMember {
    std::string name;
    std::string data;
    bool deflate = false;
    bool zip64 = false;      // sizes 0xFFFFFFFF, the real ones in a zip64 field
    bool encrypted = false;  // flag bit 0 set (the data itself stays plain)
    long statedSize = -1;    // the uncompressed size the headers state
};

std::string Deflated(const std::string& data) {
    z_stream z{};
    EXPECT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY));
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Zip(const std::vector<ZipMember>& members) {
    auto le = [](std::string& out, std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    std::string body, directory;
    for (const ZipMember& m : members) {
        const std::string packed = m.deflate ? Deflated(m.data) : m.data;
        const auto crc = static_cast<std::uint32_t>(crc32(
            0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
        const std::uint64_t size =
            m.statedSize >= 0 ? static_cast<std::uint64_t>(m.statedSize) : m.data.size();
        const std::uint32_t offset = static_cast<std::uint32_t>(body.size());
        // Python's zipfile writes a zip64 entry as libclamav misreads it: the
        // local header holds 0xFFFFFFFF and the zip64 field, the central
        // directory the real sizes.
        std::string extra;
        if (m.zip64) {
            le(extra, 1, 2), le(extra, 16, 2), le(extra, size, 8), le(extra, packed.size(), 8);
        }
        auto common = [&](bool local) {  // version, flags, method, time, date, crc, sizes, name
            std::string c;
            const bool mark = local && m.zip64;
            le(c, m.zip64 ? 45 : 20, 2), le(c, m.encrypted ? 1 : 0, 2);
            le(c, m.deflate ? 8 : 0, 2), le(c, 0, 4), le(c, crc, 4);
            le(c, mark ? 0xFFFFFFFFu : packed.size(), 4), le(c, mark ? 0xFFFFFFFFu : size, 4);
            le(c, m.name.size(), 2);
            return c;
        };
        le(body, 0x04034b50, 4), body += common(true), le(body, extra.size(), 2);
        body += m.name + extra + packed;
        le(directory, 0x02014b50, 4), le(directory, 20, 2), directory += common(false);
        le(directory, 0, 2), le(directory, 0, 2), le(directory, 0, 2);
        le(directory, 0, 2), le(directory, 0, 4), le(directory, offset, 4);
        directory += m.name;
    }
    std::string zip = body + directory;
    const auto count = members.size();
    le(zip, 0x06054b50, 4), le(zip, 0, 2), le(zip, 0, 2), le(zip, count, 2), le(zip, count, 2);
    le(zip, directory.size(), 4), le(zip, body.size(), 4), le(zip, 0, 2);
    return zip;
}

// A zip archive holding the files uncompressed ("stored").
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<ZipMember> members;
    for (const auto& [name, data] : files)
        members.push_back(ZipMember{name, data});
    return Zip(members);
}

// A scan that reaches one of the configured limits fails with a line naming
// the limit; with the defaults the same files give their real result.
TEST_F(VaverizEngine, ScansThatReachALimitFailAndNameIt) {
    const std::string big = m_scratch.Path("big.txt");
    const std::string nested = m_scratch.Path("nested.zip");
    const std::string many = m_scratch.Path("many.zip");
    ASSERT_TRUE(pftest::WriteFile(big, std::string(4096, 'a')));
    ASSERT_TRUE(pftest::WriteFile(
        nested, StoredZip({{"inner.zip", StoredZip({{"a.txt", "nothing to see"}})}})));
    ASSERT_TRUE(pftest::WriteFile(
        many, StoredZip({{"a.txt", "first"}, {"b.txt", "second"}, {"c.txt", "third"}})));
    struct Row {
        const char* key;
        const char* value;
        const std::string& file;
        int withDefaults;
        const char* limit;
    };
    const Row rows[] = {
        {"EngineMaxFileSize", "1", big, 0, "MaxFileSize"},
        {"EngineMaxScanSize", "1", big, 0, "MaxScanSize"},
        {"EngineMaxRecursion", "1", nested, 0, "MaxRecursion"},
        {"EngineMaxFiles", "1", many, 0, "MaxFiles"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        ASSERT_EQ(0, miraconf_set(row.key, nullptr));
        ASSERT_EQ(0, AV_Init());
        EXPECT_EQ(row.withDefaults, AV_CheckFile(row.file.c_str()));
        EXPECT_EQ(row.withDefaults, CheckContents(row.file));
        ASSERT_EQ(0, miraconf_set(row.key, row.value));
        ASSERT_EQ(0, AV_Init());
        const std::string line = "vaveriz: scanning " + row.file +
                                 " stopped at a limit: Heuristics.Limits.Exceeded." + row.limit;
        {
            LogCapture log;
            EXPECT_EQ(-1, AV_CheckFile(row.file.c_str()));
            EXPECT_TRUE(log.Has(QLOG_ERROR, line));
        }
        LogCapture log;
        EXPECT_EQ(-1, CheckContents(row.file));  // in memory, labelled by the path
        EXPECT_TRUE(log.Has(QLOG_ERROR, line));
        ASSERT_EQ(0, miraconf_set(row.key, nullptr));
    }
}
#endif

#if !defined(_WIN32)
// libclamav unpacks a zip member larger than EngineMaxFileSize only up to
// that size and passes over zip64 entries and encrypted members, all without
// its limits alert: each such archive fails with a line that says what was
// left out, in a file and in memory, the second time too (libclamav caches
// the files it found clean). With room enough the same virus is found, and a
// virus in a member next to one left out is still a finding.
TEST_F(VaverizEngine, ArchiveMembersTheEngineDidNotScanWholeFailTheScan) {
    const std::string eicar = EicarText();
    const std::string big = std::string(64 * 1024, '\0') + eicar;  // the virus at its end
    struct Row {
        const char* what;
        std::vector<ZipMember> members;
        int withRoom;      // EngineMaxFileSize at its default
        const char* line;  // the error line's text behind the label, at 16 KB
    };
    const Row rows[] = {
        {"member over the limit",
         {{"big.bin", big, true}},
         1,
         " stopped at a limit: MaxFileSize (big.bin, 65604 bytes inside an archive)"},
        {"member stating a small size",
         {{"liar.bin", big, true, false, false, 100}},
         1,
         " stopped at a limit: MaxFileSize (liar.bin, unpacked only up to the limit)"},
        {"zip64 entry",
         {{"z64.com", eicar, true, true}},
         -1,
         " did not see all of it: a zip64 entry the engine does not unpack (z64.com)"},
        {"encrypted member",
         {{"locked.com", eicar, true, false, true}},
         -1,
         " did not see all of it: an encrypted archive member (locked.com)"},
    };
    const std::string path = m_scratch.Path("member.zip");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string zip = Zip(row.members);
        ASSERT_LT(zip.size(), 16384u);  // the archive itself is within the limit
        ASSERT_TRUE(pftest::WriteFile(path, zip));
        ASSERT_EQ(0, miraconf_set("EngineMaxFileSize", nullptr));
        ASSERT_EQ(0, AV_Init());
        EXPECT_EQ(row.withRoom, AV_CheckFile(path.c_str()));
        ASSERT_EQ(0, miraconf_set("EngineMaxFileSize", "16"));
        ASSERT_EQ(0, AV_Init());
        for (int round = 0; round < 2; ++round) {
            LogCapture log;
            EXPECT_EQ(-1, AV_CheckFile(path.c_str()));
            EXPECT_TRUE(log.Has(QLOG_ERROR, "vaveriz: scanning " + path + row.line))
                << (log.Lines().empty() ? "" : log.Lines().back().text);
            const int failure = AV_GetLastFailure();
            EXPECT_EQ(-1, AV_CheckBuffer(zip.data(), zip.size(), "member"));
            EXPECT_TRUE(log.Has(QLOG_ERROR, std::string("vaveriz: scanning member") + row.line));
            // Every gap is a limit (the same bytes stop there at every try);
            // encrypted content alone is told apart: the filter's rules may
            // judge it.
            const bool encrypted = std::string(row.what) == "encrypted member";
            EXPECT_EQ(encrypted ? AV_FAILURE_ENCRYPTED : AV_FAILURE_LIMIT, failure);
            EXPECT_EQ(failure, AV_GetLastFailure());
        }
    }
    // Encrypted content beside a member over the limit is no longer only
    // encrypted content.
    const std::string mixed =
        Zip({{"locked.txt", "secret", true, false, true}, {"big.bin", big, true}});
    EXPECT_EQ(-1, AV_CheckBuffer(mixed.data(), mixed.size(), "mixed"));
    EXPECT_EQ(AV_FAILURE_LIMIT, AV_GetLastFailure());
    // A virus beside what was left out is found.
    const std::string both =
        Zip({{"locked.txt", "secret", true, false, true}, {"v.com", eicar, true}});
    EXPECT_EQ(1, AV_CheckBuffer(both.data(), both.size(), "both"));
    const std::string plain = Zip({{"small.bin", std::string(500, 'x'), true}});
    EXPECT_EQ(0, AV_CheckBuffer(plain.data(), plain.size(), "plain"));
    EXPECT_EQ(AV_FAILURE_NONE, AV_GetLastFailure());
    ASSERT_EQ(0, miraconf_set("EngineMaxFileSize", nullptr));
}
#endif

#if !defined(_WIN32)
// Bytes a clean file scan had whole keep its verdict for the thread's next
// buffer scans of the same bytes, and only that: other bytes, a scan that
// found something, another file scan and a new engine scan anew.
TEST_F(VaverizEngine, BytesAFileScanSawWholeAreNotScannedAgain) {
    const std::string eicar = EicarText();
    const std::string member(3000, 'm');
    const std::string zip = Zip({{"member.bin", member, true}});
    const std::string path = m_scratch.Path("seen.zip");
    ASSERT_TRUE(pftest::WriteFile(path, zip));
    ASSERT_EQ(0, AV_Init());
    const std::string reused = "member was scanned whole already";
    auto buffer = [&](const std::string& bytes, bool expectReuse, int expect) {
        LogCapture log("VAVERIZ");
        EXPECT_EQ(expect, AV_CheckBuffer(bytes.data(), bytes.size(), "member"));
        EXPECT_EQ(expectReuse, log.Contains(QLOG_DEBUG, reused));
    };
    ASSERT_EQ(0, AV_CheckFile(path.c_str()));
    buffer(member, true, 0);
    buffer(zip, true, 0);
    buffer(member + "x", false, 0);
    buffer(eicar, false, 1);
    buffer(member, true, 0);  // a buffer scan forgets nothing
    // A file scan that finds a virus leaves nothing to reuse.
    const std::string infected = m_scratch.Path("infected.zip");
    ASSERT_TRUE(
        pftest::WriteFile(infected, Zip({{"member.bin", member, true}, {"v.com", eicar, true}})));
    ASSERT_EQ(1, AV_CheckFile(infected.c_str()));
    buffer(member, false, 0);
    // Nor does a new engine inherit the old one's.
    ASSERT_EQ(0, AV_CheckFile(path.c_str()));
    ASSERT_EQ(0, AV_Init());
    buffer(member, false, 0);
}
#endif

// Real mails of the test corpus must not be called infected.
TEST_F(VaverizEngine, CorpusMailsAreClean) {
    int scanned = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(MAILWARD_CORPUS_DIR)) {
        if (entry.is_regular_file() && entry.path().parent_path().filename() != "LICENSES") {
            EXPECT_EQ(0, AV_CheckFile(entry.path().string().c_str())) << entry.path();
            EXPECT_EQ(0, CheckContents(entry.path().string())) << entry.path();
            ++scanned;
        }
    }
    EXPECT_GT(scanned, 100);
}

// Every sample of clamav-testfiles, one test that names a failing sample.
TEST_F(VaverizEngine, EverySampleIsFoundWithTheTestProgramsName) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(TESTFILES_DIR, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file())
            names.push_back(it->path().filename().string());
    }
    ASSERT_FALSE(names.empty()) << "install the package clamav-testfiles";
    for (const std::string& name : names) {
        std::string path = std::string(TESTFILES_DIR) + "/" + name;
#if defined(_WIN32)
        bool findable = RAW_CLAM_SAMPLES.count(name) > 0;
#else
        bool findable = true;
#endif
        EXPECT_EQ(findable ? 1 : 0, AV_CheckFile(path.c_str())) << name;
        if (findable) {
            EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "Mailward.Test.ClamFile"))
                << name << ": " << AV_GetLastVirusName();
        }
        EXPECT_EQ(findable ? 1 : 0, CheckContents(path)) << name << " in memory";
        if (findable) {
            EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "Mailward.Test.ClamFile"))
                << name << " in memory: " << AV_GetLastVirusName();
        }
    }
}

TEST_F(VaverizEngine, VersionTextAndTheStateWithoutEngine) {
    std::string version = Version();
    EXPECT_TRUE(StartsWith(version, ENGINE_PREFIX)) << version;
    EXPECT_EQ(2, SignatureCount(version)) << version;  // the shipped database

    LogCapture log;
    AV_Exit();
    AV_Exit();
    version = Version();
    EXPECT_TRUE(StartsWith(version, ENGINE_PREFIX)) << version;
    EXPECT_NE(std::string::npos, version.find("no signatures loaded")) << version;
    // Checks fail and an update starts nothing.
    EXPECT_EQ(-1, AV_CheckFile(m_eicar.c_str()));
    EXPECT_EQ(-1, AV_ActivateUpdate(0));
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "engine not initialised"));
    EXPECT_EQ(-1, AV_CheckFile(m_eicar.c_str()));
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(1, AV_CheckFile(m_eicar.c_str()));
}

TEST_F(VaverizEngine, UpdateLoadsNewSignaturesAndAFailedOneKeepsTheOld) {
    std::string dir = SignatureFolder("sigs", NdbLine("Mailward.Test.EICAR", EicarText()));
    ASSERT_EQ(0, miraconf_set("SignatureDir", dir.c_str()));
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(0, AV_CheckFile(m_marker.c_str()));

    ASSERT_TRUE(pftest::WriteFile(dir + pf::path_sep() + "more.ndb",
                                  NdbLine("Mailward.Test.Marker", MARKER)));
    EXPECT_EQ(0, AV_ActivateUpdate(1));
    EXPECT_EQ(1, AV_CheckFile(m_marker.c_str()));
    EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "Mailward.Test.Marker"));
    EXPECT_EQ(2, SignatureCount(Version()));

    LogCapture log;
    ASSERT_EQ(0, miraconf_set("SignatureDir", m_scratch.Path("gone").c_str()));
    EXPECT_EQ(-1, AV_ActivateUpdate(1));
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "gone"));
    EXPECT_EQ(1, AV_CheckFile(m_marker.c_str()));
    EXPECT_EQ(1, AV_CheckFile(m_eicar.c_str()));
}

// A signature folder without databases is refused; a system folder without
// them, or none at all, is passed over, and one with databases adds to them.
TEST_F(VaverizEngine, FoldersWithoutDatabasesAndTheSystemFolder) {
    LogCapture log;
    std::string empty = m_scratch.Path("empty");
    std::filesystem::create_directories(empty);
    std::string textOnly = SignatureFolder("text", "");
    ASSERT_TRUE(pftest::WriteFile(textOnly + pf::path_sep() + "readme.txt", "no databases"));
    for (const std::string& dir : {m_scratch.Path("gone"), empty, textOnly, std::string()}) {
        ASSERT_EQ(0, miraconf_set("SignatureDir", dir.c_str()));
        EXPECT_EQ(-1, AV_Init()) << dir;
    }
    EXPECT_GE(log.Count(QLOG_ERROR), 4u);
    ASSERT_EQ(0, miraconf_set("SignatureDir", nullptr));

    std::string system = SignatureFolder("system", NdbLine("System.Test.Marker", MARKER));
    ASSERT_EQ(0, miraconf_set("SystemSignatureDir", system.c_str()));
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(3, SignatureCount(Version()));
    EXPECT_EQ(1, AV_CheckFile(m_marker.c_str()));
    EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "System.Test.Marker"));
    EXPECT_EQ(1, AV_CheckFile(m_eicar.c_str()));
    for (const std::string& dir : {empty, m_scratch.Path("gone")}) {
        ASSERT_EQ(0, miraconf_set("SystemSignatureDir", dir.c_str()));
        ASSERT_EQ(0, AV_Init()) << dir;
        EXPECT_EQ(2, SignatureCount(Version()));
    }
#if !defined(_WIN32)
    // libclamav refuses a database with a bad line; the engine then does not
    // start rather than run with part of the signatures.
    std::string broken = SignatureFolder("broken", "Broken.Sig:0:*:zz\n");
    ASSERT_EQ(0, miraconf_set("SystemSignatureDir", broken.c_str()));
    EXPECT_EQ(-1, AV_Init());
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "broken"));
#endif
}

// Four threads scan at once, each with its own sequence, so that their last
// virus names differ at the same moment: at least 50 rounds each, and on
// until this thread has reloaded the signatures ten times.
// The system folder is reloaded by an update like the project's own: new
// databases there come into use, and a broken one keeps the engine (and the
// system signatures) that were loaded.
TEST_F(VaverizEngine, UpdateReloadsTheSystemFolderAndABrokenDatabaseThereKeepsTheOld) {
    const std::string system = SignatureFolder("system", NdbLine("System.Test.Marker", MARKER));
    ASSERT_EQ(0, miraconf_set("SystemSignatureDir", system.c_str()));
    ASSERT_EQ(0, AV_Init());
    const long loaded = SignatureCount(Version());
    EXPECT_EQ(0, AV_CheckFile(m_clean.c_str()));
    const std::string added = system + pf::path_sep() + "added.ndb";
#if !defined(_WIN32)
    ASSERT_TRUE(pftest::WriteFile(added, "Broken.Sig:0:*:zz\n"));
    LogCapture log;
    EXPECT_EQ(-1, AV_ActivateUpdate(0));
    EXPECT_EQ(loaded, SignatureCount(Version()));
    EXPECT_EQ(1, AV_CheckFile(m_marker.c_str()));
    EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "System.Test.Marker"));
#endif
    ASSERT_TRUE(pftest::WriteFile(added, NdbLine("System.Test.Clean", "nothing to see here")));
    EXPECT_EQ(0, AV_ActivateUpdate(0));
    EXPECT_EQ(loaded + 1, SignatureCount(Version()));
    EXPECT_EQ(1, AV_CheckFile(m_clean.c_str()));
    EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "System.Test.Clean"));
    EXPECT_EQ(1, AV_CheckFile(m_marker.c_str()));
}

TEST_F(VaverizEngine, ConcurrentScansGoOnCorrectlyWhileSignaturesAreReloaded) {
    const std::string sample = std::string(TESTFILES_DIR) + "/clam.exe";
    const std::string missing = m_scratch.Path("missing");
    std::atomic<int> wrong{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50 || !stop.load(); ++i) {
                bool eicarLast = (i + t) % 2 == 0;
                const std::string& first = eicarLast ? sample : m_eicar;
                const std::string& second = eicarLast ? m_eicar : sample;
                if (AV_CheckFile(first.c_str()) != 1 || AV_CheckFile(m_clean.c_str()) != 0 ||
                    AV_CheckFile(second.c_str()) != 1 || AV_CheckFile(missing.c_str()) != -1)
                    ++wrong;
                if (!StartsWith(AV_GetLastVirusName(),
                                eicarLast ? "Mailward.Test.EICAR" : "Mailward.Test.ClamFile"))
                    ++wrong;
            }
        });
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(0, AV_ActivateUpdate(i));
        Version();
    }
    stop = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, wrong.load());
}

// ---- the signature reader -------------------------------------------------

using vaveriz::SigDb;

// The name of the signature found in `data`, or "<none>".
std::string Scan(const SigDb& db, const std::string& data) {
    const std::string* name =
        db.ScanBuffer(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return name != nullptr ? *name : "<none>";
}

TEST(VaverizSigDb, TakesPlainBodySignaturesAndSkipsTheRest) {
    SigDb db;
    std::size_t skipped = 0;
    db.AddNdb(
        "# comment\n"
        "\n"
        "Good.One:0:*:41424344\r\n"
        "Good.Flevel:1:*:45464748:51:255\n"
        "Wild.Card:0:*:4142??44\n"
        "Alternative:0:*:41(42|43)4344\n"
        "Offset.EP:1:EP+0:41424344\n"
        "Odd.Hex:0:*:4142434\n"
        "Too.Short:0:*:414243\n"
        "Bad.Target:x:*:41424344\n"
        "Bad Name:0:*:41424344\n"
        ":0:*:41424344\n"
        "Few.Fields:0:*\n"
        "Many.Fields:0:*:41424344:1:2:3\n",
        &skipped);
    EXPECT_EQ(2u, db.Count());
    EXPECT_EQ(10u, skipped);
    EXPECT_EQ(10u, db.Skipped());

    std::string tooLong =
        "Too.Long:0:*:" + std::string(2 * (vaveriz::SIGDB_MAX_SIG_BYTES + 1), 'a');
    std::string longest = "Longest:0:*:" + std::string(2 * vaveriz::SIGDB_MAX_SIG_BYTES, 'a');
    db.AddNdb(tooLong + "\n" + longest, &skipped);
    EXPECT_EQ(1u, skipped);
    EXPECT_EQ(3u, db.Count());
}

// The index finds exactly what a plain search finds: the first place in the
// data, the first loaded at one place, also for signatures sharing a start.
// An index not yet compiled finds nothing.
TEST(VaverizSigDb, AgreesWithAPlainSearchOnRandomData) {
    std::mt19937 rng(20240611);
    auto byte = [&] { return static_cast<char>("ab\0\xff"[rng() % 4]); };
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> sigs;
        std::string ndb;
        for (int i = 0; i < 6; ++i) {
            std::string sig;
            for (std::size_t n = 4 + rng() % 4; n > 0; --n)
                sig += byte();
            sigs.push_back(sig);
            ndb += NdbLine("S" + std::to_string(i), sig);
        }
        std::string data;
        for (std::size_t n = rng() % 60; n > 0; --n)
            data += byte();
        std::string expected = "<none>";
        for (std::size_t p = 0; p < data.size() && expected == "<none>"; ++p) {
            for (std::size_t i = 0; i < sigs.size(); ++i) {
                if (data.compare(p, sigs[i].size(), sigs[i]) == 0) {
                    expected = "S" + std::to_string(i);
                    break;
                }
            }
        }
        SigDb db;
        db.AddNdb(ndb);
        if (round == 0) {
            ASSERT_EQ("<none>", Scan(db, sigs[0]));
        }
        db.Compile();
        ASSERT_EQ(expected, Scan(db, data)) << "round " << round;
    }
}

TEST(VaverizSigDb, FileScanFindsSignaturesAcrossChunkEdges) {
    pftest::Scratch scratch;
    const std::string sig = "0123456789abcdef";  // 16 bytes
    SigDb db;
    db.AddNdb(
        "Edge.Sig:0:*:30313233343536373839616263646566\n"
        "Short.Sig:0:*:51525354\n");
    db.Compile();
    const std::size_t chunk = vaveriz::SIGDB_SCAN_CHUNK;
    for (std::size_t at :
         {std::size_t(0), chunk - 8, chunk - 1, chunk, 2 * chunk - 15, 2 * chunk + 100}) {
        std::string data(2 * chunk + 116, '.');
        data.replace(at, sig.size(), sig);
        std::string path = scratch.Path("f" + std::to_string(at));
        ASSERT_TRUE(pftest::WriteFile(path, data));
        std::string name;
        EXPECT_EQ(1, db.ScanFile(path.c_str(), &name)) << at;
        EXPECT_EQ("Edge.Sig", name) << at;
    }
    std::string clean = scratch.Path("clean");
    ASSERT_TRUE(pftest::WriteFile(clean, std::string(3 * chunk, 'P') + "RST"));
    std::string name = "unchanged";
    EXPECT_EQ(0, db.ScanFile(clean.c_str(), &name));
    EXPECT_EQ("unchanged", name);
    std::string shortAtEnd = scratch.Path("short");
    ASSERT_TRUE(pftest::WriteFile(shortAtEnd, std::string(chunk - 2, '.') + "QRST"));
    EXPECT_EQ(1, db.ScanFile(shortAtEnd.c_str(), &name));
    EXPECT_EQ("Short.Sig", name);
    EXPECT_EQ(-1, db.ScanFile(scratch.Path("missing").c_str(), &name));
}

TEST(VaverizSigDb, LoadsTheNdbFilesOfAFolderInNameOrder) {
    pftest::Scratch scratch;
    ASSERT_TRUE(pftest::WriteFile(scratch.Path("b.ndb"), "From.B:0:*:61626364\n"));
    ASSERT_TRUE(pftest::WriteFile(scratch.Path("a.NDB"), "From.A:0:*:61626364\n"));
    ASSERT_TRUE(pftest::WriteFile(scratch.Path("c.hdb"), "Not.Read:0:*:61626364\n"));
    SigDb db;
    std::string error;
    ASSERT_TRUE(db.LoadDir(scratch.str(), &error)) << error;
    db.Compile();
    EXPECT_EQ(2u, db.Count());
    EXPECT_EQ("From.A", Scan(db, "abcd"));
    EXPECT_EQ("<none>", Scan(db, "ABCD abdc bcd"));  // bytes as they are

    SigDb none;
    EXPECT_FALSE(none.LoadDir(scratch.Path("missing"), &error));
    EXPECT_NE(std::string::npos, error.find("missing")) << error;
}

}  // namespace
