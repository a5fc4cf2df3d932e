// Throughput of the pipe ring against boost's single-producer single-consumer queue: one
// producer thread and one consumer thread move a batch of items through each, in the same run.
#include <benchmark/benchmark.h>

#include <boost/lockfree/spsc_queue.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ft60x/pipe/queue.h"

namespace {

constexpr std::uint64_t batch = 1 << 20;
// Slot count of the pipes' largest rings (256 buffers plus one).
constexpr std::uint32_t slots = 257;

using Ring = ProducerConsumerQueue<std::uint64_t>;
using BoostRing = boost::lockfree::spsc_queue<std::uint64_t>;

template <typename Queue> void move_batch(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        // Same capacity: the ring keeps one slot empty, boost counts items.
        auto queue = std::make_unique<Queue>(std::is_same_v<Queue, Ring> ? slots : slots - 1);
        state.ResumeTiming();
        // The producer gets the queue's address by value: reading it from this thread's stack
        // would share a cache line with the consumer's locals.
        Queue* const q = queue.get();
        std::thread producer([q] {
            for (std::uint64_t i = 1; i <= batch; ++i)
                while (!q->push(i))
                    std::this_thread::yield();
        });
        std::uint64_t received = 0;
        std::uint64_t sum = 0;
        while (received < batch) {
            std::uint64_t item;
            if (!q->pop(item)) {
                std::this_thread::yield();
                continue;
            }
            sum += item;
            ++received;
        }
        producer.join();
        if (sum != batch * (batch + 1) / 2)
            state.SkipWithError("items lost");
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch));
}

// Both threads poll (yielding when the queue is full or empty), so any other load on the machine
// shows up as noise: several repetitions, and the comparison takes each queue's best one.
BENCHMARK_TEMPLATE(move_batch, Ring)->Name("ProducerConsumerQueue")->UseRealTime()->Repetitions(5);
BENCHMARK_TEMPLATE(move_batch, BoostRing)->Name("boost_spsc_queue")->UseRealTime()->Repetitions(5);

// Prints as usual and keeps each benchmark's best item rate for the closing comparison.
class RateReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so that captured output stays plain text.
    RateReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto it = run.counters.find("items_per_second");
            if (it == run.counters.end() || run.run_type != Run::RT_Iteration)
                continue;
            double& best = rates[run.run_name.function_name];
            best = std::max(best, static_cast<double>(it->second));
        }
    }
    std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto ours = reporter.rates.find("ProducerConsumerQueue");
    const auto boost = reporter.rates.find("boost_spsc_queue");
    if (ours == reporter.rates.end() || boost == reporter.rates.end() || boost->second <= 0)
        return 0; // filtered run: nothing to compare
    std::printf("best of the repetitions, one producer and one consumer thread\n");
    std::printf("ProducerConsumerQueue: %.1f M items/s\n", ours->second / 1e6);
    std::printf("boost::lockfree::spsc_queue: %.1f M items/s\n", boost->second / 1e6);
    std::printf("queue-vs-boost-spsc: %.2f\n", ours->second / boost->second);
    return 0;
}
