// A peer Kestrum for demonstrations and benchmarks: serves flows on a
// Unix socket and shows the paths that arrive.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <algorithm>
#include <iostream>
#include <string>

#include "peers/bytes.hpp"
#include "peers/kestrum_peer.hpp"

namespace {

const char usage[] = "Usage: nt-kestrum-peer [options] PATH\n"
                     "\n"
                     "Listens on the Unix stream socket PATH (a leading '@' names an abstract\n"
                     "socket) as a peer Kestrum: answers each OPEN_FLOW_REQUEST with\n"
                     "OPEN_FLOW_RESPONSE and prints every received path on a line of its own,\n"
                     "bytes outside printable ASCII as \\xHH and the backslash doubled.\n"
                     "Runs until SIGINT or SIGTERM.\n"
                     "\n"
                     "Options:\n"
                     "  -h, --help          this text\n"
                     "  -n, --count         print only counts (distinct paths, paths received),\n"
                     "                      every interval when they changed and at exit\n"
                     "  -i, --interval SEC  the interval of --count (default 1)\n"
                     "  -t, --times         with --count: add when the first and the last path\n"
                     "                      arrived (CLOCK_MONOTONIC seconds, 0 before any)\n"
                     "      --hold-closed   never answer OPEN_FLOW_REQUEST, until SIGUSR1: then\n"
                     "                      answer the one waiting and every later one\n"
                     "      --cut-every SEC SEC seconds after SIGUSR2, and again SEC seconds after\n"
                     "                      each cut: stop reading for --pause seconds, then close\n"
                     "                      the connection without reading what waits in it, as a\n"
                     "                      Kestrum that goes away does\n"
                     "      --pause SEC     (default 0.3)\n"
                     "      --cuts N        stop cutting after N cuts (default 100); with --count\n"
                     "                      the counts line adds \"cuts: N\"\n";

int fail(const std::string& text)
{
    std::cerr << "nt-kestrum-peer: " << text << "\n";
    return 2;
}

// Arrival times of the first and the last path, in nanoseconds of the
// steady clock (CLOCK_MONOTONIC on Linux), written on the peer's thread.
std::atomic<long long> first_arrival(0);
std::atomic<long long> last_arrival(0);

void note_arrival()
{
    long long now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    long long none = 0;
    first_arrival.compare_exchange_strong(none, now);
    last_arrival.store(now);
}

unsigned long cuts_made = 0;

void print_counts(const nt::kestrum_peer_t& kestrum, bool times)
{
    std::printf("distinct paths: %zu, paths received: %zu, connections: %zu", kestrum.distinct_paths(),
                kestrum.received_paths(), kestrum.connections());
    if (cuts_made != 0)
        std::printf(", cuts: %lu", cuts_made);
    if (times)
        std::printf(", first path at: %.6f, last path at: %.6f", first_arrival.load() / 1e9, last_arrival.load() / 1e9);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    bool count_only = false;
    bool hold_closed = false;
    bool times = false;
    double interval = 1.0;
    double cut_every = 0;
    double pause = 0.3;
    unsigned long cuts_wanted = 100;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << usage;
            return 0;
        } else if (arg == "-n" || arg == "--count") {
            count_only = true;
        } else if (arg == "-t" || arg == "--times") {
            times = true;
        } else if (arg == "--hold-closed") {
            hold_closed = true;
        } else if ((arg == "--cut-every" || arg == "--pause") && i + 1 < argc) {
            char* end = nullptr;
            double value = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(value > 0))
                return fail("bad " + arg + ": " + argv[i]);
            (arg == "--pause" ? pause : cut_every) = value;
        } else if (arg == "--cuts" && i + 1 < argc) {
            char* end = nullptr;
            cuts_wanted = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0')
                return fail(std::string("bad --cuts: ") + argv[i]);
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
    if (times && !count_only)
        return fail("--times goes with --count (see --help)");
    if (path[0] == '@')
        path[0] = '\0';

    // Only this thread takes the signals: blocked before the peer's thread
    // starts, which inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGUSR1);
    sigaddset(&stop, SIGUSR2);
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
    } else if (times) {
        options.on_path = [](const std::string&) { note_arrival(); };
    }
    try {
        nt::kestrum_peer_t kestrum(options);
        std::cerr << "nt-kestrum-peer: listening on " << (path[0] == '\0' ? "@" + path.substr(1) : path) << std::endl;
        const auto span = [](double seconds) {
            return timespec{static_cast<time_t>(seconds),
                            static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
        };
        typedef std::chrono::steady_clock clock;
        const auto in = [](double seconds) {
            return clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
        };
        std::size_t shown = static_cast<std::size_t>(-1);
        bool cutting = false;
        clock::time_point next_report = in(interval);
        clock::time_point next_cut;
        for (;;) {
            clock::time_point wake = next_report;
            if (cutting && next_cut < wake)
                wake = next_cut;
            const double left = std::max(0.0, std::chrono::duration<double>(wake - clock::now()).count());
            timespec wait = span(left);
            int sig = sigtimedwait(&stop, nullptr, &wait);
            if (sig == SIGUSR2 && cut_every > 0 && !cutting && cuts_made < cuts_wanted) {
                cutting = true;
                next_cut = in(cut_every);
            }
            if (cutting && clock::now() >= next_cut) {
                kestrum.set_reading(false);
                timespec held = span(pause);
                while (nanosleep(&held, &held) != 0 && errno == EINTR) {
                }
                kestrum.cut_connection();
                kestrum.set_reading(true);
                cutting = ++cuts_made < cuts_wanted;
                next_cut = in(cut_every);
            }
            if (clock::now() < next_report && sig != SIGINT && sig != SIGTERM && sig != SIGUSR1)
                continue;
            next_report = in(interval);
            if (sig == SIGINT || sig == SIGTERM)
                break;
            if (sig == SIGUSR1 && hold_closed) {
                hold_closed = false;
                kestrum.set_open_reply(nt::open_reply_t::response());
                // The request withheld so far gets its answer now; later
                // ones get the standing answer.
                if (kestrum.count(ks::ClientMessage::OPEN_FLOW_REQUEST) > kestrum.open_replies_sent()) {
                    ks::ServerMessage open;
                    open.set_tag(ks::ServerMessage::OPEN_FLOW_RESPONSE);
                    kestrum.send(open);
                }
                std::cerr << "nt-kestrum-peer: flow released" << std::endl;
            }
            if (count_only && kestrum.received_paths() != shown) {
                shown = kestrum.received_paths();
                print_counts(kestrum, times);
            }
        }
        if (count_only)
            print_counts(kestrum, times);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 0;
}
