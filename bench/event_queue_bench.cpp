// Per-event costs of the queue road. Run: build/bench/event_queue_bench
#include <deque>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <boost/asio/io_service.hpp>
#include <boost/filesystem/path.hpp>

#include "log/log.hpp"
#include "monitor/event_queue.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"

namespace {

const std::size_t BATCH_LIMIT = 100; // the file monitor's limit: 101 paths a batch

boost::shared_ptr<std::string> shared_path(const std::string& text)
{
    return boost::shared_ptr<std::string>(new std::string(text));
}

std::string data_path(std::size_t i)
{
    return "/home/user/projects/tarsel/src/monitor/file_" + std::to_string(i) + ".cpp";
}

// A queue as configured in the daemon: everything under /home forwarded,
// no process excluded.
struct configured_queue_t
{
    configured_queue_t()
    {
        queue.set_path_filter(new ScanSet({"/home"}, {"/home/user/.cache"}));
        queue.set_process_filter(new ts_proc_filter_t(io));
    }
    boost::asio::io_service io;
    ts_event_queue_t queue;
};

// Pushes of paths that are not waiting, drained in the file monitor's
// batches, with range(0) other paths waiting all along.
void push_new_path(benchmark::State& state)
{
    const std::size_t waiting = static_cast<std::size_t>(state.range(0));
    configured_queue_t q;
    // Every path is popped long before it comes round again.
    std::vector<ts_event_t> pool;
    for (std::size_t i = 0; i < waiting + 4096; ++i)
        pool.push_back(ts_event_t{shared_path(data_path(i)), 1000});
    for (std::size_t i = 0; i < waiting; ++i)
        q.queue.push(pool[i]);

    std::size_t next = waiting;
    std::deque<std::string> out;
    for (auto _ : state) {
        for (std::size_t i = 0; i <= BATCH_LIMIT; ++i) {
            q.queue.push(pool[next]);
            if (++next == pool.size())
                next = 0;
        }
        out.clear();
        q.queue.pop(out, BATCH_LIMIT);
        benchmark::DoNotOptimize(out.back());
    }
    if (q.queue.size() != waiting)
        state.SkipWithError("a pushed path was already waiting");
    state.SetItemsProcessed(state.iterations() * (BATCH_LIMIT + 1));
    state.SetLabel("push + pop per item");
}
BENCHMARK(push_new_path)->Arg(0)->Arg(10000)->Arg(1000000);

// Pushes of a path that is already waiting, among range(0) waiting paths.
void push_waiting_path(benchmark::State& state)
{
    const std::size_t waiting = static_cast<std::size_t>(state.range(0));
    configured_queue_t q;
    for (std::size_t i = 0; i < waiting; ++i)
        q.queue.push(ts_event_t{shared_path(data_path(i)), 1000});
    const ts_event_t again{shared_path(data_path(waiting / 2)), 1001};
    for (auto _ : state)
        q.queue.push(again);
    if (q.queue.size() != waiting)
        state.SkipWithError("the waiting path was queued twice");
}
BENCHMARK(push_waiting_path)->Arg(1)->Arg(10000)->Arg(1000000);

// The same with an excluded executable configured: one readlink of the
// real /proc/<pid>/exe per event.
void push_waiting_path_with_excluded_exe(benchmark::State& state)
{
    configured_queue_t q;
    q.queue.set_process_filter(new ts_proc_filter_t(q.io, {"/nonexistent/bin/tool"}));
    const ts_event_t again{shared_path(data_path(1)), static_cast<int>(::getpid())};
    q.queue.push(again);
    for (auto _ : state)
        q.queue.push(again);
}
BENCHMARK(push_waiting_path_with_excluded_exe);

// range(0) configured paths: half included home directories, half excluded
// caches inside them, queried with included, excluded and outside paths.
ScanSet make_scan_set(std::size_t configured, std::vector<std::string>& queries)
{
    std::vector<std::string> included, excluded;
    for (std::size_t i = 0; i < configured / 2; ++i) {
        included.push_back("/home/user" + std::to_string(i) + "/docs");
        excluded.push_back("/home/user" + std::to_string(i) + "/docs/cache");
    }
    for (std::size_t i = 0; i < 16; ++i) {
        const std::string user = "/home/user" + std::to_string(i * configured / 32);
        queries.push_back(user + "/docs/projects/tarsel/src/monitor/scan_set.cpp");
        queries.push_back(user + "/docs/cache/thumbnails/large/0123456789abcdef.png");
        queries.push_back("/usr/lib/x86_64-linux-gnu/libstdc++.so.6." + std::to_string(i));
    }
    return ScanSet(included, excluded);
}

void scan_set_state(benchmark::State& state)
{
    std::vector<std::string> queries;
    const ScanSet set = make_scan_set(static_cast<std::size_t>(state.range(0)), queries);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(set.state(queries[i]));
        if (++i == queries.size())
            i = 0;
    }
}
BENCHMARK(scan_set_state)->Arg(10)->Arg(1000);

// For comparison: the query built as a Boost.Filesystem path from a copy
// of the text for each call.
void scan_set_state_via_path_copy(benchmark::State& state)
{
    std::vector<std::string> queries;
    const ScanSet set = make_scan_set(static_cast<std::size_t>(state.range(0)), queries);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(set.state(boost::filesystem::path(queries[i])));
        if (++i == queries.size())
            i = 0;
    }
}
BENCHMARK(scan_set_state_via_path_copy)->Arg(10)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
