#include "support/fake_syslog.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace nt {

fake_syslog_t::fake_syslog_t(const std::string& path)
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "syslog socket " + path);
    std::memcpy(address.sun_path, path.data(), path.size());
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
        int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "bind " + path);
    }
    worker = std::thread(&fake_syslog_t::run, this);
}

fake_syslog_t::~fake_syslog_t()
{
    char byte = 0;
    ssize_t ignored = ::write(wake[1], &byte, 1);
    (void)ignored;
    worker.join();
    ::close(fd);
    ::close(wake[0]);
    ::close(wake[1]);
}

void fake_syslog_t::run()
{
    // Received at once, whatever the test is waiting for: a logger that
    // lags would block the daemon's blocking syslog sends.
    char buffer[65536];
    for (;;) {
        if (paused) {
            pollfd stop = {wake[0], POLLIN, 0};
            if (::poll(&stop, 1, 10) > 0)
                return;
            continue;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        // A pause is noticed within a slice, not only after the next datagram.
        const int ready = ::poll(fds, 2, 10);
        if (ready == 0)
            continue;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            continue;
        std::lock_guard<std::mutex> guard(lock);
        received.emplace_back(buffer, static_cast<std::size_t>(n));
        arrived.notify_all();
    }
}

std::vector<std::string> fake_syslog_t::messages() const
{
    std::lock_guard<std::mutex> guard(lock);
    return received;
}

std::size_t fake_syslog_t::count_ending(const std::string& text) const
{
    std::size_t n = 0;
    for (const std::string& m : received)
        n += m.size() >= text.size() && m.compare(m.size() - text.size(), text.size(), text) == 0;
    return n;
}

bool fake_syslog_t::wait_for_ending(const std::string& text, std::chrono::milliseconds timeout,
                                    std::size_t occurrences) const
{
    std::unique_lock<std::mutex> guard(lock);
    return arrived.wait_for(guard, timeout, [&] { return count_ending(text) >= occurrences; });
}

std::string write_isolation_script(const std::string& script_path, const std::string& log_socket,
                                   const std::string& program)
{
    // Paths come from temp_dir_t and the build: no single quotes in them.
    write_file(script_path,
               "#!/bin/sh\n"
               "exec unshare --mount --propagation private /bin/sh -ec '\n"
               "  mount -t tmpfs -o mode=0755,size=64k nt-dev /dev\n"
               "  mknod -m 0666 /dev/null c 1 3\n"
               "  mknod -m 0666 /dev/zero c 1 5\n"
               "  mknod -m 0444 /dev/random c 1 8\n"
               "  mknod -m 0444 /dev/urandom c 1 9\n"
               "  : > /dev/log\n"
               "  mount --bind \"$0\" /dev/log\n"
               "  exec \"$@\"\n"
               "' '" +
                   log_socket + "' '" + program + "' \"$@\"\n",
               0755);
    return script_path;
}

bool isolation_available(const std::string& dir)
{
    const std::string socket_path = dir + "/probe.sock";
    fake_syslog_t probe(socket_path);
    child_options_t options;
    options.argv = {write_isolation_script(dir + "/probe.sh", socket_path, "/bin/sh"), "-c",
                    "[ -S /dev/log ] && [ -c /dev/null ]"};
    options.stdout_path = dir + "/probe.out";
    options.stderr_path = dir + "/probe.err";
    child_process_t child(options);
    return child.wait_exit() == 0;
}

} // namespace nt
