/*
 * test_vaveriz_preload.cpp - two things the engine's exports tell or keep
 * for a host: why a scan failed (AV_GetLastFailure: a limit apart from
 * every other failure, per thread), and the engine built before a fork
 * (AV_Preload), which the first AV_Init of the process or of a forked child
 * adopts while the settings are the same, and no later AV_Init does. An
 * adopted engine shows itself by what it finds: the signature folder is
 * changed between the preload and the AV_Init, so only the preloaded
 * engine still knows the old signature.
 */
#include "miralib/miralib.h"
#include "ndb_line.h"
#include "pf_scratch.h"
#include "vaveriz/vaveriz.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

// A preloaded engine is never freed (its pages are what forked children
// share), and libclamav keeps much of an engine in memory pools it maps
// itself, which the leak checker does not read: the blocks those pools
// point to look lost at the exit of every process that preloaded. So the
// platform tests, which preload, do not count libclamav's blocks; the
// library's test programs load and free their engines and still see any
// leak of them.
#if !defined(_WIN32)
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libclamav.so\n";
}
#endif

namespace {

using pftest::NdbLine;

const char* OLD_MARKER = "mailward preload marker old 51c2";
const char* NEW_MARKER = "mailward preload marker new 9e07";

int Check(const std::string& data) {
    return AV_CheckBuffer(data.data(), data.size(), "data");
}

class VaverizPreload : public ::testing::Test {
  protected:
    void SetUp() override {
        miraconf_reset();
        m_signatures = m_scratch.Path("signatures");
        std::filesystem::create_directories(m_signatures);
        Signatures(OLD_MARKER);
        ASSERT_EQ(0, miraconf_set("SignatureDir", m_signatures.c_str()));
        ASSERT_EQ(0, miraconf_set("SystemSignatureDir", ""));
        ASSERT_EQ(0, miraconf_set("TempDir", m_scratch.str().c_str()));
    }
    void TearDown() override {
        AV_Exit();
        miraconf_reset();
    }
    // The folder's one database finds `marker` alone.
    void Signatures(const char* marker) {
        ASSERT_TRUE(pftest::WriteFile(m_signatures + pf::path_sep() + "own.ndb",
                                      NdbLine("Mailward.Test.Marker", marker)));
    }
    // 1 when the engine in use knows the old marker and not the new one, 2
    // for the other way round, 0 otherwise.
    static int Generation() {
        const int oldFound = Check(std::string("x ") + OLD_MARKER + " y");
        const int newFound = Check(std::string("x ") + NEW_MARKER + " y");
        return oldFound == 1 && newFound == 0 ? 1 : oldFound == 0 && newFound == 1 ? 2 : 0;
    }

    pftest::Scratch m_scratch;
    std::string m_signatures;
};

TEST_F(VaverizPreload, ALimitIsToldApartFromOtherFailures) {
    ASSERT_EQ(0, miraconf_set("EngineMaxFileSize", "1"));  // kilobytes
    ASSERT_EQ(0, AV_Init());
    const std::string big(4096, 'a');
    EXPECT_EQ(AV_RESULT_FAILED, Check(big));
    EXPECT_EQ(AV_FAILURE_LIMIT, AV_GetLastFailure());
    // Each scan sets it anew, and each thread has its own.
    std::thread([] {
        EXPECT_EQ(AV_FAILURE_NONE, AV_GetLastFailure());
        EXPECT_EQ(AV_RESULT_CLEAN, Check("small"));
    }).join();
    EXPECT_EQ(AV_FAILURE_LIMIT, AV_GetLastFailure());
    EXPECT_EQ(AV_RESULT_CLEAN, Check("small"));
    EXPECT_EQ(AV_FAILURE_NONE, AV_GetLastFailure());
    const std::string file = m_scratch.Path("big.txt");
    ASSERT_TRUE(pftest::WriteFile(file, big));
    EXPECT_EQ(AV_RESULT_FAILED, AV_CheckFile(file.c_str()));
    EXPECT_EQ(AV_FAILURE_LIMIT, AV_GetLastFailure());
    // Failures that are no limit.
    EXPECT_EQ(AV_RESULT_FAILED, AV_CheckFile(m_scratch.Path("missing").c_str()));
    EXPECT_EQ(AV_FAILURE_ERROR, AV_GetLastFailure());
    EXPECT_EQ(AV_RESULT_FAILED, AV_CheckBuffer(nullptr, 3, "null"));
    EXPECT_EQ(AV_FAILURE_ERROR, AV_GetLastFailure());
    AV_Exit();
    EXPECT_EQ(AV_RESULT_FAILED, Check("no engine"));
    EXPECT_EQ(AV_FAILURE_ERROR, AV_GetLastFailure());
}

TEST_F(VaverizPreload, TheFirstInitAdoptsThePreloadedEngineOnce) {
    ASSERT_EQ(0, AV_Preload());
    EXPECT_EQ(AV_RESULT_FAILED, Check("nothing is in use yet"));
    Signatures(NEW_MARKER);
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(1, Generation());  // adopted: built before the folder changed
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(2, Generation());  // loaded anew
    AV_Exit();
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(2, Generation());
}

TEST_F(VaverizPreload, OtherSettingsAreNotServedByThePreloadedEngine) {
    ASSERT_EQ(0, AV_Preload());
    Signatures(NEW_MARKER);
    ASSERT_EQ(0, miraconf_set("EngineMaxFiles", "77"));
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(2, Generation());
    // A preload that fails keeps nothing new and says so.
    ASSERT_EQ(0, miraconf_set("SignatureDir", m_scratch.Path("missing").c_str()));
    EXPECT_EQ(-1, AV_Preload());
}

#if !defined(_WIN32)
// The use it is made for: a child forked after the preload adopts the
// engine of its parent; the parent itself has none in use.
TEST_F(VaverizPreload, AForkedChildAdoptsTheEngineOfItsParent) {
    ASSERT_EQ(0, AV_Preload());
    Signatures(NEW_MARKER);
    const pid_t child = ::fork();
    if (child == 0) {
        const int generation = AV_Init() == 0 ? Generation() : -1;
        ::_exit(generation == 1 ? 0 : 10 + generation);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "10 + the generation the child found";
    EXPECT_EQ(AV_RESULT_FAILED, Check("the parent has no engine in use"));
    // The parent's own first AV_Init takes it as well.
    ASSERT_EQ(0, AV_Init());
    EXPECT_EQ(1, Generation());
}
#endif

}  // namespace
