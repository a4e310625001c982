/*
 * File-access load for the guest stage.
 *
 *   nt-access-load make DIR N          creates N empty files DIR/f<i>
 *   nt-access-load open DIR N          opens and closes each of them once and
 *                                      prints "start=S end=S" (CLOCK_MONOTONIC)
 *   nt-access-load churn DIR PROCS SEC [STOP]
 *                                      PROCS processes open and close the files
 *                                      of DIR (made by "make") for SEC seconds,
 *                                      or until the file STOP exists
 *   nt-access-load clock               prints CLOCK_MONOTONIC in seconds
 *   nt-access-load cpu PID             prints utime+stime of PID in clock ticks
 *   nt-access-load hz                  prints the clock ticks per second
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

static long count_arg(const char *text)
{
	char *end;
	long n = strtol(text, &end, 10);

	if (*text == '\0' || *end != '\0' || n <= 0) {
		fprintf(stderr, "nt-access-load: not a positive number: %s\n", text);
		exit(2);
	}
	return n;
}

static void name(char *buf, size_t size, const char *dir, long i)
{
	snprintf(buf, size, "%s/f%ld", dir, i);
}

static int make(const char *dir, long n)
{
	char path[4096];
	long i;

	for (i = 0; i < n; i++) {
		int fd;

		name(path, sizeof(path), dir, i);
		fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
		if (fd < 0) {
			fprintf(stderr, "nt-access-load: %s: %s\n", path, strerror(errno));
			return 1;
		}
		close(fd);
	}
	return 0;
}

static int open_each(const char *dir, long n)
{
	char path[4096];
	double start = now();
	long i, failed = 0;

	for (i = 0; i < n; i++) {
		int fd;

		name(path, sizeof(path), dir, i);
		fd = open(path, O_RDONLY);
		if (fd < 0)
			failed++;
		else
			close(fd);
	}
	printf("start=%.6f end=%.6f failed=%ld\n", start, now(), failed);
	return failed ? 1 : 0;
}

static int churn(const char *dir, long procs, long seconds, const char *stop)
{
	long p;
	int status, result = 0;

	for (p = 0; p < procs; p++) {
		pid_t pid = fork();

		if (pid < 0) {
			perror("nt-access-load: fork");
			result = 1;
			break;
		}
		if (pid == 0) {
			char path[4096];
			double until = now() + seconds;
			long i = p;

			/* Files of a churn directory may come and go with its mounts. */
			while (now() < until) {
				int fd;

				if (stop && i % 1000 == 0 && access(stop, F_OK) == 0)
					break;

				name(path, sizeof(path), dir, i++ % 1000);
				fd = open(path, O_RDONLY);
				if (fd >= 0)
					close(fd);
			}
			_exit(0);
		}
	}
	while (wait(&status) > 0)
		if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
			result = 1;
	return result;
}

static int cpu(const char *pid)
{
	char path[64], buf[4096], *p;
	unsigned long long utime, stime;
	FILE *f;
	size_t len;

	snprintf(path, sizeof(path), "/proc/%s/stat", pid);
	f = fopen(path, "r");
	if (!f) {
		fprintf(stderr, "nt-access-load: %s: %s\n", path, strerror(errno));
		return 1;
	}
	len = fread(buf, 1, sizeof(buf) - 1, f);
	fclose(f);
	buf[len] = '\0';
	/* The command name may hold spaces and parentheses: fields start after the last ")". */
	p = strrchr(buf, ')');
	if (!p || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) {
		fprintf(stderr, "nt-access-load: %s: unexpected format\n", path);
		return 1;
	}
	printf("%llu\n", utime + stime);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc == 2 && strcmp(argv[1], "clock") == 0) {
		printf("%.6f\n", now());
		return 0;
	}
	if (argc == 2 && strcmp(argv[1], "hz") == 0) {
		printf("%ld\n", sysconf(_SC_CLK_TCK));
		return 0;
	}
	if (argc == 3 && strcmp(argv[1], "cpu") == 0)
		return cpu(argv[2]);
	if (argc == 4 && strcmp(argv[1], "make") == 0)
		return make(argv[2], count_arg(argv[3]));
	if (argc == 4 && strcmp(argv[1], "open") == 0)
		return open_each(argv[2], count_arg(argv[3]));
	if ((argc == 5 || argc == 6) && strcmp(argv[1], "churn") == 0)
		return churn(argv[2], count_arg(argv[3]), count_arg(argv[4]), argc == 6 ? argv[5] : NULL);
	fprintf(stderr, "Usage: nt-access-load make|open DIR N | churn DIR PROCS SEC [STOP] | clock | hz | cpu PID\n");
	return 2;
}
