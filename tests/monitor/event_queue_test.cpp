#include "monitor/event_queue.hpp"

#include <chrono>
#include <cstdio>
#include <deque>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/filesystem.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "log/log.hpp"
#include "monitor/monitor_texts.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"

namespace fs = boost::filesystem;

namespace {

typedef std::deque<std::string> paths_t;

class capture_log_t : public cf_log_t
{
public:
    void open() override {}
    void log(int level, const std::string& text) override
    {
        boost::mutex::scoped_lock lock(mutex);
        lines.emplace_back(level, text);
    }
    void log_from_process(const std::string&, int, const std::string&) override {}

    std::vector<std::pair<int, std::string>> taken()
    {
        boost::mutex::scoped_lock lock(mutex);
        return std::move(lines);
    }

private:
    boost::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;
};

ts_event_t event(const std::string& path, int pid = 1)
{
    return ts_event_t{boost::shared_ptr<std::string>(new std::string(path)), pid};
}

std::pair<int, std::string> access_line(int pid, const std::string& path)
{
    return {LOG_DEBUG_LEVEL, "PID: " + std::to_string(pid) + " Access on: " + path};
}

} // namespace

class event_queue_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        saved_threshold = log_threshold;
        log_threshold = LOG_DEBUG_LEVEL;
        sink.reset(new capture_log_t);
        set_log_sink(sink);

        root = fs::temp_directory_path() / fs::unique_path("event-queue-%%%%-%%%%-%%%%");
        fs::create_directories(root / "666");
        fs::create_symlink("/usr/bin/excluded", root / "666" / "exe");

        queue.pushed.connect([this] { ++signals; });
        queue.set_process_filter(new ts_proc_filter_t(io, {"/usr/bin/excluded"}, root.native()));
        include({"/data"}, {"/data/skip"});
    }
    void TearDown() override
    {
        set_log_sink(cf_log_ptr());
        log_threshold = saved_threshold;
        boost::system::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void include(const std::vector<std::string>& in, const std::vector<std::string>& ex = {})
    {
        queue.set_path_filter(new ScanSet(in, ex));
    }
    void push(const std::string& path, int pid = 1) { queue.push(event(path, pid)); }
    paths_t pop(std::size_t limit = 0)
    {
        paths_t out;
        queue.pop(out, limit);
        return out;
    }

    int saved_threshold = LOG_NOTICE_LEVEL;
    boost::shared_ptr<capture_log_t> sink;
    fs::path root;
    boost::asio::io_service io;
    ts_event_queue_t queue;
    int signals = 0;
};

TEST_F(event_queue_test, accepted_path_is_queued_logged_and_signalled)
{
    ts_event_t e = event("/data/a", 42);
    queue.push(e);
    EXPECT_EQ(1u, queue.size());
    EXPECT_FALSE(queue.empty());
    EXPECT_EQ(1, signals);
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{access_line(42, "/data/a")}), sink->taken());
    // The queue keeps a copy of its own: the producer's string goes with
    // the producer's event.
    EXPECT_EQ(1, e.path.use_count());
    EXPECT_EQ(paths_t{"/data/a"}, pop());
    EXPECT_TRUE(queue.empty());
}

TEST_F(event_queue_test, rejected_events_leave_no_trace)
{
    push("/data/a", 666);    // excluded process
    push("/etc/passwd");     // outside the paths: 1
    push("/data/skip/x");    // excluded path: 1
    push("/");               // on the way to /data: 2
    push("relative/x", 666); // the process filter answers first
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(0, signals);
    EXPECT_TRUE(sink->taken().empty());
}

TEST_F(event_queue_test, nothing_is_queued_before_the_first_configuration)
{
    ts_event_queue_t fresh;
    int fired = 0;
    fresh.pushed.connect([&fired] { ++fired; });
    for (const char* path : {"/", "/data/a", "/etc/passwd"})
        fresh.push(event(path));
    EXPECT_TRUE(fresh.empty());
    EXPECT_EQ(0, fired);
    EXPECT_TRUE(sink->taken().empty());
}

TEST_F(event_queue_test, waiting_path_is_queued_once_but_logged_and_signalled_each_time)
{
    push("/data/a", 1);
    push("/data/a", 2);
    EXPECT_EQ(1u, queue.size());
    EXPECT_EQ(2, signals);
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{access_line(1, "/data/a"), access_line(2, "/data/a")}),
              sink->taken());
    EXPECT_EQ(paths_t{"/data/a"}, pop());

    // Taken, so the next push queues it again.
    push("/data/a", 3);
    EXPECT_EQ(paths_t{"/data/a"}, pop());
}

