#include "peers/kestrum_peer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "peers/error_code.hpp"

namespace nt {

namespace {

const std::size_t tag_slots = 64;

const google::protobuf::RepeatedPtrField<std::string> no_paths;

// Bound on a write to a client that stopped reading, so that the peer's
// thread can never hang its test.
const int send_timeout_seconds = 10;

std::system_error sys_error(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

} // namespace

open_reply_t open_reply_t::response(std::chrono::milliseconds delay)
{
    open_reply_t r;
    r.kind = respond;
    r.delay = delay;
    return r;
}

open_reply_t open_reply_t::flow_alarm(std::optional<int> code, std::chrono::milliseconds delay)
{
    open_reply_t r;
    r.kind = alarm;
    r.code = code;
    r.delay = delay;
    return r;
}

open_reply_t open_reply_t::no_answer()
{
    open_reply_t r;
    r.kind = silence;
    return r;
}

kestrum_peer_t::kestrum_peer_t()
{
    start(kestrum_options_t());
}

kestrum_peer_t::kestrum_peer_t(const std::string& path)
{
    kestrum_options_t options;
    options.path = path;
    start(options);
}

kestrum_peer_t::kestrum_peer_t(const kestrum_options_t& options)
{
    start(options);
}

void kestrum_peer_t::start(const kestrum_options_t& options)
{
    record = options.record_frames;
    path_callback = options.on_path;
    standing = options.open_reply;
    tag_counts.assign(tag_slots, 0);
    socket_path = options.path;
    if (socket_path.empty()) {
        dir.reset(new temp_dir_t("nt-kestrum-"));
        socket_path = dir->file("kestrum.sock");
    }
    const bool abstract = socket_path[0] == '\0';

    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (socket_path.size() > sizeof address.sun_path - (abstract ? 0 : 1)) {
        errno = ENAMETOOLONG;
        throw sys_error("kestrum_peer_t: socket path");
    }
    std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path.size());

    if (!abstract) {
        struct stat st;
        if (::lstat(socket_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            ::unlink(socket_path.c_str());
    }
    listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0)
        throw sys_error("kestrum_peer_t: socket");
    if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listen_fd, 16) != 0) {
        std::system_error e = sys_error("kestrum_peer_t: bind " + socket_path);
        ::close(listen_fd);
        throw e;
    }
    wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) {
        std::system_error e = sys_error("kestrum_peer_t: eventfd");
        ::close(listen_fd);
        throw e;
    }
    worker = std::thread([this] { run(); });
}

kestrum_peer_t::~kestrum_peer_t()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd, &one, sizeof one);
    (void)ignored;
    worker.join();
    for (auto& c : conns)
        if (c->fd >= 0)
            ::close(c->fd);
    ::close(listen_fd);
    ::close(wake_fd);
    if (socket_path[0] != '\0')
        ::unlink(socket_path.c_str());
}

void kestrum_peer_t::run()
{
    std::vector<pollfd> fds;
    std::vector<connection_t*> polled;
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (stopping)
                return;
            fds.assign({{wake_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}});
            polled.clear();
            for (auto& c : conns)
                if (c->cut)
                    close_locked(*c);
            for (auto& c : conns) {
                if (c->fd >= 0 && reading) {
                    fds.push_back({c->fd, POLLIN, 0});
                    polled.push_back(c.get());
                }
            }
            if (!pending.empty()) {
                auto due =
                    std::min_element(pending.begin(), pending.end(), [](const scheduled_t& a, const scheduled_t& b) {
                        return a.due < b.due;
                    })->due;
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count() + 1));
            }
        }
        int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready > 0) {
            if (fds[0].revents) {
                std::uint64_t count;
                ssize_t ignored = ::read(wake_fd, &count, sizeof count);
                (void)ignored;
            }
            if (fds[1].revents & POLLIN)
                accept_one();
            for (std::size_t i = 0; i < polled.size(); ++i) {
                if (fds[i + 2].revents == 0)
                    continue;
                if (!serve(*polled[i])) {
                    std::lock_guard<std::mutex> guard(lock);
                    close_locked(*polled[i]);
                }
            }
        }
        std::lock_guard<std::mutex> guard(lock);
        auto now = std::chrono::steady_clock::now();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due <= now) {
                if (write_locked(it->connection, it->frame))
                    ++replies;
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        changed.notify_all();
    }
}

