// Soak run on the embedded runtime: a provider answers while client runtimes
// on several threads connect, dispatch in windows, and disconnect again,
// until the requested number of dispatches is done. Prints throughput and
// resident memory at intervals; exits non-zero when a dispatch goes wrong or
// memory keeps growing after the warm-up.
// Usage: halvora_soak [dispatches=1000000] [threads=4] [per-connection=5000]
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <halvora_embedded.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace HalvoraAdapterApi;

namespace {

long residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

constexpr std::size_t window = 64; // dispatches in flight per thread

} // namespace

int main(int argc, char** argv)
{
    const long total = argc > 1 ? std::atol(argv[1]) : 1000000;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 4;
    const long perConnection = argc > 3 ? std::atol(argv[3]) : 5000;
    const long interval = total / 10 > 0 ? total / 10 : 1;

    RuntimeFactory factory;
    auto providerRuntime = factory.getRuntimeInstance(RuntimeOptions("soak-provider", "stable"));
    providerRuntime->connectAsync().get();
    auto provider = providerRuntime->getChannels()->createProvider("soak");
    provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
    provider->openAsync().get();

    std::atomic<long> issued{0};
    std::atomic<long> done{0};
    std::atomic<long> wrong{0};
    std::atomic<long> connects{0};
    const auto start = std::chrono::steady_clock::now();

    auto work = [&](int id) {
        RuntimeFactory clientFactory;
        while (issued.load() < total) {
            auto runtime = clientFactory.getRuntimeInstance(RuntimeOptions("soak-" + std::to_string(id), "stable"));
            runtime->connectAsync().get();
            ++connects;
            auto client = runtime->getChannels()->createClient("soak");
            client->connectAsync(false).get();
            std::deque<std::pair<long, std::shared_future<std::shared_ptr<std::string>>>> inFlight;
            long sentHere = 0;
            auto settleOne = [&] {
                auto& front = inFlight.front();
                const auto reply = front.second.get();
                if (!reply || *reply != std::to_string(front.first)) {
                    ++wrong;
                }
                inFlight.pop_front();
                ++done;
            };
            while (sentHere < perConnection) {
                const long n = issued.fetch_add(1);
                if (n >= total) {
                    break;
                }
                inFlight.emplace_back(n, client->dispatchAsync("echo", std::to_string(n)));
                ++sentHere;
                if (inFlight.size() >= window) {
                    settleOne();
                }
            }
            while (!inFlight.empty()) {
                settleOne();
            }
            runtime->disconnectAsync().get();
        }
    };

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(work, t);
    }

    std::printf("%10s %10s %12s %10s %10s\n", "dispatches", "seconds", "per second", "connects", "RSS KiB");
    std::vector<long> rssAt;
    long nextReport = interval;
    long lastDone = 0;
    auto lastTime = start;
    while (done.load() < total) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const long now = done.load();
        if (now >= nextReport || now >= total) {
            const auto time = std::chrono::steady_clock::now();
            const double seconds = std::chrono::duration<double>(time - start).count();
            const double rate = (now - lastDone) / std::chrono::duration<double>(time - lastTime).count();
            const long rss = residentKiB();
            rssAt.push_back(rss);
            std::printf("%10ld %10.1f %12.0f %10ld %10ld\n", now, seconds, rate, connects.load(), rss);
            std::fflush(stdout);
            lastDone = now;
            lastTime = time;
            nextReport += interval;
        }
    }
    for (auto& worker : workers) {
        worker.join();
    }
    providerRuntime->disconnectAsync().get();
    halvora_embedded_shutdown();

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("total: %ld dispatches in %.1f s (%.0f per second), %ld connects, %ld wrong replies\n", done.load(),
                seconds, done.load() / seconds, connects.load(), wrong.load());
    // Flat: after the first fifth (allocator and thread caches warm), RSS may
    // not grow by more than 8 MiB.
    const long warm = rssAt.size() > 2 ? rssAt[1] : (rssAt.empty() ? 0 : rssAt.front());
    const long last = rssAt.empty() ? 0 : rssAt.back();
    const bool flat = last - warm <= 8 * 1024;
    std::printf("memory: %ld KiB after warm-up, %ld KiB at the end: %s\n", warm, last, flat ? "flat" : "GROWING");
    return wrong.load() == 0 && flat ? 0 : 1;
}
