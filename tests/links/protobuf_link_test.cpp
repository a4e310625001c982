// The framed link over a real socket pair. The peer side frames and reads
// with plain system calls and bytes of its own, never with the link's code.
#include "links/protobuf_link.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_service.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <gtest/gtest.h>

#include "error.pb.h"
#include "error/proto_error.hpp"

namespace {

typedef boost::asio::local::stream_protocol::socket socket_t;

struct received_t
{
    std::size_t size; // bytes the body stream offered
    bool parsed;
    nx::Error error;
};

struct written_t
{
    std::size_t frames;
    bool queue_empty; // send_queue_empty() when told
    std::size_t not_written;
};

// Records what the link hands it; parses bodies the way the service links do.
class test_link_t : public boost::enable_shared_from_this<test_link_t>, public ts_protobuf_link_t
{
public:
    explicit test_link_t(std::size_t high_watermark = TS_OUTPUT_HIGH_WATERMARK)
        : ts_protobuf_link_t(high_watermark)
    {}

    using ts_protobuf_link_t::bytes_not_written;
    using ts_protobuf_link_t::frames_not_written;
    using ts_protobuf_link_t::frames_tracked;

    std::vector<std::size_t> read_reports;

    std::vector<received_t> messages;
    std::vector<boost::system::error_code> errors;
    std::vector<written_t> written;
    bool close_on_error = false;
    std::function<void(test_link_t&)> after_message;
    std::function<void(test_link_t&)> after_written;

protected:
    void on_message(const char* body, std::size_t size) override
    {
        received_t r;
        r.size = size;
        r.parsed = r.error.ParseFromArray(body, static_cast<int>(size));
        messages.push_back(r);
        if (after_message)
            after_message(*this);
    }

    void on_error(const boost::system::error_code& error) override
    {
        errors.push_back(error);
        if (close_on_error)
            close();
    }

    ts_protobuf_link_ptr shared_link() override { return shared_from_this(); }

    void on_frames_written(std::size_t frames) override
    {
        written.push_back({frames, send_queue_empty(), frames_not_written()});
        if (after_written)
            after_written(*this);
    }

    void on_frames_read(std::size_t frames) override { read_reports.push_back(frames); }
};

typedef boost::shared_ptr<test_link_t> test_link_ptr;

// One socket pair: `link_side` for the link, the other end driven by hand.
struct peer_t
{
    ts_socket_ptr link_side;
    socket_t self;

    explicit peer_t(boost::asio::io_service& io)
        : link_side(boost::make_shared<socket_t>(io))
        , self(io)
    {
        boost::asio::local::connect_pair(*link_side, self);
    }

    int fd() { return self.native_handle(); }

    // Blocking, all bytes; false when the connection refuses them.
    bool write(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd(), bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Whatever has arrived, without waiting.
    std::string read_available()
    {
        std::string got;
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd(), buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return got;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }

    void shutdown_read() { ASSERT_EQ(0, ::shutdown(fd(), SHUT_RD)); }
    void close() { self.close(); }
};

std::string frame(const std::string& body)
{
    const std::uint32_t n = static_cast<std::uint32_t>(body.size());
    char header[4];
    std::memcpy(header, &n, sizeof header); // host order, as on the wire
    return std::string(header, sizeof header) + body;
}

nx::Error make_error(int code, const std::string& what)
{
    nx::Error e;
    e.set_code(static_cast<nx::ErrorCode>(code));
    e.set_what(what);
    return e;
}

std::string error_body(int code, const std::string& what)
{
    return make_error(code, what).SerializeAsString();
}

struct expected_t
{
    std::size_t size;
    bool parsed;
    int code;
    std::string what;
};

void expect_messages(const std::vector<received_t>& got, const std::vector<expected_t>& want)
{
    ASSERT_EQ(want.size(), got.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("message " + std::to_string(i));
        EXPECT_EQ(want[i].size, got[i].size);
        EXPECT_EQ(want[i].parsed, got[i].parsed);
        EXPECT_EQ(want[i].code, static_cast<int>(got[i].error.code()));
        EXPECT_EQ(want[i].what, got[i].error.what());
    }
}

expected_t parsed(int code, const std::string& what)
{
    return {error_body(code, what).size(), true, code, what};
}

} // namespace

class protobuf_link_test : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

