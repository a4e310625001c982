// A shell script in the daemon's place where only the peer
// Ostrand's launching and plumbing are under test. It is steered by its
// environment:
//   NT_OUT       directory for the replies it reads (header1, body1, ...)
//   NT_REQUEST1  printf format of the bytes it writes first to the socket
//   NT_REQUEST2  the same for a second exchange
//   NT_READ      1: read one frame after each request (NT_REQUESTn set or not)
//   NT_LEAK      a descriptor number that must not be open in it
//   NT_EXTRA     echoed on standard error as "extra=<value>"
//   NT_THEN      wait-eof | wait-term | kill-self, before exiting
//   NT_STATUS    its exit status (default 0)
#pragma once

#include <string>

#include "support/temp_dir.hpp"

namespace nt_test {

inline std::string write_fake_daemon(const nt::temp_dir_t& dir)
{
    const std::string path = dir.file("fake-daemon");
    nt::write_file(path,
                   "#!/bin/sh\n"
                   "if [ \"$1\" != --monitor ]; then echo \"args: $*\" >&2; exit 5; fi\n"
                   "fd=$2\n"
                   "echo \"monitor=$(readlink /proc/$$/fd/$fd)\" >&2\n"
                   "if [ -n \"$NT_LEAK\" ] && [ -e /proc/$$/fd/$NT_LEAK ]; then echo leaked >&2; fi\n"
                   "echo \"extra=$NT_EXTRA\" >&2\n"
                   "exchange() {\n"
                   "  if [ -n \"$1\" ]; then printf \"$1\" >&$fd; fi\n"
                   "  if [ \"$NT_READ\" = 1 ]; then\n"
                   "    head -c 4 <&$fd >\"$NT_OUT/header$2\"\n"
                   "    len=$(od -An -tu4 \"$NT_OUT/header$2\" | tr -d ' ')\n"
                   "    head -c \"${len:-0}\" <&$fd >\"$NT_OUT/body$2\"\n"
                   "  fi\n"
                   "}\n"
                   "exchange \"$NT_REQUEST1\" 1\n"
                   "if [ -n \"$NT_REQUEST2\" ]; then exchange \"$NT_REQUEST2\" 2; fi\n"
                   "case \"$NT_THEN\" in\n"
                   "  wait-eof) cat <&$fd >/dev/null ;;\n"
                   "  wait-term) trap 'exit 9' TERM; echo ready >&2; while :; do sleep 1 & wait $!; done ;;\n"
                   "  kill-self) kill -TERM $$ ;;\n"
                   "esac\n"
                   "exit ${NT_STATUS:-0}\n",
                   0755);
    return path;
}

// printf formats of the two requests the fake daemon can make.
const char get_context_request[] = "\\002\\000\\000\\000\\010\\001";
const char get_kestrum_request[] = "\\002\\000\\000\\000\\010\\003";

} // namespace nt_test
