// The daemon's client link to Kestrum: one long-lived flow carrying the
// paths of accessed files in batches.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/signals2/signal.hpp>

#include "kestrum_client_ipc.pb.h"
#include "links/protobuf_link.hpp"

namespace nx {
class LinuxTarselConfig;
}
class ts_inventory_t;
class ts_ostrand_tie_t;

// How long a connection attempt may take: a Kestrum that listens and does
// not accept (a full backlog) is given up after it, as a lost connection.
constexpr std::chrono::seconds KESTRUM_CONNECT_LIMIT(5);
// How often a connection attempt is made again within that limit while
// Kestrum's backlog is full (a Unix socket gives no sign when room appears).
constexpr std::chrono::milliseconds KESTRUM_CONNECT_RETRY(50);

class ts_kestrum_t : public boost::enable_shared_from_this<ts_kestrum_t>, public ts_protobuf_link_t
{
public:
    typedef std::deque<std::string> paths_t;

    // Emitted after every OPEN_FLOW_RESPONSE: the file monitor's send_pending
    // first, then the Ostrand link's one-shot ready slot.
    boost::signals2::signal<void()> flow_ready;
    // Emitted when a write completed and nothing waits behind it, so a
    // backlog of waiting paths goes on without a further file access.
    boost::signals2::signal<void()> drained;
    // Emitted when the connection is dropped with batches that Kestrum may
    // not have read (not yet written, or written and still in the socket):
    // their paths, oldest first, for the file monitor to queue again.
    boost::signals2::signal<void(const paths_t&)> unsent;

    // limit: KESTRUM_CONNECT_LIMIT but in tests.
    explicit ts_kestrum_t(ts_inventory_t* owner, std::chrono::steady_clock::duration limit = KESTRUM_CONNECT_LIMIT);
    ~ts_kestrum_t() override;

    void set_socket_path(const std::string& path) { socket_path_ = path; }

    // Connects to the socket path (a leading NUL names an abstract socket)
    // without waiting: at once when Kestrum accepts, else in the background;
    // once connected it starts reading and sends OPEN_FLOW_REQUEST. A
    // connection still up is first dropped as if it were lost, and an
    // attempt still pending is abandoned, without asking Ostrand again. An
    // attempt that has not completed within the connect limit (Kestrum's
    // backlog is full) is a lost connection: Error line, GET_KESTRUM_REQUEST
    // to Ostrand.
    // Throws boost::system::system_error: ENAMETOOLONG for a path over 107
    // bytes; the connect error with the context "connect" when the attempt
    // fails (refused, no such socket), from here or from the event loop.
    void connect();
    // OPEN_FLOW_REQUEST with the daemon's pid and the current flow options.
    // The sends below do nothing on a closed link; they throw what
    // ts_protobuf_link_t::send throws (std::length_error, std::bad_alloc).
    void open_session();
    // Sends the current flow options now while the flow is open, else marks
    // them pending for the next OPEN_FLOW_RESPONSE.
    void send_flow_options();
    // One FLOW_DATA_NOTIFICATION with the paths of the range, in order; the
    // range's strings are moved into the message, so they are left empty.
    void send_flow_data(paths_t::iterator first, paths_t::iterator last);

    bool is_flow_open() const { return flow_open_; }

protected:
    void on_message(const char* body, std::size_t size) override;
    // A lost connection reconnects through Ostrand; any other error throws
    // boost::system::system_error with the context "Kestrum connection".
    void on_error(const boost::system::error_code& error) override;
    boost::shared_ptr<ts_protobuf_link_t> shared_link() override;
    void on_frames_written(std::size_t frames) override;
    void on_frames_read(std::size_t frames) override;

private:
    // One connect call of the attempt; again after KESTRUM_CONNECT_RETRY
    // while Kestrum's backlog is full, until the limit.
    void try_connect(const ts_socket_ptr& attempt);
    void abandon_connect();
    // The lost-connection road: Error line with the reason, flags cleared,
    // unread paths handed back, GET_KESTRUM_REQUEST.
    void reconnect(const std::string& reason);
    // Throws nx::ErrorCode EC_NO_HALVERN at the 30th alarm in a row and
    // boost::system::system_error {11, "nx.Error"} for an unexpected tag.
    void handle_message(const ks::ServerMessage& message);
    // Sends through the link and keeps the message, which the link tracks,
    // until the link reports it read. Past the link's watermark: the
    // lost-connection road, with the message's paths handed back too.
    void send_recorded(ks::ClientMessage& message, int replace_key = 0);
    void drop_connection();

    std::string socket_path_;
    // What the link uses of its owner, taken once: the event loop, the
    // configuration and the Ostrand link, all built before it.
    boost::asio::io_service& event_loop_;
    const nx::LinuxTarselConfig* config_;
    ts_ostrand_tie_t* ostrand_;
    bool flow_open_;
    bool options_pending_;
    int alarm_count_;
    // One message per frame that the link tracks (frames_tracked): those
    // Kestrum may not have read yet, oldest first; only data frames carry
    // paths. Bounded by the socket's send buffer and, for frames not yet
    // written, by the one batch the file monitor lets wait.
    std::deque<ks::ClientMessage> unread_;
    std::chrono::steady_clock::duration connect_limit_;
    boost::asio::steady_timer connect_timer_;
    boost::asio::local::stream_protocol::endpoint connect_endpoint_;
    std::chrono::steady_clock::time_point connect_deadline_;
    // The socket of the attempt in progress; empty when none is.
    ts_socket_ptr connecting_;
};

typedef boost::shared_ptr<ts_kestrum_t> ts_kestrum_ptr;

extern const int MAX_FLOW_ALARMS; // 30