TEST_F(event_queue_test, order_of_first_push_is_kept)
{
    for (const char* path : {"/data/c", "/data/a", "/data/c", "/data/b", "/data/a", "/data/d"})
        push(path);
    EXPECT_EQ((paths_t{"/data/c", "/data/a", "/data/b", "/data/d"}), pop());
}

TEST_F(event_queue_test, pop_takes_limit_plus_one_or_all)
{
    struct case_t
    {
        std::size_t waiting;
        std::size_t limit;
        std::size_t taken;
    };
    const case_t cases[] = {
        {250, 0, 250},   {250, 1, 2},   {250, 2, 3},     {250, 100, 101},
        {250, 101, 102}, {50, 100, 50}, {101, 100, 101}, {102, 100, 101},
        {250, 300, 250}, {0, 5, 0},     {0, 0, 0},       {3, std::numeric_limits<std::size_t>::max(), 3},
    };
    for (const case_t& c : cases) {
        for (std::size_t i = 0; i < c.waiting; ++i)
            push("/data/" + std::to_string(i));
        paths_t out{"kept"};
        queue.pop(out, c.limit);
        ASSERT_EQ(c.taken + 1, out.size()) << c.waiting << " waiting, limit " << c.limit;
        EXPECT_EQ("kept", out.front());
        for (std::size_t i = 0; i < c.taken; ++i)
            EXPECT_EQ("/data/" + std::to_string(i), out[i + 1]);
        EXPECT_EQ(c.waiting - c.taken, queue.size());
        // What is left is the newest, still in order.
        paths_t rest = pop();
        for (std::size_t i = 0; i < rest.size(); ++i)
            EXPECT_EQ("/data/" + std::to_string(c.taken + i), rest[i]);
    }
}

TEST_F(event_queue_test, slot_may_pop_while_push_holds_the_mutex)
{
    paths_t sent;
    queue.pushed.connect([this, &sent] { queue.pop(sent, 100); });
    push("/data/a");
    push("/data/b");
    EXPECT_EQ((paths_t{"/data/a", "/data/b"}), sent);
    EXPECT_TRUE(queue.empty());
}

TEST_F(event_queue_test, slot_exception_leaves_the_event_queued_and_the_mutex_free)
{
    boost::signals2::scoped_connection thrower = queue.pushed.connect([] { throw std::runtime_error("slot"); });
    EXPECT_THROW(push("/data/a"), std::runtime_error);
    EXPECT_EQ(1u, queue.size());
    thrower.disconnect();
    push("/data/b"); // would deadlock if the mutex were still held
    include({"/"});  // so would the setter
    EXPECT_EQ((paths_t{"/data/a", "/data/b"}), pop());
}

TEST_F(event_queue_test, new_filters_apply_to_later_pushes_only)
{
    push("/data/a");
    include({"/other"});
    push("/data/b");
    push("/other/x");
    EXPECT_EQ((paths_t{"/data/a", "/other/x"}), pop());

    // A new process filter forgets the old exclusions.
    queue.set_process_filter(new ts_proc_filter_t(io, {}, root.native()));
    push("/other/y", 666);
    EXPECT_EQ(paths_t{"/other/y"}, pop());
    // No process filter excludes nothing.
    queue.set_process_filter(nullptr);
    push("/other/z", 666);
    // A null path filter forwards nothing.
    queue.set_path_filter(nullptr);
    push("/other/w");
    EXPECT_EQ(paths_t{"/other/z"}, pop());
}

TEST_F(event_queue_test, debug_line_only_when_the_threshold_admits_it)
{
    log_threshold = LOG_INFO_LEVEL;
    push("/data/a");
    EXPECT_EQ(1, signals);
    EXPECT_TRUE(sink->taken().empty());
}