    test_link_ptr make_link() { return boost::make_shared<test_link_t>(); }

    // Runs handlers until `done` holds; false when the loop runs out of work
    // first (or stalls, a guard against a hang, not a measured time).
    bool run_until(const std::function<bool()>& done)
    {
        io.restart();
        while (!done())
            if (io.run_one_for(std::chrono::seconds(10)) == 0)
                return done();
        return true;
    }

    // Writes more than the socket buffer holds while the loop reads, until the
    // link has `count` messages.
    bool write_from_thread(peer_t& peer, test_link_t& link, const std::string& bytes, std::size_t count)
    {
        std::thread writer([&] { peer.write(bytes); });
        const bool done = run_until([&] { return link.messages.size() >= count; });
        if (!done)
            link.close(); // lets a blocked writer fail instead of hanging
        writer.join();
        return done;
    }

    // Runs every handler that is ready now.
    void poll()
    {
        io.restart();
        io.poll();
    }

    boost::asio::io_service io;
};

// Frame layouts on the wire: each chunk is one write of the peer; after each
// chunk exactly the frames completed so far have been delivered.
TEST_F(protobuf_link_test, frames_are_delivered_whole_and_in_order)
{
    const std::string a = frame(error_body(8, "first"));
    const std::string b = frame(error_body(125, "second"));
    const std::string empty = frame("");
    std::vector<std::string> bytewise;
    for (char c : a + b)
        bytewise.push_back(std::string(1, c));

    struct layout_t
    {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<expected_t> want;
    };
    const expected_t first = parsed(8, "first");
    const expected_t second = parsed(125, "second");
    // On x86-64 the header 05 00 00 00 announces 5 bytes: {code 7, what "a"}.
    const std::string five("\x05\x00\x00\x00\x08\x07\x12\x01\x61", 9);
    const layout_t layouts[] = {
        {"two frames in one write", {a + b}, {first, second}},
        {"empty frame between two", {a + empty + b}, {first, {0, false, 0, ""}, second}},
        {"header 05 00 00 00", {five + b}, {{5, true, 7, "a"}, second}},
        {"header split", {a.substr(0, 2), a.substr(2) + b}, {first, second}},
        {"body split, next frame split", {a.substr(0, 6), a.substr(6) + b.substr(0, 3), b.substr(3)}, {first, second}},
        {"byte by byte", bytewise, {first, second}},
    };

    for (const layout_t& layout : layouts) {
        SCOPED_TRACE(layout.name);
        peer_t peer(io);
        test_link_ptr link = make_link();
        link->start(peer.link_side);

        std::vector<std::size_t> frame_ends;
        std::size_t end = 0;
        for (const expected_t& e : layout.want)
            frame_ends.push_back(end += 4 + e.size);

        std::size_t sent = 0;
        for (const std::string& chunk : layout.chunks) {
            ASSERT_TRUE(peer.write(chunk));
            sent += chunk.size();
            std::size_t complete = 0;
            while (complete < frame_ends.size() && frame_ends[complete] <= sent)
                ++complete;
            ASSERT_TRUE(run_until([&] { return link->messages.size() >= complete; }));
            poll();
            ASSERT_EQ(complete, link->messages.size()) << "after " << sent << " bytes";
        }
        expect_messages(link->messages, layout.want);
        EXPECT_TRUE(link->errors.empty());
        link->close();
    }
}

