// Peers that stall or vanish: a Kestrum that stops reading and cuts its
// connection, one that reads nothing, one that never accepts, an Ostrand
// that reads nothing. Whatever they do, no accepted path is lost, memory
// stays bounded and SIGTERM still ends the daemon with 107.
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "peers/mute_kestrum.hpp"
#include "support/unix_socket.hpp"
#include "system/daemon_fixture.hpp"

using namespace nt_system_test;

namespace {

// Growth of the daemon's resident memory that a stall may cost: the
// waiting OPEN_FLOW_REQUEST, one batch, buffers. Each stall below would
// grow it past this bound within seconds if output piled up.
const std::size_t stall_growth_bound_kib = 32 * 1024;

// Generous: SIGTERM is handled at once; this only catches a daemon that
// does not get to it (a main thread blocked in a call).
const ms termination_bound(10000);

std::size_t status_kib(pid_t pid, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::stoul(line.substr(key.size() + 1));
    return 0;
}

// A child process that opens and closes the files in order at a steady
// rate, then exits.
class paced_opener_t
{
public:
    paced_opener_t(const std::vector<std::string>& paths, long per_second)
    {
        std::vector<const char*> names;
        for (const std::string& p : paths)
            names.push_back(p.c_str());
        const long step_ns = 1000000000L / per_second;
        child = ::fork();
        if (child == 0) {
            // Raw system calls only: the parent has other threads. None of the
            // parent's descriptors stays open here: a peer's socket held by
            // this child would not end when the peer closes it.
            if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
                for (int fd = 3; fd < 65536; ++fd)
                    ::syscall(SYS_close, fd);
            timespec start;
            ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &start);
            for (std::size_t i = 0; i < names.size(); ++i) {
                long fd = ::syscall(SYS_openat, AT_FDCWD, names[i], O_RDONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::syscall(SYS_close, fd);
                if (i % 20 == 19) {
                    const long long due = start.tv_nsec + static_cast<long long>(i + 1) * step_ns;
                    timespec until{start.tv_sec + static_cast<time_t>(due / 1000000000LL),
                                   static_cast<long>(due % 1000000000LL)};
                    ::syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
                }
            }
            ::syscall(SYS_exit_group, 0);
        }
    }
    ~paced_opener_t() { finished(); }
    paced_opener_t(const paced_opener_t&) = delete;
    paced_opener_t& operator=(const paced_opener_t&) = delete;

    bool started() const { return child > 0; }
    // Without waiting: true once it has exited (reaped here).
    bool finished()
    {
        if (child <= 0)
            return true;
        int status;
        if (::waitpid(child, &status, WNOHANG) == child)
            child = -1;
        return child <= 0;
    }

private:
    pid_t child = -1;
};

class stalled_peer_test : public daemon_test
{
protected:
    std::vector<std::string> numbered_files(std::size_t count, const std::string& tail = "")
    {
        std::vector<std::string> files;
        for (std::size_t i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "f%05zu", i);
            files.push_back(make_file(name + tail));
        }
        return files;
    }

    // Like daemon_test::start, with a small quarantine for the sanitizers'
    // allocator, whose freed memory would otherwise count as resident.
    void start_daemon(const nx::LinuxTarselConfig& config, const std::string& kestrum_path)
    {
        nt::ostrand_options_t options;
        options.daemon = daemon_path;
        const char* asan = std::getenv("ASAN_OPTIONS");
        options.env = {std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "quarantine_size_mb=4"};
        ostrand.reset(new nt::ostrand_peer_t(options));
        ostrand->answer_context(config, revision);
        ostrand->answer_kestrum(kestrum_path);
    }

    std::size_t rss_kib() { return status_kib(ostrand->pid(), "VmRSS"); }
    std::size_t peak_kib() { return status_kib(ostrand->pid(), "VmHWM"); }

