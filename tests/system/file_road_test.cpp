// The road of a file access through the whole daemon: which accesses reach
// Kestrum, with what bytes, from which sources, under which configuration.
#include <algorithm>

#include "monitor/monitor_texts.hpp"
#include "system/daemon_fixture.hpp"

using namespace nt_system_test;

namespace {

class file_road_test : public daemon_test
{
protected:
    // A child process that keeps running; started before the daemon when
    // the start-up scan is to find it.
    std::unique_ptr<nt::child_process_t> run(const std::vector<std::string>& argv)
    {
        nt::child_options_t options;
        options.argv = argv;
        options.stdout_path = "/dev/null";
        options.stderr_path = "/dev/null";
        return std::unique_ptr<nt::child_process_t>(new nt::child_process_t(options));
    }
};

std::string exe_of(pid_t pid)
{
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// True once the process holds a descriptor on the file.
bool holds_open(pid_t pid, const std::string& file)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (int fd = 0; fd < 64; ++fd) {
        char target[PATH_MAX];
        const std::string link = fds + "/" + std::to_string(fd);
        ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == file)
            return true;
    }
    return false;
}

template <typename Pred>
bool soon(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(ms(2));
    }
    return true;
}

} // namespace

TEST_F(file_road_test, only_included_paths_of_processes_not_excluded_are_forwarded)
{
    const std::string excluded_dir = make_dir("excluded");
    const std::string hidden = make_file("excluded/hidden");
    const std::string followed = make_file("followed");
    const std::string shown = make_file("shown");
    nt::temp_dir_t elsewhere("nt-system-outside-");
    const std::string outside = canonical_path(elsewhere.path()) + "/outside";
    nt::write_file(outside, "");
    const std::string tail = canonical_path("/usr/bin/tail");
    ASSERT_FALSE(tail.empty());

    nx::LinuxTarselConfig config = watching({root}, {excluded_dir});
    config.mutable_excluded_proc()->add_path(tail);
    start(config);
    ASSERT_TRUE(wait_ready());

    // tail keeps running, so the daemon can still tell whose access it was.
    std::unique_ptr<nt::child_process_t> follower = run({tail, "-f", followed});
    ASSERT_TRUE(soon([&] { return holds_open(follower->pid(), followed); }));
    cat({hidden, outside, shown});
    // Events arrive in order: once the last one is through, so are the others.
    ASSERT_TRUE(wait_for_path(shown));
    EXPECT_FALSE(kestrum->has_path(hidden));
    EXPECT_FALSE(kestrum->has_path(outside));
    EXPECT_FALSE(kestrum->has_path(followed));

    // The same file opened by another program goes through.
    cat({followed});
    EXPECT_TRUE(wait_for_path(followed));
}

TEST_F(file_road_test, file_names_arrive_byte_for_byte)
{
    const std::vector<std::string> names = {"\xff\xfe name", "line\nbreak", "\xc3\xa9t\xc3\xa9", "back\\slash"};
    std::vector<std::string> files;
    for (const std::string& name : names)
        files.push_back(make_file(name));
    start(watching_root());
    ASSERT_TRUE(wait_ready());
    cat(files);
    for (const std::string& file : files)
        EXPECT_TRUE(wait_for_path(file)) << nt::escape_bytes(file);
    // Each as one whole path entry, not merely contained in one.
    std::vector<std::string> received = data_paths(kestrum->frames());
    for (const std::string& file : files)
        EXPECT_NE(std::find(received.begin(), received.end(), file), received.end()) << nt::escape_bytes(file);
}

TEST_F(file_road_test, the_start_up_scan_reports_a_program_running_from_the_watched_directory)
{
    const std::string sleeper = path("sleeper");
    nt::write_file(sleeper, nt::read_file(canonical_path("/bin/sleep")), 0755);
    std::unique_ptr<nt::child_process_t> running = run({sleeper, "60"});
    ASSERT_TRUE(soon([&] { return exe_of(running->pid()) == sleeper; }));

    start(watching_root());
    ASSERT_TRUE(wait_for_path(sleeper));
    // The log line is written by the daemon's log thread, which may come
    // after the path has reached Kestrum.
    const std::string scanned =
        line("Debug", "produce_exe_list: pid=" + std::to_string(running->pid()) + " exe=\"" + sleeper + "\"");
    EXPECT_TRUE(until([&] { return stderr_count(scanned) >= 1; }));
    EXPECT_EQ(stderr_count(scanned), 1u);
}

