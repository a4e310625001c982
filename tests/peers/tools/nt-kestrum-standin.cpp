// A stand-in Kestrum for demonstrations and benchmarks: serves flows on a
// Unix socket and shows the paths that arrive.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "peers/bytes.hpp"
#include "peers/kestrum_peer.hpp"

namespace {

const char usage[] =
    "Usage: nt-kestrum-standin [options] PATH\n"
    "\n"
    "Listens on the Unix stream socket PATH (a leading '@' names an abstract\n"
    "socket) as a stand-in Kestrum: answers each OPEN_FLOW_REQUEST with\n"
    "OPEN_FLOW_RESPONSE and prints every received path on a line of its own,\n"
    "bytes outside printable ASCII as \\xHH and the backslash doubled.\n"
    "Runs until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  -h, --help          this text\n"
    "  -n, --count         print only counts (distinct paths, paths received),\n"
    "                      every interval when they changed and at exit\n"
    "  -i, --interval SEC  the interval of --count (default 1)\n"
    "      --hold-closed   never answer OPEN_FLOW_REQUEST\n";

int fail(const std::string& text)
{
    std::cerr << "nt-kestrum-standin: " << text << "\n";
    return 2;
}

void print_counts(const nt::kestrum_peer_t& kestrum)
{
    std::printf("distinct paths: %zu, paths received: %zu, connections: %zu\n", kestrum.distinct_paths(),
        kestrum.received_paths(), kestrum.connections());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    bool count_only = false;
    bool hold_closed = false;
    double interval = 1.0;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << usage;
            return 0;
        } else if (arg == "-n" || arg == "--count") {
            count_only = true;
        } else if (arg == "--hold-closed") {
            hold_closed = true;
        } else if ((arg == "-i" || arg == "--interval") && i + 1 < argc) {
            char* end = nullptr;
            interval = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(interval > 0))
                return fail(std::string("bad interval: ") + argv[i]);
        } else if (path.empty() && !arg.empty() && arg[0] != '-') {
            path = arg;
        } else {
            return fail("bad argument: " + arg + " (see --help)");
        }
    }
    if (path.empty())
        return fail("no socket path (see --help)");
    if (path[0] == '@')
        path[0] = '\0';

    // Only this thread takes the signals: blocked before the peer's thread
    // starts, which inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    nt::kestrum_options_t options;
    options.path = path;
    options.record_frames = false;
    if (hold_closed)
        options.open_reply = nt::open_reply_t::no_answer();
    if (!count_only) {
        options.on_path = [](const std::string& p) {
            std::string line = nt::escape_bytes(p) + "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        };
    }
    try {
        nt::kestrum_peer_t kestrum(options);
        std::cerr << "nt-kestrum-standin: listening on " << (path[0] == '\0' ? "@" + path.substr(1) : path)
                  << std::endl;
        timespec wait = {static_cast<time_t>(interval), static_cast<long>((interval - static_cast<time_t>(interval)) * 1e9)};
        std::size_t shown = static_cast<std::size_t>(-1);
        for (;;) {
            int sig = sigtimedwait(&stop, nullptr, &wait);
            if (sig == SIGINT || sig == SIGTERM)
                break;
            if (count_only && kestrum.received_paths() != shown) {
                shown = kestrum.received_paths();
                print_counts(kestrum);
            }
        }
        if (count_only)
            print_counts(kestrum);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 0;
}
