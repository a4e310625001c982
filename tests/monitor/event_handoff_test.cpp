// The crossing of file accesses from an interceptor's thread into the main
// thread: what is handed over reaches the queue once, in order, with one
// wake of the main thread for all that comes while it is busy.
#include "monitor/event_handoff.hpp"

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "monitor/event_queue.hpp"
#include "monitor/scan_set.hpp"
#include "support/log_capture.hpp"

namespace {

typedef std::deque<std::string> paths_t;

ts_event_t event(const std::string& path)
{
    return ts_event_t{boost::shared_ptr<std::string>(new std::string(path)), 1};
}

// The events of one read, added as an interceptor adds them.
void add(ts_event_handoff_t& handoff, const std::vector<std::string>& paths)
{
    std::vector<ts_event_t> events;
    for (const std::string& path : paths)
        events.push_back(event(path));
    handoff.add(events);
    EXPECT_TRUE(events.empty());
}

class event_handoff_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        queue->set_path_filter(new ScanSet({"/data"}, {}));
        queue->pushed.connect([this] { ++signals; });
    }
    paths_t pop()
    {
        paths_t out;
        queue->pop(out, 0);
        return out;
    }

    log_capture_t log{LOG_ERROR_LEVEL};
    boost::asio::io_service io;
    boost::shared_ptr<ts_event_queue_t> queue = boost::make_shared<ts_event_queue_t>();
    int signals = 0;
};

} // namespace

TEST_F(event_handoff_test, hand_overs_ask_for_one_wake_until_they_are_pushed)
{
    const ts_event_handoff_ptr handoff = ts_event_handoff_t::create(io, queue);
    add(*handoff, {"/data/a"});
    add(*handoff, {"/data/b"});
    handoff->flush();
    add(*handoff, {"/data/c"});
    handoff->flush();
    // Nothing gathered hands over nothing.
    handoff->flush();
    EXPECT_EQ(0, signals);
    EXPECT_TRUE(queue->empty());
    // One wake for all three, and one `pushed`.
    EXPECT_EQ(1u, io.poll());
    EXPECT_EQ(1, signals);
    EXPECT_EQ((paths_t{"/data/a", "/data/b", "/data/c"}), pop());
    // Pushed: the next hand-over wakes the main thread again.
    io.restart();
    add(*handoff, {"/data/d"});
    handoff->flush();
    EXPECT_EQ(1u, io.poll());
    EXPECT_EQ((paths_t{"/data/d"}), pop());
}

TEST_F(event_handoff_test, a_batch_is_full_at_the_batch_size_and_a_queue_let_go_still_gets_its_events)
{
    ts_event_handoff_ptr handoff = ts_event_handoff_t::create(io, queue);
    for (std::size_t i = 0; i + 1 < TS_BATCH_PATHS; ++i) {
        add(*handoff, {"/data/" + std::to_string(i)});
        EXPECT_FALSE(handoff->full()) << i;
    }
    add(*handoff, {"/data/last"});
    EXPECT_TRUE(handoff->full());
    handoff->flush();
    EXPECT_FALSE(handoff->full());
    // The loop's run and the file monitor both let go before the wake runs:
    // the posted handler keeps the hand-over and its queue alive.
    const boost::shared_ptr<ts_event_queue_t> kept = queue;
    queue.reset();
    handoff.reset();
    EXPECT_EQ(1u, io.poll());
    EXPECT_EQ(TS_BATCH_PATHS, kept->size());
}

TEST_F(event_handoff_test, hand_overs_from_several_threads_all_arrive_once_in_each_threads_order)
{
    // Several interceptor runs (an old one still reading while a switch
    // starts the new one) hand over into one queue while the main thread
    // pushes what it is woken for.
    const int producers = 4, reads = 2000;
    std::vector<boost::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            const ts_event_handoff_ptr handoff = ts_event_handoff_t::create(io, queue);
            for (int r = 0; r < reads; ++r) {
                const std::string base = "/data/" + std::to_string(p) + "/" + std::to_string(r);
                add(*handoff, {base + "a", base + "b"});
                handoff->flush();
            }
        });
    }
    paths_t arrived;
    const std::size_t total = static_cast<std::size_t>(producers * reads * 2);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (arrived.size() < total && std::chrono::steady_clock::now() < deadline) {
        io.restart();
        io.poll();
        queue->pop(arrived, 0);
    }
    for (auto& t : threads)
        t.join();
    io.restart();
    io.poll();
    queue->pop(arrived, 0);
    EXPECT_EQ(total, arrived.size());
    std::vector<int> next(producers, 0);
    for (const std::string& path : arrived) {
        int p = 0, r = 0;
        char half = 0;
        ASSERT_EQ(3, std::sscanf(path.c_str(), "/data/%d/%d%c", &p, &r, &half)) << path;
        ASSERT_EQ(next[p], r * 2 + (half - 'a')) << path;
        ++next[p];
    }
}
