// The relay's figures for Prometheus: the metrics endpoint at --metrics, and the hand-over
// between it and the carrying loop. A scrape never reads the loop's state: it asks, and the
// loop, the next time round (within 50 ms), hands it a copy of its figures that the endpoint's
// thread renders. A scrape that finds a copy younger than 100 ms takes that one, so the loop
// copies at most ten times a second however many scrape; one that waits 250 ms in vain takes
// the last copy there is.
#pragma once

#include "farend/error/fallible.h"
#include "farend/figures/scrape.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

class HttpEndpoint;

class MetricsFeed {
public:
    // Serves /metrics at `address`, "[HOST:]PORT" (HOST 127.0.0.1 when left out; PORT 0 takes a
    // free one), or says why not: not such an address, or the port cannot be had.
    static Opened<MetricsFeed> open(const std::string &address);
    ~MetricsFeed();

    // Where it serves: "http://127.0.0.1:9464/metrics".
    const std::string &url() const { return url_; }
    // Whether a scrape waits for the figures: the loop hands them over with give().
    bool asked() const { return asked_.load(std::memory_order_relaxed); }
    // `last`: the run's end, after which no scrape waits for the loop.
    void give(ScrapeFigures figures, bool last = false);

private:
    MetricsFeed() = default;
    // The text for a scrape, on the endpoint's thread; none before the loop gave any figures.
    std::shared_ptr<const std::string> text();

    using Clock = std::chrono::steady_clock;
    std::string url_;
    std::atomic<bool> asked_{false};
    std::mutex m;
    std::condition_variable given;
    std::shared_ptr<const ScrapeFigures> latest;
    Clock::time_point latestAt;
    unsigned long long generation = 0, renderedGeneration = 0;
    bool ended = false;
    std::shared_ptr<const std::string> rendered;
    std::unique_ptr<HttpEndpoint> endpoint;   // last: its thread ends before the rest goes
};