TEST_F(protobuf_link_test, three_sends_leave_as_one_frame_then_two_together)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    const nx::Error a = make_error(1, "a"), b = make_error(2, "bb"), c = make_error(3, "ccc");

    link->send(a);
    EXPECT_TRUE(link->send_queue_empty()); // in flight, nothing behind it
    EXPECT_EQ(1u, link->frames_not_written());
    link->send(b);
    EXPECT_FALSE(link->send_queue_empty());
    link->send(c);
    EXPECT_EQ(3u, link->frames_not_written());

    ASSERT_TRUE(run_until([&] { return link->written.size() == 2; }));
    poll();
    // When the first write is reported, the second (b and c) is already out.
    ASSERT_EQ(2u, link->written.size());
    EXPECT_EQ(1u, link->written[0].frames);
    EXPECT_TRUE(link->written[0].queue_empty);
    EXPECT_EQ(2u, link->written[0].not_written);
    EXPECT_EQ(2u, link->written[1].frames);
    EXPECT_EQ(0u, link->written[1].not_written);
    EXPECT_TRUE(link->send_queue_empty());

    EXPECT_EQ(frame(a.SerializeAsString()) + frame(b.SerializeAsString()) + frame(c.SerializeAsString()),
              peer.read_available());
    EXPECT_TRUE(link->errors.empty());
}

// The Kestrum link sends its next batch from on_frames_written.
TEST_F(protobuf_link_test, send_from_on_frames_written_starts_the_next_write)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    const std::vector<nx::Error> batches = {make_error(1, "one"), make_error(2, "two"), make_error(3, "three")};
    std::size_t next = 1;
    link->after_written = [&](test_link_t& l) {
        if (next < batches.size())
            l.send(batches[next++]);
    };
    link->send(batches[0]);

    ASSERT_TRUE(run_until([&] { return link->written.size() == 3; }));
    std::string want;
    for (const nx::Error& e : batches)
        want += frame(e.SerializeAsString());
    EXPECT_EQ(want, peer.read_available());
    for (const written_t& w : link->written)
        EXPECT_EQ(1u, w.frames);
}

// Whatever happened on the old socket, a new one begins with a whole frame
// and is not kept from sending; the old socket's completions do nothing.
TEST_F(protobuf_link_test, new_socket_begins_with_a_whole_frame)
{
    struct case_t
    {
        const char* name;
        bool failed_write; // else a large write still in flight
        bool close_first;  // else start replaces the open socket
    };
    const case_t cases[] = {
        {"in flight, close, start", false, true},
        {"in flight, start replaces", false, false},
        {"failed, close, start", true, true},
        {"failed, start replaces", true, false},
    };
    const nx::Error big = make_error(9, std::string(1 << 20, 'x'));
    const nx::Error first = make_error(30, "open");

    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        peer_t old_peer(io);
        test_link_ptr link = make_link();
        link->start(old_peer.link_side);
        if (c.failed_write) {
            old_peer.shutdown_read();
            link->send(make_error(1, "lost"));
            ASSERT_TRUE(run_until([&] { return link->errors.size() == 1; }));
            EXPECT_EQ(boost::system::error_code(EPIPE, boost::system::system_category()), link->errors[0]);
            EXPECT_EQ(1u, link->frames_not_written());
        } else {
            link->send(big); // far more than the socket buffer: stays in flight
            link->send(make_error(2, "behind"));
            poll();
            EXPECT_TRUE(link->written.empty());
            EXPECT_EQ(2u, link->frames_not_written());
        }
        if (c.close_first) {
            link->close();
            EXPECT_FALSE(link->is_open());
            EXPECT_EQ(0u, link->frames_not_written());
            EXPECT_TRUE(link->send_queue_empty());
        }

        peer_t new_peer(io);
        link->start(new_peer.link_side);
        EXPECT_EQ(0u, link->frames_not_written());
        link->send(first);
        ASSERT_TRUE(run_until([&] { return link->written.size() == 1; }));
        EXPECT_EQ(1u, link->written[0].frames);
        EXPECT_EQ(frame(first.SerializeAsString()), new_peer.read_available());

        // Only the new socket is read; the old one is gone.
        old_peer.write(frame(error_body(1, "old")));
        ASSERT_TRUE(new_peer.write(frame(error_body(2, "new"))));
        ASSERT_TRUE(run_until([&] { return link->messages.size() == 1; }));
        poll();
        expect_messages(link->messages, {parsed(2, "new")});
        EXPECT_EQ(c.failed_write ? 1u : 0u, link->errors.size());
        link->close();
    }
}

