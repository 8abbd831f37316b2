#include "farend/relay/metricsfeed.h"

#include "farend/http/endpoint.h"
#include "farend/io/address.h"
#include "farend/report/exposition.h"

namespace {

constexpr auto kFresh = std::chrono::milliseconds(100);
constexpr auto kWaitForLoop = std::chrono::milliseconds(250);
constexpr int kBacklog = 16;

} // namespace

Opened<MetricsFeed> MetricsFeed::open(const std::string &address)
{
    const auto refused = [](Error e) {
        return Opened<MetricsFeed>::failed(within("--metrics: ", std::move(e)));
    };
    Result<HostPort> on = splitHostPort(address, true);
    if (!on)
        return refused(on.error);
    if (on.value.host.empty())   // loopback unless asked: the figures are the lab's own
        on.value.host = "127.0.0.1";
    std::string bound;
    const std::string where = on.value.host.find(':') == std::string::npos
                                  ? on.value.host + ":" + on.value.port
                                  : "[" + on.value.host + "]:" + on.value.port;
    Opened<Socket> listener = listenTcp(on.value, where, bound, kBacklog);
    if (!listener)
        return refused(listener.error);
    std::unique_ptr<MetricsFeed> feed(new MetricsFeed);
    MetricsFeed *self = feed.get();
    Opened<HttpEndpoint> endpoint =
        HttpEndpoint::start(listener.value->release(), "/metrics", kExpositionType,
                            [self] { return self->text(); });
    if (!endpoint)
        return refused(endpoint.error);
    feed->endpoint = std::move(endpoint.value);
    feed->url_ = "http://" + bound + "/metrics";
    return {std::move(feed), {}};
}

MetricsFeed::~MetricsFeed() = default;

void MetricsFeed::give(ScrapeFigures figures, bool last)
{
    auto copy = std::make_shared<const ScrapeFigures>(std::move(figures));
    {
        std::lock_guard<std::mutex> lock(m);
        latest = std::move(copy);
        latestAt = Clock::now();
        ++generation;
        ended = last;
        asked_.store(false, std::memory_order_relaxed);
    }
    given.notify_all();
}

std::shared_ptr<const std::string> MetricsFeed::text()
{
    std::unique_lock<std::mutex> lock(m);
    if (!ended && (!latest || Clock::now() - latestAt > kFresh)) {
        const unsigned long long before = generation;
        asked_.store(true, std::memory_order_relaxed);
        given.wait_for(lock, kWaitForLoop, [&] { return generation != before; });
    }
    if (!latest)
        return nullptr;
    if (rendered && renderedGeneration == generation)
        return rendered;
    const std::shared_ptr<const ScrapeFigures> figures = latest;
    const unsigned long long of = generation;
    lock.unlock();   // the loop may give newer figures meanwhile
    auto text = std::make_shared<const std::string>(exposition(*figures));
    lock.lock();
    rendered = text;
    renderedGeneration = of;
    return text;
}
