#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <sstream>

#include <boost/system/system_error.hpp>

#include "core/command_line.hpp"
#include "core/core_texts.hpp"
#include "core/early_signals.hpp"
#include "core/inventory.hpp"
#include "error.pb.h"
#include "error/enum_text.hpp"
#include "error/proto_error.hpp"
#include "links/links_texts.hpp"
#include "links/ostrand_tie.hpp"
#include "log/log.hpp"

namespace {

// The earliest point at which code of the daemon's own can run. The dynamic
// loader calls an executable's .preinit_array entries after it has mapped
// and relocated every library, but before any of their constructors
// (libstdc++, Boost, protobuf) and before the executable's own static
// constructors and main; the top of main would leave all of those open to
// SIGTERM's default action. Only the loader's own work, before this, stays
// beyond reach. Shared libraries cannot have such an entry, which is why it
// lives here, in the program, and not in the daemon's library.
__attribute__((no_sanitize("address", "thread", "undefined"))) void hold_at_start(int, char**, char**)
{
    hold_early_signals();
}

__attribute__((section(".preinit_array"), used)) void (*hold_at_start_entry)(int, char**, char**) = &hold_at_start;

// The descriptor must have been inherited: the inventory opens descriptors
// of its own before the link adopts this one, and a number that was not
// inherited could name one of them, which would then have two owners.
// Throws boost::system::system_error (EBADF, "Ostrand connection").
void require_inherited(int descriptor)
{
    if (descriptor < 0 || ::fcntl(descriptor, F_GETFD) < 0)
        throw boost::system::system_error(boost::system::error_code(EBADF, boost::system::system_category()),
                                          TS_TEXT_CONTEXT_OSTRAND);
}

// The inventory's signal sets are destroyed at exit, after main has
// returned, and with them goes the handling of SIGHUP, SIGTERM and SIGINT:
// one arriving then would end the daemon by its default action instead of
// with its status. From the end of the event loop on they stay pending
// (the other threads block them already) and die with the process.
void hold_signals()
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGHUP);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGINT);
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

// The fanotify interceptor holds a descriptor for every event of a read
// until it has handled it, and the kernel drops an event it has no
// descriptor for: the whole allowance is taken from the start.
void raise_descriptor_limit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // A closed standard error or a peer gone away must end the daemon through
    // its exit line and status, never through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // Started with 0, 1 or 2 closed, the daemon's own descriptors would take
    // those numbers and log lines would land in its sockets.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    raise_descriptor_limit();

    int status = nx::EC_OK;
    try {
        int descriptor = parse_command_line(argc, argv);
        require_inherited(descriptor);
        ts_inventory_t& inventory = ts_inventory_t::instance();
        // Both signal sets are armed: what came since the start is theirs.
        release_early_signals();
        inventory.ostrand()->start(descriptor);
        inventory.ostrand()->send_context_request();
        inventory.io_service_.run();
    } catch (nx::ErrorCode code) {
        status = code;
    } catch (const std::exception& e) {
        NT_LOG(LOG_ERROR_LEVEL, short_what(e));
        status = exception_to_proto_code(e);
    } catch (...) {
        NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_UNKNOWN_EXCEPTION);
        status = nx::EC_UNEXPECTED_ERROR;
    }
    hold_signals();

    NT_LOG(LOG_NOTICE_LEVEL, TS_TEXT_EXIT_STATUS << status << TS_TEXT_EXIT_STATUS_NAME_OPEN
                                                 << enum_text<nx::ErrorCode>(status) << TS_TEXT_EXIT_STATUS_NAME_CLOSE);
    return status;
}
