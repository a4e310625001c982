#include "core/command_line.hpp"

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "core/core_texts.hpp"
#include "core/early_signals.hpp"
#include "core/version.hpp"

namespace po = boost::program_options;

namespace {

// Long names are matched without regard to case, short ones with regard to
// it (-H is an unknown option). Boost's long_case_insensitive folds short
// names too, so the long names are folded here instead: every option name is
// lower case, and only the part of a "--name[=value]" token before '=' is
// touched.
std::vector<std::string> fold_long_names(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg(argv[i]);
        if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
            std::string::size_type end = arg.find('=');
            if (end == std::string::npos)
                end = arg.size();
            for (std::string::size_type k = 2; k < end; ++k)
                arg[k] = static_cast<char>(std::tolower(static_cast<unsigned char>(arg[k])));
        }
        args.push_back(arg);
    }
    return args;
}

} // namespace

int parse_command_line(int argc, char** argv)
{
    po::options_description options(TS_TEXT_OPTIONS_CAPTION, 80, 40);
    options.add_options()("help,h", po::bool_switch(), TS_TEXT_OPTION_HELP)(
        "version,v", po::bool_switch(), TS_TEXT_OPTION_VERSION)("monitor", po::value<int>(), TS_TEXT_OPTION_MONITOR);

    po::variables_map vm;
    po::store(po::command_line_parser(fold_long_names(argc, argv))
                  .options(options)
                  .style(po::command_line_style::unix_style)
                  .run(),
              vm);
    po::notify(vm);

    // Help and version are a command's, not the daemon's: they run with the
    // signal mask they were started with, so a SIGTERM or ^C meanwhile ends
    // them as it ends any command.
    if (vm["help"].as<bool>() || vm["version"].as<bool>())
        release_early_signals();
    if (vm["help"].as<bool>()) {
        std::cout << options << std::endl;
        std::exit(0);
    }
    if (vm["version"].as<bool>()) {
        std::cout << NT_PROGRAM_NAME " " NT_VERSION_TEXT << std::endl;
        std::exit(0);
    }
    if (!vm.count("monitor"))
        throw std::invalid_argument(TS_TEXT_OPTION_MONITOR_MISSING);
    return vm["monitor"].as<int>();
}
