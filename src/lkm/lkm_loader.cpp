#include "lkm/lkm_loader.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "lkm/lkm_texts.hpp"
#include "lkm/lkmnotify.hpp"
#include "monitor/monitor_error.hpp"

namespace {

const int CHILD_FAILED = 126;
const int CHILD_CLOSE_LIMIT = 1024;
const size_t READ_CHUNK = 256;

[[noreturn]] void throw_errno(int error, const char* what)
{
    throw boost::system::system_error(error, boost::system::system_category(), what);
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void exec_child(char* const* argv, int output)
{
    // The pipe end must not sit where it is about to be duplicated to.
    if (output <= STDERR_FILENO) {
        output = ::fcntl(output, F_DUPFD, STDERR_FILENO + 1);
    }
    if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0) {
        ::_exit(CHILD_FAILED);
    }
    for (int fd = STDERR_FILENO + 1; fd < CHILD_CLOSE_LIMIT; ++fd) {
        ::close(fd);
    }
    ::execvp(argv[0], argv);
    ::_exit(CHILD_FAILED);
}

} // namespace

ts_interceptor_ptr create_lkm_interceptor(boost::asio::io_service& loop, const std::vector<std::string>& mount_points,
                                          const ts_lkm_setup_t& setup)
{
    NT_LOG(LOG_INFO_LEVEL, TS_TEXT_LKM_TRYING);
    load_module(TS_LKM_MODULE_NAME, setup.program);
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_LOADED);
    const int major = get_device_major(TS_LKM_MODULE_NAME, setup.devices_list);
    if (major < 0) {
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_NO_MAJOR), TS_TEXT_CONTEXT_LKM);
    }
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MAJOR << major);
    NT_LOG(LOG_INFO_LEVEL, TS_TEXT_LKM_DEVICE_DIR << setup.device_dir);
    return boost::make_shared<ts_lkmnotify_t>(loop, setup.device_dir, major, mount_points, setup.opener);
}

void load_module(const std::string& name, const std::string& program)
{
    std::string output;
    const int status = run_command({program.c_str(), name.c_str()}, output);
    if (!output.empty()) {
        if (output.back() == '\n') {
            output.pop_back();
        }
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MODPROBE_OUTPUT << output);
    }
    if (WIFSIGNALED(status)) {
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MODPROBE_SIGNAL);
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_MODULE_LOAD), TS_TEXT_CONTEXT_LKM);
    }
    if (WEXITSTATUS(status) != 0) {
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MODPROBE_STATUS << WEXITSTATUS(status));
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_MODULE_LOAD), TS_TEXT_CONTEXT_LKM);
    }
}

int get_device_major(const std::string& name, const std::string& devices_list)
{
    std::ifstream devices(devices_list);
    std::string line;
    bool character_section = false;
    while (std::getline(devices, line)) {
        // Every heading ends in a colon; only the character devices count,
        // since a block driver of the same name has nothing behind our nodes.
        if (!line.empty() && line.back() == ':') {
            character_section = line == TS_LKM_CHARACTER_SECTION;
            continue;
        }
        if (!character_section) {
            continue;
        }
        // "%3d %s": the major, then the driver's whole name. A name that only
        // contains ours belongs to another driver, whose device would then
        // receive our requests.
        std::istringstream fields(line);
        std::string major, driver, rest;
        if (fields >> major >> driver && !(fields >> rest) && driver == name) {
            return boost::lexical_cast<int>(major);
        }
    }
    return -1;
}

int run_command(const std::vector<const char*>& arguments, std::string& output)
{
    // Ready before the fork: the child may not allocate.
    std::vector<char*> argv;
    for (const char* argument : arguments) {
        argv.push_back(const_cast<char*>(argument));
    }
    argv.push_back(NULL);

    int ends[2];
    // Close-on-exec, so that no other child of the daemon inherits them.
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw_errno(errno, TS_TEXT_CONTEXT_LKM_PIPE);
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        throw_errno(error, TS_TEXT_CONTEXT_LKM_FORK);
    }
    if (child == 0) {
        exec_child(argv.data(), ends[1]);
    }
    ::close(ends[1]);
    try {
        read_all(ends[0], output);
    } catch (...) {
        ::close(ends[0]);
        throw;
    }
    ::close(ends[0]);
    int status = 0;
    // Retried when interrupted: giving up would leave the child a zombie.
    pid_t waited;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        throw_errno(errno, TS_TEXT_CONTEXT_LKM_WAITPID);
    }
    return status;
}

void read_all(int fd, std::string& output)
{
    char chunk[READ_CHUNK];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got == 0) {
            return;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_READ_FAILED << strerror(errno));
            return;
        }
        if (output.size() < TS_LKM_OUTPUT_LIMIT) {
            output.append(chunk, std::min(static_cast<size_t>(got), TS_LKM_OUTPUT_LIMIT - output.size()));
        }
    }
}
