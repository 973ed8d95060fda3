/*
 * test_milter_metrics.cpp - the milter's metrics as a scrape returns them:
 * messages by verdict class and action (never a virus name), the check-time
 * histogram's buckets, reloads and engine loads by result, the engine's
 * signature count from its version text, readiness from the sources; the
 * endpoint's address (loopback only); counts taken on many threads while
 * scrapes run.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "milter/checker_protocol.h"
#include "milter/milter_metrics.h"

namespace {

// The sample line of `series` ("name{labels}") in a scrape's text, without
// the series: its value, or "" when the series is not there.
std::string Sample(const std::string& text, const std::string& series) {
    const std::string start = series + " ";
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        if (line.rfind(start, 0) == 0)
            return line.substr(start.size());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return "";
}

Decision Made(MilterAction action, const std::string& verdict) {
    Decision d;
    d.action = action;
    d.verdict = verdict;
    return d;
}

const char* MESSAGES = "mailward_milter_messages_total";

std::string Messages(const std::string& verdict, const std::string& action) {
    return std::string(MESSAGES) + "{action=\"" + action + "\",verdict=\"" + verdict + "\"}";
}

TEST(MilterMetrics, MessagesByVerdictClassAndActionNeverByName) {
    MilterMetrics m;
    m.CountMessage(Made(MilterAction::Deliver, "clean"), 0.02);
    m.CountMessage(Made(MilterAction::Deliver, "clean"), 0.03);
    m.CountMessage(Made(MilterAction::Reject, "virus Mailward.Test.EICAR.UNOFFICIAL"), 0.2);
    m.CountMessage(Made(MilterAction::QuarantineUntouched, "unchecked (limit reached)"), 3);
    m.CountMessage(Made(MilterAction::Deliver, "filtered (removed: a.exe)"), 0.04);
    m.CountMessage(Made(MilterAction::Tempfail, "something new"), 0.001);
    const std::string text = m.Text();
    EXPECT_EQ(Sample(text, Messages("clean", "deliver")), "2") << text;
    EXPECT_EQ(Sample(text, Messages("virus", "reject")), "1");
    EXPECT_EQ(Sample(text, Messages("unchecked", "quarantine")), "1");
    EXPECT_EQ(Sample(text, Messages("filtered", "deliver")), "1");
    EXPECT_EQ(Sample(text, Messages("other", "tempfail")), "1");
    EXPECT_EQ(Sample(text, Messages("clean", "reject")), "") << "no series before its first";
    EXPECT_EQ(text.find("EICAR"), std::string::npos) << "a virus name is no label";
    EXPECT_EQ(text.find("a.exe"), std::string::npos);
    EXPECT_NE(text.find("# TYPE mailward_milter_messages_total counter"), std::string::npos);
}

TEST(MilterMetrics, CheckTimeHistogramBucketsAreCumulative) {
    MilterMetrics m;
    for (double s : {0.004, 0.02, 0.02, 0.3, 7.0, 500.0})
        m.CountMessage(Made(MilterAction::Deliver, "clean"), s);
    const std::string text = m.Text();
    const std::string b = "mailward_milter_check_seconds_bucket{le=\"";
    EXPECT_EQ(Sample(text, b + "0.005\"}"), "1") << text;
    EXPECT_EQ(Sample(text, b + "0.01\"}"), "1");
    EXPECT_EQ(Sample(text, b + "0.025\"}"), "3");
    EXPECT_EQ(Sample(text, b + "0.25\"}"), "3");
    EXPECT_EQ(Sample(text, b + "0.5\"}"), "4");
    EXPECT_EQ(Sample(text, b + "10\"}"), "5");
    EXPECT_EQ(Sample(text, b + "120\"}"), "5");
    EXPECT_EQ(Sample(text, b + "+Inf\"}"), "6");
    EXPECT_EQ(Sample(text, "mailward_milter_check_seconds_count"), "6");
    EXPECT_NEAR(std::stod(Sample(text, "mailward_milter_check_seconds_sum")), 507.344, 1e-9);
}

TEST(MilterMetrics, ReloadsAndEngineLoadsByResult) {
    MilterMetrics m;
    std::string text = m.Text();
    // Every result is there from the start, at 0.
    EXPECT_EQ(Sample(text, "mailward_milter_reloads_total{result=\"ok\"}"), "0") << text;
    EXPECT_EQ(Sample(text, "mailward_milter_reloads_total{result=\"refused\"}"), "0");
    EXPECT_EQ(Sample(text, "mailward_milter_engine_loads_total{result=\"failed\"}"), "0");
    EXPECT_EQ(Sample(text, "mailward_milter_engine_signatures"), "") << "no engine yet";
    EXPECT_EQ(Sample(text, "mailward_milter_engine_age_seconds"), "");

    m.CountReload(true);
    m.CountReload(false);
    m.CountReload(true);
    m.CountEngineLoad(true, -1);  // no count told (clamd, no engine)
    text = m.Text();
    EXPECT_EQ(Sample(text, "mailward_milter_reloads_total{result=\"ok\"}"), "2");
    EXPECT_EQ(Sample(text, "mailward_milter_reloads_total{result=\"refused\"}"), "1");
    EXPECT_EQ(Sample(text, "mailward_milter_engine_loads_total{result=\"ok\"}"), "1");
    EXPECT_EQ(Sample(text, "mailward_milter_engine_signatures"), "");

    m.CountEngineLoad(true, 8700123);
    m.CountEngineLoad(false, -1);  // a failed load keeps the engine in force
    text = m.Text();
    EXPECT_EQ(Sample(text, "mailward_milter_engine_loads_total{result=\"ok\"}"), "2");
    EXPECT_EQ(Sample(text, "mailward_milter_engine_loads_total{result=\"failed\"}"), "1");
    EXPECT_EQ(Sample(text, "mailward_milter_engine_signatures"), "8700123");
    const double age = std::stod(Sample(text, "mailward_milter_engine_age_seconds"));
    EXPECT_GE(age, 0);
    EXPECT_LT(age, 60) << "the age counts from the last load";
}

TEST(MilterMetrics, ReadyWhileListeningWithAProcessAlive) {
    MilterMetrics m;
    std::atomic<int> alive{0};
    std::atomic<int> inFlight{3};
    m.SetSources({[&alive] { return alive.load(); }, [&inFlight] { return inFlight.load(); }});
    m.SetListening(true);
    std::string text = m.Text();
    EXPECT_EQ(Sample(text, "mailward_milter_ready"), "0") << "no checking process: not ready";
    EXPECT_EQ(Sample(text, "mailward_milter_messages_in_flight"), "3");
    alive = 2;
    text = m.Text();
    EXPECT_EQ(Sample(text, "mailward_milter_ready"), "1");
    EXPECT_EQ(Sample(text, "mailward_milter_checking_processes"), "2");
    m.SetListening(false);  // stopping
    EXPECT_EQ(Sample(m.Text(), "mailward_milter_ready"), "0");
}

TEST(MilterMetrics, OnlyALoopbackAddressWithAPort) {
    const struct {
        const char* text;
        const char* bind;  // "": refused
    } cases[] = {
        {"127.0.0.1:9358", "127.0.0.1:9358"},
        {"localhost:9358", "127.0.0.1:9358"},
        {"LocalHost:09358", "127.0.0.1:9358"},
        {"127.1.2.3:1", "127.1.2.3:1"},
        {"0.0.0.0:9358", ""},
        {"192.0.2.1:9358", ""},
        {"127.0.0.1", ""},
        {"127.0.0.1:", ""},
        {"127.0.0.1:0", ""},
        {"127.0.0.1:65536", ""},
        {"127.0.0.1:93x", ""},
        {":9358", ""},
        {"example.org:9358", ""},
        {"9358", ""},
    };
    for (const auto& c : cases) {
        std::string bind, error;
        const bool ok = ParseMetricsAddress(c.text, bind, error);
        if (*c.bind != '\0') {
            EXPECT_TRUE(ok) << c.text << ": " << error;
            EXPECT_EQ(bind, c.bind) << c.text;
        } else {
            EXPECT_FALSE(ok) << c.text;
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
    std::string bind, error;
    ParseMetricsAddress("0.0.0.0:9358", bind, error);
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
}

// The checking process tells the count it reads from the engine's version
// text; a text without one tells none.
TEST(MilterMetrics, SignatureCountOfTheEngineText) {
    EXPECT_EQ(SignatureCount("ClamAV 1.4.6, 2 signatures"), 2);
    EXPECT_EQ(SignatureCount("ClamAV 1.0.7, database 27500, 8712345 signatures"), 8712345);
    EXPECT_EQ(SignatureCount("ClamAV 1.4.6, no signatures loaded"), -1);
    EXPECT_EQ(SignatureCount("ClamAV 1.4.3/27500 via clamd"), -1);
    EXPECT_EQ(SignatureCount("ClamAV 1.4.6,2 signatures"), -1);
    EXPECT_EQ(SignatureCount(" signatures"), -1);
    EXPECT_EQ(SignatureCount(""), -1);
}

// Sessions count on their own threads while the endpoint scrapes: every
// count arrives, none twice.
TEST(MilterMetrics, ConcurrentCountsAndScrapes) {
    constexpr int THREADS = 4;
    constexpr int EACH = 500;
    MilterMetrics m;
    m.SetSources({[] { return 1; }, [] { return 0; }});
    std::atomic<bool> done{false};
    std::thread scraper([&] {
        while (!done)
            EXPECT_FALSE(m.Text().empty());
    });
    std::vector<std::thread> sessions;
    for (int t = 0; t < THREADS; ++t) {
        sessions.emplace_back([&m, t] {
            for (int i = 0; i < EACH; ++i) {
                m.CountMessage(Made(t % 2 == 0 ? MilterAction::Deliver : MilterAction::Reject,
                                    t % 2 == 0 ? "clean" : "virus X"),
                               0.01);
                if (i % 100 == 0)
                    m.CountEngineLoad(true, i);
            }
        });
    }
    for (std::thread& s : sessions)
        s.join();
    done = true;
    scraper.join();
    const std::string text = m.Text();
    EXPECT_EQ(Sample(text, Messages("clean", "deliver")), std::to_string(EACH * THREADS / 2));
    EXPECT_EQ(Sample(text, Messages("virus", "reject")), std::to_string(EACH * THREADS / 2));
    EXPECT_EQ(Sample(text, "mailward_milter_check_seconds_count"), std::to_string(EACH * THREADS));
    EXPECT_EQ(Sample(text, "mailward_milter_engine_loads_total{result=\"ok\"}"),
              std::to_string(THREADS * EACH / 100));
}

}  // namespace
