// Runs the daemon under the peer Ostrand, for demonstrations and
// benchmarks: every GET_CONTEXT_REQUEST gets the configuration, every
// GET_KESTRUM_REQUEST the peer Kestrum's socket path.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <google/protobuf/text_format.h>

#include "linux_tarsel_config.pb.h"
#include "peers/ostrand_peer.hpp"
#include "support/temp_dir.hpp"

namespace {

const char usage[] = "Usage: nt-ostrand-peer [options] [-- daemon-arguments...]\n"
                     "\n"
                     "Starts the daemon with --monitor on one end of a socket pair and plays\n"
                     "Ostrand on the other: answers every GET_CONTEXT_REQUEST with the\n"
                     "configuration and every GET_KESTRUM_REQUEST with the Kestrum socket path.\n"
                     "SIGINT and SIGTERM are passed on to the daemon; the exit status is the\n"
                     "daemon's (128 + the signal when a signal ended it).\n"
                     "\n"
                     "Options:\n"
                     "  -h, --help           this text\n"
                     "  -d, --daemon PATH    the daemon binary (default: noxel-tarsel beside this program)\n"
                     "  -k, --kestrum PATH   Kestrum's socket path; a leading '@' names an abstract socket\n"
                     "  -w, --watch DIR      configuration watching DIR, Info lines on standard error\n"
                     "  -c, --config FILE    the configuration as a text-format nx.LinuxTarselConfig\n"
                     "  -r, --revision N     config_revision sent with every context (default 1)\n"
                     "  -e, --stderr FILE    the daemon's standard error (default: this program's)\n";

std::atomic<pid_t> daemon_pid(0);
std::atomic<int> pending_signal(0);

extern "C" void forward(int sig)
{
    pending_signal.store(sig);
    pid_t pid = daemon_pid.load();
    if (pid > 0)
        ::kill(pid, sig);
}

int fail(const std::string& text)
{
    std::cerr << "nt-ostrand-peer: " << text << "\n";
    return 2;
}

std::string beside_this_program(const std::string& name)
{
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return name;
    self[n] = '\0';
    return (boost::filesystem::path(self).parent_path() / name).string();
}

} // namespace

int main(int argc, char** argv)
{
    std::string daemon = beside_this_program("noxel-tarsel");
    std::string kestrum, watch, config_file, stderr_file;
    unsigned long revision = 1;
    std::vector<std::string> daemon_args;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            std::cout << usage;
            return 0;
        } else if (arg == "--") {
            daemon_args.assign(argv + i + 1, argv + argc);
            break;
        } else if ((arg == "-d" || arg == "--daemon") && value(daemon)) {
        } else if ((arg == "-k" || arg == "--kestrum") && value(kestrum)) {
        } else if ((arg == "-w" || arg == "--watch") && value(watch)) {
        } else if ((arg == "-c" || arg == "--config") && value(config_file)) {
        } else if ((arg == "-e" || arg == "--stderr") && value(stderr_file)) {
        } else if ((arg == "-r" || arg == "--revision") && value(text)) {
            char* end = nullptr;
            revision = std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || revision > 0xffffffffUL)
                return fail("bad revision: " + text);
        } else {
            return fail("bad argument: " + arg + " (see --help)");
        }
    }
    if (kestrum.empty())
        return fail("--kestrum is required (see --help)");
    if (watch.empty() == config_file.empty())
        return fail("give exactly one of --watch and --config (see --help)");
    if (kestrum[0] == '@')
        kestrum[0] = '\0';

    nx::LinuxTarselConfig config;
    if (!watch.empty()) {
        boost::filesystem::path dir = boost::filesystem::absolute(watch).lexically_normal();
        std::string text = dir.string();
        // A trailing "/" or "/." names the same directory; the path tree
        // wants it without.
        for (;;) {
            if (text.size() > 2 && text.compare(text.size() - 2, 2, "/.") == 0)
                text.resize(text.size() - 2);
            else if (text.size() > 1 && text.back() == '/')
                text.pop_back();
            else
                break;
        }
        config.mutable_included_path()->add_path(text);
        config.set_log_level(nx::LOG_LEVEL_INFO);
        config.mutable_actual_log()->set_type(nx::Log::STDERR);
    } else {
        std::string text = nt::read_file(config_file);
        if (text.empty() && ::access(config_file.c_str(), R_OK) != 0)
            return fail("cannot read " + config_file);
        if (!google::protobuf::TextFormat::ParseFromString(text, &config))
            return fail("not a text-format nx.LinuxTarselConfig: " + config_file);
    }

    // Armed before the daemon starts, so that a signal in between is not
    // lost: it is passed on as soon as the daemon exists.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    nt::ostrand_options_t options;
    options.daemon = daemon;
    options.args = daemon_args;
    options.stderr_path = stderr_file;
    options.inherit_stderr = stderr_file.empty();
    options.new_process_group = true;
    try {
        nt::ostrand_peer_t ostrand(options);
        daemon_pid.store(ostrand.pid());
        if (int sig = pending_signal.load())
            ostrand.signal(sig);
        ostrand.answer_context(config, static_cast<std::uint32_t>(revision));
        ostrand.answer_kestrum(kestrum);
        for (;;) {
            std::optional<int> status = ostrand.wait_exit(std::chrono::seconds(1));
            if (status) {
                daemon_pid.store(0);
                return *status;
            }
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