    // SIGTERM; expects 107 within the bound and says how long it took.
    void expect_prompt_termination(const std::string& stall)
    {
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(ostrand->signal(SIGTERM));
        const std::optional<int> status = ostrand->wait_exit(termination_bound);
        const auto took = std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - sent);
        EXPECT_EQ(status, nx::EC_APP_TERMINATED) << stderr_text();
        EXPECT_LT(took, termination_bound);
        std::cout << "[ figures  ] " << stall << ": SIGTERM to exit in " << took.count() << " ms" << std::endl;
        RecordProperty("termination_ms", static_cast<int>(took.count()));
    }

    void report_memory(const std::string& stall, std::size_t before_kib)
    {
        const std::size_t peak = peak_kib();
        const std::size_t now = rss_kib();
        std::cout << "[ figures  ] " << stall << ": resident " << before_kib << " KiB before, " << now
                  << " KiB during the stall, peak " << peak << " KiB" << std::endl;
        EXPECT_LT(now, before_kib + stall_growth_bound_kib) << stall;
    }
};

} // namespace

// Kestrum stops reading for a moment, so that what the daemon wrote stays
// unread in the socket, then drops the connection with it; again and again
// while files are being opened. Every opened file must arrive.
TEST_F(stalled_peer_test, a_kestrum_that_pauses_and_cuts_again_and_again_loses_no_path)
{
    const std::vector<std::string> files = numbered_files(6000, "-" + std::string(120, 'p'));
    nt::kestrum_options_t options;
    options.record_frames = false;
    kestrum.reset(new nt::kestrum_peer_t(options));
    start_daemon(watching_root(nx::LOG_LEVEL_INFO), kestrum->path());
    ASSERT_TRUE(wait_ready());

    paced_opener_t opener(files, 2000);
    ASSERT_TRUE(opener.started());
    std::size_t cuts = 0;
    const auto pause = [&](ms length) { until([] { return false; }, length); };
    while (!opener.finished() && cuts < 8) {
        pause(ms(150));
        kestrum->set_reading(false);
        pause(ms(200));
        ASSERT_TRUE(kestrum->cut_connection());
        kestrum->set_reading(true);
        ++cuts;
        ASSERT_TRUE(until([&] { return kestrum->connections() > cuts; })) << stderr_text();
    }
    ASSERT_TRUE(until([&] { return opener.finished(); }));
    EXPECT_GE(cuts, 3u);

    const auto all_arrived = [&] {
        for (const std::string& f : files)
            if (!kestrum->has_path(f))
                return false;
        return true;
    };
    until(all_arrived);
    std::size_t missing = 0;
    std::string first_missing;
    for (const std::string& f : files) {
        if (!kestrum->has_path(f)) {
            if (missing++ == 0)
                first_missing = f;
        }
    }
    const std::size_t duplicates = kestrum->received_paths() - kestrum->distinct_paths();
    std::cout << "[ figures  ] " << cuts << " cuts over " << files.size() << " files: " << missing << " missing, "
              << duplicates << " paths received more than once" << std::endl;
    EXPECT_EQ(0u, missing) << "first missing: " << first_missing
                           << "; kernel queue overflows: " << stderr_count("Kernel queue overflow");
    EXPECT_EQ(cuts, stderr_count(TS_TEXT_KESTRUM_CLOSED_SUFFIX));
}

