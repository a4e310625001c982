// Throughput of the fanotify interceptor against a minimal reference reader.
//
// A private tmpfs holds pre-made files. In each round, for each reader in
// turn: a notification group is made, generator processes open and close
// every one of their files once as fast as they can (fewer events than the
// kernel queues, so nothing can overflow), one last access of a marker file
// follows, and then the reader is started and timed until it has delivered
// the marker. The reference reader (reference_reader.c) reads, fstats,
// readlinks and closes on one thread; ts_fanotify_t delivers into a real
// ts_event_queue_t whose `pushed` slot takes batches as the file monitor
// does, on a thread of its own that stands for the daemon's main thread.
// Reported per reader: the median events/s and the median processor time
// per event of all threads of this process (getrusage), and whether any
// overflow was seen (there must be none).
// Run as root: bench/run-fanotify [rounds].

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include "log/log.hpp"
#include "monitor/event_queue.hpp"
#include "monitor/fanotify.hpp"
#include "monitor/kernel_fixture.hpp"
#include "monitor/monitor_texts.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"
#include "reference_reader.h"
#include "support/temp_dir.hpp"

using namespace nt_monitor_test;

namespace {

// 15000 events per round: below the kernel's default queue of 16384.
const int generators = 3;
const int files_per_generator = 5000;

double now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double cpu_seconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void fail(const char* what)
{
    fprintf(stderr, "fanotify_bench: %s: %s\n", what, strerror(errno));
    exit(1);
}

struct files_t
{
    std::string dir;
    std::string marker;
    ino_t marker_ino;
    std::vector<std::vector<std::string>> sets; // one per generator
};

// Generator processes, forked once before any thread exists (a fork later
// would make every page of the measured threads copy-on-write). Each waits
// for a command byte on its pipe and answers with one byte when done:
// 'g' opens and closes each of its files once, flat out; 'm' opens and
// closes the marker; 'q' ends it.
struct generator_t
{
    pid_t pid;
    int command;
    int reply;
};

std::vector<generator_t> start_generators(const files_t& files)
{
    std::vector<generator_t> started;
    for (int g = 0; g < generators; ++g) {
        int to_child[2], from_child[2];
        if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
            fail("pipe");
        std::vector<const char*> paths;
        for (const std::string& p : files.sets[g])
            paths.push_back(p.c_str());
        pid_t pid = fork();
        if (pid < 0)
            fail("fork");
        if (pid == 0) {
            char command;
            while (read(to_child[0], &command, 1) == 1 && command != 'q') {
                if (command == 'g') {
                    for (const char* path : paths) {
                        int fd = open(path, O_RDONLY | O_CLOEXEC);
                        if (fd >= 0)
                            close(fd);
                    }
                } else if (command == 'm') {
                    int fd = open(files.marker.c_str(), O_RDONLY | O_CLOEXEC);
                    if (fd >= 0)
                        close(fd);
                }
                if (write(from_child[1], &command, 1) != 1)
                    _exit(1);
            }
            _exit(0);
        }
        close(to_child[0]);
        close(from_child[1]);
        started.push_back(generator_t{pid, to_child[1], from_child[0]});
    }
    return started;
}

void command(const generator_t& generator, char what)
{
    if (write(generator.command, &what, 1) != 1)
        fail("generator command");
}

void await(const generator_t& generator)
{
    char done;
    if (read(generator.reply, &done, 1) != 1)
        fail("generator reply");
}

// All generators run through their files at once; then the marker is
// accessed, so that its event is the last one queued.
void generate(const std::vector<generator_t>& generators_)
{
    for (const generator_t& g : generators_)
        command(g, 'g');
    for (const generator_t& g : generators_)
        await(g);
    command(generators_[0], 'm');
    await(generators_[0]);
}

void stop_generators(const std::vector<generator_t>& generators_)
{
    for (const generator_t& g : generators_) {
        command(g, 'q');
        while (waitpid(g.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

struct trial_t
{
    unsigned long long events;
    unsigned long long overflows;
    double seconds;
    double cpu;        // every thread of the process
    double reader_cpu; // the reading thread
    double loop_cpu;   // the event loop thread (ts_fanotify_t only)
    double rate() const { return seconds > 0 ? events / seconds : 0; }
    double cpu_per_event() const { return events ? cpu / events : 0; }
};

trial_t reference_trial(const files_t& files, const std::vector<generator_t>& gens)
{
    int group = reference_open(files.dir.c_str());
    if (group < 0)
        fail("reference reader");
    generate(gens);
    struct reference_counts counts = {0, 0, 0};
    const double cpu0 = cpu_seconds(), start = now();
    std::thread reader([&] { reference_run(group, files.marker_ino, &counts); });
    reader.join();
    const double seconds = now() - start, cpu = cpu_seconds() - cpu0;
    close(group);
    return trial_t{counts.events, counts.overflows, seconds, cpu, cpu, 0};
}

// Counts the overflow Warnings of the interceptor; shows any other line.
class overflow_sink_t : public cf_log_t
{
public:
    std::atomic<unsigned long long> overflows{0};
    void open() override {}
    void log(int level, const std::string& text) override
    {
        if (level == LOG_WARNING_LEVEL && text == TS_TEXT_FANOTIFY_OVERFLOW)
            ++overflows;
        else
            fprintf(stderr, "%s: %s\n", log_level_name(level), text.c_str());
    }
    void log_from_process(const std::string&, int, const std::string&) override {}
};

// What the file monitor's send_pending does while the flow is open: take a
// batch of at most 101 paths out of the queue.
struct drain_t
{
    ts_event_queue_t* queue;
    const std::string* marker;
    unsigned long long pushes = 0;
    bool marker_seen = false;
    std::mutex mutex;
    std::condition_variable seen;
    std::deque<std::string> batch;

    void on_pushed()
    {
        queue->pop(batch, 100);
        for (const std::string& path : batch)
            if (path == *marker) {
                std::lock_guard<std::mutex> lock(mutex);
                marker_seen = true;
                seen.notify_all();
            }
        if (!marker_seen)
            ++pushes;
        batch.clear();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        seen.wait(lock, [this] { return marker_seen; });
    }
};

trial_t fanotify_trial(const files_t& files, const std::vector<generator_t>& gens, overflow_sink_t& sink)
{
    boost::asio::io_service io;
    boost::asio::io_service::work work(io);
    ts_event_queue_ptr queue = boost::make_shared<ts_event_queue_t>();
    queue->set_path_filter(new ScanSet(std::vector<std::string>{files.dir}, std::vector<std::string>()));
    queue->set_process_filter(new ts_proc_filter_t(io));
    drain_t drain;
    drain.queue = queue.get();
    drain.marker = &files.marker;
    queue->pushed.connect(boost::bind(&drain_t::on_pushed, &drain));

    boost::shared_ptr<ts_fanotify_t> interceptor =
        boost::make_shared<ts_fanotify_t>(boost::ref(io), std::vector<std::string>{files.dir});
    std::thread main_loop([&] { io.run(); });
    generate(gens);

    const unsigned long long overflows0 = sink.overflows;
    const double cpu0 = cpu_seconds(), start = now();
    const double loop0 = thread_cpu_seconds(main_loop.native_handle());
    std::thread reader([&] { interceptor->run(queue); });
    drain.wait();
    const double seconds = now() - start, cpu = cpu_seconds() - cpu0;
    const double reader_cpu = thread_cpu_seconds(reader.native_handle()),
                 loop_cpu = thread_cpu_seconds(main_loop.native_handle()) - loop0;
    interceptor->stop();
    reader.join();
    io.stop();
    main_loop.join();
    return trial_t{drain.pushes, sink.overflows - overflows0, seconds, cpu, reader_cpu, loop_cpu};
}

// The pre-made files, in dir (a tmpfs the caller mounted).
files_t make_files(const std::string& dir)
{
    files_t files;
    files.dir = dir;
    for (int g = 0; g < generators; ++g) {
        files.sets.emplace_back();
        for (int i = 0; i < files_per_generator; ++i) {
            files.sets.back().push_back(files.dir + "/g" + std::to_string(g) + "-file-" + std::to_string(i));
            if (!write_file(files.sets.back().back(), ""))
                fail("create");
        }
    }
    files.marker = files.dir + "/marker";
    struct stat st;
    if (!write_file(files.marker, "") || stat(files.marker.c_str(), &st) != 0)
        fail("create marker");
    files.marker_ino = st.st_ino;
    return files;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    if (!enter_private_mounts())
        fail("private mount namespace (run as root)");
    nt::temp_dir_t temp("nt-fanotify-bench");
    const std::string dir = temp.path() + "/watched";
    if (mkdir(dir.c_str(), 0755) != 0)
        fail("mkdir");
    tmpfs_t tmpfs(dir);
    if (!tmpfs.mounted())
        fail("mount tmpfs");
    const files_t files = make_files(dir);
    const std::vector<generator_t> gens = start_generators(files);

    boost::shared_ptr<overflow_sink_t> sink = boost::make_shared<overflow_sink_t>();
    set_log_sink(sink);
    log_threshold = LOG_NOTICE_LEVEL;

    std::vector<double> ref_rate, ref_cpu, fan_rate, fan_cpu;
    unsigned long long overflows = 0;
    const unsigned long long expected = static_cast<unsigned long long>(generators) * files_per_generator;
    printf("%d rounds of %llu events; per round: reference reader, then ts_fanotify_t\n", rounds, expected);
    for (int r = 0; r < rounds; ++r) {
        const trial_t ref = reference_trial(files, gens);
        const trial_t fan = fanotify_trial(files, gens, *sink);
        printf("  reference %7.0f/s %5.2f us/event   ts_fanotify_t %7.0f/s %5.2f us/event (reader %.2f, event loop "
               "%.2f)\n",
               ref.rate(), ref.cpu_per_event() * 1e6, fan.rate(), fan.cpu_per_event() * 1e6,
               fan.reader_cpu / fan.events * 1e6, fan.loop_cpu / fan.events * 1e6);
        overflows += ref.overflows + fan.overflows;
        if (ref.events != expected || fan.events != expected)
            printf("  (events merged or lost: expected %llu each)\n", expected);
        ref_rate.push_back(ref.rate());
        ref_cpu.push_back(ref.cpu_per_event());
        fan_rate.push_back(fan.rate());
        fan_cpu.push_back(fan.cpu_per_event());
    }

    // The best round shows the cost of the code itself on a machine that
    // other work disturbs; the median, what a run typically gets.
    const double ratio = median(ref_rate) > 0 ? median(fan_rate) / median(ref_rate) : 0;
    printf("\n                    median events/s  us CPU/event   best events/s  us CPU/event\n");
    printf("  reference reader: %15.0f %13.2f %15.0f %13.2f\n", median(ref_rate), median(ref_cpu) * 1e6,
           *std::max_element(ref_rate.begin(), ref_rate.end()),
           *std::min_element(ref_cpu.begin(), ref_cpu.end()) * 1e6);
    printf("  ts_fanotify_t:    %15.0f %13.2f %15.0f %13.2f\n", median(fan_rate), median(fan_cpu) * 1e6,
           *std::max_element(fan_rate.begin(), fan_rate.end()),
           *std::min_element(fan_cpu.begin(), fan_cpu.end()) * 1e6);
    printf(
        "  ratio of medians %.2f (target >= 0.8); median CPU/event %.2f us (target < 8); overflows %llu (must be 0)\n",
        ratio, median(fan_cpu) * 1e6, overflows);

    stop_generators(gens);
    set_log_sink(cf_log_ptr());
    return overflows == 0 ? 0 : 1;
}