// Completions of the old socket that had already succeeded, but had not run,
// when the link was closed and started again must not act on the new socket.
TEST_F(protobuf_link_test, completions_queued_before_a_restart_do_nothing)
{
    peer_t old_peer(io), new_peer(io);
    test_link_ptr link = make_link();
    ASSERT_TRUE(old_peer.write(frame(error_body(1, "a longer old body"))));
    link->start(old_peer.link_side); // the header is there: its read completes at once
    link->send(make_error(2, "old out"));
    link->close();
    link->start(new_peer.link_side);
    const nx::Error first = make_error(3, "new out");
    link->send(first);

    ASSERT_TRUE(new_peer.write(frame(error_body(4, "new")) + frame(error_body(5, "next"))));
    ASSERT_TRUE(run_until([&] { return link->messages.size() == 2 && link->written.size() == 1; }));
    poll();
    expect_messages(link->messages, {parsed(4, "new"), parsed(5, "next")});
    ASSERT_EQ(1u, link->written.size());
    EXPECT_EQ(1u, link->written[0].frames);
    EXPECT_EQ(frame(first.SerializeAsString()), new_peer.read_available());
    EXPECT_TRUE(link->errors.empty());
}

// on_message may close the link and start another socket; exactly one read
// cycle then runs, on the new socket.
TEST_F(protobuf_link_test, restart_inside_on_message_runs_one_read_cycle)
{
    peer_t old_peer(io), new_peer(io);
    test_link_ptr link = make_link();
    link->start(old_peer.link_side);
    link->after_message = [&](test_link_t& l) {
        if (l.messages.size() == 1) {
            l.close();
            l.start(new_peer.link_side);
        }
    };
    ASSERT_TRUE(old_peer.write(frame(error_body(1, "a")) + frame(error_body(2, "dropped"))));
    ASSERT_TRUE(run_until([&] { return link->messages.size() == 1; }));
    ASSERT_TRUE(new_peer.write(frame(error_body(3, "c")) + frame(error_body(4, "d"))));
    ASSERT_TRUE(run_until([&] { return link->messages.size() == 3; }));
    poll();
    expect_messages(link->messages, {parsed(1, "a"), parsed(3, "c"), parsed(4, "d")});
    EXPECT_TRUE(link->errors.empty());
}

// A broken pipe is reported once. If the derived link closes on it, the read
// failing on the same connection reports nothing; if not, the read reports
// its own end of stream.
TEST_F(protobuf_link_test, broken_pipe_is_reported_once)
{
    const boost::system::error_code epipe(EPIPE, boost::system::system_category());
    const boost::system::error_code eof = boost::asio::error::eof;
    struct case_t
    {
        bool close_on_error;
        std::vector<boost::system::error_code> want;
    };
    const case_t cases[] = {{true, {epipe}}, {false, {epipe, eof}}};

    for (const case_t& c : cases) {
        SCOPED_TRACE(c.close_on_error ? "closes on error" : "stays open");
        peer_t peer(io);
        test_link_ptr link = make_link();
        link->close_on_error = c.close_on_error;
        link->start(peer.link_side);
        peer.shutdown_read();
        link->send(make_error(1, "x"));
        ASSERT_TRUE(run_until([&] { return !link->errors.empty(); }));
        link->send(make_error(2, "y")); // harmless after the failure, closed or not
        poll();
        ASSERT_EQ(1u, link->errors.size());
        EXPECT_EQ(epipe, link->errors[0]);
        EXPECT_EQ(!c.close_on_error, link->is_open());

        peer.close();
        run_until([&] { return link->errors.size() == c.want.size(); });
        poll();
        EXPECT_EQ(c.want, link->errors);
        EXPECT_TRUE(link->written.empty());
        link->close();
    }
}

