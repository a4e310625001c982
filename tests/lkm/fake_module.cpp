#include "fake_module.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <boost/filesystem/path.hpp>

#include "module_packets.hpp"

fake_module_t::fake_module_t()
    : answer_([](int32_t type, const std::string&) { return module_packets::dir_response(type + 1, 0); })
{}

fake_module_t::~fake_module_t()
{
    int control;
    {
        boost::mutex::scoped_lock lock(mutex_);
        control = control_module_end_;
    }
    if (control >= 0) {
        ::shutdown(control, SHUT_RDWR);
    }
    if (control_thread_.joinable()) {
        control_thread_.join();
    }
    if (control >= 0) {
        ::close(control);
    }
    close_monitor();
}

ts_device_opener_t fake_module_t::opener()
{
    return [this](const std::string& path, int flags) { return open_node(path, flags); };
}

void fake_module_t::fail_open(const std::string& node_name, int error)
{
    boost::mutex::scoped_lock lock(mutex_);
    open_errors_[node_name] = error;
}

void fake_module_t::set_answer(const answer_t& answer)
{
    boost::mutex::scoped_lock lock(mutex_);
    answer_ = answer;
}

void fake_module_t::close_after_answer()
{
    boost::mutex::scoped_lock lock(mutex_);
    close_after_answer_ = true;
}

void fake_module_t::stay_silent()
{
    boost::mutex::scoped_lock lock(mutex_);
    silent_ = true;
}

void fake_module_t::answer_slowly(std::chrono::milliseconds pause)
{
    boost::mutex::scoped_lock lock(mutex_);
    pause_ = pause;
}

void fake_module_t::close_control()
{
    boost::mutex::scoped_lock lock(mutex_);
    if (control_module_end_ >= 0) {
        ::shutdown(control_module_end_, SHUT_RDWR);
    }
}

std::vector<std::pair<std::string, int>> fake_module_t::opens() const
{
    boost::mutex::scoped_lock lock(mutex_);
    return opens_;
}

std::vector<std::pair<int32_t, std::string>> fake_module_t::requests() const
{
    boost::mutex::scoped_lock lock(mutex_);
    return requests_;
}

bool fake_module_t::wait_requests(size_t n)
{
    boost::mutex::scoped_lock lock(mutex_);
    const boost::system_time limit = boost::get_system_time() + boost::posix_time::seconds(30);
    while (requests_.size() < n) {
        if (!changed_.timed_wait(lock, limit)) {
            return false;
        }
    }
    return true;
}

bool fake_module_t::wait_control_closed()
{
    boost::mutex::scoped_lock lock(mutex_);
    if (control_module_end_ < 0) {
        return false;
    }
    // A generous bound only so that a daemon that never closes fails the
    // test instead of hanging it.
    const boost::system_time limit = boost::get_system_time() + boost::posix_time::seconds(30);
    while (!control_closed_) {
        if (!changed_.timed_wait(lock, limit)) {
            return false;
        }
    }
    return true;
}

int fake_module_t::open_node(const std::string& path, int flags)
{
    const std::string name = boost::filesystem::path(path).filename().string();
    boost::mutex::scoped_lock lock(mutex_);
    opens_.push_back(std::make_pair(path, flags));
    auto error = open_errors_.find(name);
    if (error != open_errors_.end()) {
        errno = error->second;
        return -1;
    }
    const bool control = name == "noxel.control";
    if ((!control && name != "noxel.tarsel") || (control ? control_module_end_ : monitor_module_end_) >= 0) {
        errno = ENXIO;
        return -1;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return -1;
    }
    if (control) {
        control_module_end_ = ends[1];
        control_thread_ = boost::thread([this, fd = ends[1]] { serve_control(fd); });
    } else {
        monitor_module_end_ = ends[1];
    }
    return ends[0];
}

bool fake_module_t::read_fully(int fd, void* buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, static_cast<char*>(buffer) + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void fake_module_t::serve_control(int fd)
{
    for (;;) {
        uint32_t length = 0;
        if (!read_fully(fd, &length, sizeof(length))) {
            break;
        }
        std::string body(length, '\0');
        std::chrono::milliseconds pause;
        {
            boost::mutex::scoped_lock lock(mutex_);
            pause = pause_;
        }
        // A request larger than the socket holds keeps the daemon's write
        // waiting meanwhile.
        boost::this_thread::sleep_for(boost::chrono::milliseconds(pause.count()));
        if (!read_fully(fd, &body[0], length)) {
            break;
        }
        int32_t type = -1;
        std::string dir;
        if (!module_packets::decode_dir_request(body, type, dir)) {
            type = -1;
            dir = body;
        }
        answer_t answer;
        bool close_after;
        bool silent;
        {
            boost::mutex::scoped_lock lock(mutex_);
            requests_.push_back(std::make_pair(type, dir));
            answer = answer_;
            close_after = close_after_answer_;
            silent = silent_;
        }
        changed_.notify_all();
        if (silent) {
            // A daemon that waits for ever would hang the test: after a
            // generous time the device ends instead.
            pollfd next = {fd, POLLIN, 0};
            if (::poll(&next, 1, 30 * 1000) == 0) {
                ::shutdown(fd, SHUT_RDWR);
                break;
            }
            continue;
        }
        const std::string reply = answer(type, dir);
        if (reply.empty()) {
            ::shutdown(fd, SHUT_RDWR);
            break;
        }
        bool sent = true;
        if (pause.count() > 0) {
            boost::this_thread::sleep_for(boost::chrono::milliseconds(pause.count()));
            for (size_t at = 0; sent && at < reply.size(); ++at) {
                sent = ::send(fd, reply.data() + at, 1, MSG_NOSIGNAL) == 1;
                boost::this_thread::sleep_for(boost::chrono::milliseconds(1));
            }
        } else {
            sent = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
        }
        if (!sent || close_after) {
            ::shutdown(fd, SHUT_RDWR);
            break;
        }
    }
    boost::mutex::scoped_lock lock(mutex_);
    control_closed_ = true;
    changed_.notify_all();
}

void fake_module_t::write_monitor(const std::string& bytes)
{
    int fd;
    {
        boost::mutex::scoped_lock lock(mutex_);
        fd = monitor_module_end_;
    }
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void fake_module_t::close_monitor()
{
    boost::mutex::scoped_lock lock(mutex_);
    if (monitor_module_end_ >= 0) {
        ::close(monitor_module_end_);
        monitor_module_end_ = -1;
    }
}

bool fake_module_t::monitor_closed_by_daemon() const
{
    int fd;
    {
        boost::mutex::scoped_lock lock(mutex_);
        fd = monitor_module_end_;
    }
    if (fd < 0) {
        return false;
    }
    pollfd p = {fd, POLLIN, 0};
    // Only asks; never waits.
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}