void kestrum_peer_t::accept_one()
{
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    timeval limit = {send_timeout_seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::unique_ptr<connection_t> c(new connection_t);
    c->fd = fd;
    c->reader.reset(new frame_reader_t(fd));
    std::lock_guard<std::mutex> guard(lock);
    c->index = conns.size();
    conns.push_back(std::move(c));
    changed.notify_all();
}

bool kestrum_peer_t::serve(connection_t& c)
{
    std::string body;
    for (;;) {
        frame_status status = c.reader->next(body, std::chrono::milliseconds(0));
        if (status == frame_status::ok) {
            handle(c, body);
            continue;
        }
        if (status == frame_status::timeout)
            return true;
        if (status == frame_status::too_large) {
            std::lock_guard<std::mutex> guard(lock);
            ++bad;
        }
        return false;
    }
}

void kestrum_peer_t::handle(connection_t& c, const std::string& body)
{
    kestrum_frame_t frame;
    frame.connection = c.index;
    frame.raw = body;
    frame.complete = frame.message.ParsePartialFromString(body) && frame.message.IsInitialized();
    {
        std::lock_guard<std::mutex> guard(lock);
        ++frames_seen;
        ++tag_counts[static_cast<std::size_t>(frame.message.tag()) % tag_slots];
        if (!frame.complete)
            ++bad;
        // A body that did not parse whole may end in a half-read path.
        for (const std::string& path : frame.complete ? frame.message.flow_path() : no_paths) {
            distinct.insert(path);
            ++path_total;
            if (record)
                path_order.push_back(path);
        }
        if (record)
            recorded.push_back(frame);
        changed.notify_all();
    }
    if (path_callback && frame.complete)
        for (const std::string& path : frame.message.flow_path())
            path_callback(path);
    if (frame.message.tag() == ks::ClientMessage::OPEN_FLOW_REQUEST)
        answer_open(c.index);
}

void kestrum_peer_t::answer_open(std::size_t connection)
{
    std::lock_guard<std::mutex> guard(lock);
    open_reply_t reply = standing;
    if (!script.empty()) {
        reply = script.front();
        script.pop_front();
    }
    if (reply.kind == open_reply_t::silence)
        return;
    ks::ServerMessage message;
    if (reply.kind == open_reply_t::respond) {
        message.set_tag(ks::ServerMessage::OPEN_FLOW_RESPONSE);
    } else {
        message.set_tag(ks::ServerMessage::FLOW_ALARM);
        if (reply.code)
            set_error_code(*message.mutable_error(), *reply.code);
    }
    std::string frame = frame_bytes(message.SerializePartialAsString());
    if (reply.delay.count() > 0) {
        pending.push_back({std::chrono::steady_clock::now() + reply.delay, connection, frame});
        std::uint64_t one = 1;
        ssize_t ignored = ::write(wake_fd, &one, sizeof one);
        (void)ignored;
    } else if (write_locked(connection, frame)) {
        ++replies;
    }
    changed.notify_all();
}

bool kestrum_peer_t::write_locked(std::size_t connection, const std::string& frame)
{
    if (connection >= conns.size())
        return false;
    connection_t& c = *conns[connection];
    if (c.fd < 0 || !c.open)
        return false;
    return write_all(c.fd, frame.data(), frame.size());
}

kestrum_peer_t::connection_t* kestrum_peer_t::newest_open_locked()
{
    for (auto it = conns.rbegin(); it != conns.rend(); ++it)
        if ((*it)->open && (*it)->fd >= 0)
            return it->get();
    return nullptr;
}

void kestrum_peer_t::close_locked(connection_t& c)
{
    if (c.fd < 0)
        return;
    ::close(c.fd);
    c.fd = -1;
    c.open = false;
    ++ended;
    changed.notify_all();
}

void kestrum_peer_t::set_open_reply(const open_reply_t& reply)
{
    std::lock_guard<std::mutex> guard(lock);
    standing = reply;
}

void kestrum_peer_t::script_open_replies(const std::vector<open_reply_t>& replies)
{
    std::lock_guard<std::mutex> guard(lock);
    script.assign(replies.begin(), replies.end());
}

bool kestrum_peer_t::send(const ks::ServerMessage& message)
{
    return send_frame(message.SerializePartialAsString());
}

bool kestrum_peer_t::send_frame(const std::string& body)
{
    return send_raw(frame_bytes(body));
}

bool kestrum_peer_t::send_raw(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    connection_t* c = newest_open_locked();
    return c != nullptr && write_all(c->fd, bytes.data(), bytes.size());
}

void kestrum_peer_t::set_reading(bool on)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        reading = on;
    }
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd, &one, sizeof one);
    (void)ignored;
}

