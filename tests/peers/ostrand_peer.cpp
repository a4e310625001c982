#include "peers/ostrand_peer.hpp"

#include <cerrno>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peers/error_code.hpp"

namespace nt {

ostrand_peer_t::ostrand_peer_t(const std::string& daemon, const std::vector<std::string>& args,
                               const std::vector<std::string>& env)
{
    ostrand_options_t options;
    options.daemon = daemon;
    options.args = args;
    options.env = env;
    launch(options);
}

ostrand_peer_t::ostrand_peer_t(const ostrand_options_t& options)
{
    launch(options);
}

void ostrand_peer_t::launch(const ostrand_options_t& options)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    own_end = pair[0];
    daemon_end = pair[1];

    child_options_t child_options;
    child_options.argv.push_back(options.daemon);
    if (options.pass_monitor) {
        child_options.argv.push_back("--monitor");
        child_options.argv.push_back(std::to_string(daemon_end));
    }
    child_options.argv.insert(child_options.argv.end(), options.args.begin(), options.args.end());
    child_options.env = options.env;
    child_options.inherit_fds.push_back(daemon_end);
    child_options.new_process_group = options.new_process_group;
    if (!options.inherit_stderr) {
        files.reset(new temp_dir_t("nt-ostrand-"));
        child_options.stderr_path = options.stderr_path.empty() ? files->file("stderr") : options.stderr_path;
        child_options.stdout_path = files->file("stdout");
    }
    try {
        child.reset(new child_process_t(child_options));
    } catch (...) {
        ::close(own_end);
        ::close(daemon_end);
        throw;
    }
    // Only the daemon holds its end now, so its exit reads as end of stream.
    ::close(daemon_end);
    reader.reset(new frame_reader_t(own_end));
}

ostrand_peer_t::~ostrand_peer_t()
{
    child.reset();
    if (own_end >= 0)
        ::close(own_end);
}

