/* The least a fanotify reader that reports paths must do per event: read
 * the group, fstat and readlink "/proc/self/fd/N", close the descriptor.
 * The yardstick of the fanotify benchmark. */
#ifndef NT_BENCH_REFERENCE_READER_H
#define NT_BENCH_REFERENCE_READER_H

#ifdef __cplusplus
extern "C" {
#endif

struct reference_counts
{
    unsigned long long events; /* regular files whose path was read */
    unsigned long long overflows;
    double last_event; /* CLOCK_MONOTONIC seconds of the last read with counted events */
};

/* A notification group (blocking) with a mount mark for open and close
 * events on the mount of dir; -1 on failure. */
int reference_open(const char* dir);

/* Reads until the read that brings an event of the file with inode number
 * marker; that event is not counted. */
void reference_run(int group, unsigned long long marker, struct reference_counts* counts);

#ifdef __cplusplus
}
#endif

#endif
