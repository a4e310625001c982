// A system logger of our own: a datagram socket that a daemon in a private
// mount namespace sees as /dev/log, so that its syslog lines reach the test
// and never the machine's logger.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nt_sys {

class syslog_receiver_t
{
public:
    // Binds the socket at the path and starts the thread that receives.
    // Throws std::system_error when the socket cannot be set up.
    explicit syslog_receiver_t(const std::string& path);
    // Stops the thread and closes the socket.
    ~syslog_receiver_t();
    syslog_receiver_t(const syslog_receiver_t&) = delete;
    syslog_receiver_t& operator=(const syslog_receiver_t&) = delete;

    // Every datagram received so far, in order of arrival.
    std::vector<std::string> messages() const;
    // A logger that stops receiving (its socket fills and the sender's
    // sends block) and one that goes on again.
    void pause() { paused = true; }
    void resume() { paused = false; }
    // Waits until at least `occurrences` messages end with the text.
    bool wait_for_ending(const std::string& text, std::chrono::milliseconds timeout, std::size_t occurrences = 1) const;

private:
    void run();
    std::size_t count_ending(const std::string& text) const;

    std::atomic<bool> paused{false};
    int fd = -1;
    int wake[2] = {-1, -1};
    mutable std::mutex lock;
    mutable std::condition_variable arrived;
    std::vector<std::string> received;
    std::thread worker;
};

// Writes a script that starts `program` with the script's own arguments in
// a private mount namespace whose /dev is a small tmpfs holding the usual
// character devices and, as /dev/log, the socket at `log_socket`. The
// process keeps its pid through the script (every step execs).
std::string write_isolation_script(const std::string& script_path, const std::string& log_socket,
    const std::string& program);

// Whether such a namespace can be made here (root, unshare and mount
// available): the script run with /bin/true ends with 0.
bool isolation_available(const std::string& dir);

} // namespace nt_sys