TEST_F(protobuf_link_test, oversized_frame_is_refused_without_allocation)
{
    const std::uint32_t lengths[] = {TS_MAX_FRAME_BODY + 1, 0xFFFFFFFFu};
    for (std::uint32_t length : lengths) {
        SCOPED_TRACE(length);
        peer_t peer(io);
        test_link_ptr link = make_link();
        link->start(peer.link_side);
        char header[4];
        std::memcpy(header, &length, sizeof header);
        ASSERT_TRUE(peer.write(std::string(header, sizeof header) + "abcdef"));
        ASSERT_TRUE(run_until([&] { return !link->errors.empty(); }));
        ASSERT_EQ(1u, link->errors.size());
        EXPECT_EQ(7, link->errors[0].value());
        EXPECT_STREQ("nx.Error", link->errors[0].category().name());
        EXPECT_EQ(nx::make_error_code(nx::EC_BAD_MESSAGE_SIZE), link->errors[0]);

        // The read cycle has ended: nothing is pending and nothing more is read.
        ASSERT_TRUE(peer.write(frame(error_body(1, "later"))));
        poll();
        EXPECT_TRUE(io.stopped());
        EXPECT_TRUE(link->messages.empty());
        EXPECT_EQ(1u, link->errors.size());
        link->close();
    }
}

TEST_F(protobuf_link_test, frame_of_the_largest_size_is_accepted)
{
    // {code 7, what: L bytes} with a 4-byte length varint: 2 + 1 + 4 + L.
    const std::string body = error_body(7, std::string(TS_MAX_FRAME_BODY - 7, 'm'));
    ASSERT_EQ(TS_MAX_FRAME_BODY, body.size());
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    ASSERT_TRUE(write_from_thread(peer, *link, frame(body), 1));
    ASSERT_EQ(1u, link->messages.size());
    EXPECT_EQ(TS_MAX_FRAME_BODY, link->messages[0].size);
    EXPECT_TRUE(link->messages[0].parsed);
    EXPECT_TRUE(link->errors.empty());
}

// The parser gives up early on a bad body; what it left unread must not run
// into the next frame.
TEST_F(protobuf_link_test, malformed_body_does_not_spoil_the_next_frame)
{
    // Field 1 with wire type 7, which does not exist, then a long tail.
    const std::string bad = "\x0f" + std::string(1 << 20, 'z');
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    ASSERT_TRUE(write_from_thread(peer, *link, frame(bad) + frame(error_body(8, "good")), 2));
    ASSERT_EQ(2u, link->messages.size());
    EXPECT_EQ(bad.size(), link->messages[0].size);
    EXPECT_FALSE(link->messages[0].parsed);
    expect_messages({link->messages[1]}, {parsed(8, "good")});
}

TEST_F(protobuf_link_test, send_on_a_closed_link_does_nothing)
{
    test_link_ptr never_started = make_link();
    EXPECT_FALSE(never_started->is_open());
    never_started->send(make_error(1, "nowhere"));
    EXPECT_TRUE(never_started->send_queue_empty());
    EXPECT_EQ(0u, never_started->frames_not_written());

    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    EXPECT_TRUE(link->is_open());
    link->close();
    link->send(make_error(2, "after close"));
    EXPECT_EQ(0u, link->frames_not_written());
    poll();
    EXPECT_TRUE(io.stopped()); // nothing was started
    EXPECT_EQ("", peer.read_available());
    EXPECT_TRUE(link->written.empty());
    EXPECT_TRUE(link->errors.empty());
}

TEST_F(protobuf_link_test, start_refuses_an_empty_socket)
{
    test_link_ptr link = make_link();
    EXPECT_THROW(link->start(ts_socket_ptr()), std::invalid_argument);
    EXPECT_FALSE(link->is_open());
}

// Pending completions keep the link alive after its owner let go; the last
// one to run releases it.
TEST_F(protobuf_link_test, pending_completions_keep_the_link_alive)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    link->send(make_error(1, "x"));
    boost::weak_ptr<test_link_t> watch = link;
    link.reset();
    EXPECT_FALSE(watch.expired());
    std::string got;
    ASSERT_TRUE(run_until([&] { return (got += peer.read_available()) == frame(error_body(1, "x")); }));
    EXPECT_FALSE(watch.expired()); // the read is still pending
    peer.close();                  // the read ends with end of stream
    EXPECT_TRUE(run_until([&] { return watch.expired(); }));
}

