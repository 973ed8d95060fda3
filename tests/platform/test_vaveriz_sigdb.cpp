/*
 * test_vaveriz_sigdb.cpp - the Windows engine's signature reader, built on
 * every platform: which .ndb lines it takes and which it skips, where it
 * finds signatures (compared with a plain search on random data), signatures
 * that straddle the chunks a file is read in, and folders of databases. The
 * shipped database against EICAR and the test samples is checked through the
 * engine (test_vaveriz_engine.cpp), which uses this reader on Windows.
 */
#include "pf_scratch.h"
#include "sigdb.h"
#include "vaveriz_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

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

// The random comparison below covers the places; these show the order.
TEST(VaverizSigDb, FindsTheFirstInDataOrderOnceCompiled) {
    SigDb db;
    db.AddNdb(
        "Sig.Later:0:*:6d6e6f70\n"  // "mnop"
        "Sig.Abcd:0:*:61626364\n"   // "abcd"
        "Sig.Abcdef:0:*:616263646566\n");
    EXPECT_EQ("<none>", Scan(db, "abcd"));
    db.Compile();
    EXPECT_EQ("Sig.Abcd", Scan(db, "--abcdef--"));  // same place: first loaded
    EXPECT_EQ("Sig.Later", Scan(db, "mnop..abcd"));
    EXPECT_EQ("<none>", Scan(db, "ABCD abdc bcd"));
}

// The index must find exactly what a plain search finds, also for
// signatures that share their first bytes.
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
            ndb += vztest::NdbLine("S" + std::to_string(i), sig);
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
    ASSERT_TRUE(db.LoadDir(scratch.Dir(), &error)) << error;
    db.Compile();
    EXPECT_EQ(2u, db.Count());
    EXPECT_EQ("From.A", Scan(db, "abcd"));

    SigDb none;
    EXPECT_FALSE(none.LoadDir(scratch.Path("missing"), &error));
    EXPECT_NE(std::string::npos, error.find("missing")) << error;
}

}  // namespace
