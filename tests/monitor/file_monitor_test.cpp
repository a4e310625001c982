#include "monitor/file_monitor.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/inventory.hpp"
#include "error.pb.h"
#include "error/proto_error.hpp"
#include "kestrum_client_ipc.pb.h"
#include "links/kestrum.hpp"
#include "linux_tarsel_appinfo.pb.h"
#include "linux_tarsel_config.pb.h"
#include "log/log.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"
#include "monitor/proc_filter.hpp"
#include "peers/kestrum_peer.hpp"
#include "support/log_capture.hpp"
#include "support/private_mounts.hpp"
#include "support/temp_dir.hpp"

// Log lines compare and print by level and text.
bool operator==(const recording_log_t::line_t& a, const recording_log_t::line_t& b)
{
    return a.level == b.level && a.text == b.text;
}
void PrintTo(const recording_log_t::line_t& line, std::ostream* out)
{
    *out << "{" << line.level << ", \"" << line.text << "\"}";
}

namespace fs = boost::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

typedef std::chrono::steady_clock clock_type;
typedef std::deque<std::string> paths_t;

// Outcomes a fake factory can give for a mode, besides a kind to build.
const int BUILD_THROWS = -1;
const int BUILD_EMPTY = -2;
// short_what takes the qualification off, leaving "fake build failure".
const char* const BUILD_FAILURE = "boost::system::fake build failure";
const char* const BUILD_FAILURE_SHORT = "fake build failure";
// A kind that is neither fanotify nor the kernel module.
const int KIND_OTHER = 7;

// What happened, in order, across the fakes, their threads and the thread
// starter.
class journal_t
{
public:
    void add(const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> all() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> entries;
};

// The state of one fake interceptor, shared by the fake, its loop thread and
// the test.
struct fake_state_t
{
    int kind = TS_KIND_FANOTIFY;
    std::string name;
    // run returns only when released, whatever stop says.
    bool ignore_stop = false;
    bool add_result = true;
    bool remove_result = true;
    bool throw_on_change = false;

    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    bool stop_asked = false;
    bool released = false;
    bool finished = false;
    // SIGHUP, SIGTERM and SIGINT all blocked on the loop thread.
    bool signals_blocked = false;
    std::vector<std::string> added;
    std::vector<std::string> removed;

    template <class Predicate>
    bool wait(Predicate done, std::chrono::seconds limit = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, done);
    }
    bool get(bool fake_state_t::*flag)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return this->*flag;
    }
    std::vector<std::string> get(std::vector<std::string> fake_state_t::*list)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return this->*list;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};
typedef std::shared_ptr<fake_state_t> fake_state_ptr;

bool termination_signals_blocked()
{
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGHUP) == 1 && sigismember(&mask, SIGTERM) == 1 && sigismember(&mask, SIGINT) == 1;
}

class fake_interceptor_t : public ts_interceptor_if
{
public:
    fake_interceptor_t(const fake_state_ptr& state, const std::shared_ptr<journal_t>& journal)
        : state(state)
        , journal(journal)
    {}

    void run(boost::shared_ptr<ts_event_queue_t>) override
    {
        journal->add("run " + state->name);
        std::unique_lock<std::mutex> lock(state->mutex);
        state->running = true;
        state->signals_blocked = termination_signals_blocked();
        state->changed.notify_all();
        state->changed.wait(lock, [this] { return state->released || (state->stop_asked && !state->ignore_stop); });
        state->finished = true;
        state->changed.notify_all();
    }
    void stop() override
    {
        journal->add("stop " + state->name);
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stop_asked = true;
        state->changed.notify_all();
    }
    int kind() const override { return state->kind; }
    bool add_path(std::string dir) override { return change(&fake_state_t::added, state->add_result, dir); }
    bool remove_path(std::string dir) override { return change(&fake_state_t::removed, state->remove_result, dir); }

private:
    bool change(std::vector<std::string> fake_state_t::*record, bool result, const std::string& dir)
    {
        if (state->throw_on_change)
            throw std::runtime_error("control exchange failed");
        std::lock_guard<std::mutex> lock(state->mutex);
        (state.get()->*record).push_back(dir);
        return result;
    }

    fake_state_ptr state;
    std::shared_ptr<journal_t> journal;
};

