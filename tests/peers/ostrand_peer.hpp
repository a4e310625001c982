// Peer Ostrand: starts the daemon on one end of a socket pair
// (`--monitor N`), records every frame the daemon sends and answers its
// requests as the test told it to. Everything runs on the calling thread:
// each call that waits also reads the socket, records and answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ostrand_linux_tarsel_ipc.pb.h"
#include "peers/frame_io.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace nt {

struct ostrand_frame_t
{
    nx::LinuxTarsel2OstrandMessage message; // as parsed; fields read before a fault are kept
    std::string raw;                        // the body bytes exactly as received
    bool complete = false;                  // the body parsed whole, every required field present
};

struct ostrand_options_t
{
    std::string daemon;            // path of the binary
    std::vector<std::string> args; // after "--monitor N"
    std::vector<std::string> env;  // "NAME=value" added to our environment
    bool pass_monitor = true;      // false: no "--monitor N" (the descriptor is still inherited)
    std::string stderr_path;       // empty: a file in a private directory
    bool inherit_stderr = false;   // the daemon writes to our standard error instead
    bool new_process_group = false;
};

class ostrand_peer_t
{
public:
    typedef nx::LinuxTarsel2OstrandMessage::MessageTag tag_t;

    // Starts the daemon. Throws std::system_error when it cannot be started.
    explicit ostrand_peer_t(const std::string& daemon, const std::vector<std::string>& args = {},
                            const std::vector<std::string>& env = {});
    explicit ostrand_peer_t(const ostrand_options_t& options);
    // Kills the daemon if it still runs; closes our end.
    ~ostrand_peer_t();
    ostrand_peer_t(const ostrand_peer_t&) = delete;
    ostrand_peer_t& operator=(const ostrand_peer_t&) = delete;

    pid_t pid() const { return child->pid(); }
    int monitor_fd() const { return daemon_end; } // N, the daemon's descriptor number
    child_process_t& process() { return *child; }

    // Answers given automatically while any call below waits. Each lasts
    // until changed; none is set at start (requests are then withheld).
    void answer_context(const nx::LinuxTarselConfig& config, std::uint32_t revision);
    void answer_context_with(const nx::Ostrand2LinuxTarselMessage& reply);
    void withhold_context();
    void answer_kestrum(const std::string& socket_path);
    void answer_kestrum_error(int code);
    void answer_kestrum_with(const nx::Ostrand2LinuxTarselMessage& reply);
    void withhold_kestrum();

    // The next frame not yet taken by expect_frame or wait_for_tag, in order
    // of arrival; nothing at the timeout or once the daemon closed the socket.
    std::optional<ostrand_frame_t> expect_frame(std::chrono::milliseconds timeout = peer_timeout);
    // Takes frames until one with the tag; the skipped ones stay in frames().
    std::optional<ostrand_frame_t> wait_for_tag(tag_t tag, std::chrono::milliseconds timeout = peer_timeout);
    // Every frame received so far (reads what has already arrived).
    const std::vector<ostrand_frame_t>& frames();
    std::size_t count(tag_t tag);
    // Context and Kestrum-address answers sent so far (automatic or pushed).
    std::size_t contexts_sent() const { return context_count; }
    std::size_t kestrum_answers_sent() const { return kestrum_count; }

    // Sending now; false when the write fails (the daemon is gone).
    bool push_context(const nx::LinuxTarselConfig& config, std::uint32_t revision);
    bool send(const nx::Ostrand2LinuxTarselMessage& message);
    bool send_frame(const std::string& body); // framed here
    bool send_raw(const std::string& bytes);  // exactly these bytes

    bool signal(int sig) { return child->signal(sig); }
    // Closes our end of the socket: the daemon reads end of stream.
    void close();
    bool daemon_closed() const { return closed_by_daemon; }

    // Waits for the daemon's end (answering meanwhile): its exit code, or
    // 128 + the signal that killed it.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = peer_timeout);
    // Reads, records and answers for the given time or until the daemon ends.
    void pump(std::chrono::milliseconds duration);

    std::string stderr_text() const { return child->stderr_text(); }
    std::vector<std::string> stderr_lines() const { return child->stderr_lines(); }
    // Waits (answering meanwhile) until `occurrences` lines contain the text.
    bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout = peer_timeout,
                         std::size_t occurrences = 1);

private:
    void launch(const ostrand_options_t& options);
    // Reads and handles what arrives until the deadline or until `stop`
    // holds; returns whether `stop` held.
    template <typename Stop>
    bool service(std::chrono::steady_clock::time_point deadline, Stop stop);
    void handle(const std::string& body);

    std::unique_ptr<temp_dir_t> files;
    std::unique_ptr<child_process_t> child;
    int own_end = -1;
    int daemon_end = -1;
    std::unique_ptr<frame_reader_t> reader;
    bool closed_by_daemon = false;
    std::vector<ostrand_frame_t> received;
    std::size_t taken = 0;
    std::optional<nx::Ostrand2LinuxTarselMessage> context_reply;
    std::optional<nx::Ostrand2LinuxTarselMessage> kestrum_reply;
    std::size_t context_count = 0;
    std::size_t kestrum_count = 0;
};

} // namespace nt
