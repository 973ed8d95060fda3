/*
 * milter_metrics.cpp - the milter's metrics and their endpoint (see
 * milter_metrics.h).
 */
#include "milter_metrics.h"

#include <arpa/inet.h>
#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <exception>

#include "common/text.h"

namespace {

constexpr unsigned long PORT_MAX = 65535;

// The set of metrics an Exposer scrapes: its gauges read first.
class Scraped : public prometheus::Collectable {
  public:
    explicit Scraped(MilterMetrics& metrics) : m_metrics(metrics) {}
    std::vector<prometheus::MetricFamily> Collect() const override {
        m_metrics.Refresh();
        return m_metrics.Registry()->Collect();
    }

  private:
    MilterMetrics& m_metrics;
};

// The running endpoint; never destroyed (the milter ends with _Exit, and
// a scrape may run on the Exposer's threads until then).
struct Endpoint {
    MilterMetrics metrics;
    std::shared_ptr<Scraped> scraped = std::make_shared<Scraped>(metrics);
    std::unique_ptr<prometheus::Exposer> exposer;
};

std::atomic<Endpoint*> g_endpoint{nullptr};

Endpoint* Running() {
    return g_endpoint.load(std::memory_order_acquire);
}

}  // namespace

std::string VerdictClass(const std::string& verdict) {
    const std::string word = verdict.substr(0, verdict.find(' '));
    for (const char* known : {"clean", "virus", "filtered", "unchecked"}) {
        if (word == known)
            return word;
    }
    return "other";
}

bool ParseMetricsAddress(const std::string& text, std::string& bindAddress, std::string& error) {
    const std::string use = "use HOST:PORT on a loopback address (127.0.0.1:9358, localhost:9358)";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        error = use;
        return false;
    }
    std::string host = kit::ascii_lower(text.substr(0, colon));
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
        std::stoul(port) > PORT_MAX) {
        error = "port '" + port + "': a number from 1 to 65535";
        return false;
    }
    if (host == "localhost")
        host = "127.0.0.1";
    in_addr address{};
    if (::inet_pton(AF_INET, host.c_str(), &address) != 1) {
        error = use;
        return false;
    }
    if ((ntohl(address.s_addr) >> 24) != 127) {
        error = "'" + host + "' is not a loopback address: the endpoint serves this host only";
        return false;
    }
    bindAddress = host + ":" + std::to_string(std::stoul(port));
    return true;
}

MilterMetrics::MilterMetrics() : m_registry(std::make_shared<prometheus::Registry>()) {
    prometheus::Registry& r = *m_registry;
    m_messages = &prometheus::BuildCounter()
                      .Name("mailward_milter_messages_total")
                      .Help("Messages answered, by the class of their verdict and the action taken")
                      .Register(r);
    m_checkSeconds = &prometheus::BuildHistogram()
                          .Name("mailward_milter_check_seconds")
                          .Help("Seconds from the end of a message to the milter's answer")
                          .Register(r)
                          .Add({}, prometheus::Histogram::BucketBoundaries(CHECK_SECONDS_BUCKETS));
    m_inFlight = &prometheus::BuildGauge()
                      .Name("mailward_milter_messages_in_flight")
                      .Help("Messages being checked now")
                      .Register(r)
                      .Add({});
    m_alive = &prometheus::BuildGauge()
                   .Name("mailward_milter_checking_processes")
                   .Help("Checking processes alive and ready")
                   .Register(r)
                   .Add({});
    m_signatureFamily = &prometheus::BuildGauge()
                             .Name("mailward_milter_engine_signatures")
                             .Help("Signatures of the virus engine in force")
                             .Register(r);
    m_ageFamily = &prometheus::BuildGauge()
                       .Name("mailward_milter_engine_age_seconds")
                       .Help("Seconds since the virus engine in force loaded its databases")
                       .Register(r);
    m_reloads = &prometheus::BuildCounter()
                     .Name("mailward_milter_reloads_total")
                     .Help("Reloads of the settings, rules and spam list (SIGHUP), by result")
                     .Register(r);
    m_engineLoads = &prometheus::BuildCounter()
                         .Name("mailward_milter_engine_loads_total")
                         .Help("Virus engines loaded with their checking processes, by result")
                         .Register(r);
    m_ready = &prometheus::BuildGauge()
                   .Name("mailward_milter_ready")
                   .Help("1 while the milter listens with a checking process alive, else 0")
                   .Register(r)
                   .Add({});
    // The results are there from the start, so that a rate sees the first.
    for (const char* result : {"ok", "refused"})
        m_reloads->Add({{"result", result}});
    for (const char* result : {"ok", "failed"})
        m_engineLoads->Add({{"result", result}});
}