// A mount table that never changes: that of a child process in a private
// mount namespace of its own, which lives as long as this object (or as the
// test process). Keeps the watchers of the monitors under test quiet
// whatever the machine mounts meanwhile.
class quiet_mount_table_t
{
public:
    quiet_mount_table_t()
    {
        int ready[2], hold[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return;
        if (pipe2(hold, O_CLOEXEC) != 0) {
            close(ready[0]);
            close(ready[1]);
            return;
        }
        child = fork();
        if (child == 0) {
            // Only system calls between fork and _exit.
            close(ready[0]);
            close(hold[1]);
            char ok = nt::enter_private_mounts() ? '1' : '0';
            if (write(ready[1], &ok, 1) != 1)
                _exit(1);
            char byte;
            while (read(hold[0], &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        hold_fd = hold[1];
        char ok = '0';
        if (child > 0)
            while (read(ready[0], &ok, 1) < 0 && errno == EINTR) {
            }
        close(ready[0]);
        usable = ok == '1';
    }
    ~quiet_mount_table_t()
    {
        if (hold_fd >= 0)
            close(hold_fd);
        if (child > 0)
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
    }
    quiet_mount_table_t(const quiet_mount_table_t&) = delete;
    quiet_mount_table_t& operator=(const quiet_mount_table_t&) = delete;

    bool ok() const { return usable; }
    std::string path() const { return "/proc/" + std::to_string(child) + "/mounts"; }

private:
    pid_t child = -1;
    int hold_fd = -1;
    bool usable = false;
};

// A Kestrum that opens the flow and never reads: what the link writes stays
// in the socket, so a large batch stays in flight until the peer hangs up.
class silent_kestrum_t
{
public:
    explicit silent_kestrum_t(ts_kestrum_t& link)
    {
        static int serial = 0;
        const std::string name =
            std::string(1, '\0') + "nt-file-monitor-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 1) != 0)
            return;
        link.set_socket_path(name);
        link.connect();
        fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ~silent_kestrum_t()
    {
        hang_up();
        if (listener >= 0)
            close(listener);
    }
    silent_kestrum_t(const silent_kestrum_t&) = delete;
    silent_kestrum_t& operator=(const silent_kestrum_t&) = delete;

    bool connected() const { return fd >= 0; }

    bool open_flow()
    {
        ks::ServerMessage message;
        message.set_tag(ks::ServerMessage::OPEN_FLOW_RESPONSE);
        const std::string body = message.SerializeAsString();
        const std::uint32_t size = static_cast<std::uint32_t>(body.size());
        std::string frame(reinterpret_cast<const char*>(&size), sizeof size);
        frame += body;
        return send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    }

    void hang_up()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

private:
    int listener = -1;
    int fd = -1;
};

ts_event_t event(const std::string& path, int pid = 1)
{
    return ts_event_t{boost::make_shared<std::string>(path), pid};
}

paths_t pop_all(ts_event_queue_t& queue)
{
    paths_t out;
    queue.pop(out, 0);
    return out;
}

std::string read_link(const std::string& path)
{
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

class file_monitor_test : public ::testing::Test
{
protected:
    typedef recording_log_t::line_t line_t;

    void SetUp() override
    {
        ASSERT_TRUE(quiet_table.ok()) << "no private mount namespace";
        inventory = &ts_inventory_t::instance();
        inventory->config()->Clear();
        // Left over from an earlier test in this process: the inventory's own
        // monitor also takes back the paths of a dropped Kestrum connection.
        pop_all(*inventory->file_monitor()->event_queue());
        run_pending();
        log_threshold = LOG_DEBUG_LEVEL;
        set_log_sink(sink);
        root = fs::canonical(temp.path());
        fs::create_directory(root / "empty-proc");
    }

    void TearDown() override
    {
        for (const fake_state_ptr& fake : fakes)
            fake->release();
        monitor.reset();
        for (const fake_state_ptr& fake : fakes)
            if (fake->get(&fake_state_t::running)) {
                EXPECT_TRUE(fake->wait([&] { return fake->finished; })) << fake->name << " never ended";
            }
        run_pending();
        drop_kestrum();
        inventory->config()->Clear();
    }

    // A monitor of the test's own, building fakes and scanning an empty
    // process directory unless the test says otherwise.
    void make_monitor(const std::string& mounts_path = std::string())
    {
        monitor.reset(new ts_file_monitor_t(inventory, mounts_path.empty() ? quiet_table.path() : mounts_path));
        monitor->set_interceptor_factory([this](boost::asio::io_service& io, int mode) { return build(io, mode); });
        monitor->set_proc_root((root / "empty-proc").string());
    }

    ts_interceptor_ptr build(boost::asio::io_service&, int mode)
    {
        modes.push_back(mode);
        if (on_build)
            on_build();
        const int result = mode >= 0 && mode <= 2 ? outcome[mode] : BUILD_EMPTY;
        if (result == BUILD_THROWS)
            throw std::runtime_error(BUILD_FAILURE);
        if (result == BUILD_EMPTY)
            return ts_interceptor_ptr();
        fake_state_ptr state = std::make_shared<fake_state_t>();
        state->kind = result;
        state->name = "#" + std::to_string(fakes.size() + 1);
        state->ignore_stop = next_ignores_stop;
        fakes.push_back(state);
        return boost::make_shared<fake_interceptor_t>(state, journal);
    }

    fake_state_ptr fake(std::size_t index) { return index < fakes.size() ? fakes[index] : fake_state_ptr(); }

    void include(const std::vector<std::string>& paths)
    {
        for (const std::string& path : paths)
            inventory->config()->mutable_included_path()->add_path(path);
    }

    // Runs what is posted to the event loop now.
    void run_pending()
    {
        inventory->io_service_.restart();
        inventory->io_service_.poll();
    }

    // Runs the event loop until done() holds; false after the limit.
    bool run_until(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        const clock_type::time_point deadline = clock_type::now() + limit;
        for (;;) {
            run_pending();
            if (done())
                return true;
            if (clock_type::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Emits a mount change the way the watcher's thread does.
    void emit_mount(int kind, const std::string& dir)
    {
        const ts_mounts_watcher_ptr watcher = monitor->mounts_watcher();
        const ts_mnt_event_t change{kind, ts_mntent_t{dir, "tmpfs"}};
        std::thread thread([watcher, change] { watcher->mount_signal(change); });
        thread.join();
    }

    // Configures and returns the nx::ErrorCode thrown, or -1 when none was.
    int configure(int mode)
    {
        try {
            monitor->configure(mode);
        } catch (nx::ErrorCode code) {
            return code;
        }
        return -1;
    }

    void drop_kestrum()
    {
        ts_kestrum_t* link = inventory->kestrum();
        if (silent)
            silent->hang_up();
        if (kestrum)
            kestrum->close_connection();
        if (link->is_open()) {
            EXPECT_TRUE(run_until([link] { return !link->is_open(); })) << "the Kestrum link stayed open";
        }
        silent.reset();
        kestrum.reset();
        pop_all(*inventory->file_monitor()->event_queue());
    }

    std::vector<line_t> lines() const { return sink->lines(); }
    std::vector<line_t> lines_from(std::size_t first) const
    {
        std::vector<line_t> all = sink->lines();
        return std::vector<line_t>(all.begin() + std::min(first, all.size()), all.end());
    }
    std::size_t count(int level, const std::string& text) const
    {
        std::size_t n = 0;
        for (const line_t& line : sink->lines())
            n += line.level == level && line.text == text;
        return n;
    }
    std::size_t count_level(int level) const
    {
        std::size_t n = 0;
        for (const line_t& line : sink->lines())
            n += line.level == level;
        return n;
    }

    // A process directory: numeric entries whose exe links resolve, a kernel
    // thread, processes whose exe cannot be resolved, and names that are not
    // pids.
    fs::path make_proc_tree()
    {
        const fs::path bin = root / "bin";
        const fs::path proc = root / "proc";
        fs::create_directories(bin);
        fs::create_directories(root / "other");
        for (const char* name : {"alpha", "beta", "gamma"})
            std::ofstream((bin / name).string()) << name;
        std::ofstream((root / "other" / "delta").string()) << "delta";
        fs::create_symlink(bin / "alpha", bin / "alias");
        const std::pair<const char*, fs::path> links[] = {
            {"100", bin / "alpha"},         {"200", bin / "beta"},
            {"300", bin / "alias"},         {"800", root / "other" / "delta"},
            {"self", bin / "gamma"},        {"4x", bin / "gamma"},
            {"99999999999", bin / "gamma"}, {"500", bin / "gone"},
            {"600", bin / "gone"},          {"700", bin / "gone"},
        };
        for (const auto& link : links) {
            fs::create_directories(proc / link.first);
            fs::create_symlink(link.second, proc / link.first / "exe");
        }
        std::ofstream((proc / "500" / "cmdline").string());
        std::ofstream((proc / "700" / "cmdline").string()) << std::string("sh\0-c\0", 6);
        return proc;
    }

    log_state_restorer_t restore_log;
    recording_log_ptr sink = boost::make_shared<recording_log_t>();
    nt::temp_dir_t temp{"file-monitor"};
    fs::path root;
    quiet_mount_table_t quiet_table;
    ts_inventory_t* inventory = nullptr;

    // The factory: per mode a kind to build, BUILD_THROWS or BUILD_EMPTY.
    int outcome[3] = {TS_KIND_FANOTIFY, TS_KIND_FANOTIFY, TS_KIND_LKM};
    bool next_ignores_stop = false;
    std::function<void()> on_build;
    std::vector<int> modes;
    std::vector<fake_state_ptr> fakes;
    std::shared_ptr<journal_t> journal = std::make_shared<journal_t>();

    std::unique_ptr<silent_kestrum_t> silent;
    std::unique_ptr<nt::kestrum_peer_t> kestrum;
    std::unique_ptr<ts_file_monitor_t> monitor;
};

TEST_F(file_monitor_test, mode_reports_the_kind_of_the_running_interceptor)
{
    const struct
    {
        int kind;
        int state;
    } cases[] = {
        {TS_KIND_FANOTIFY, nx::LTS_FANOTIFY},
        {TS_KIND_LKM, nx::LTS_LKM},
        {KIND_OTHER, nx::LTS_LOADING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        make_monitor();
        EXPECT_EQ(nx::LTS_LOADING, monitor->mode());
        outcome[nx::LTM_FANOTIFY] = c.kind;
        ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
        EXPECT_EQ(c.state, monitor->mode());
        monitor.reset();
    }
}

TEST_F(file_monitor_test, the_interceptor_is_kept_retried_or_switched_by_its_kind_and_the_mode)
{
    enum action_t { KEEP, SWITCH };
    const struct
    {
        int kind;
        int mode;
        action_t action;
        std::vector<int> built; // modes the factory is asked for
        int state;              // mode() afterwards
    } cases[] = {
        {TS_KIND_FANOTIFY, nx::LTM_AUTO, KEEP, {}, nx::LTS_FANOTIFY},
        {TS_KIND_FANOTIFY, nx::LTM_FANOTIFY, KEEP, {}, nx::LTS_FANOTIFY},
        {TS_KIND_FANOTIFY, nx::LTM_LKM, SWITCH, {nx::LTM_LKM}, nx::LTS_LKM},
        // The retry asks for fanotify itself, not for the automatic choice.
        {TS_KIND_LKM, nx::LTM_AUTO, SWITCH, {nx::LTM_FANOTIFY}, nx::LTS_FANOTIFY},
        {TS_KIND_LKM, nx::LTM_FANOTIFY, SWITCH, {nx::LTM_FANOTIFY}, nx::LTS_FANOTIFY},
        {TS_KIND_LKM, nx::LTM_LKM, KEEP, {}, nx::LTS_LKM},
        {KIND_OTHER, nx::LTM_AUTO, SWITCH, {nx::LTM_AUTO}, nx::LTS_FANOTIFY},
        {KIND_OTHER, nx::LTM_FANOTIFY, SWITCH, {nx::LTM_FANOTIFY}, nx::LTS_FANOTIFY},
        {KIND_OTHER, nx::LTM_LKM, SWITCH, {nx::LTM_LKM}, nx::LTS_LKM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", mode " + std::to_string(c.mode));
        fakes.clear();
        make_monitor();
        outcome[nx::LTM_FANOTIFY] = c.kind;
        ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
        ASSERT_TRUE(fake(0)->wait([&] { return fake(0)->running; }));
        outcome[nx::LTM_AUTO] = TS_KIND_FANOTIFY;
        outcome[nx::LTM_FANOTIFY] = TS_KIND_FANOTIFY;
        outcome[nx::LTM_LKM] = TS_KIND_LKM;
        modes.clear();
        const std::size_t first_line = lines().size();

        EXPECT_EQ(-1, configure(c.mode));
        EXPECT_EQ(c.built, modes);
        EXPECT_EQ(c.state, monitor->mode());
        EXPECT_EQ(c.action == SWITCH, fake(0)->get(&fake_state_t::stop_asked));
        if (c.action == SWITCH) {
            // The old loop stopped promptly, so the switch waited for it.
            EXPECT_TRUE(fake(0)->get(&fake_state_t::finished));
            ASSERT_TRUE(fake(1));
            EXPECT_TRUE(fake(1)->wait([&] { return fake(1)->running; }));
            EXPECT_FALSE(fake(1)->get(&fake_state_t::stop_asked));
        }
        for (const line_t& line : lines_from(first_line))
            EXPECT_LT(line.level, LOG_INFO_LEVEL) << line.text;
        monitor.reset();
        for (const fake_state_ptr& f : fakes)
            EXPECT_TRUE(f->get(&fake_state_t::finished)) << f->name;
    }
}

TEST_F(file_monitor_test, a_failed_retry_of_fanotify_keeps_the_kernel_module_on_every_configuration)
{
    const struct
    {
        int outcome;
        const char* debug;
    } cases[] = {
        {BUILD_THROWS, BUILD_FAILURE_SHORT},
        {BUILD_EMPTY, TS_TEXT_NO_INTERCEPTOR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.debug);
        fakes.clear();
        make_monitor();
        outcome[nx::LTM_LKM] = TS_KIND_LKM;
        ASSERT_EQ(-1, configure(nx::LTM_LKM));
        outcome[nx::LTM_FANOTIFY] = c.outcome;
        modes.clear();

        for (int round = 0; round < 2; ++round) {
            const std::size_t first_line = lines().size();
            EXPECT_EQ(-1, configure(nx::LTM_AUTO));
            EXPECT_EQ(std::vector<int>(round + 1, nx::LTM_FANOTIFY), modes);
            EXPECT_EQ(nx::LTS_LKM, monitor->mode());
            const std::vector<line_t> logged = lines_from(first_line);
            ASSERT_EQ(2u, logged.size());
            EXPECT_EQ(LOG_DEBUG_LEVEL, logged[0].level);
            EXPECT_EQ(c.debug, logged[0].text);
            EXPECT_EQ(LOG_INFO_LEVEL, logged[1].level);
            EXPECT_EQ("Cannot use fanotify. Remain use LKM", logged[1].text);
        }
        ASSERT_EQ(1u, fakes.size());
        EXPECT_FALSE(fake(0)->get(&fake_state_t::stop_asked));
        emit_mount(TS_MNT_MOUNTED, "/srv/still-the-module");
        run_pending();
        EXPECT_THAT(fake(0)->get(&fake_state_t::added), ElementsAre("/srv/still-the-module"));
        monitor.reset();
    }
}

TEST_F(file_monitor_test, no_interceptor_for_the_mode_ends_with_102_after_the_error_line_of_the_mode)
{
    enum failure_t { THROWS, EMPTY, NO_PROC };
    const char* const error_lines[] = {"Couldn't init any filesystem interceptors",
                                       "Couldn't init Fanotify interceptor", "Couldn't init LKM interceptor"};
    const fs::path missing = root / "no-proc";
    std::string no_proc_text;
    try {
        produce_exe_list(missing.string());
    } catch (const std::exception& e) {
        no_proc_text = short_what(e);
    }
    ASSERT_FALSE(no_proc_text.empty());
    ASSERT_EQ(std::string::npos, no_proc_text.find("boost::")) << "the qualification is taken off";

    for (int mode : {nx::LTM_AUTO, nx::LTM_FANOTIFY, nx::LTM_LKM}) {
        for (failure_t failure : {THROWS, EMPTY, NO_PROC}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", failure " + std::to_string(failure));
            fakes.clear();
            make_monitor();
            outcome[mode] = failure == THROWS ? BUILD_THROWS : failure == EMPTY ? BUILD_EMPTY : TS_KIND_LKM;
            if (failure == NO_PROC)
                monitor->set_proc_root(missing.string());
            const std::size_t first_line = lines().size();

            EXPECT_EQ(nx::EC_BAD_CONFIG, configure(mode));
            const std::vector<line_t> logged = lines_from(first_line);
            ASSERT_GE(logged.size(), 2u);
            const line_t& debug = logged[logged.size() - 2];
            const line_t& error = logged.back();
            EXPECT_EQ(LOG_DEBUG_LEVEL, debug.level);
            EXPECT_EQ(failure == THROWS  ? BUILD_FAILURE_SHORT
                      : failure == EMPTY ? TS_TEXT_NO_INTERCEPTOR
                                         : no_proc_text,
                      debug.text);
            EXPECT_EQ(LOG_ERROR_LEVEL, error.level);
            EXPECT_EQ(error_lines[mode], error.text);
            if (failure != NO_PROC) {
                EXPECT_EQ(nx::LTS_LOADING, monitor->mode());
            }
            monitor.reset();
            outcome[nx::LTM_AUTO] = outcome[nx::LTM_FANOTIFY] = TS_KIND_FANOTIFY;
            outcome[nx::LTM_LKM] = TS_KIND_LKM;
        }
    }
}

TEST_F(file_monitor_test, a_switch_that_cannot_build_keeps_the_running_interceptor)
{
    make_monitor();
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    outcome[nx::LTM_LKM] = BUILD_THROWS;

    EXPECT_EQ(nx::EC_BAD_CONFIG, configure(nx::LTM_LKM));
    EXPECT_EQ(1u, count(LOG_ERROR_LEVEL, "Couldn't init LKM interceptor"));
    EXPECT_EQ(nx::LTS_FANOTIFY, monitor->mode());
    EXPECT_FALSE(fake(0)->get(&fake_state_t::stop_asked));
    emit_mount(TS_MNT_MOUNTED, "/srv/after-the-failure");
    run_pending();
    EXPECT_THAT(fake(0)->get(&fake_state_t::added), ElementsAre("/srv/after-the-failure"));
}

TEST_F(file_monitor_test, a_loop_thread_that_cannot_start_gives_201_then_102)
{
    const std::string start_failed = std::string("Cannot start monitoring, error occured: ") + "no threads left";
    const std::string error_201 = boost::system::system_error(make_monitor_error_code(201), "File monitor").what();
    int starts = 0;
    int fail_at = 1;
    make_monitor();
    monitor->set_thread_starter([&](const boost::function<void()>& body) {
        if (++starts == fail_at)
            throw std::runtime_error("no threads left");
        return ts_file_monitor_t::start_thread(body);
    });

    // At the first start: nothing runs afterwards, mount changes are dropped.
    EXPECT_EQ(nx::EC_BAD_CONFIG, configure(nx::LTM_FANOTIFY));
    EXPECT_THAT(lines(), ElementsAre(line_t{LOG_DEBUG_LEVEL, start_failed}, line_t{LOG_DEBUG_LEVEL, error_201},
                                     line_t{LOG_ERROR_LEVEL, "Couldn't init Fanotify interceptor"}));
    EXPECT_EQ(nx::LTS_LOADING, monitor->mode());
    emit_mount(TS_MNT_MOUNTED, "/srv/dropped");
    run_pending();
    EXPECT_THAT(fake(0)->get(&fake_state_t::added), IsEmpty());

    // At a switch: the interceptor that runs stays the current one.
    fail_at = 3;
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ASSERT_TRUE(fake(1)->wait([&] { return fake(1)->running; }));
    const std::size_t first_line = lines().size();
    EXPECT_EQ(nx::EC_BAD_CONFIG, configure(nx::LTM_LKM));
    EXPECT_THAT(lines_from(first_line),
                ElementsAre(line_t{LOG_DEBUG_LEVEL, start_failed}, line_t{LOG_DEBUG_LEVEL, error_201},
                            line_t{LOG_ERROR_LEVEL, "Couldn't init LKM interceptor"}));
    EXPECT_EQ(nx::LTS_FANOTIFY, monitor->mode());
    EXPECT_FALSE(fake(1)->get(&fake_state_t::stop_asked));
    EXPECT_FALSE(fake(2)->get(&fake_state_t::running));
    emit_mount(TS_MNT_MOUNTED, "/srv/kept");
    run_pending();
    EXPECT_THAT(fake(1)->get(&fake_state_t::added), ElementsAre("/srv/kept"));
    EXPECT_THAT(fake(2)->get(&fake_state_t::added), IsEmpty());
}

TEST_F(file_monitor_test, a_relative_configured_path_throws_before_filters_or_interceptor_change)
{
    make_monitor();
    include({"/data"});
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    modes.clear();
    const std::size_t first_line = lines().size();

    include({"relative/dir"});
    inventory->config()->mutable_excluded_proc()->add_path(read_link("/proc/self/exe"));
    try {
        monitor->configure(nx::LTM_LKM);
        ADD_FAILURE() << "no exception";
    } catch (const boost::filesystem::filesystem_error& e) {
        EXPECT_EQ(nx::EC_NOT_ABSOLUTE_PATH, e.code().value());
        EXPECT_STREQ("nx.Error", e.code().category().name());
    }
    EXPECT_THAT(modes, IsEmpty());
    EXPECT_EQ(nx::LTS_FANOTIFY, monitor->mode());
    EXPECT_FALSE(fake(0)->get(&fake_state_t::stop_asked));
    EXPECT_THAT(lines_from(first_line), IsEmpty());
    // The old path filter and the old process filter (excluding nothing) still decide.
    ts_event_queue_t& queue = *monitor->event_queue();
    queue.push(event("/data/kept", getpid()));
    queue.push(event("/elsewhere", 1));
    EXPECT_THAT(pop_all(queue), ElementsAre("/data/kept"));
}

TEST_F(file_monitor_test, every_configuration_replaces_both_filters)
{
    make_monitor();
    include({"/data"});
    inventory->config()->mutable_excluded_path()->add_path("/data/skip");
    inventory->config()->mutable_excluded_proc()->add_path(read_link("/proc/self/exe"));
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ts_event_queue_t& queue = *monitor->event_queue();
    queue.push(event("/data/mine", getpid()));
    queue.push(event("/data/a", 1));
    queue.push(event("/data/skip/b", 1));
    queue.push(event("/other/c", 1));
    EXPECT_THAT(pop_all(queue), ElementsAre("/data/a"));

    inventory->config()->Clear();
    include({"/other"});
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    queue.push(event("/data/a", 1));
    queue.push(event("/other/mine", getpid()));
    EXPECT_THAT(pop_all(queue), ElementsAre("/other/mine"));
}

TEST_F(file_monitor_test, a_switch_starts_the_new_loop_before_it_stops_the_old_one)
{
    make_monitor();
    monitor->set_thread_starter([this](const boost::function<void()>& body) {
        journal->add("start");
        return ts_file_monitor_t::start_thread(body);
    });
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ASSERT_TRUE(fake(0)->wait([&] { return fake(0)->running; }));
    ASSERT_EQ(-1, configure(nx::LTM_LKM));
    ASSERT_TRUE(fake(1)->wait([&] { return fake(1)->running; }));

    std::vector<std::string> order = journal->all();
    // Where the new loop's first step falls is up to the scheduler.
    order.erase(std::remove(order.begin(), order.end(), "run #2"), order.end());
    EXPECT_THAT(order, ElementsAre("start", "run #1", "start", "stop #1"));
    EXPECT_EQ(2u, count(LOG_DEBUG_LEVEL, "file monitor's event loop has been started"));
    emit_mount(TS_MNT_UNMOUNTED, "/srv/new");
    run_pending();
    EXPECT_THAT(fake(0)->get(&fake_state_t::removed), IsEmpty());
    EXPECT_THAT(fake(1)->get(&fake_state_t::removed), ElementsAre("/srv/new"));
}

// Generous bounds: this checks that the wait for the old loop is bounded, not
// how fast anything is.
TEST_F(file_monitor_test, a_switch_waits_for_the_old_loop_at_most_about_three_seconds)
{
    make_monitor();
    next_ignores_stop = true;
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ASSERT_TRUE(fake(0)->wait([&] { return fake(0)->running; }));
    next_ignores_stop = false;

    clock_type::time_point began = clock_type::now();
    ASSERT_EQ(-1, configure(nx::LTM_LKM));
    const double stuck = std::chrono::duration<double>(clock_type::now() - began).count();
    EXPECT_GE(stuck, 2.9);
    EXPECT_LT(stuck, 10.0);
    EXPECT_EQ(nx::LTS_LKM, monitor->mode());
    EXPECT_TRUE(fake(0)->get(&fake_state_t::stop_asked));
    EXPECT_FALSE(fake(0)->get(&fake_state_t::finished)) << "the old loop goes on, detached";
    fake(0)->release();
    EXPECT_TRUE(fake(0)->wait([&] { return fake(0)->finished; }));

    began = clock_type::now();
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    const double prompt = std::chrono::duration<double>(clock_type::now() - began).count();
    EXPECT_LT(prompt, 2.0);
    EXPECT_TRUE(fake(1)->get(&fake_state_t::finished));
    EXPECT_EQ(nx::LTS_FANOTIFY, monitor->mode());
}

TEST_F(file_monitor_test, loop_threads_run_with_the_termination_signals_blocked)
{
    const bool main_blocked = termination_signals_blocked();
    make_monitor();
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ASSERT_EQ(-1, configure(nx::LTM_LKM));
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(fake(i)->wait([&] { return fake(i)->running; }));
        EXPECT_TRUE(fake(i)->get(&fake_state_t::signals_blocked)) << fake(i)->name;
    }
    EXPECT_EQ(main_blocked, termination_signals_blocked()) << "the main thread's mask is put back";
}

TEST_F(file_monitor_test, the_process_scan_resolves_executables_and_skips_what_it_cannot)
{
    const fs::path proc = make_proc_tree();
    const std::string bin = (root / "bin").string();
    std::vector<std::pair<int, std::string>> found;
    for (const ts_event_t& e : produce_exe_list(proc.string()))
        found.emplace_back(e.pid, *e.path);
    std::sort(found.begin(), found.end());
    EXPECT_THAT(found, ElementsAre(std::make_pair(100, bin + "/alpha"), std::make_pair(200, bin + "/beta"),
                                   std::make_pair(300, bin + "/alpha"),
                                   std::make_pair(800, (root / "other" / "delta").string())));

    const std::string enoent = boost::system::error_code(ENOENT, boost::system::system_category()).message();
    EXPECT_THAT(lines(), UnorderedElementsAre(
                             line_t{LOG_DEBUG_LEVEL, "produce_exe_list: pid=100 exe=\"" + bin + "/alpha\""},
                             line_t{LOG_DEBUG_LEVEL, "produce_exe_list: pid=200 exe=\"" + bin + "/beta\""},
                             line_t{LOG_DEBUG_LEVEL, "produce_exe_list: pid=300 exe=\"" + bin + "/alpha\""},
                             line_t{LOG_DEBUG_LEVEL,
                                    "produce_exe_list: pid=800 exe=\"" + (root / "other" / "delta").string() + "\""},
                             line_t{LOG_DEBUG_LEVEL, "produce_exe_list: pid=500 is a kernel thread"},
                             line_t{LOG_WARNING_LEVEL, enoent + ": \"" + (proc / "600" / "exe").string() + "\""},
                             line_t{LOG_WARNING_LEVEL, enoent + ": \"" + (proc / "700" / "exe").string() + "\""}));
}

TEST_F(file_monitor_test, a_warning_line_writes_the_exe_path_as_a_stream_writes_a_path)
{
    // A stream quotes a path and puts & before every double quote or &.
    const fs::path proc = root / "we\"ird&proc";
    fs::create_directories(proc / "42");
    fs::create_symlink(root / "gone", proc / "42" / "exe");
    EXPECT_THAT(produce_exe_list(proc.string()), IsEmpty());
    const std::string enoent = boost::system::error_code(ENOENT, boost::system::system_category()).message();
    EXPECT_THAT(lines(),
                ElementsAre(line_t{LOG_WARNING_LEVEL, enoent + ": \"" + root.string() + "/we&\"ird&&proc/42/exe\""}));
}

TEST_F(file_monitor_test, the_first_start_queues_running_executables_before_any_posted_event)
{
    const fs::path proc = make_proc_tree();
    const std::string bin = (root / "bin").string();
    make_monitor();
    monitor->set_proc_root(proc.string());
    include({bin});
    ts_event_queue_ptr queue = monitor->event_queue();
    // An interceptor event that reaches the event loop before the scan runs.
    on_build = [&] { inventory->io_service_.post([queue, bin] { queue->push(event(bin + "/gamma", 42)); }); };

    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    EXPECT_EQ(2u, queue->size()) << "pushed during configure, not posted";
    EXPECT_EQ(1u, count(LOG_DEBUG_LEVEL, "PID: 100 Access on: " + bin + "/alpha"));
    EXPECT_EQ(1u, count(LOG_DEBUG_LEVEL, "PID: 200 Access on: " + bin + "/beta"));
    run_pending();
    const paths_t waiting = pop_all(*queue);
    ASSERT_EQ(3u, waiting.size());
    EXPECT_THAT(paths_t(waiting.begin(), waiting.begin() + 2), UnorderedElementsAre(bin + "/alpha", bin + "/beta"));
    EXPECT_EQ(bin + "/gamma", waiting.back());

    // A later configuration, also one that switches, scans no more.
    on_build = nullptr;
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ASSERT_EQ(-1, configure(nx::LTM_LKM));
    EXPECT_TRUE(queue->empty());
}

TEST_F(file_monitor_test, mount_changes_before_the_first_configuration_are_dropped)
{
    make_monitor();
    emit_mount(TS_MNT_MOUNTED, "/srv/early");
    emit_mount(TS_MNT_UNMOUNTED, "/srv/early");
    run_pending();
    EXPECT_EQ(nx::LTS_LOADING, monitor->mode());
    EXPECT_THAT(lines(), IsEmpty());

    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    run_pending();
    EXPECT_THAT(fake(0)->get(&fake_state_t::added), IsEmpty());
    EXPECT_THAT(fake(0)->get(&fake_state_t::removed), IsEmpty());
}

TEST_F(file_monitor_test, mount_changes_reach_the_interceptor_on_the_event_loop)
{
    const std::string dir = "/srv/nt \"mount\"";
    const std::string shown = "\"" + dir + "\"";
    const struct
    {
        int kind;
        bool result;
        bool added;
        bool removed;
        int level;
        std::string text; // empty: no line
    } cases[] = {
        {TS_MNT_MOUNTED, true, true, false, LOG_DEBUG_LEVEL,
         "Mountpoint " + shown + " has been added for monitoring successfully"},
        {TS_MNT_MOUNTED, false, true, false, LOG_DEBUG_LEVEL, "Couldn't add " + shown + " mountpoint for monitoring"},
        {TS_MNT_UNMOUNTED, true, false, true, LOG_DEBUG_LEVEL,
         "Mountpoint " + shown + " has been deleted from monitoring paths successfully"},
        {TS_MNT_UNMOUNTED, false, false, true, LOG_WARNING_LEVEL,
         "Couldn't delete " + shown + " mountpoint from monitoring paths"},
        {2, true, false, false, LOG_DEBUG_LEVEL, ""},
    };
    make_monitor();
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    fake_state_ptr state = fake(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind * 2 + c.result);
        state->add_result = state->remove_result = c.result;
        const std::size_t first_line = lines().size();
        const std::size_t added = state->get(&fake_state_t::added).size();
        const std::size_t removed = state->get(&fake_state_t::removed).size();
        emit_mount(c.kind, dir);
        EXPECT_EQ(added, state->get(&fake_state_t::added).size()) << "handled on the event loop, not the watcher";
        run_pending();
        EXPECT_EQ(added + c.added, state->get(&fake_state_t::added).size());
        EXPECT_EQ(removed + c.removed, state->get(&fake_state_t::removed).size());
        if (c.added) {
            EXPECT_EQ(dir, state->get(&fake_state_t::added).back());
        }
        if (c.removed) {
            EXPECT_EQ(dir, state->get(&fake_state_t::removed).back());
        }
        if (c.text.empty()) {
            EXPECT_THAT(lines_from(first_line), IsEmpty());
        } else {
            EXPECT_THAT(lines_from(first_line), ElementsAre(line_t{c.level, c.text}));
        }
    }

    // A failing mechanism is not caught: it leaves the event loop.
    state->throw_on_change = true;
    emit_mount(TS_MNT_MOUNTED, dir);
    EXPECT_THROW(run_pending(), std::runtime_error);
}

TEST_F(file_monitor_test, a_mounts_watcher_failure_leaves_the_event_loop_as_error_200)
{
    const std::string missing = (root / "no-mounts").string();
    make_monitor(missing);
    boost::system::error_code code;
    std::string what;
    int exit_status = -1;
    bool raised = false;
    try {
        run_until([] { return false; });
    } catch (const boost::system::system_error& e) {
        raised = true;
        code = e.code();
        what = e.what();
        exit_status = exception_to_proto_code(e);
    }
    ASSERT_TRUE(raised);
    EXPECT_EQ(make_monitor_error_code(TS_ERR_MOUNTS_WATCHER), code);
    EXPECT_EQ("File monitor: mounts watcher error", what);
    EXPECT_EQ(125, exit_status);
    // The watcher's own text only at Debug level.
    EXPECT_THAT(lines(), ElementsAre(line_t{LOG_DEBUG_LEVEL, std::strerror(ENOENT)}));
}

TEST_F(file_monitor_test, nothing_is_sent_while_the_kestrum_flow_is_closed)
{
    make_monitor();
    include({"/data"});
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ts_kestrum_t& link = *inventory->kestrum();
    ASSERT_FALSE(link.is_flow_open());
    ts_event_queue_t& queue = *monitor->event_queue();
    for (const char* path : {"/data/1", "/data/2", "/data/3"})
        queue.push(event(path));
    link.flow_ready();
    link.drained();
    monitor->send_pending();
    EXPECT_THAT(pop_all(queue), ElementsAre("/data/1", "/data/2", "/data/3"));
}

TEST_F(file_monitor_test, a_backlog_goes_out_in_batches_of_101_without_further_accesses)
{
    make_monitor();
    include({"/data"});
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ts_event_queue_t& queue = *monitor->event_queue();
    std::vector<std::string> sent;
    for (int i = 0; i < 250; ++i) {
        sent.push_back("/data/" + std::to_string(i));
        queue.push(event(sent.back()));
    }
    ts_kestrum_t& link = *inventory->kestrum();
    kestrum.reset(new nt::kestrum_peer_t());
    link.set_socket_path(kestrum->path());
    link.connect(); // sends OPEN_FLOW_REQUEST once connected

    ASSERT_TRUE(run_until([&] { return kestrum->received_paths() >= sent.size(); }));
    std::vector<std::size_t> sizes;
    std::vector<std::string> received;
    for (const nt::kestrum_frame_t& frame : kestrum->frames()) {
        if (frame.message.tag() != ks::ClientMessage::FLOW_DATA_NOTIFICATION)
            continue;
        sizes.push_back(frame.message.flow_path_size());
        received.insert(received.end(), frame.message.flow_path().begin(), frame.message.flow_path().end());
    }
    EXPECT_THAT(sizes, ElementsAre(101u, 101u, 48u));
    EXPECT_EQ(sent, received);
    EXPECT_TRUE(queue.empty());
}

TEST_F(file_monitor_test, batches_not_written_when_the_connection_drops_go_back_to_the_front_in_order)
{
    make_monitor();
    include({"/data"});
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ts_event_queue_t& queue = *monitor->event_queue();
    // Paths long enough that one batch cannot leave a socket whose peer does
    // not read.
    const std::string filler(32 * 1024, 'x');
    paths_t expected;
    for (int i = 0; i < 150; ++i) {
        expected.push_back("/data/" + std::to_string(i) + "-" + filler);
        queue.push(event(expected.back()));
    }
    ts_kestrum_t& link = *inventory->kestrum();
    silent.reset(new silent_kestrum_t(link));
    ASSERT_TRUE(silent->connected());
    ASSERT_TRUE(silent->open_flow());
    ASSERT_TRUE(run_until([&] { return link.is_flow_open(); }));
    EXPECT_EQ(49u, queue.size()) << "the first batch is in flight";

    // Nothing waits behind the write in flight: the next push sends a batch.
    expected.push_back("/data/150");
    queue.push(event(expected.back()));
    EXPECT_TRUE(queue.empty());
    EXPECT_FALSE(link.send_queue_empty());
    // A batch waits: this push sends nothing, its path stays queued.
    queue.push(event("/data/151"));
    EXPECT_EQ(1u, queue.size());
    expected.push_back("/data/151");

    silent->hang_up();
    ASSERT_TRUE(run_until([&] { return !link.is_open(); }));
    EXPECT_FALSE(link.is_flow_open());
    // Compared by their heads: the filler would fill the failure report.
    const auto heads = [](const paths_t& paths) {
        std::vector<std::string> result;
        for (const std::string& path : paths)
            result.push_back(path.substr(0, path.find('-')));
        return result;
    };
    const paths_t waiting = pop_all(queue);
    EXPECT_EQ(heads(expected), heads(waiting));
    EXPECT_TRUE(expected == waiting);
}

TEST_F(file_monitor_test, destruction_stops_the_loop_and_leaves_nothing_that_reaches_the_monitor)
{
    ts_kestrum_t& link = *inventory->kestrum();
    const std::size_t slots[] = {link.flow_ready.num_slots(), link.drained.num_slots(), link.unsent.num_slots()};
    make_monitor();
    include({"/data"});
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ASSERT_TRUE(fake(0)->wait([&] { return fake(0)->running; }));
    const ts_event_queue_ptr queue = monitor->event_queue();
    const ts_mounts_watcher_ptr watcher = monitor->mounts_watcher();
    EXPECT_EQ(slots[0] + 1, link.flow_ready.num_slots());
    emit_mount(TS_MNT_MOUNTED, "/srv/posted-before");

    monitor.reset();
    EXPECT_TRUE(fake(0)->get(&fake_state_t::stop_asked));
    EXPECT_TRUE(fake(0)->get(&fake_state_t::finished)) << "joined, not left running";
    EXPECT_EQ(0u, queue->pushed.num_slots());
    EXPECT_EQ(slots[0], link.flow_ready.num_slots());
    EXPECT_EQ(slots[1], link.drained.num_slots());
    EXPECT_EQ(slots[2], link.unsent.num_slots());
    const std::size_t first_line = lines().size();
    // Work posted before the end finds the monitor gone and does nothing.
    run_pending();
    EXPECT_THAT(fake(0)->get(&fake_state_t::added), IsEmpty());
    queue->push(event("/data/late"));
    link.flow_ready();
    link.drained();
    link.unsent(paths_t{"/data/unsent"});
    EXPECT_THAT(pop_all(*queue), ElementsAre("/data/late"));
    EXPECT_THAT(lines_from(first_line), ElementsAre(line_t{LOG_DEBUG_LEVEL, "PID: 1 Access on: /data/late"}));
}

// A loop that gives up on its own leaves the daemon blind: it must end with a
// status, while the loop of a replaced interceptor ends quietly.
TEST_F(file_monitor_test, a_loop_that_ends_by_itself_ends_the_daemon_a_replaced_one_does_not)
{
    make_monitor();
    ASSERT_EQ(-1, configure(nx::LTM_FANOTIFY));
    ASSERT_TRUE(fake(0)->wait([&] { return fake(0)->running; }));
    ASSERT_EQ(-1, configure(nx::LTM_LKM));
    ASSERT_TRUE(fake(0)->wait([&] { return fake(0)->finished; }));
    run_pending();
    EXPECT_EQ(0u, count(LOG_ERROR_LEVEL, TS_TEXT_LOOP_ENDED));

    fake(1)->release();
    ASSERT_TRUE(fake(1)->wait([&] { return fake(1)->finished; }));
    boost::system::error_code code;
    try {
        run_until([] { return false; });
    } catch (const boost::system::system_error& e) {
        code = e.code();
        EXPECT_EQ(std::string("File monitor: ") + nx::make_error_code(nx::EC_IO_ERROR).message(), e.what());
    }
    EXPECT_EQ(nx::make_error_code(nx::EC_IO_ERROR), code);
    EXPECT_EQ(1u, count(LOG_ERROR_LEVEL, TS_TEXT_LOOP_ENDED));
}