void ostrand_peer_t::answer_context(const nx::LinuxTarselConfig& config, std::uint32_t revision)
{
    nx::Ostrand2LinuxTarselMessage reply;
    reply.set_tag(nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    reply.set_config_revision(revision);
    *reply.mutable_config() = config;
    context_reply = reply;
}

void ostrand_peer_t::answer_context_with(const nx::Ostrand2LinuxTarselMessage& reply)
{
    context_reply = reply;
}

void ostrand_peer_t::withhold_context()
{
    context_reply.reset();
}

void ostrand_peer_t::answer_kestrum(const std::string& socket_path)
{
    nx::Ostrand2LinuxTarselMessage reply;
    reply.set_tag(nx::Ostrand2LinuxTarselMessage::GET_KESTRUM_RESPONSE);
    reply.set_socket_path(socket_path);
    kestrum_reply = reply;
}

void ostrand_peer_t::answer_kestrum_error(int code)
{
    nx::Ostrand2LinuxTarselMessage reply;
    reply.set_tag(nx::Ostrand2LinuxTarselMessage::GET_KESTRUM_RESPONSE);
    set_error_code(*reply.mutable_error(), code);
    kestrum_reply = reply;
}

void ostrand_peer_t::answer_kestrum_with(const nx::Ostrand2LinuxTarselMessage& reply)
{
    kestrum_reply = reply;
}

void ostrand_peer_t::withhold_kestrum()
{
    kestrum_reply.reset();
}

void ostrand_peer_t::handle(const std::string& body)
{
    ostrand_frame_t frame;
    frame.raw = body;
    frame.complete = frame.message.ParsePartialFromString(body) && frame.message.IsInitialized();
    received.push_back(frame);
    if (frame.message.tag() == nx::LinuxTarsel2OstrandMessage::GET_CONTEXT_REQUEST && context_reply) {
        if (send(*context_reply))
            ++context_count;
    } else if (frame.message.tag() == nx::LinuxTarsel2OstrandMessage::GET_KESTRUM_REQUEST && kestrum_reply) {
        if (send(*kestrum_reply))
            ++kestrum_count;
    }
}

template <typename Stop>
bool ostrand_peer_t::service(std::chrono::steady_clock::time_point deadline, Stop stop)
{
    for (;;) {
        if (stop())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            left = std::chrono::milliseconds(0);
        pollfd fds[2];
        nfds_t n = 0;
        bool reading = own_end >= 0 && !closed_by_daemon;
        if (reading)
            fds[n++] = {own_end, POLLIN, 0};
        if (child->exit_fd() >= 0 && !child->status())
            fds[n++] = {child->exit_fd(), POLLIN, 0};
        if (n == 0 || child->exit_fd() < 0) {
            // Without a pidfd the end is only seen by looking again.
            left = std::min(left, std::chrono::milliseconds(10));
        }
        int ready = n ? ::poll(fds, n, static_cast<int>(left.count())) : 0;
        if (n == 0)
            std::this_thread::sleep_for(left);
        if (ready < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "poll");
        if (reading) {
            std::string body;
            frame_status status;
            while ((status = reader->next(body, std::chrono::milliseconds(0))) == frame_status::ok)
                handle(body);
            if (status != frame_status::timeout)
                closed_by_daemon = true;
        }
        child->running();
        if (stop())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

std::optional<ostrand_frame_t> ostrand_peer_t::expect_frame(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The daemon's end may come with its last frames: they are still taken.
    service(deadline, [&] { return taken < received.size() || closed_by_daemon; });
    if (taken < received.size())
        return received[taken++];
    return std::nullopt;
}

std::optional<ostrand_frame_t> ostrand_peer_t::wait_for_tag(tag_t tag, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<ostrand_frame_t> frame = expect_frame(std::max(left, std::chrono::milliseconds(0)));
        if (!frame || frame->message.tag() == tag)
            return frame;
    }
}

const std::vector<ostrand_frame_t>& ostrand_peer_t::frames()
{
    service(std::chrono::steady_clock::now(), [] { return false; });
    return received;
}

std::size_t ostrand_peer_t::count(tag_t tag)
{
    std::size_t n = 0;
    for (const ostrand_frame_t& f : frames())
        if (f.message.tag() == tag)
            ++n;
    return n;
}

bool ostrand_peer_t::push_context(const nx::LinuxTarselConfig& config, std::uint32_t revision)
{
    nx::Ostrand2LinuxTarselMessage message;
    message.set_tag(nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    message.set_config_revision(revision);
    *message.mutable_config() = config;
    bool ok = send(message);
    if (ok)
        ++context_count;
    return ok;
}

bool ostrand_peer_t::send(const nx::Ostrand2LinuxTarselMessage& message)
{
    return own_end >= 0 && write_frame(own_end, message);
}

bool ostrand_peer_t::send_frame(const std::string& body)
{
    return own_end >= 0 && write_frame(own_end, body);
}

bool ostrand_peer_t::send_raw(const std::string& bytes)
{
    return own_end >= 0 && write_all(own_end, bytes.data(), bytes.size());
}

void ostrand_peer_t::close()
{
    if (own_end < 0)
        return;
    // What the daemon wrote before is still recorded.
    frames();
    ::close(own_end);
    own_end = -1;
}

std::optional<int> ostrand_peer_t::wait_exit(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    service(deadline, [&] { return child->status().has_value(); });
    if (child->status())
        frames(); // its last frames
    return child->status();
}

void ostrand_peer_t::pump(std::chrono::milliseconds duration)
{
    service(std::chrono::steady_clock::now() + duration, [&] { return child->status().has_value(); });
}

bool ostrand_peer_t::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout,
                                     std::size_t occurrences)
{
    return child->wait_for_stderr(text, timeout, occurrences, [&](std::chrono::milliseconds slice) {
        service(std::chrono::steady_clock::now() + slice, [] { return false; });
    });
}

} // namespace nt