bool kestrum_peer_t::cut_connection()
{
    std::lock_guard<std::mutex> guard(lock);
    connection_t* c = newest_open_locked();
    if (c == nullptr)
        return false;
    c->open = false;
    c->cut = true;
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd, &one, sizeof one);
    (void)ignored;
    return true;
}

bool kestrum_peer_t::close_connection()
{
    std::lock_guard<std::mutex> guard(lock);
    connection_t* c = newest_open_locked();
    if (c == nullptr)
        return false;
    // The peer's thread sees the end and closes the descriptor; only it
    // closes, so a descriptor number is never reused under its poll.
    ::shutdown(c->fd, SHUT_RDWR);
    c->open = false;
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd, &one, sizeof one);
    (void)ignored;
    return true;
}

std::size_t kestrum_peer_t::connections() const
{
    std::lock_guard<std::mutex> guard(lock);
    return conns.size();
}

std::size_t kestrum_peer_t::open_connections() const
{
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<std::size_t>(
        std::count_if(conns.begin(), conns.end(), [](const std::unique_ptr<connection_t>& c) { return c->open; }));
}

std::size_t kestrum_peer_t::disconnects() const
{
    std::lock_guard<std::mutex> guard(lock);
    return ended;
}

std::vector<kestrum_frame_t> kestrum_peer_t::frames() const
{
    std::lock_guard<std::mutex> guard(lock);
    return recorded;
}

std::vector<kestrum_frame_t> kestrum_peer_t::frames_of(std::size_t connection) const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<kestrum_frame_t> out;
    for (const kestrum_frame_t& f : recorded)
        if (f.connection == connection)
            out.push_back(f);
    return out;
}

std::size_t kestrum_peer_t::frame_count() const
{
    std::lock_guard<std::mutex> guard(lock);
    return frames_seen;
}

std::size_t kestrum_peer_t::count(tag_t tag) const
{
    std::lock_guard<std::mutex> guard(lock);
    return tag_counts[static_cast<std::size_t>(tag) % tag_slots];
}

std::size_t kestrum_peer_t::bad_frames() const
{
    std::lock_guard<std::mutex> guard(lock);
    return bad;
}

std::size_t kestrum_peer_t::open_replies_sent() const
{
    std::lock_guard<std::mutex> guard(lock);
    return replies;
}

std::size_t kestrum_peer_t::distinct_paths() const
{
    std::lock_guard<std::mutex> guard(lock);
    return distinct.size();
}

std::size_t kestrum_peer_t::received_paths() const
{
    std::lock_guard<std::mutex> guard(lock);
    return path_total;
}

bool kestrum_peer_t::has_path(const std::string& path) const
{
    std::lock_guard<std::mutex> guard(lock);
    return distinct.count(path) != 0;
}

std::vector<std::string> kestrum_peer_t::paths() const
{
    std::lock_guard<std::mutex> guard(lock);
    return path_order;
}

template <typename Pred>
bool kestrum_peer_t::wait(std::chrono::milliseconds timeout, Pred pred) const
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, timeout, pred);
}

bool kestrum_peer_t::wait_for_connections(std::size_t n, std::chrono::milliseconds timeout) const
{
    return wait(timeout, [&] { return conns.size() >= n; });
}

bool kestrum_peer_t::wait_for_disconnects(std::size_t n, std::chrono::milliseconds timeout) const
{
    return wait(timeout, [&] { return ended >= n; });
}

bool kestrum_peer_t::wait_for_frames(std::size_t n, std::chrono::milliseconds timeout) const
{
    return wait(timeout, [&] { return frames_seen >= n; });
}

std::optional<kestrum_frame_t> kestrum_peer_t::wait_for_tag(tag_t tag, std::size_t nth,
                                                            std::chrono::milliseconds timeout) const
{
    std::optional<kestrum_frame_t> found;
    wait(timeout, [&] {
        std::size_t seen = 0;
        for (const kestrum_frame_t& f : recorded) {
            if (f.message.tag() == tag && ++seen == nth) {
                found = f;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool kestrum_peer_t::wait_for_path(const std::string& path, std::chrono::milliseconds timeout) const
{
    return wait(timeout, [&] { return distinct.count(path) != 0; });
}

bool kestrum_peer_t::wait_for_distinct_paths(std::size_t n, std::chrono::milliseconds timeout) const
{
    return wait(timeout, [&] { return distinct.size() >= n; });
}

bool kestrum_peer_t::wait_for_open_replies(std::size_t n, std::chrono::milliseconds timeout) const
{
    return wait(timeout, [&] { return replies >= n; });
}

} // namespace nt