TEST_F(event_queue_test, relative_path_is_dropped_with_a_warning)
{
    include({"/"});
    for (const std::string path : {"relative/x", "", "./a"}) {
        EXPECT_NO_THROW(push(path)) << path;
        EXPECT_EQ((std::vector<std::pair<int, std::string>>{
                      {LOG_WARNING_LEVEL, "Dropped a path that is not absolute: " + path}}),
                  sink->taken());
    }
    EXPECT_EQ(std::string("Dropped a path that is not absolute: "), TS_TEXT_NOT_ABSOLUTE_DROPPED);
    EXPECT_NO_THROW(queue.push(ts_event_t{boost::shared_ptr<std::string>(), 1}));
    EXPECT_EQ(1u, sink->taken().size());
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(0, signals);

    // Also before the first configuration, and silent below Warning.
    ts_event_queue_t fresh;
    EXPECT_NO_THROW(fresh.push(event("x")));
    EXPECT_EQ(1u, sink->taken().size());
    log_threshold = LOG_ERROR_LEVEL;
    push("x");
    EXPECT_TRUE(sink->taken().empty());
}

TEST_F(event_queue_test, events_pushed_together_fire_once_in_order)
{
    // One read's events: the slot sends them as one batch, not one per event.
    queue.push(
        std::vector<ts_event_t>{event("/data/b", 7), event("/etc/passwd"), event("/data/a", 8), event("/data/b", 9)});
    EXPECT_EQ(1, signals);
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{access_line(7, "/data/b"), access_line(8, "/data/a"),
                                                        access_line(9, "/data/b")}),
              sink->taken());
    EXPECT_EQ((paths_t{"/data/b", "/data/a"}), pop());
    // None passing fires nothing.
    queue.push(std::vector<ts_event_t>{event("/etc/passwd"), event("/data/x", 666)});
    queue.push(std::vector<ts_event_t>{});
    EXPECT_EQ(1, signals);
    EXPECT_TRUE(queue.empty());
}

TEST_F(event_queue_test, stored_texts_come_back_byte_for_byte)
{
    const std::vector<std::string> texts = {"/data/" + std::string(5000, 'x'), std::string("/data/n\0ul", 10),
                                            "/data/\xff\xfe", "/data/"};
    for (const std::string& text : texts)
        queue.push(event(text));
    EXPECT_EQ(paths_t(texts.begin(), texts.end()), pop());
    queue.restore_front(paths_t(texts.begin(), texts.end()));
    EXPECT_EQ(texts.size(), queue.size());
    push(texts[1]);
    EXPECT_EQ(texts.size(), queue.size());
    EXPECT_EQ(paths_t(texts.begin(), texts.end()), pop());
}

TEST_F(event_queue_test, restore_front_puts_undelivered_paths_first)
{
    for (const char* path : {"/data/a", "/data/b", "/data/c", "/data/d"})
        push(path);
    paths_t batch = pop(1);
    ASSERT_EQ((paths_t{"/data/a", "/data/b"}), batch);
    push("/data/e");
    push("/data/b"); // waiting again, at the end
    sink->taken();
    signals = 0;

    queue.restore_front(batch);
    EXPECT_EQ(5u, queue.size());
    EXPECT_EQ(0, signals);
    EXPECT_TRUE(sink->taken().empty());
    EXPECT_EQ((paths_t{"/data/a", "/data/b", "/data/c", "/data/d", "/data/e"}), pop());
}

TEST_F(event_queue_test, restore_front_keeps_one_entry_per_path_and_skips_filters)
{
    push("/data/x");
    include({"/other"});
    // Named twice: kept at its first place. Rejected by the filter now: kept.
    queue.restore_front(paths_t{"/data/a", "/data/x", "/data/a", "/data/b"});
    EXPECT_EQ((paths_t{"/data/a", "/data/x", "/data/b"}), pop());

    queue.restore_front(paths_t{});
    EXPECT_TRUE(queue.empty());

    // Restored entries de-duplicate later pushes like pushed ones.
    queue.restore_front(paths_t{"/other/r"});
    push("/other/r");
    push("/other/s");
    EXPECT_EQ((paths_t{"/other/r", "/other/s"}), pop());
}

namespace {

struct bound_case_t
{
    const char* name;
    std::size_t max_paths;
    std::size_t max_bytes; // the paths below are 8 bytes each
};

void PrintTo(const bound_case_t& c, std::ostream* out)
{
    *out << c.name;
}

// "/data/NN": 8 bytes.
std::string numbered(std::size_t n)
{
    char name[16];
    std::snprintf(name, sizeof name, "/data/%02zu", n);
    return name;
}

} // namespace

