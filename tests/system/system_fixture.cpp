#include "system/system_fixture.hpp"

#include <csignal>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/child_process.hpp"

namespace nt_sys {

const std::string daemon_path = NT_DAEMON_PATH;

const std::string ready_line = "Notice: LinuxTarsel 9.0.0.0.1403121422: Ready for service, mode Fanotify";

std::string exit_text(int status, const std::string& text)
{
    return "Exit with status " + std::to_string(status) + " (" + text + ")";
}

std::string console_exit_line(int status, const std::string& text)
{
    return "Notice: " + exit_text(status, text);
}

nx::LinuxTarselConfig stderr_config(const std::string& watched)
{
    nx::LinuxTarselConfig config;
    config.set_mode(nx::LTM_FANOTIFY);
    config.mutable_included_path()->add_path(watched);
    config.mutable_actual_log()->set_type(nx::Log::STDERR);
    return config;
}

nx::LinuxTarselConfig file_config(const std::string& watched, const std::string& log_path)
{
    nx::LinuxTarselConfig config = stderr_config(watched);
    config.mutable_actual_log()->set_type(nx::Log::FILE);
    config.mutable_actual_log()->set_path(log_path);
    return config;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                const std::function<void(std::chrono::milliseconds)>& idle)
{
    return nt::poll_until(condition, timeout, idle);
}

namespace {

std::vector<std::string> directory_entries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    ::closedir(d);
    return names;
}

std::string link_target(const std::string& path)
{
    char buffer[4096];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

// The value after "<key>:" in a /proc status-like file.
std::optional<std::string> proc_field(const std::string& path, const std::string& key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            std::istringstream value(line.substr(key.size() + 1));
            std::string word;
            value >> word;
            return word;
        }
    }
    return std::nullopt;
}

} // namespace

std::size_t descriptor_count(pid_t pid)
{
    return directory_entries("/proc/" + std::to_string(pid) + "/fd").size();
}

std::map<int, std::string> descriptor_targets(pid_t pid)
{
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    std::map<int, std::string> found;
    for (const std::string& name : directory_entries(fd_dir))
        found[std::stoi(name)] = link_target(fd_dir + "/" + name);
    return found;
}

std::vector<std::string> held_descriptor_kinds(pid_t pid, const std::vector<std::string>& own_paths)
{
    std::vector<std::string> kinds;
    for (const auto& descriptor : descriptor_targets(pid)) {
        const std::string& target = descriptor.second;
        if (descriptor.first <= 2)
            continue;
        if (!target.empty() && target[0] == '/') {
            if (std::find(own_paths.begin(), own_paths.end(), target) != own_paths.end())
                kinds.push_back(target);
            continue;
        }
        // "socket:[1234]" and "pipe:[1234]" by kind: the inode says nothing
        // about whether one is leaked.
        const std::string::size_type colon = target.find(":[");
        kinds.push_back(colon == std::string::npos || target.compare(0, 11, "anon_inode:") == 0
                            ? target
                            : target.substr(0, colon + 1));
    }
    std::sort(kinds.begin(), kinds.end());
    return kinds;
}

bool wait_for_settled_descriptors(pid_t pid, std::chrono::milliseconds timeout,
                                  const std::function<void(std::chrono::milliseconds)>& idle)
{
    const std::string mounts = "/proc/" + std::to_string(pid) + "/mounts";
    return wait_until(
        [&] {
            const std::vector<std::string> kinds = held_descriptor_kinds(pid, {mounts});
            // One epoll instance is the event loop's, the other the watcher's.
            return std::count(kinds.begin(), kinds.end(), mounts) == 1 &&
                   std::count(kinds.begin(), kinds.end(), "anon_inode:[eventpoll]") == 2;
        },
        timeout, idle);
}

std::vector<int> descriptors_naming(pid_t pid, const std::string& path)
{
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    std::vector<int> found;
    for (const std::string& name : directory_entries(fd_dir))
        if (link_target(fd_dir + "/" + name) == path)
            found.push_back(std::stoi(name));
    return found;
}

std::optional<unsigned long> descriptor_flags(pid_t pid, int fd)
{
    std::optional<std::string> flags =
        proc_field("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd), "flags");
    if (!flags)
        return std::nullopt;
    return std::stoul(*flags, nullptr, 8);
}

std::vector<int> own_stream_sockets()
{
    std::vector<int> found;
    for (const std::string& name : directory_entries("/proc/self/fd")) {
        int fd = std::stoi(name);
        sockaddr_storage address;
        socklen_t length = sizeof address;
        int type = 0;
        socklen_t type_length = sizeof type;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_UNIX &&
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) == 0 && type == SOCK_STREAM)
            found.push_back(fd);
    }
    return found;
}

std::vector<std::pair<pid_t, unsigned long long>> blocked_signals(pid_t pid)
{
    const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    std::vector<std::pair<pid_t, unsigned long long>> masks;
    for (const std::string& name : directory_entries(task_dir)) {
        std::optional<std::string> mask = proc_field(task_dir + "/" + name + "/status", "SigBlk");
        if (!mask)
            continue;
        std::pair<pid_t, unsigned long long> entry(std::stoi(name), std::stoull(*mask, nullptr, 16));
        if (entry.first == pid)
            masks.insert(masks.begin(), entry);
        else
            masks.push_back(entry);
    }
    return masks;
}