TEST_F(file_road_test, a_new_configuration_after_sighup_reaches_kestrum_and_the_filters)
{
    const std::string first_dir = make_dir("first");
    const std::string second_dir = make_dir("second");
    const std::string old_file = make_file("first/old");
    const std::string new_file = make_file("second/new");
    start(watching({first_dir}));
    ASSERT_TRUE(wait_ready());

    nx::LinuxTarselConfig next = watching({second_dir});
    next.set_scan_timeout(90);
    next.set_on_jokes(nx::FILE_ACTION_IGNORE);
    ostrand->answer_context(next, 8);
    ASSERT_TRUE(ostrand->signal(SIGHUP));
    ASSERT_TRUE(until([&] { return kestrum->count(client_t::FLOW_OPTIONS_NOTIFICATION) == 1; }));

    const std::vector<nt::kestrum_frame_t> frames = kestrum->frames();
    auto notice = std::find_if(frames.begin(), frames.end(), [](const nt::kestrum_frame_t& f) {
        return f.message.tag() == client_t::FLOW_OPTIONS_NOTIFICATION;
    });
    ASSERT_NE(notice, frames.end());
    client_t expected;
    expected.set_tag(client_t::FLOW_OPTIONS_NOTIFICATION);
    ks::FlowOptions& options = *expected.mutable_flow_options();
    options.add_included_path(second_dir);
    ks::ActionSet& actions = *options.mutable_actions();
    for (auto set : {&ks::ActionSet::set_on_known_virus, &ks::ActionSet::set_on_incurable,
                     &ks::ActionSet::set_on_suspicious, &ks::ActionSet::set_on_adware, &ks::ActionSet::set_on_dialers,
                     &ks::ActionSet::set_on_riskware, &ks::ActionSet::set_on_hacktools})
        (actions.*set)(nx::FILE_ACTION_CURE);
    actions.set_on_jokes(nx::FILE_ACTION_IGNORE);
    options.set_scan_timeout_ms(90);
    options.set_heuristic_analysis(false);
    options.set_packer_max_level(0);
    options.set_archive_max_level(0);
    options.set_mail_max_level(0);
    options.set_container_max_level(0);
    options.set_max_compression_ratio(0);
    EXPECT_EQ(notice->message.DebugString(), expected.DebugString());

    // Reported before and after reconfiguring, and ready again.
    ASSERT_TRUE(wait_for_line(ready_line(), 2));
    std::size_t reported = 0;
    for (const to_ostrand_t& info : ostrand_messages(to_ostrand_t::MY_INFO_NOTIFICATION))
        if (info.config_revision() == 8) {
            EXPECT_EQ(info.info().state(), nx::LTS_FANOTIFY);
            ++reported;
        }
    EXPECT_EQ(reported, 2u);

    cat({old_file, new_file});
    ASSERT_TRUE(wait_for_path(new_file));
    EXPECT_FALSE(kestrum->has_path(old_file));
}

TEST_F(file_road_test, options_changed_while_the_flow_is_closed_go_out_before_the_first_batch)
{
    const std::string first_dir = make_dir("first");
    const std::string second_dir = make_dir("second");
    const std::string file = make_file("second/file");
    nt::kestrum_options_t held;
    held.open_reply = nt::open_reply_t::no_answer();
    kestrum.reset(new nt::kestrum_peer_t(held));
    start(watching({first_dir}));
    ASSERT_TRUE(until([&] { return kestrum->count(client_t::OPEN_FLOW_REQUEST) == 1; }));

    ostrand->answer_context(watching({second_dir}), 8);
    ASSERT_TRUE(ostrand->signal(SIGHUP));
    // A later context reports readiness at once, open flow or not.
    ASSERT_TRUE(wait_ready());
    cat({file});
    ASSERT_TRUE(wait_for_line(" Access on: " + file));
    EXPECT_EQ(kestrum->frame_count(), 1u);

    ks::ServerMessage opened;
    opened.set_tag(ks::ServerMessage::OPEN_FLOW_RESPONSE);
    ASSERT_TRUE(kestrum->send(opened));
    ASSERT_TRUE(wait_for_path(file));
    const std::vector<nt::kestrum_frame_t> frames = kestrum->frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].message.tag(), client_t::OPEN_FLOW_REQUEST);
    ASSERT_EQ(frames[0].message.flow_options().included_path_size(), 1);
    EXPECT_EQ(frames[0].message.flow_options().included_path(0), first_dir);
    EXPECT_EQ(frames[1].message.tag(), client_t::FLOW_OPTIONS_NOTIFICATION);
    ASSERT_EQ(frames[1].message.flow_options().included_path_size(), 1);
    EXPECT_EQ(frames[1].message.flow_options().included_path(0), second_dir);
    EXPECT_EQ(frames[2].message.tag(), client_t::FLOW_DATA_NOTIFICATION);
    // The opening after that context brings no second ready line.
    EXPECT_EQ(stderr_count(ready_line()), 1u);
}

