/*
 * test_signature_watch.cpp - the watch of the signature folders: a burst of
 * changes the way freshclam makes them (a file written, one moved in, one
 * removed) is one call naming the first file, once the folder was quiet
 * for the settle time; hidden files and sub-folders are passed over; a
 * folder that is gone is no longer watched; a missing folder cannot be.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "milter/signature_watch.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

constexpr int SETTLE_MS = 150;
constexpr auto WAIT_FOR_CALL = std::chrono::seconds(10);

class Calls {
  public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_calls.push_back(what);
        m_wake.notify_all();
    }
    // Waits until there are `n` calls (false when they did not come).
    bool WaitFor(std::size_t n) {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_wake.wait_for(hold, WAIT_FOR_CALL, [&] { return m_calls.size() >= n; });
    }
    std::vector<std::string> All() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_calls;
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::vector<std::string> m_calls;
};

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void Quiet() {
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS * 4));
}

TEST(SignatureWatch, ABurstOfChangesIsOneCallOnceTheFolderIsQuiet) {
    testkit::ScratchDir dir;
    const fs::path db = dir.path() / "db";
    fs::create_directories(db);
    Write(dir.path() / "daily.cld.new", "new database");
    Calls calls;
    SignatureWatch watch;
    std::string error;
    ASSERT_TRUE(watch.Start(
        {db.string()}, SETTLE_MS, [&calls](const std::string& what) { calls.Add(what); }, error))
        << error;
    EXPECT_EQ(watch.Watched(), std::vector<std::string>{db.string()});

    // Passed over: a hidden file, a sub-folder and what happens inside it.
    Write(db / ".freshclam.tmp", "x");
    fs::create_directories(db / "tmp.1234");
    Write(db / "tmp.1234" / "part", "x");
    Quiet();
    EXPECT_TRUE(calls.All().empty());

    Write(db / "main.ndb", "first");
    fs::rename(dir.path() / "daily.cld.new", db / "daily.cld");
    Write(db / "main.ndb", "again");
    ASSERT_TRUE(calls.WaitFor(1));
    Quiet();
    EXPECT_EQ(calls.All(), std::vector<std::string>{(db / "main.ndb").string()});

    fs::remove(db / "daily.cld");
    ASSERT_TRUE(calls.WaitFor(2));
    EXPECT_EQ(calls.All().back(), (db / "daily.cld").string());

    // The folder itself removed: one more call, and it is watched no more.
    fs::remove_all(db);
    ASSERT_TRUE(calls.WaitFor(3));
    for (int i = 0; i < 50 && !watch.Watched().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(watch.Watched().empty());
    watch.Stop();
}

TEST(SignatureWatch, MissingFoldersAreSkippedAndNoneIsAnError) {
    testkit::ScratchDir dir;
    SignatureWatch watch;
    std::string error;
    EXPECT_FALSE(watch.Start(
        {(dir.path() / "none").string()}, SETTLE_MS, [](const std::string&) {}, error));
    EXPECT_NE(error.find("no folder can be watched"), std::string::npos) << error;

    Calls calls;
    SignatureWatch some;
    ASSERT_TRUE(some.Start(
        {(dir.path() / "none").string(), dir.str()}, SETTLE_MS,
        [&calls](const std::string& what) { calls.Add(what); }, error));
    EXPECT_EQ(some.Watched(), std::vector<std::string>{dir.str()});
    Write(dir.path() / "x.hdb", "x");
    ASSERT_TRUE(calls.WaitFor(1));
    EXPECT_EQ(calls.All().front(), (dir.path() / "x.hdb").string());
}

}  // namespace
