// A system logger of the tests' own, two ways:
// - fake_syslog_t: a datagram socket that a daemon started through the
//   isolation script sees as /dev/log in a private mount namespace, so that
//   its syslog lines reach the test and never the machine's logger;
// - run_with_fake_syslog: runs code in a forked child that has a mount
//   namespace of its own, whose /dev is a fresh tmpfs holding a datagram
//   socket at /dev/log: the child's syslog calls reach that socket, and
//   mounts the code makes vanish with the child.
// Both need root.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/private_mounts.hpp"

namespace nt {

class fake_syslog_t
{
public:
    // Binds the socket at the path and starts the thread that receives.
    // Throws std::system_error when the socket cannot be set up.
    explicit fake_syslog_t(const std::string& path);
    // Stops the thread and closes the socket.
    ~fake_syslog_t();
    fake_syslog_t(const fake_syslog_t&) = delete;
    fake_syslog_t& operator=(const fake_syslog_t&) = delete;

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

} // namespace nt

struct fake_syslog_result_t
{
    // What the code returned, or "exception: " and its text.
    std::string answer;
    // The datagrams the socket received, in order.
    std::vector<std::string> datagrams;
    // Why the child could not run the code; empty when it did.
    std::string setup_error;
    // The child's wait status.
    int status = -1;
};

// One datagram of glibc's syslog: "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
struct syslog_datagram_t
{
    int priority = -1;
    std::string ident;
    int pid = -1;
    std::string text;

    // False when the datagram does not have that form.
    bool parse(const std::string& datagram)
    {
        size_t close = datagram.find('>');
        if (datagram.size() < 2 || datagram[0] != '<' || close == std::string::npos || close == 1 ||
            datagram.find_first_not_of("0123456789", 1) != close)
            return false;
        // "Mmm dd hh:mm:ss " after the priority.
        const size_t ident_at = close + 1 + 16;
        if (datagram.size() < ident_at || datagram[close + 4] != ' ' || datagram[close + 7] != ' ' ||
            datagram[close + 10] != ':' || datagram[close + 13] != ':' || datagram[ident_at - 1] != ' ')
            return false;
        size_t open_bracket = datagram.find('[', ident_at);
        size_t end_pid = datagram.find("]: ", ident_at);
        if (open_bracket == std::string::npos || end_pid == std::string::npos || end_pid <= open_bracket + 1 ||
            datagram.find_first_not_of("0123456789", open_bracket + 1) != end_pid)
            return false;
        priority = std::stoi(datagram.substr(1, close - 1));
        ident = datagram.substr(ident_at, open_bracket - ident_at);
        pid = std::stoi(datagram.substr(open_bracket + 1, end_pid - open_bracket - 1));
        text = datagram.substr(end_pid + 3);
        return true;
    }
};

namespace fake_syslog_detail {

constexpr char tag_datagram = 'D';
constexpr char tag_answer = 'A';
constexpr char tag_setup_error = 'E';
constexpr const char* socket_path = "/dev/log";

inline void write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(3);
        data += n;
        size -= static_cast<size_t>(n);
    }
}

inline void put_record(int fd, char tag, const std::string& bytes)
{
    uint32_t size = static_cast<uint32_t>(bytes.size());
    write_all(fd, &tag, 1);
    write_all(fd, reinterpret_cast<const char*>(&size), sizeof size);
    write_all(fd, bytes.data(), bytes.size());
}

inline sockaddr_un log_address()
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket_path);
    return address;
}

[[noreturn]] inline void setup_failed(int out, const char* step)
{
    put_record(out, tag_setup_error, std::string(step) + ": " + std::strerror(errno));
    _exit(2);
}

[[noreturn]] inline void run_child(int out, const std::function<std::string()>& body)
{
    if (!nt::enter_private_mounts())
        setup_failed(out, "enter a private mount namespace");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        setup_failed(out, "mount tmpfs on /dev");
    int logger = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (logger < 0)
        setup_failed(out, "socket");
    sockaddr_un address = log_address();
    if (bind(logger, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        setup_failed(out, "bind /dev/log");
    // Connected before the code runs, which may give up its privileges.
    int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0 || connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        setup_failed(out, "connect the end-mark sender");
    // A connection inherited from the parent would still reach the
    // machine's logger.
    closelog();

    // The socket queues only a few datagrams: a thread reads them while the
    // code runs. An empty datagram, which syslog never sends, ends it.
    std::thread reader([&] {
        std::vector<char> buffer(1 << 16);
        for (;;) {
            ssize_t n = recv(logger, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            put_record(out, tag_datagram, std::string(buffer.data(), static_cast<size_t>(n)));
        }
    });

    std::string answer;
    try {
        answer = body();
    } catch (const std::exception& e) {
        answer = std::string("exception: ") + e.what();
    }

    if (send(sender, "", 0, 0) != 0)
        setup_failed(out, "send the end mark");
    reader.join();
    put_record(out, tag_answer, answer);
    _exit(0);
}

inline bool read_exact(int fd, char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace fake_syslog_detail

// Runs body in the child and returns what it answered and what reached the
// fake system logger. Throws std::runtime_error when the child cannot be
// started.
inline fake_syslog_result_t run_with_fake_syslog(const std::function<std::string()>& body)
{
    using namespace fake_syslog_detail;
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    pid_t child = fork();
    if (child < 0) {
        close(channel[0]);
        close(channel[1]);
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        close(channel[0]);
        run_child(channel[1], body);
    }
    close(channel[1]);
    fake_syslog_result_t result;
    for (;;) {
        char tag;
        uint32_t size;
        if (!read_exact(channel[0], &tag, 1) || !read_exact(channel[0], reinterpret_cast<char*>(&size), sizeof size))
            break;
        std::string bytes(size, '\0');
        if (!read_exact(channel[0], &bytes[0], size))
            break;
        if (tag == tag_datagram)
            result.datagrams.push_back(bytes);
        else if (tag == tag_answer)
            result.answer = bytes;
        else if (tag == tag_setup_error)
            result.setup_error = bytes;
    }
    close(channel[0]);
    while (waitpid(child, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

// The datagrams parsed; one that has not the syslog form is kept with its
// whole content as text and a priority of -1.
inline std::vector<syslog_datagram_t> parsed(const std::vector<std::string>& datagrams)
{
    std::vector<syslog_datagram_t> result;
    for (const std::string& datagram : datagrams) {
        syslog_datagram_t d;
        if (!d.parse(datagram))
            d.text = datagram;
        result.push_back(d);
    }
    return result;
}