namespace {

// The time stamp and the pid of a file line; the rest of the line in `rest`.
bool split_file_line(const std::string& line, pid_t pid, std::string& rest)
{
    static const std::regex stamp("^[0-9]{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-3][0-9] "
                                  "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ");
    std::smatch match;
    const std::string tag = "[" + std::to_string(pid) + "] ";
    if (!std::regex_search(line, match, stamp) || line.compare(match.length(), tag.size(), tag) != 0)
        return false;
    rest = line.substr(match.length() + tag.size());
    return true;
}

} // namespace

bool is_file_line(const std::string& line, pid_t pid, const std::string& level, const std::string& text)
{
    std::string rest;
    return split_file_line(line, pid, rest) && rest == level + ": " + text;
}

bool is_file_line(const std::string& line, pid_t pid)
{
    static const std::regex level("^(Debug|Info|Notice|Warning|Error): ");
    std::string rest;
    return split_file_line(line, pid, rest) && std::regex_search(rest, level);
}

std::vector<std::string> lines_of(const std::string& text)
{
    return nt::complete_lines(text);
}

std::vector<std::string> without_warnings(const std::vector<std::string>& lines)
{
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        std::string::size_type at = line.find("Warning: ");
        bool warning = at != std::string::npos && (at == 0 || (at >= 2 && line.compare(at - 2, 2, "] ") == 0));
        if (!warning)
            kept.push_back(line);
    }
    return kept;
}

std::size_t count_equal(const std::vector<std::string>& lines, const std::string& line)
{
    std::size_t n = 0;
    for (const std::string& l : lines)
        n += l == line;
    return n;
}

std::size_t count_containing(const std::vector<std::string>& lines, const std::string& part)
{
    std::size_t n = 0;
    for (const std::string& l : lines)
        n += l.find(part) != std::string::npos;
    return n;
}

system_test::system_test()
    : watched(dir.file("watched"))
{
    ::mkdir(watched.c_str(), 0755);
}

void system_test::SetUp()
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the daemon starts fanotify on its first context";
}

nt::ostrand_peer_t& system_test::start(const std::vector<std::string>& args)
{
    nt::ostrand_options_t options;
    options.daemon = daemon_path;
    options.args = args;
    return start(options);
}

nt::ostrand_peer_t& system_test::start(const nt::ostrand_options_t& options)
{
    ostrand.reset(new nt::ostrand_peer_t(options));
    std::optional<nt::ostrand_frame_t> request = ostrand->wait_for_tag(to_ostrand_t::GET_CONTEXT_REQUEST, long_wait);
    EXPECT_TRUE(request) << "no GET_CONTEXT_REQUEST; standard error:\n" << stderr_for_messages();
    return *ostrand;
}

nt::ostrand_frame_t system_test::first_context(const nx::LinuxTarselConfig& config, std::uint32_t revision)
{
    ostrand->answer_context(config, revision);
    ostrand->push_context(config, revision);
    std::optional<nt::ostrand_frame_t> info = ostrand->wait_for_tag(to_ostrand_t::MY_INFO_NOTIFICATION, long_wait);
    EXPECT_TRUE(info) << "no MY_INFO_NOTIFICATION; standard error:\n" << stderr_for_messages();
    EXPECT_TRUE(ostrand->wait_for_tag(to_ostrand_t::GET_KESTRUM_REQUEST, long_wait))
        << "no GET_KESTRUM_REQUEST; standard error:\n"
        << stderr_for_messages();
    return info ? *info : nt::ostrand_frame_t();
}

void system_test::hangup()
{
    ASSERT_TRUE(ostrand->signal(SIGHUP));
    ASSERT_TRUE(ostrand->wait_for_tag(to_ostrand_t::GET_CONTEXT_REQUEST, long_wait))
        << "no GET_CONTEXT_REQUEST after SIGHUP; standard error:\n"
        << stderr_for_messages();
}

std::vector<nt::ostrand_frame_t> system_test::later_context_notifications()
{
    std::vector<nt::ostrand_frame_t> infos;
    for (int i = 0; i < 2; ++i) {
        std::optional<nt::ostrand_frame_t> info = ostrand->wait_for_tag(to_ostrand_t::MY_INFO_NOTIFICATION, long_wait);
        EXPECT_TRUE(info) << "MY_INFO_NOTIFICATION " << i + 1 << " missing; standard error:\n" << stderr_for_messages();
        if (!info)
            break;
        infos.push_back(*info);
    }
    return infos;
}

std::string system_test::stderr_for_messages() const
{
    return stderr_is_file ? ostrand->stderr_text() : "(not a file)";
}

std::vector<std::string> system_test::lines_without_warnings() const
{
    return without_warnings(ostrand->stderr_lines());
}

std::optional<int> system_test::terminate()
{
    ostrand->signal(SIGTERM);
    return ostrand->wait_exit(long_wait);
}

} // namespace nt_sys