// A peer that reads nothing: the output not yet written stops at the
// watermark, and a send past it is refused with nothing appended.
TEST_F(protobuf_link_test, output_past_the_high_watermark_is_refused_while_the_peer_reads_nothing)
{
    const std::size_t watermark = 1024 * 1024;
    peer_t peer(io);
    test_link_ptr link = boost::make_shared<test_link_t>(watermark);
    link->start(peer.link_side);
    const nx::Error message = make_error(1, std::string(1000, 'm'));
    const std::size_t frame_bytes = frame(message.SerializeAsString()).size();

    // The socket takes what its buffer holds, then everything waits.
    std::size_t accepted = 0;
    bool refused = false;
    while (!refused && accepted < 100000) {
        refused = !link->send(message);
        accepted += !refused;
        poll();
    }
    ASSERT_TRUE(refused) << "never refused after " << accepted << " sends";
    const std::size_t unwritten = link->bytes_not_written();
    EXPECT_LE(unwritten, watermark);
    EXPECT_GT(unwritten + frame_bytes, watermark);
    EXPECT_FALSE(link->send(message));
    EXPECT_EQ(unwritten, link->bytes_not_written()) << "a refused frame was appended";
    EXPECT_TRUE(link->errors.empty());

    // Once the peer reads, every accepted frame arrives whole, and sends
    // are taken again.
    std::thread reader([&] {
        std::size_t got = 0;
        char buf[65536];
        while (got < accepted * frame_bytes) {
            ssize_t n = ::read(peer.fd(), buf, sizeof buf);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
    });
    const bool drained = run_until([&] { return link->bytes_not_written() == 0; });
    reader.join();
    ASSERT_TRUE(drained);
    EXPECT_TRUE(link->send(message));
    link->close();
}

TEST_F(protobuf_link_test, one_message_larger_than_the_watermark_goes_out_on_an_idle_link)
{
    peer_t peer(io);
    test_link_ptr link = boost::make_shared<test_link_t>(64);
    link->start(peer.link_side);
    const nx::Error big = make_error(1, std::string(200, 'b'));
    EXPECT_TRUE(link->send(big));
    // Behind it, output is unwritten: the next one is judged by the watermark.
    EXPECT_FALSE(link->send(make_error(2, "x")));
    ASSERT_TRUE(run_until([&] { return link->written.size() == 1; }));
    EXPECT_EQ(frame(big.SerializeAsString()), peer.read_available());
    link->close();
}

// A request sent again while its copy still waits replaces that copy, which
// would otherwise pile up behind a peer that does not read; a copy already
// in flight is the peer's and stays.
TEST_F(protobuf_link_test, a_keyed_frame_still_waiting_is_replaced_not_queued_twice)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    const nx::Error a = make_error(1, "a"), b = make_error(2, "b"), c = make_error(3, "c"), d = make_error(4, "d");
    std::size_t replaced = 0;

    ASSERT_TRUE(link->send(a, 7, &replaced));
    EXPECT_EQ(ts_protobuf_link_t::npos, replaced);
    ASSERT_TRUE(link->send(b, 7, &replaced)); // a is in flight: kept
    EXPECT_EQ(ts_protobuf_link_t::npos, replaced);
    ASSERT_TRUE(link->send(c, 0, &replaced));
    ASSERT_TRUE(link->send(d, 7, &replaced)); // b waits: replaced
    EXPECT_EQ(1u, replaced);
    ASSERT_TRUE(link->send(c, 9, &replaced)); // another key: nothing replaced
    EXPECT_EQ(ts_protobuf_link_t::npos, replaced);
    EXPECT_EQ(4u, link->frames_not_written());
    EXPECT_EQ(4u, link->frames_tracked());

    ASSERT_TRUE(run_until([&] { return link->frames_not_written() == 0; }));
    EXPECT_EQ(frame(a.SerializeAsString()) + frame(c.SerializeAsString()) + frame(d.SerializeAsString()) +
                  frame(c.SerializeAsString()),
              peer.read_available());
    link->close();
}