// A queue bounded at 10 paths, by their number or by their bytes, filtered
// like the fixture's.
class bounded_queue_test : public event_queue_test, public ::testing::WithParamInterface<bound_case_t>
{
protected:
    bounded_queue_test()
        : bounded(GetParam().max_paths, GetParam().max_bytes)
    {}
    void SetUp() override
    {
        event_queue_test::SetUp();
        bounded.set_process_filter(new ts_proc_filter_t(io, {}, root.native()));
        bounded.set_path_filter(new ScanSet({"/data"}, {}));
    }
    void push_numbered(std::size_t first, std::size_t count)
    {
        for (std::size_t i = first; i < first + count; ++i)
            bounded.push(event(numbered(i)));
    }
    paths_t take(std::size_t limit)
    {
        paths_t out;
        bounded.pop(out, limit);
        return out;
    }
    std::vector<std::string> warnings()
    {
        std::vector<std::string> out;
        for (const auto& line : sink->taken())
            if (line.first == LOG_WARNING_LEVEL)
                out.push_back(line.second);
        return out;
    }
    std::string full_line() const
    {
        return TS_TEXT_QUEUE_FULL + std::to_string(GetParam().max_paths) + " paths or " +
               std::to_string(GetParam().max_bytes) + " bytes";
    }
    static std::string dropped_line(std::size_t n) { return TS_TEXT_QUEUE_DROPPED + std::to_string(n); }

    ts_event_queue_t bounded;
};

TEST_P(bounded_queue_test, new_paths_past_the_bound_are_dropped_counted_and_reported_once)
{
    push_numbered(0, 15);
    // A path already waiting is no new path: not dropped, not counted.
    bounded.push(event(numbered(3)));
    EXPECT_EQ(10u, bounded.size());
    EXPECT_EQ(80u, bounded.path_bytes());
    EXPECT_EQ(5u, bounded.dropped());
    EXPECT_EQ(std::vector<std::string>{full_line()}, warnings());

    // Every path below the bound goes out, oldest first; the end of the
    // dropping is reported with its count.
    paths_t expected;
    for (std::size_t i = 0; i < 10; ++i)
        expected.push_back(numbered(i));
    EXPECT_EQ(expected, take(0));
    EXPECT_EQ(std::vector<std::string>{dropped_line(5)}, warnings());
    EXPECT_EQ(0u, bounded.dropped());
    EXPECT_EQ(0u, bounded.path_bytes());

    // A new episode is reported anew.
    push_numbered(20, 11);
    EXPECT_EQ(1u, bounded.dropped());
    EXPECT_EQ(std::vector<std::string>{full_line()}, warnings());
}

TEST_P(bounded_queue_test, dropping_goes_on_as_one_episode_until_half_the_bound_is_free)
{
    push_numbered(0, 12);
    ASSERT_EQ(2u, bounded.dropped());
    warnings();

    // Two out (8 left): room for two new paths, the third dropped, all in
    // the same episode, so no further line.
    EXPECT_EQ(2u, take(1).size());
    push_numbered(12, 3);
    EXPECT_EQ(10u, bounded.size());
    EXPECT_EQ(3u, bounded.dropped());
    EXPECT_TRUE(warnings().empty());

    // Down to five: the episode ends with one line for all three.
    EXPECT_EQ(5u, take(4).size());
    EXPECT_EQ(std::vector<std::string>{dropped_line(3)}, warnings());
    const paths_t rest = take(0);
    EXPECT_EQ((paths_t{numbered(7), numbered(8), numbered(9), numbered(12), numbered(13)}), rest);
}

TEST_P(bounded_queue_test, restored_paths_are_kept_past_the_bound)
{
    push_numbered(0, 10);
    const paths_t batch = take(1);
    push_numbered(10, 2);
    // Accepted once and not delivered: never dropped, the bound or not.
    bounded.restore_front(batch);
    EXPECT_EQ(12u, bounded.size());
    EXPECT_EQ(96u, bounded.path_bytes());
    EXPECT_EQ(0u, bounded.dropped());
    EXPECT_EQ(numbered(0), take(0).front());
}

INSTANTIATE_TEST_SUITE_P(event_queue, bounded_queue_test,
                         ::testing::Values(bound_case_t{"by_paths", 10, 1000}, bound_case_t{"by_bytes", 1000, 80}),
                         [](const ::testing::TestParamInfo<bound_case_t>& info) {
                             return std::string(info.param.name);
                         });