// Kestrum reads nothing but answers every re-opening: an alarm and an
// opening in turn, so the alarm count never ends the daemon. Each alarm
// asks for a new OPEN_FLOW_REQUEST (large: the configuration's paths), which
// must replace the one still waiting instead of piling up behind it.
TEST_F(stalled_peer_test, a_kestrum_that_never_reads_while_alarming_and_opening_keeps_memory_bounded)
{
    nt::mute_kestrum_t mute;
    ASSERT_TRUE(mute.ok());
    std::vector<std::string> included = {root};
    for (int i = 0; i < 10000; ++i)
        included.push_back(root + "/not-there/" + std::to_string(i));
    start_daemon(watching(included, {}, nx::LOG_LEVEL_INFO), mute.path());
    ASSERT_TRUE(until([&] { return mute.accepted(); })) << stderr_text();
    ASSERT_TRUE(mute.send(ks::ServerMessage::OPEN_FLOW_RESPONSE));
    ASSERT_TRUE(wait_ready());
    const std::size_t before = rss_kib();

    // 400 alarms: 400 requests of about 300 KB, were they all kept.
    const std::size_t alarms = 400;
    for (std::size_t i = 0; i < alarms; ++i) {
        ASSERT_TRUE(mute.send(ks::ServerMessage::FLOW_ALARM));
        ASSERT_TRUE(mute.send(ks::ServerMessage::OPEN_FLOW_RESPONSE));
    }
    ASSERT_TRUE(until([&] { return stderr_count(TS_TEXT_KESTRUM_ERROR_PREFIX) >= alarms; })) << stderr_text();
    report_memory("Kestrum never reads, 400 alarms", before);
    // Stalled, not lost: the connection stays.
    EXPECT_EQ(0u, stderr_count(TS_TEXT_KESTRUM_CLOSED_PREFIX));
    expect_prompt_termination("Kestrum never reads");
}

// Kestrum listens and never accepts (its backlog is full): the daemon goes
// on handling signals, Ostrand and file accesses while it tries, and gives
// the attempt up after its limit as a lost connection.
TEST_F(stalled_peer_test, a_kestrum_that_never_accepts_leaves_the_daemon_free_and_times_out)
{
    nt::mute_kestrum_t mute(0);
    ASSERT_TRUE(mute.ok());
    ASSERT_TRUE(mute.fill_backlog());
    const std::vector<std::string> files = numbered_files(2000);
    start_daemon(watching_root(nx::LOG_LEVEL_INFO), mute.path());
    ASSERT_TRUE(until([&] { return ostrand_count(to_ostrand_t::GET_KESTRUM_REQUEST) >= 1; }));
    const std::size_t before = rss_kib();

    // While the connect waits: SIGHUP asks for a context, accesses are taken.
    ASSERT_TRUE(ostrand->signal(SIGHUP));
    ASSERT_TRUE(until([&] { return ostrand_count(to_ostrand_t::GET_CONTEXT_REQUEST) >= 2; })) << stderr_text();
    paced_opener_t opener(files, 20000);
    ASSERT_TRUE(until([&] { return opener.finished(); }));
    EXPECT_EQ(0u, stderr_count(TS_TEXT_KESTRUM_ESTABLISHED));

    // Given up after the limit, and asked again through Ostrand.
    ASSERT_TRUE(wait_for_line(line("Error", std::string(TS_TEXT_KESTRUM_CLOSED_PREFIX) +
                                                TS_TEXT_KESTRUM_CONNECT_TIMED_OUT + TS_TEXT_KESTRUM_CLOSED_SUFFIX)));
    ASSERT_TRUE(until([&] { return ostrand_count(to_ostrand_t::GET_KESTRUM_REQUEST) >= 2; }));
    report_memory("Kestrum never accepts", before);
    expect_prompt_termination("Kestrum never accepts");
}

// Ostrand reads nothing while it pushes contexts: the daemon's answers wait
// in the socket, and the daemon goes on.
TEST_F(stalled_peer_test, an_ostrand_that_never_reads_leaves_the_daemon_responsive)
{
    kestrum.reset(new nt::kestrum_peer_t);
    start_daemon(watching_root(nx::LOG_LEVEL_NOTICE), kestrum->path());
    ASSERT_TRUE(wait_ready());
    const std::size_t before = rss_kib();

    // From here on nothing reads the Ostrand socket: each context brings two
    // notifications and a ready line, which shows it was handled.
    const std::size_t contexts = 3000;
    const nx::LinuxTarselConfig config = watching_root(nx::LOG_LEVEL_NOTICE);
    for (std::size_t i = 0; i < contexts; ++i)
        ASSERT_TRUE(ostrand->push_context(config, static_cast<std::uint32_t>(i)));
    ASSERT_TRUE(ostrand->process().wait_for_stderr(ready_line(), patience, contexts + 1)) << stderr_text();
    report_memory("Ostrand never reads", before);
    expect_prompt_termination("Ostrand never reads");
}
