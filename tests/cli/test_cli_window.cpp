/*
 * test_cli_window.cpp - the job window of "mailward check": more mails than
 * it holds at once are all queued, each reported once and in the order the
 * mails were found; and a library whose jobs never come back makes the
 * program give up after --timeout with every mail still out reported as an
 * error.
 */
#include <set>

#include "cli_test_util.h"

namespace clitest {
namespace {

class CliWindow : public CliTest {};

// Twice the window (256 jobs in flight) and then some: the queue is refilled
// from the callbacks many times over.
TEST_F(CliWindow, MoreMailsThanTheWindowAreEachReportedOnceInOrder) {
    constexpr int kMails = 600;
    fs::create_directories(Dir() / "many");
    const std::string mail = ReadFile(ExampleMails() / "01-clean.eml");
    for (int i = 0; i < kMails; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "m%04d.eml", i);
        WriteFile(Dir() / "many" / name, mail);
    }
    const RunResult run =
        Run({"check", "--json", "--flags", "attachments,keywords", "-O", "BackupMode=0", "many"});
    Json summary;
    EXPECT_EQ(run.status, 0) << run;
    std::vector<std::string> order;
    for (const Json& j : JsonLines(run.out)) {
        if (j["type"].str == "mail") {
            EXPECT_TRUE(j["received"].b) << j["source"].str;
            order.push_back(fs::path(j["source"].str).filename().string());
        } else if (j["type"].str == "summary") {
            summary = j;
        }
    }
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kMails));
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), order.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(summary["mails"].Int(), kMails) << run;
}

#if defined(MAILWARD_SILENT_LIBRARY)
TEST_F(CliWindow, TimeoutGivesUpWithEveryMailStillOutAnError) {
    const fs::path mails = CopyExamples();
    const RunResult run = Run({"check", "--json", "--library", MAILWARD_SILENT_LIBRARY, "--flags",
                               "attachments", "--timeout", "1", "mails"});
    EXPECT_EQ(run.status, 2) << run;
    ExpectAll(run.err, {"no report came back for 1 seconds; giving up"});
    std::size_t reported = 0;
    Json summary;
    for (const Json& j : JsonLines(run.out)) {
        if (j["type"].str == "mail") {
            ++reported;
            EXPECT_FALSE(j["received"].b) << j["source"].str;
            EXPECT_EQ(j["verdict"].str, "ERROR") << j["source"].str;
        } else if (j["type"].str == "summary") {
            summary = j;
        }
    }
    EXPECT_EQ(reported, FilesBelow(mails).size());
    EXPECT_EQ(summary["errors"].Int(), static_cast<long long>(reported)) << run;
    // Nothing was written: the mails are as they came.
    for (const std::string& name : FilesBelow(mails))
        EXPECT_EQ(ReadFile(mails / name), ReadFile(ExampleMails() / name)) << name;
}
#endif

}  // namespace
}  // namespace clitest
