// Peer Kestrum: listens on a Unix stream socket, accepts and serves
// connections on a thread of its own, records every frame per connection and
// answers OPEN_FLOW_REQUEST as told. Every accessor is thread-safe; the
// waiting helpers block the caller until the condition holds or time runs out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "kestrum_client_ipc.pb.h"
#include "peers/frame_io.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace nt {

// How one OPEN_FLOW_REQUEST is answered.
struct open_reply_t
{
    enum kind_t { respond, alarm, silence };
    kind_t kind = respond;
    std::optional<int> code;            // alarm: the code of its error; none: no error field
    std::chrono::milliseconds delay{0}; // respond or alarm this long after the request

    static open_reply_t response(std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    static open_reply_t flow_alarm(std::optional<int> code = std::nullopt,
                                   std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    static open_reply_t no_answer();
};

struct kestrum_frame_t
{
    std::size_t connection = 0; // 0 for the first connection accepted, then 1, ...
    ks::ClientMessage message;  // as parsed; fields read before a fault are kept
    std::string raw;            // the body bytes exactly as received
    bool complete = false;      // parsed whole, every required field present
};

struct kestrum_options_t
{
    // Socket path; a leading NUL byte names an abstract socket. Empty: a
    // fresh path in a private directory.
    std::string path;
    // Keep every frame and every path in arrival order (off for long runs:
    // counts and the set of distinct paths are kept either way).
    bool record_frames = true;
    // Called on the peer's thread for every path received, in order.
    std::function<void(const std::string& path)> on_path;
    // Answer to OPEN_FLOW_REQUEST when no scripted answer is left.
    open_reply_t open_reply;
};

class kestrum_peer_t
{
public:
    typedef ks::ClientMessage::ClientMessageTag tag_t;

    // Binds, listens and starts the thread. Throws std::system_error when
    // the socket cannot be set up (a path over 107 bytes: ENAMETOOLONG).
    kestrum_peer_t();
    explicit kestrum_peer_t(const std::string& path);
    explicit kestrum_peer_t(const kestrum_options_t& options);
    // Stops the thread, closes every connection, removes the socket file.
    ~kestrum_peer_t();
    kestrum_peer_t(const kestrum_peer_t&) = delete;
    kestrum_peer_t& operator=(const kestrum_peer_t&) = delete;

    const std::string& path() const { return socket_path; }

    void set_open_reply(const open_reply_t& reply);
    // Answers used first, one per OPEN_FLOW_REQUEST in order of arrival,
    // before the standing answer applies again.
    void script_open_replies(const std::vector<open_reply_t>& replies);

    // To the newest connection still open; false when there is none or the
    // write fails.
    bool send(const ks::ServerMessage& message);
    bool send_frame(const std::string& body);
    bool send_raw(const std::string& bytes);
    // Closes the newest open connection; false when there is none.
    bool close_connection();
    // While off, nothing is read from any connection: what the daemon
    // writes stays in the socket. Also keeps new connections unread.
    void set_reading(bool on);
    // Closes the newest open connection without reading what waits in it,
    // as a Kestrum that goes away does; false when there is none.
    bool cut_connection();

    std::size_t connections() const; // accepted so far
    std::size_t open_connections() const;
    std::size_t disconnects() const; // connections that ended, by either side
    std::vector<kestrum_frame_t> frames() const;
    std::vector<kestrum_frame_t> frames_of(std::size_t connection) const;
    std::size_t frame_count() const;
    std::size_t count(tag_t tag) const;
    // Incomplete bodies and oversized frames. The paths of an incomplete
    // body are recorded in its frame but not counted, shown or called back.
    std::size_t bad_frames() const;
    std::size_t open_replies_sent() const; // OPEN_FLOW_RESPONSE and FLOW_ALARM answers written
    std::size_t distinct_paths() const;
    std::size_t received_paths() const; // flow_path entries, duplicates included
    bool has_path(const std::string& path) const;
    std::vector<std::string> paths() const; // in arrival order (record_frames only)

    bool wait_for_connections(std::size_t n, std::chrono::milliseconds timeout = peer_timeout) const;
    bool wait_for_disconnects(std::size_t n, std::chrono::milliseconds timeout = peer_timeout) const;
    bool wait_for_frames(std::size_t n, std::chrono::milliseconds timeout = peer_timeout) const;
    // The nth (1-based) frame with the tag, once it has arrived.
    std::optional<kestrum_frame_t> wait_for_tag(tag_t tag, std::size_t nth = 1,
                                                std::chrono::milliseconds timeout = peer_timeout) const;
    bool wait_for_path(const std::string& path, std::chrono::milliseconds timeout = peer_timeout) const;
    bool wait_for_distinct_paths(std::size_t n, std::chrono::milliseconds timeout = peer_timeout) const;
    bool wait_for_open_replies(std::size_t n, std::chrono::milliseconds timeout = peer_timeout) const;

private:
    struct connection_t
    {
        std::size_t index;
        int fd;
        std::unique_ptr<frame_reader_t> reader;
        bool open = true;
        bool cut = false; // to be closed by the thread, unread input dropped
    };
    struct scheduled_t
    {
        std::chrono::steady_clock::time_point due;
        std::size_t connection;
        std::string frame;
    };

    void start(const kestrum_options_t& options);
    void run();
    void accept_one();
    // Reads what has arrived; false once the connection has ended.
    bool serve(connection_t& c);
    void handle(connection_t& c, const std::string& body);
    void answer_open(std::size_t connection);
    bool write_locked(std::size_t connection, const std::string& frame);
    connection_t* newest_open_locked();
    void close_locked(connection_t& c);
    template <typename Pred>
    bool wait(std::chrono::milliseconds timeout, Pred pred) const;

    std::unique_ptr<temp_dir_t> dir;
    std::string socket_path;
    bool record;
    std::function<void(const std::string&)> path_callback;
    int listen_fd = -1;
    int wake_fd = -1;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool stopping = false;
    bool reading = true;
    open_reply_t standing;
    std::deque<open_reply_t> script;
    std::vector<std::unique_ptr<connection_t>> conns;
    std::vector<scheduled_t> pending;
    std::vector<kestrum_frame_t> recorded;
    std::size_t frames_seen = 0;
    std::vector<std::size_t> tag_counts;
    std::size_t bad = 0;
    std::size_t replies = 0;
    std::size_t ended = 0;
    std::unordered_set<std::string> distinct;
    std::size_t path_total = 0;
    std::vector<std::string> path_order;

    std::thread worker;
};

} // namespace nt
