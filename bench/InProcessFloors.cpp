// What an embedded round trip is judged against, measured in the same run:
// - the in-process floor: the fewest hand-offs a round trip between two
//   runtimes of one process needs (caller -> the client's worker -> the
//   provider's handler thread -> back to the caller through a promise),
//   written plainly with a mutex, a condition variable and std::promise, the
//   payload copied once on the way in and shared back;
// - the same with a waiting worker: the worker waits for each answer before it
//   takes the next job, as a worker inside a synchronous native call must, so
//   the answer wakes the worker and the worker the caller: one wake-up more;
// - the same with the copies our road cannot do without, each into a fresh
//   string on the thread that makes it there: the caller's request, the
//   event's bytes on the worker, the handler's argument and its reply on the
//   handler thread, the caller's result on the worker;
// - the same without the event's bytes: the four copies that the library's
//   own interfaces force, whatever the adapter does;
// - memcpy of the payload into a buffer that already exists, the bandwidth
//   that large round trips are judged against.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Job {
    std::shared_ptr<std::string> payload;
    std::promise<std::shared_ptr<std::string>> reply;
};

// A thread that consumes jobs in order from a plain locked queue.
class JobThread {
public:
    explicit JobThread(std::function<void(std::unique_ptr<Job>)> consume)
        : consume(std::move(consume)), thread([this] { run(); })
    {}
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;
    ~JobThread()
    {
        {
            std::lock_guard<std::mutex> lock(jobsMutex);
            stopping = true;
        }
        jobsChanged.notify_one();
        thread.join();
    }

    void push(std::unique_ptr<Job> job)
    {
        {
            std::lock_guard<std::mutex> lock(jobsMutex);
            jobs.push_back(std::move(job));
        }
        jobsChanged.notify_one();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(jobsMutex);
        for (;;) {
            jobsChanged.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty()) {
                return;
            }
            std::unique_ptr<Job> job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            consume(std::move(job));
            lock.lock();
        }
    }

    std::function<void(std::unique_ptr<Job>)> consume;
    std::mutex jobsMutex; // guards jobs and stopping
    std::condition_variable jobsChanged;
    std::deque<std::unique_ptr<Job>> jobs;
    bool stopping = false;
    std::thread thread;
};

// How a floor's two threads treat a job: the in-process floor's worker hands
// each job on and takes the next, the handler answers with the payload it was
// given; the waiting worker waits for each answer and then answers the caller;
// the copying one also copies the payload where our road must, the library's
// copying one only where the library must.
enum class Road { HandOn, Waiting, Copying, LibraryCopying };

class FloorPair {
public:
    explicit FloorPair(Road road) : road(road) {}

    std::shared_ptr<std::string> roundTrip(const std::string& payload)
    {
        auto job = std::make_unique<Job>();
        job->payload = std::make_shared<std::string>(payload);
        std::future<std::shared_ptr<std::string>> reply = job->reply.get_future();
        worker.push(std::move(job));
        return reply.get();
    }

private:
    std::shared_ptr<std::string> copied(const std::shared_ptr<std::string>& text) const
    {
        return road == Road::Copying || road == Road::LibraryCopying ? std::make_shared<std::string>(*text) : text;
    }

    const Road road;
    JobThread handler{[this](std::unique_ptr<Job> job) { job->reply.set_value(copied(copied(job->payload))); }};
    JobThread worker{[this](std::unique_ptr<Job> job) {
        if (road == Road::HandOn) {
            handler.push(std::move(job));
            return;
        }
        auto call = std::make_unique<Job>();
        call->payload = road == Road::LibraryCopying ? job->payload : copied(job->payload);
        job->payload.reset();
        std::future<std::shared_ptr<std::string>> answer = call->reply.get_future();
        handler.push(std::move(call));
        job->reply.set_value(copied(answer.get()));
    }};
};

// Payloads as the embedded round trips send them: a JSON string of exactly `size` bytes.
std::string payloadOf(std::size_t size)
{
    std::string text(size, 'x');
    text.front() = '"';
    text.back() = '"';
    return text;
}

template <Road road>
void roundTrips(benchmark::State& state)
{
    static FloorPair pair(road);
    const std::string payload = payloadOf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        if (pair.roundTrip(payload)->size() != payload.size()) {
            state.SkipWithError("the floor's echo came back wrong");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void Floor_InProcess(benchmark::State& state)
{
    roundTrips<Road::HandOn>(state);
}
BENCHMARK(Floor_InProcess)->Arg(16)->Arg(1024)->Arg(64 * 1024)->UseRealTime();

void Floor_InProcessWaiting(benchmark::State& state)
{
    roundTrips<Road::Waiting>(state);
}
BENCHMARK(Floor_InProcessWaiting)->Arg(16)->Arg(1024)->Arg(64 * 1024)->UseRealTime();

void Floor_InProcessCopying(benchmark::State& state)
{
    roundTrips<Road::Copying>(state);
}
BENCHMARK(Floor_InProcessCopying)->Arg(64 * 1024)->Arg(1024 * 1024)->Arg(16 * 1024 * 1024)->UseRealTime();

void Floor_InProcessLibraryCopying(benchmark::State& state)
{
    roundTrips<Road::LibraryCopying>(state);
}
BENCHMARK(Floor_InProcessLibraryCopying)->Arg(1024 * 1024)->Arg(16 * 1024 * 1024)->UseRealTime();

void Floor_Memcpy(benchmark::State& state)
{
    const std::string payload = payloadOf(static_cast<std::size_t>(state.range(0)));
    std::string copy(payload.size(), '\0');
    for (auto _ : state) {
        std::memcpy(copy.data(), payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(Floor_Memcpy)->Arg(1024 * 1024)->Arg(16 * 1024 * 1024)->UseRealTime();

} // namespace