// Written frames stay tracked while the socket still holds them, and are
// reported read once the peer has taken them. The socket's count includes
// its buffers' overhead (a few hundred bytes per write), so with frames much
// larger than that, at most one frame more than the unread ones is kept.
TEST_F(protobuf_link_test, written_frames_are_tracked_until_the_peer_has_read_them)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    const nx::Error message = make_error(1, std::string(16000, 'p'));
    const auto reported = [&] {
        std::size_t n = 0;
        for (std::size_t r : link->read_reports)
            n += r;
        return n;
    };

    link->send(message);
    link->send(message);
    ASSERT_TRUE(run_until([&] { return link->frames_not_written() == 0; }));
    // Written, not read: both kept.
    EXPECT_EQ(2u, link->frames_tracked());
    EXPECT_TRUE(link->read_reports.empty());

    std::size_t sent = 2;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_FALSE(peer.read_available().empty());
        link->send(message);
        ++sent;
        ASSERT_TRUE(run_until([&] { return link->frames_not_written() == 0; }));
        // The frame just written is unread and kept; what was read before
        // it is forgotten but for at most one frame.
        EXPECT_GE(link->frames_tracked(), 1u);
        EXPECT_LE(link->frames_tracked(), 2u);
        EXPECT_EQ(sent, reported() + link->frames_tracked());
    }

    link->close();
    EXPECT_EQ(0u, link->frames_tracked());
}

// Small frames are not checked after every write, but every few: what the
// peer has read is still forgotten, so the frames tracked stay bounded
// however many are sent. (The socket counts a few hundred bytes of overhead
// per write still unread, so some frames more than the unread one are kept.)
TEST_F(protobuf_link_test, small_frames_read_by_the_peer_are_forgotten_within_a_bound)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    std::size_t sent = 0, reported = 0, most = 0;
    for (int round = 0; round < 400; ++round) {
        link->send(make_error(1, std::string(100, 'p')));
        ++sent;
        ASSERT_TRUE(run_until([&] { return link->frames_not_written() == 0; }));
        ASSERT_FALSE(peer.read_available().empty());
        most = std::max(most, link->frames_tracked());
    }
    for (std::size_t r : link->read_reports)
        reported += r;
    EXPECT_EQ(sent, reported + link->frames_tracked());
    EXPECT_GT(reported, 0u);
    EXPECT_LE(most, 64u);
    link->close();
}

// A peer that closes throws away what it had not read, and the socket's
// count of unread bytes falls to nothing with it: a write completion that
// runs after the close must not take that for the peer having read them.
TEST_F(protobuf_link_test, frames_a_closing_peer_never_read_stay_tracked)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    link->send(make_error(1, std::string(16000, 'p')));
    // The bytes go into the socket at once; the completion waits for the loop.
    peer.self.close();
    ASSERT_TRUE(run_until([&] { return link->frames_not_written() == 0; }));
    EXPECT_EQ(1u, link->frames_tracked());
    EXPECT_TRUE(link->read_reports.empty());
}

// The bound on frames read protects the daemon from its peers; what it
// writes is bounded by what it is (a large configuration in an
// OPEN_FLOW_REQUEST) and goes out whole.
TEST_F(protobuf_link_test, a_frame_written_is_not_held_to_the_bound_on_frames_read)
{
    peer_t peer(io);
    test_link_ptr link = make_link();
    link->start(peer.link_side);
    const nx::Error big = make_error(1, std::string(TS_MAX_FRAME_BODY + 1000, 'c'));
    ASSERT_TRUE(link->send(big));
    std::string got;
    std::thread reader([&] {
        const std::size_t want = frame(big.SerializeAsString()).size();
        char buf[65536];
        while (got.size() < want) {
            ssize_t n = ::read(peer.fd(), buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
    const bool written = run_until([&] { return link->written.size() == 1; });
    if (!written)
        link->close();
    reader.join();
    ASSERT_TRUE(written);
    EXPECT_TRUE(got == frame(big.SerializeAsString()));
    EXPECT_TRUE(link->errors.empty());
    link->close();
}
