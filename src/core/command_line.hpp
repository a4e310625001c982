// The daemon's command line: --help, --version and --monitor N.
#pragma once

// Returns the --monitor descriptor number.
// Prints the help text or the version and calls exit(0) for --help and
// --version (help is tested first).
// Throws std::invalid_argument("Monitor channel not given") when --monitor is
// absent, and the option parser's own exceptions (all std::exception) for an
// unknown option, a bad or missing value, a value given to a switch or an
// option given twice.
int parse_command_line(int argc, char** argv);