MilterMetrics::~MilterMetrics() = default;

void MilterMetrics::CountMessage(const Decision& d, double seconds) {
    m_messages->Add({{"verdict", VerdictClass(d.verdict)}, {"action", ActionWord(d.action)}})
        .Increment();
    m_checkSeconds->Observe(seconds);
}

void MilterMetrics::CountReload(bool ok) {
    m_reloads->Add({{"result", ok ? "ok" : "refused"}}).Increment();
}

void MilterMetrics::CountEngineLoad(bool ok, long long signatures) {
    m_engineLoads->Add({{"result", ok ? "ok" : "failed"}}).Increment();
    if (!ok || signatures < 0)
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_signatures == nullptr) {
        m_signatures = &m_signatureFamily->Add({});
        m_age = &m_ageFamily->Add({});
    }
    m_signatures->Set(static_cast<double>(signatures));
    m_engineLoaded = std::chrono::steady_clock::now();
    m_age->Set(0);
}

void MilterMetrics::SetSources(MetricsSources sources) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_sources = std::move(sources);
}

void MilterMetrics::SetListening(bool listening) {
    m_listening = listening;
}

void MilterMetrics::Refresh() {
    MetricsSources sources;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        sources = m_sources;
    }
    // Asked without the lock: a source takes locks of its own.
    const int alive = sources.processesAlive ? sources.processesAlive() : 0;
    m_alive->Set(alive);
    m_inFlight->Set(sources.messagesInFlight ? sources.messagesInFlight() : 0);
    m_ready->Set(m_listening && alive > 0 ? 1 : 0);
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_age != nullptr)
        m_age->Set(std::chrono::duration<double>(std::chrono::steady_clock::now() - m_engineLoaded)
                       .count());
}

std::string MilterMetrics::Text() {
    Refresh();
    return prometheus::TextSerializer().Serialize(m_registry->Collect());
}

bool StartMetrics(const std::string& address, std::string& error) {
    std::string bind;
    if (!ParseMetricsAddress(address, bind, error))
        return false;
    auto endpoint = std::make_unique<Endpoint>();
    try {
        endpoint->exposer = std::make_unique<prometheus::Exposer>(bind, METRICS_THREADS);
    } catch (const std::exception& e) {
        error = "the metrics endpoint cannot listen on " + bind + ": " + e.what();
        return false;
    }
    endpoint->exposer->RegisterCollectable(endpoint->scraped, METRICS_PATH);
    g_endpoint.store(endpoint.release(), std::memory_order_release);
    return true;
}

void SetMetricsSources(MetricsSources sources) {
    if (Endpoint* e = Running())
        e->metrics.SetSources(std::move(sources));
}

void SetMetricsListening(bool listening) {
    if (Endpoint* e = Running())
        e->metrics.SetListening(listening);
}

void CountMessage(const Decision& d, double seconds) {
    if (Endpoint* e = Running())
        e->metrics.CountMessage(d, seconds);
}

void CountReload(bool ok) {
    if (Endpoint* e = Running())
        e->metrics.CountReload(ok);
}

void CountEngineLoad(bool ok, long long signatures) {
    if (Endpoint* e = Running())
        e->metrics.CountEngineLoad(ok, signatures);
}
