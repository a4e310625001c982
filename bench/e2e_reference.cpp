// The minimal reference reader (reference_reader.c) on the end-to-end
// workload, unchanged: its reads, fstats, readlinks and closes are the work
// measured. It counts events only, so its readlink is wrapped at link time
// (-Wl,--wrap=readlink) to collect the distinct paths it read, as any reader
// that reports paths must keep them somewhere.
//
//   e2e_reference DIR MARKER PREFIX
//
// Prints "ready" once its group and mark on DIR's mount exist, reads until
// an event of the file MARKER, prints one line of counts (events, overflows,
// distinct paths under PREFIX, arrival of the first and the last of them in
// CLOCK_MONOTONIC seconds) and then waits for SIGINT or SIGTERM, so that its
// processor time and peak memory can still be read from /proc.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <unordered_set>

#include "reference_reader.h"

extern "C" ssize_t __real_readlink(const char* link, char* buffer, size_t size);
extern "C" ssize_t __wrap_readlink(const char* link, char* buffer, size_t size);

namespace {

std::string prefix;
std::unordered_set<std::string> distinct;
double first_arrival = 0;

double monotonic_seconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

} // namespace

ssize_t __wrap_readlink(const char* link, char* buffer, size_t size)
{
    ssize_t length = __real_readlink(link, buffer, size);
    if (length > 0 && static_cast<size_t>(length) >= prefix.size() &&
        memcmp(buffer, prefix.data(), prefix.size()) == 0) {
        if (distinct.empty())
            first_arrival = monotonic_seconds();
        distinct.emplace(buffer, static_cast<size_t>(length));
    }
    return length;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: e2e_reference DIR MARKER PREFIX\n");
        return 2;
    }
    prefix = argv[3];
    struct stat marker;
    if (stat(argv[2], &marker) != 0) {
        perror("e2e_reference: marker");
        return 1;
    }
    // Taken by sigwait only, here and in no handler.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    int group = reference_open(argv[1]);
    if (group < 0) {
        perror("e2e_reference: fanotify");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    struct reference_counts counts = {0, 0, 0};
    reference_run(group, marker.st_ino, &counts);
    printf("events: %llu, overflows: %llu, distinct paths: %zu, first path at: %.6f, last path at: %.6f\n",
           counts.events, counts.overflows, distinct.size(), first_arrival, counts.last_event);
    fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    close(group);
    return 0;
}