TEST_F(file_road_test, a_file_system_mounted_while_running_is_watched)
{
    const std::string mount_point = make_dir("mnt");
    start(watching_root());
    ASSERT_TRUE(wait_ready());

    tmpfs_t mounted(mount_point);
    ASSERT_TRUE(mounted.ok()) << std::strerror(errno);
    ASSERT_TRUE(
        wait_for_line(line("Debug", "Mountpoint \"" + mount_point + "\" has been added for monitoring successfully")));
    const std::string file = mount_point + "/on-tmpfs";
    nt::write_file(file, "x");
    cat({file});
    EXPECT_TRUE(wait_for_path(file));
}

TEST_F(file_road_test, sigterm_while_monitoring_ends_the_daemon_with_107)
{
    const std::string file = make_file("seen");
    start(watching_root());
    ASSERT_TRUE(wait_ready());
    cat({file});
    ASSERT_TRUE(wait_for_path(file));

    ASSERT_TRUE(ostrand->signal(SIGTERM));
    // Promptly: well within the bound, which only guards against a hang.
    EXPECT_EQ(ostrand->wait_exit(ms(10000)), nx::EC_APP_TERMINATED);
    EXPECT_FALSE(ostrand->process().killed_by_signal());
    EXPECT_EQ(stderr_count(line("Notice", TS_TEXT_TERMINATION_RECEIVED)), 1u);
    EXPECT_EQ(stderr_count(line("Notice", "Exit with status 107 (Process terminated by signal)")), 1u);
}

TEST_F(file_road_test, a_mount_replaced_in_place_is_watched_again_every_time)
{
    const std::string dir = make_dir("replaced");
    tmpfs_t mounted(dir);
    ASSERT_TRUE(mounted.ok());
    start(watching_root());
    ASSERT_TRUE(wait_ready());

    // The same type, source and options on the same directory, back to
    // back: the mounts watcher mostly reads the table once for both changes.
    const std::string added =
        line("Debug", std::string(TS_TEXT_MOUNT_PREFIX) + '"' + dir + '"' + TS_TEXT_MOUNT_ADDED_SUFFIX);
    std::vector<std::string> files;
    for (std::size_t cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(::umount2(dir.c_str(), MNT_DETACH), 0) << std::strerror(errno);
        ASSERT_EQ(::mount("nt-system", dir.c_str(), "tmpfs", 0, "size=16m,mode=0755"), 0) << std::strerror(errno);
        ASSERT_TRUE(wait_for_line(added, cycle + 1)) << "cycle " << cycle;
        files.push_back(dir + "/file" + std::to_string(cycle));
        nt::write_file(files.back(), "x");
        cat({files.back()});
    }
    for (const std::string& file : files)
        EXPECT_TRUE(wait_for_path(file)) << file;
}

TEST_F(file_road_test, under_a_tight_descriptor_limit_no_access_is_lost_unseen)
{
    // Both limits at 20, which the daemon cannot raise.
    const std::string limited = make_file("limited");
    nt::write_file(limited, "#!/bin/sh\nulimit -n 20 && exec " + daemon_path + " \"$@\"\n", 0755);
    make_dir("files");
    std::vector<std::string> files;
    for (int i = 0; i < 3000; ++i)
        files.push_back(make_file("files/f" + std::to_string(i)));
    const std::string marker = make_file("marker");
    kestrum.reset(new nt::kestrum_peer_t);
    ostrand.reset(new nt::ostrand_peer_t(limited));
    ostrand->answer_context(watching_root(nx::LOG_LEVEL_INFO), revision);
    ostrand->answer_kestrum(kestrum->path());
    ASSERT_TRUE(wait_ready());

    for (std::size_t first = 0; first < files.size(); first += 500)
        cat(std::vector<std::string>(files.begin() + first, files.begin() + std::min(files.size(), first + 500)));
    cat({marker});
    ASSERT_TRUE(wait_for_path(marker));
    std::size_t lost = 0;
    for (const std::string& file : files)
        lost += kestrum->has_path(file) ? 0 : 1;
    const std::string warning = line("Warning", std::string(TS_TEXT_FANOTIFY_NO_DESCRIPTOR) + std::strerror(EMFILE));
    EXPECT_TRUE(lost == 0 || stderr_count(warning) > 0) << lost << " lost, no Warning";
}
