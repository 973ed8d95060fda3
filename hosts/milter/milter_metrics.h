/*
 * milter_metrics.h - what the milter has done and how it stands, for a
 * Prometheus scrape (prometheus-cpp: the pull library's Exposer serves the
 * text format; no HTTP of our own).
 *
 * Milter.MetricsAddress (HOST:PORT on a loopback address: 127.0.0.1:9358,
 * [::1]:9358, localhost:9358; default none) starts the endpoint
 * http://HOST:PORT/metrics. Without it nothing is started and every Count
 * function returns at once: a look at a null pointer.
 *
 * THE METRICS (labels of few values: never a virus name or an address)
 *   mailward_milter_messages_total{verdict,action}  counter; verdict is the
 *       class of the verdict field (clean, virus, filtered, unchecked),
 *       action the one carried out (deliver, accept, tempfail, reject,
 *       discard, quarantine), as the log line of the message says
 *   mailward_milter_check_seconds            histogram of the time from the
 *       end of a message to the milter's answer (CHECK_SECONDS_BUCKETS)
 *   mailward_milter_messages_in_flight       gauge: messages being checked
 *   mailward_milter_checking_processes       gauge: processes alive (ready)
 *   mailward_milter_engine_signatures        gauge: signatures of the engine
 *       in force; only when the engine tells its count (the local engine)
 *   mailward_milter_engine_age_seconds       gauge: seconds since the engine
 *       in force was loaded (it read its databases then); with the
 *       signature count only
 *   mailward_milter_reloads_total{result}    counter: SIGHUP reloads, ok or
 *       refused (a refused settings file or rules file)
 *   mailward_milter_engine_loads_total{result} counter: engines loaded, ok or
 *       failed (the start, SIGHUP, a new database, a loader that ended)
 *   mailward_milter_ready                    gauge: 1 while the milter
 *       listens and one checking process at least is alive, else 0
 * The gauges of processes, messages in flight, age and readiness are read
 * at each scrape (MetricsSources).
 *
 * FUNCTIONS
 *   ParseMetricsAddress  the Exposer's bind address of a key value; false
 *                        with the reason for one that is not HOST:PORT on
 *                        a loopback address
 *   StartMetrics         the endpoint on `address` (checked before); false
 *                        with the reason when it cannot listen
 *   SetMetricsSources    where the scrape reads its gauges (once the
 *                        checking processes are there)
 *   SetMetricsListening  the milter listens (true) or stops (false)
 *   CountMessage, CountReload, CountEngineLoad
 *                        one message answered, one reload, one engine load
 *                        (with its signature count, -1 when not told)
 * MilterMetrics is the set of metrics itself, which the functions above
 * feed when the endpoint runs; tests use one of their own (Text).
 *
 * THREADS: every function may be called from any thread.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_METRICS_H
#define MAILWARD_HOSTS_MILTER_MILTER_METRICS_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "milter_policy.h"

namespace prometheus {
class Registry;
class Counter;
class Gauge;
class Histogram;
template <typename T>
class Family;
}  // namespace prometheus

// Upper bounds (seconds) of the check-time histogram's buckets.
inline const std::vector<double> CHECK_SECONDS_BUCKETS = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                          1,     2.5,  5,     10,   30,  60,   120};
// The path the endpoint serves.
constexpr const char* METRICS_PATH = "/metrics";
// Threads of the Exposer's HTTP server: a scrape at a time is the norm.
constexpr int METRICS_THREADS = 2;

struct MetricsSources {
    std::function<int()> processesAlive;
    std::function<int()> messagesInFlight;
};

// The class of a verdict field's value for the label: its first word when
// it is one of the four, else "other".
std::string VerdictClass(const std::string& verdict);

bool ParseMetricsAddress(const std::string& text, std::string& bindAddress, std::string& error);

class MilterMetrics {
  public:
    MilterMetrics();
    ~MilterMetrics();
    MilterMetrics(const MilterMetrics&) = delete;
    MilterMetrics& operator=(const MilterMetrics&) = delete;

    void CountMessage(const Decision& d, double seconds);
    void CountReload(bool ok);
    void CountEngineLoad(bool ok, long long signatures);
    void SetSources(MetricsSources sources);
    void SetListening(bool listening);

    // Reads the gauges of the sources; then what a scrape returns.
    void Refresh();
    std::string Text();
    std::shared_ptr<prometheus::Registry> Registry() const { return m_registry; }

  private:
    std::shared_ptr<prometheus::Registry> m_registry;
    prometheus::Family<prometheus::Counter>* m_messages;
    prometheus::Histogram* m_checkSeconds;
    prometheus::Gauge* m_inFlight;
    prometheus::Gauge* m_alive;
    prometheus::Family<prometheus::Gauge>* m_signatureFamily;
    prometheus::Family<prometheus::Gauge>* m_ageFamily;
    prometheus::Family<prometheus::Counter>* m_reloads;
    prometheus::Family<prometheus::Counter>* m_engineLoads;
    prometheus::Gauge* m_ready;
    std::atomic<bool> m_listening{false};

    std::mutex m_lock;  // guards the members below
    MetricsSources m_sources;
    prometheus::Gauge* m_signatures = nullptr;  // added at the first count told
    prometheus::Gauge* m_age = nullptr;
    std::chrono::steady_clock::time_point m_engineLoaded;
};

bool StartMetrics(const std::string& address, std::string& error);
void SetMetricsSources(MetricsSources sources);
void SetMetricsListening(bool listening);
void CountMessage(const Decision& d, double seconds);
void CountReload(bool ok);
void CountEngineLoad(bool ok, long long signatures);

#endif
