// File accesses for the end-to-end benchmark: makes a directory of empty
// files, then opens and closes them, each once, in order, at a fixed rate or
// as fast as one process can.
//
//   e2e_generator make DIR COUNT            makes DIR/f0000000 ... (COUNT files)
//   e2e_generator run DIR COUNT RATE [PROCS]
//       opens and closes the first COUNT of them; RATE opens per second in
//       all, 0: uncapped; PROCS processes (default 1), each taking an equal
//       share of the files and of the rate
//   e2e_generator syscall-cost                  microseconds of one system call
//       that does nothing (getppid), the yardstick of this machine's costs
//
// run prints one line: opens, failures, and the start and end of the
// accesses in CLOCK_MONOTONIC and CLOCK_REALTIME seconds, so that arrival
// times taken by either clock can be set against them.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// How many opens go between two looks at the clock at a fixed rate: often
// enough for an even pace, rarely enough to cost nothing.
const unsigned pace_step = 16;

int usage()
{
    fprintf(stderr, "usage: e2e_generator make DIR COUNT\n"
                    "       e2e_generator run DIR COUNT RATE [PROCS]   (RATE opens/s, 0: uncapped)\n"
                    "       e2e_generator syscall-cost\n");
    return 2;
}

bool parse_count(const char* text, unsigned long& out)
{
    char* end = nullptr;
    errno = 0;
    out = strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

double seconds(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::vector<std::string> file_names(const char* dir, unsigned long count)
{
    std::vector<std::string> names;
    names.reserve(count);
    char name[32];
    for (unsigned long i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "/f%07lu", i);
        names.push_back(std::string(dir) + name);
    }
    return names;
}

int make(const char* dir, unsigned long count)
{
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "e2e_generator: mkdir %s: %s\n", dir, strerror(errno));
        return 1;
    }
    for (const std::string& path : file_names(dir, count)) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            fprintf(stderr, "e2e_generator: create %s: %s\n", path.c_str(), strerror(errno));
            return 1;
        }
        close(fd);
    }
    return 0;
}

// Opens and closes paths[first, last) at rate opens per second (0: flat
// out); returns the number of opens that failed.
unsigned long access_files(const std::vector<std::string>& paths, unsigned long first, unsigned long last,
                           unsigned long rate)
{
    unsigned long failed = 0;
    struct timespec origin;
    clock_gettime(CLOCK_MONOTONIC, &origin);
    for (unsigned long i = first; i < last; ++i) {
        const unsigned long n = i - first;
        if (rate != 0 && n % pace_step == 0) {
            // Absolute due times: a late start or a slow stretch is caught
            // up instead of adding up.
            const unsigned long long due_ns = origin.tv_nsec + n * 1000000000ULL / rate;
            struct timespec due;
            due.tv_sec = origin.tv_sec + static_cast<time_t>(due_ns / 1000000000ULL);
            due.tv_nsec = static_cast<long>(due_ns % 1000000000ULL);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
        }
        int fd = open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            ++failed;
            continue;
        }
        close(fd);
    }
    return failed;
}

int run(const char* dir, unsigned long count, unsigned long rate, unsigned long procs)
{
    // Names made before the clock starts: the accesses alone are timed.
    const std::vector<std::string> paths = file_names(dir, count);
    unsigned long failed = 0;
    int results[2];
    if (pipe(results) != 0) {
        perror("e2e_generator: pipe");
        return 1;
    }
    const double start_real = seconds(CLOCK_REALTIME);
    const double start = seconds(CLOCK_MONOTONIC);
    for (unsigned long p = 0; p < procs; ++p) {
        const unsigned long first = count * p / procs, last = count * (p + 1) / procs;
        pid_t pid = fork();
        if (pid < 0) {
            perror("e2e_generator: fork");
            failed += last - first;
            continue;
        }
        if (pid == 0) {
            close(results[0]);
            unsigned long mine = access_files(paths, first, last, (rate + procs - 1) / procs);
            _exit(write(results[1], &mine, sizeof mine) == sizeof mine ? 0 : 1);
        }
    }
    close(results[1]);
    unsigned long share;
    while (read(results[0], &share, sizeof share) == sizeof share)
        failed += share;
    close(results[0]);
    int status;
    while (wait(&status) > 0) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fprintf(stderr, "e2e_generator: a generator process failed\n");
    }
    const double end = seconds(CLOCK_MONOTONIC);
    printf("opens: %lu, failed: %lu, start: %.6f, end: %.6f, start_realtime: %.6f, end_realtime: %.6f\n",
           count - failed, failed, start, end, start_real, start_real + (end - start));
    return failed == 0 ? 0 : 1;
}

int syscall_cost()
{
    const int calls = 1000000;
    const double start = seconds(CLOCK_MONOTONIC);
    for (int i = 0; i < calls; ++i)
        syscall(SYS_getppid); // not glibc's getppid, which a libc may answer without the kernel
    printf("%.3f\n", (seconds(CLOCK_MONOTONIC) - start) / calls * 1e6);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long count = 0, rate = 0, procs = 1;
    if (argc == 4 && strcmp(argv[1], "make") == 0 && parse_count(argv[3], count))
        return make(argv[2], count);
    if ((argc == 5 || argc == 6) && strcmp(argv[1], "run") == 0 && parse_count(argv[3], count) &&
        parse_count(argv[4], rate) && (argc == 5 || parse_count(argv[5], procs)) && procs > 0)
        return run(argv[2], count, rate, procs);
    if (argc == 2 && strcmp(argv[1], "syscall-cost") == 0)
        return syscall_cost();
    return usage();
}
