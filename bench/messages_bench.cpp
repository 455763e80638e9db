// The interface thread's cost of a scan's worth of worker messages: every Found and
// Measured applied to a fresh state, rows, focus and view included; nothing is drawn.
// The second argument is the length of the runs the messages arrive in: 1 applies them one
// at a time (a view rebuild after each), more applies each run as the event loop's turn
// does (one rebuild per run).
//   build/bench/bench/qb_messages_bench [--benchmark_filter=REGEX]

#include "tui/messages.hpp"
#include "tui/view.hpp"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace qb;
using namespace qb::tui;

struct Kind {
    const char* kind;
    const char* ecosystem;
    const char* dir;
};
constexpr Kind kKinds[] = {{"node-modules", "node", "node_modules"},
                           {"cargo-target", "rust", "target"},
                           {"python-venv", "python", ".venv"},
                           {"python-pycache", "python", "__pycache__"},
                           {"go-build", "go", "build"}};

/// One found cache and its measurement, as the scan of a tree of projects reports them.
struct Cache {
    SizingRow found;
    Candidate measured;
};

std::vector<Cache> make_caches(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<Cache> caches;
    caches.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Kind& k = kKinds[rng() % std::size(kKinds)];
        std::string p =
            fmt::format("/home/user/Projects/group-{:02}/project-{:05}/{}", i % 40, i, k.dir);
        Cache c;
        c.found = SizingRow{k.kind, k.ecosystem, p, CacheScope::Project, true};
        c.measured.kind = k.kind;
        c.measured.ecosystem = k.ecosystem;
        c.measured.path = p;
        // Skewed small, with many equal sizes so that the path decides the order.
        c.measured.bytes = (rng() % 4 == 0) ? (rng() % 64) << 20 : (rng() % 512) << 10;
        c.measured.allocated_bytes = c.measured.bytes;
        if (rng() % 8 != 0) {
            c.measured.age_days = rng() % 400;
        }
        caches.push_back(std::move(c));
    }
    return caches;
}

TuiState fresh_state() {
    return initial_state(ScanOptions{{"/home/user/Projects"}, {}, ScopeFilter::All}, {},
                         Capabilities{}, TuiServices{});
}

void apply_all(TuiState& state, std::vector<WorkerMessage>& messages, std::size_t run_length,
               const WorkerSender& tx) {
    if (run_length <= 1) {
        for (WorkerMessage& m : messages) {
            handle_worker_message(state, std::move(m), tx);
        }
        return;
    }
    for (std::size_t i = 0; i < messages.size(); i += run_length) {
        MessageRun run(state, tx);
        for (std::size_t j = i; j < std::min(messages.size(), i + run_length); ++j) {
            run.apply(std::move(messages[j]));
        }
    }
}

/// Runs `messages` against the state `setup` gives, timing only the messages.
template <typename Setup>
void run(benchmark::State& bench, const std::vector<WorkerMessage>& messages, Setup setup) {
    auto [tx, rx] = make_channel<WorkerMessage>();
    const auto run_length = static_cast<std::size_t>(bench.range(1));
    for (auto _ : bench) {
        bench.PauseTiming();
        TuiState state = setup();
        std::vector<WorkerMessage> copy = messages;
        bench.ResumeTiming();
        apply_all(state, copy, run_length, tx);
        benchmark::DoNotOptimize(state.cursor);
        bench.PauseTiming();
        state = TuiState{};
        copy.clear();
        bench.ResumeTiming();
    }
    bench.counters["messages"] = static_cast<double>(messages.size());
    bench.counters["per_message"] = benchmark::Counter(
        static_cast<double>(messages.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

/// The walk runs ahead of the measuring: every cache is found first, then the measurements
/// arrive in their own order (the sizing rows drain from everywhere in the list).
void BM_ScanFoundAhead(benchmark::State& bench) {
    auto caches = make_caches(static_cast<std::size_t>(bench.range(0)), 1);
    std::vector<WorkerMessage> messages;
    for (const Cache& c : caches) {
        messages.emplace_back(msg::Found{c.found});
    }
    std::vector<std::size_t> order(caches.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), std::mt19937_64(2));
    for (std::size_t i : order) {
        messages.emplace_back(msg::Measured{caches[i].measured});
    }
    run(bench, messages, fresh_state);
}

/// Each measurement follows its find at once; the user has moved, so the focused row is
/// followed through every change.
void BM_ScanInterleavedFocused(benchmark::State& bench) {
    auto caches = make_caches(static_cast<std::size_t>(bench.range(0)), 3);
    std::vector<WorkerMessage> messages;
    for (const Cache& c : caches) {
        messages.emplace_back(msg::Found{c.found});
        messages.emplace_back(msg::Measured{c.measured});
    }
    run(bench, messages, [] {
        TuiState state = fresh_state();
        state.user_moved = true;
        return state;
    });
}

/// A rescan over rows already shown: each Found adds nothing, each Measured replaces its row
/// in place with a new size, while the user's focus sits in the middle of the table.
void BM_Refresh(benchmark::State& bench) {
    auto caches = make_caches(static_cast<std::size_t>(bench.range(0)), 4);
    std::vector<Candidate> shown;
    for (const Cache& c : caches) {
        shown.push_back(c.measured);
    }
    std::mt19937_64 rng(5);
    std::vector<WorkerMessage> messages;
    for (const Cache& c : caches) {
        messages.emplace_back(msg::Found{c.found});
    }
    std::vector<std::size_t> order(caches.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), rng);
    for (std::size_t i : order) {
        Candidate again = caches[i].measured;
        again.bytes += rng() % (1 << 20);
        messages.emplace_back(msg::Measured{std::move(again)});
    }
    run(bench, messages, [&] {
        TuiState state = fresh_state();
        auto [tx, rx] = make_channel<WorkerMessage>();
        handle_worker_message(state, msg::ScanFinished{ScanResult{shown, {}}}, tx);
        state.user_moved = true;
        state.cursor = shown.size() / 2;
        state.phase = TuiPhase::Scanning;
        state.refreshing = true;
        return state;
    });
}

BENCHMARK(BM_ScanFoundAhead)
    ->ArgsProduct({{2500, 10000}, {1, 16, 256}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanInterleavedFocused)
    ->ArgsProduct({{2500, 10000}, {1, 16, 256}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Refresh)->ArgsProduct({{2500, 10000}, {1, 16, 256}})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
