// SPDX-License-Identifier: GPL-2.0
/*
 * Exercises the noxel module's devices inside a guest: the control
 * exchange, refused and malformed requests, events with path and pid,
 * partial reads, poll, signals, the queue bound, concurrent openers, the
 * names of chrooted openers, other mount namespaces, detached mounts and
 * overlayfs, unlinked files, two readers, unprivileged users, long paths
 * outside, the memory an unprivileged flood holds, the forgetting of
 * directories and unloading.
 *
 *   noxel_module_test devices   all device checks; leaves the module loaded
 *   noxel_module_test unload    delete_module fails while a device is open,
 *                               then succeeds once it is closed
 *   noxel_module_test gone      a daemon stand-in is killed while events
 *                               flow; the module unloads right after
 *
 * Prints "noxel-test: PASS <name>" or "noxel-test: FAIL <name>: <why>" per
 * check and "noxel-test: RESULT ok" or "noxel-test: RESULT failed" last.
 * Built static, for a guest without a C library.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <sched.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define CONTROL_NODE "/dev/noxel.control"
#define MONITOR_NODE "/dev/noxel.tarsel"
#define DIR_A "/tmp/nt"
#define PT_ADD_DIR 0
#define PT_DEL_DIR 2
#define PT_EVENT_PATH 4
#define MAX_EVENTS 16384 /* the module's default queue bound */

static int failures;

static void pass(const char *name)
{
	printf("noxel-test: PASS %s\n", name);
	fflush(stdout);
}

static int fail(const char *name, const char *fmt, ...)
{
	va_list ap;

	printf("noxel-test: FAIL %s: ", name);
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	printf("\n");
	fflush(stdout);
	failures++;
	return -1;
}

#define CHECK(name, cond, ...) \
	do { if (!(cond)) return fail(name, __VA_ARGS__); } while (0)

/* ---- kson, as much as the checks need ---- */

struct buf {
	uint8_t b[8192];
	size_t n;
};

static void put(struct buf *b, const void *p, size_t n)
{
	memcpy(b->b + b->n, p, n);
	b->n += n;
}

static void put_i32(struct buf *b, int32_t v)
{
	put(b, "I", 1);
	put(b, &v, 4);
}

static void put_str(struct buf *b, const char *s)
{
	uint32_t n = strlen(s);

	if (n <= 255) {
		uint8_t n8 = n;

		put(b, "s", 1);
		put(b, &n8, 1);
	} else {
		put(b, "S", 1);
		put(b, &n, 4);
	}
	put(b, s, n);
}

/* A request as the daemon writes it: type pair, then the dir pair. */
static void request(struct buf *b, int type, const char *dir)
{
	uint32_t len;

	b->n = 4;
	put(b, "o\x02", 2);
	put_i32(b, 0);
	put_i32(b, type);
	put_i32(b, 1);
	put_str(b, dir);
	len = b->n - 4;
	memcpy(b->b, &len, 4);
}

struct rd {
	const uint8_t *p;
	size_t left;
};

static int get_i32(struct rd *r, int32_t *v)
{
	if (r->left < 5 || r->p[0] != 'I')
		return -1;
	memcpy(v, r->p + 1, 4);
	r->p += 5;
	r->left -= 5;
	return 0;
}

static int get_str(struct rd *r, char *out, size_t cap)
{
	uint32_t n;
	size_t h;

	if (r->left >= 2 && r->p[0] == 's') {
		n = r->p[1];
		h = 2;
	} else if (r->left >= 5 && r->p[0] == 'S') {
		memcpy(&n, r->p + 1, 4);
		h = 5;
	} else {
		return -1;
	}
	if (r->left - h < n || n >= cap)
		return -1;
	memcpy(out, r->p + h, n);
	out[n] = '\0';
	r->p += h + n;
	r->left -= h + n;
	return 0;
}

/*
 * Reads a packet's small object of 'I' keys; fills type, error, pid, path.
 * Returns -1 when the body is not of that shape.
 */
struct packet {
	int32_t type, error, pid;
	int have_error, have_pid;
	char path[8192];
};

static int parse(const uint8_t *body, size_t len, struct packet *pk)
{
	struct rd r = { body, len };
	int pairs;

	memset(pk, 0, sizeof(*pk));
	pk->type = -1;
	if (len < 2 || body[0] != 'o')
		return -1;
	pairs = body[1];
	r.p += 2;
	r.left -= 2;
	while (pairs--) {
		int32_t key;

		if (get_i32(&r, &key))
			return -1;
		switch (key) {
		case 0:
			if (get_i32(&r, &pk->type))
				return -1;
			break;
		case 2:
			if (get_str(&r, pk->path, sizeof(pk->path)))
				return -1;
			break;
		case 3:
			if (get_i32(&r, &pk->pid))
				return -1;
			pk->have_pid = 1;
			break;
		case 4:
			if (get_i32(&r, &pk->error))
				return -1;
			pk->have_error = 1;
			break;
		default:
			return -1;
		}
	}
	return r.left ? -1 : 0;
}

/* ---- device helpers ---- */

static int find_major(void)
{
	FILE *f = fopen("/proc/devices", "r");
	char line[256], name[64];
	int chr = 0, major, found = -1;

	if (!f)
		return -1;
	while (fgets(line, sizeof(line), f)) {
		if (!strncmp(line, "Character devices:", 18))
			chr = 1;
		else if (!strncmp(line, "Block devices:", 14))
			chr = 0;
		else if (chr && sscanf(line, "%d %63s", &major, name) == 2 &&
			 !strcmp(name, "noxel"))
			found = major;
	}
	fclose(f);
	return found;
}

static int make_nodes(void)
{
	int major = find_major();

	if (major < 0)
		return -1;
	unlink(CONTROL_NODE);
	unlink(MONITOR_NODE);
	if (mknod(CONTROL_NODE, S_IFCHR | 0400, makedev(major, 1)) ||
	    mknod(MONITOR_NODE, S_IFCHR | 0400, makedev(major, 0)))
		return -1;
	return major;
}

static int write_all(int fd, const void *p, size_t n)
{
	const uint8_t *b = p;

	while (n) {
		ssize_t w = write(fd, b, n);

		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return -1;
		b += w;
		n -= w;
	}
	return 0;
}

static int read_all(int fd, void *p, size_t n)
{
	uint8_t *b = p;

	while (n) {
		ssize_t r = read(fd, b, n);

		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return -1;
		b += r;
		n -= r;
	}
	return 0;
}

/* One response packet from the control device; -1 when unreadable. */
static int read_response(int fd, struct packet *pk)
{
	uint8_t body[256];
	uint32_t len;

	if (read_all(fd, &len, 4) || len > sizeof(body) || read_all(fd, body, len))
		return -1;
	return parse(body, len, pk);
}

/* Sends a request and returns its response's error field, or -1000. */
static int exchange(int fd, int type, const char *dir)
{
	struct buf b;
	struct packet pk;

	request(&b, type, dir);
	if (write_all(fd, b.b, b.n) || read_response(fd, &pk) ||
	    pk.type != type + 1 || !pk.have_error)
		return -1000;
	return pk.error;
}

static double now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/*
 * Reads one event packet from the monitor in reads of at most chunk bytes,
 * checking that no read crosses a packet's end.  timeout_ms < 0 blocks.
 * Returns 1 with an event, 0 on time-out, -1 on error.  The monitor may be
 * ready for a read that then finds only opens it does not report: on a
 * descriptor opened with O_NONBLOCK such a read gives EAGAIN, and the wait
 * goes on until the time-out.
 */
static int read_event(int fd, struct packet *pk, size_t chunk, int timeout_ms)
{
	static uint8_t pkt[16384];
	size_t have = 0, need = 4;
	uint32_t len = 0;
	double end = now_ms() + timeout_ms;

	while (have < need) {
		struct pollfd p = { fd, POLLIN, 0 };
		ssize_t r;
		size_t want = chunk;
		int wait = have ? 5000 : timeout_ms;

		if (!have && timeout_ms > 0) {
			wait = end - now_ms();
			if (wait < 0)
				wait = 0;
		}
		if (poll(&p, 1, wait) == 0)
			return have ? -1 : 0;
		if (want > sizeof(pkt) - have)
			want = sizeof(pkt) - have;
		r = read(fd, pkt + have, want);
		if (r < 0 && errno == EAGAIN) {
			if (!have && timeout_ms >= 0 && now_ms() >= end)
				return 0;
			continue;
		}
		if (r <= 0)
			return -1;
		have += r;
		if (need == 4 && have >= 4) {
			memcpy(&len, pkt, 4);
			if (len > sizeof(pkt) - 4)
				return -1;
			need = 4 + len;
		}
		if (have > need) {
			printf("noxel-test: a read crossed a packet end\n");
			return -1;
		}
	}
	return parse(pkt + 4, len, pk) ? -1 : 1;
}

static void touch(const char *path)
{
	int fd = open(path, O_RDONLY);

	if (fd >= 0)
		close(fd);
}

static unsigned long long param(const char *name)
{
	char path[128];
	unsigned long long v = 0;
	FILE *f;

	snprintf(path, sizeof(path), "/sys/module/noxel/parameters/%s", name);
	f = fopen(path, "r");
	if (!f)
		return ~0ULL;
	if (fscanf(f, "%llu", &v) != 1)
		v = ~0ULL;
	fclose(f);
	return v;
}

/* Reads and discards every waiting event; returns how many. */
static int drain(int mon)
{
	struct packet pk;
	int n = 0;

	while (read_event(mon, &pk, 4096, 0) == 1)
		n++;
	return n;
}

/* ---- checks ---- */

static void noop_handler(int sig)
{
	(void)sig;
}

static int check_control(int ctl)
{
	struct buf b;
	uint8_t resp[26];
	struct packet pk;
	size_t i;

	request(&b, PT_ADD_DIR, DIR_A);
	for (i = 0; i < b.n; i++)
		CHECK("control-split", write(ctl, b.b + i, 1) == 1,
		      "byte %zu: %s", i, strerror(errno));
	for (i = 0; i < sizeof(resp); i++)
		CHECK("control-split", read(ctl, resp + i, 1) == 1,
		      "response byte %zu: %s", i, strerror(errno));
	CHECK("control-split", !parse(resp + 4, sizeof(resp) - 4, &pk) &&
	      pk.type == 1 && pk.have_error && pk.error == 0 &&
	      *(uint32_t *)resp == 22, "bad ADD_DIR response");
	pass("control-split");

	CHECK("control-refusals", exchange(ctl, PT_ADD_DIR, "/nonexistent") != 0 &&
	      exchange(ctl, PT_ADD_DIR, "relative") != 0 &&
	      exchange(ctl, PT_ADD_DIR, "") != 0 &&
	      exchange(ctl, PT_DEL_DIR, "/never/added") != 0,
	      "a bad directory was accepted");
	/* Known type without its directory: answered, refused. */
	b.n = 4;
	put(&b, "o\x01", 2);
	put_i32(&b, 0);
	put_i32(&b, PT_DEL_DIR);
	*(uint32_t *)b.b = b.n - 4;
	CHECK("control-refusals", !write_all(ctl, b.b, b.n) &&
	      !read_response(ctl, &pk) && pk.type == 3 && pk.error != 0,
	      "DEL_DIR without a directory not refused");
	pass("control-refusals");

	/* Unanswerable requests fail the write; the channel goes on. */
	{
		static const struct {
			const char *what;
			uint32_t len;
			const char *body;
			size_t body_len;
		} bad[] = {
			{ "zero length", 0, "", 0 },
			{ "huge length", 1u << 20, "", 0 },
			{ "array body", 3, "a\x01Z", 3 },
			{ "unknown type", 12, "o\x01I\0\0\0\0I\x07\0\0\0", 12 },
			{ "no type", 7, "o\x01I\x01\0\0\0", 7 },
			{ "bad marker", 2, "o\x01", 2 },
			{ "deep nesting", 20, "o\x01I\x09\0\0\0aaaaaaaaaaaaZ", 20 },
		};
		for (i = 0; i < sizeof(bad) / sizeof(bad[0]); i++) {
			uint8_t pkt[64];
			ssize_t w;

			memcpy(pkt, &bad[i].len, 4);
			memcpy(pkt + 4, bad[i].body, bad[i].body_len);
			w = write(ctl, pkt, 4 + bad[i].body_len);
			CHECK("control-malformed", w < 0 && errno == EINVAL,
			      "%s: write gave %zd (%s)", bad[i].what, w,
			      strerror(errno));
		}
		CHECK("control-malformed", exchange(ctl, PT_ADD_DIR, DIR_A) == 0,
		      "channel unusable after malformed requests");
	}
	pass("control-malformed");

	/* Two requests in one write: only the first is taken. */
	{
		struct buf two;
		ssize_t w;

		request(&b, PT_ADD_DIR, DIR_A);
		memcpy(two.b, b.b, b.n);
		memcpy(two.b + b.n, b.b, b.n);
		w = write(ctl, two.b, 2 * b.n);
		CHECK("control-one-per-write", w == (ssize_t)b.n,
		      "write took %zd of %zu", w, 2 * b.n);
		CHECK("control-one-per-write", !write_all(ctl, two.b + w, b.n) &&
		      !read_response(ctl, &pk) && pk.type == 1 && pk.error == 0 &&
		      !read_response(ctl, &pk) && pk.type == 1 && pk.error == 0,
		      "two responses expected");
	}
	pass("control-one-per-write");
	return 0;
}

static int check_events(int ctl, int mon)
{
	struct packet pk;
	char path[64];
	int r;

	drain(mon);
	touch(DIR_A "/a");
	r = read_event(mon, &pk, 4096, 2000);
	CHECK("event-path-pid", r == 1, "no event (%d)", r);
	CHECK("event-path-pid", pk.type == PT_EVENT_PATH && pk.have_pid &&
	      pk.pid == getpid() && !strcmp(pk.path, DIR_A "/a"),
	      "type %d pid %d (want %d) path '%s'", pk.type, pk.pid, getpid(),
	      pk.path);
	pass("event-path-pid");

	touch(DIR_A "/a");
	r = read_event(mon, &pk, 5, 2000);
	CHECK("event-partial-reads", r == 1 && !strcmp(pk.path, DIR_A "/a"),
	      "event in 5-byte reads: %d '%s'", r, pk.path);
	pass("event-partial-reads");

	/* Outside, beside (a longer name with the same start), directories. */
	touch("/init");
	touch("/tmp/ntx/b");
	touch(DIR_A);
	CHECK("event-outside", read_event(mon, &pk, 4096, 300) == 0,
	      "unexpected event '%s'", pk.path);
	pass("event-outside");

	{
		struct pollfd p = { mon, POLLIN, 0 };

		CHECK("event-poll", poll(&p, 1, 100) == 0, "poll ready when empty");
		touch(DIR_A "/a");
		CHECK("event-poll", poll(&p, 1, 2000) == 1 && (p.revents & POLLIN),
		      "poll not ready after an open");
		drain(mon);
	}
	pass("event-poll");

	{
		int fl = fcntl(mon, F_GETFL);
		char c;

		fcntl(mon, F_SETFL, fl | O_NONBLOCK);
		r = read(mon, &c, 1);
		fcntl(mon, F_SETFL, fl);
		CHECK("event-nonblock", r < 0 && errno == EAGAIN,
		      "read gave %d (%s)", r, strerror(errno));
	}
	pass("event-nonblock");

	{
		struct sigaction sa = { 0 };
		struct itimerval it = { { 0, 0 }, { 0, 200000 } };
		char b[4096];

		int fl = fcntl(mon, F_GETFL);

		/* A handler without SA_RESTART: the read must end with EINTR. */
		sa.sa_handler = noop_handler;
		sigaction(SIGALRM, &sa, NULL);
		setitimer(ITIMER_REAL, &it, NULL);
		fcntl(mon, F_SETFL, fl & ~O_NONBLOCK);
		r = read(mon, b, sizeof(b));
		fcntl(mon, F_SETFL, fl);
		CHECK("event-signal", r < 0 && errno == EINTR,
		      "blocking read gave %d (%s)", r, strerror(errno));
	}
	pass("event-signal");

	/* Registered again with a trailing slash: still one entry. */
	CHECK("dir-add-del", exchange(ctl, PT_ADD_DIR, DIR_A "/") == 0 &&
	      exchange(ctl, PT_DEL_DIR, DIR_A) == 0, "exchange failed");
	touch(DIR_A "/a");
	CHECK("dir-add-del", read_event(mon, &pk, 4096, 300) == 0,
	      "event after DEL_DIR: '%s'", pk.path);
	CHECK("dir-add-del", exchange(ctl, PT_DEL_DIR, DIR_A) != 0,
	      "second DEL_DIR accepted");
	pass("dir-add-del");

	/* A directory named through a link: paths come resolved. */
	CHECK("dir-symlink", exchange(ctl, PT_ADD_DIR, "/tmp/ntlink") == 0,
	      "ADD_DIR of the link refused");
	touch("/tmp/ntlink/a");
	r = read_event(mon, &pk, 4096, 2000);
	CHECK("dir-symlink", r == 1 && !strcmp(pk.path, DIR_A "/a"),
	      "%d '%s'", r, pk.path);
	CHECK("dir-symlink", exchange(ctl, PT_DEL_DIR, "/tmp/ntlink") == 0,
	      "DEL_DIR of the link refused");
	pass("dir-symlink");

	/* "/" covers everything, and the daemon's devices give nothing. */
	CHECK("dir-root", exchange(ctl, PT_ADD_DIR, "/") == 0, "refused");
	drain(mon);
	touch(CONTROL_NODE);
	touch(MONITOR_NODE);
	CHECK("dir-root", read_event(mon, &pk, 4096, 300) == 0,
	      "device open reported: '%s'", pk.path);
	snprintf(path, sizeof(path), "/init");
	touch(path);
	r = read_event(mon, &pk, 4096, 2000);
	CHECK("dir-root", r == 1 && !strcmp(pk.path, "/init"), "%d '%s'", r,
	      pk.path);
	CHECK("dir-root", exchange(ctl, PT_DEL_DIR, "/") == 0, "DEL_DIR refused");
	pass("dir-root");

	/* A registered mount point does not keep its file system busy. */
	mkdir("/tmp/mnt", 0755);
	CHECK("dir-umount", mount("none", "/tmp/mnt", "tmpfs", 0, NULL) == 0,
	      "mount: %s", strerror(errno));
	close(open("/tmp/mnt/f", O_CREAT | O_WRONLY, 0644));
	CHECK("dir-umount", exchange(ctl, PT_ADD_DIR, "/tmp/mnt") == 0,
	      "ADD_DIR refused");
	drain(mon);
	touch("/tmp/mnt/f");
	r = read_event(mon, &pk, 4096, 2000);
	CHECK("dir-umount", r == 1 && !strcmp(pk.path, "/tmp/mnt/f"), "%d '%s'",
	      r, pk.path);
	CHECK("dir-umount", umount("/tmp/mnt") == 0, "umount: %s",
	      strerror(errno));
	CHECK("dir-umount", exchange(ctl, PT_DEL_DIR, "/tmp/mnt") == 0,
	      "DEL_DIR after the unmount refused");
	pass("dir-umount");
	return 0;
}

/* A path longer than one read, and one longer than the kernel's limit. */
static int check_long_paths(int ctl, int mon)
{
	char name[201];
	struct packet pk;
	unsigned long long dropped;
	int depth = 0, r, fd, top;
	size_t total = strlen(DIR_A);

	memset(name, 'd', 200);
	name[200] = '\0';
	top = open(".", O_RDONLY | O_DIRECTORY);
	CHECK("long-path", chdir(DIR_A) == 0, "chdir");
	/* Every level adds 201 bytes; stop just past 4080. */
	while (total + 201 + 2 < 4090) {
		mkdir(name, 0755);
		CHECK("long-path", chdir(name) == 0, "chdir level %d", depth);
		total += 201;
		depth++;
	}
	name[4090 - total - 2] = '\0';
	fd = open(name, O_CREAT | O_WRONLY, 0644);
	CHECK("long-path", fd >= 0, "create: %s", strerror(errno));
	close(fd);
	total += 1 + strlen(name);

	CHECK("long-path", exchange(ctl, PT_ADD_DIR, DIR_A) == 0, "refused");
	drain(mon);
	touch(name);
	r = read_event(mon, &pk, 4096, 2000);
	CHECK("long-path", r == 1 && strlen(pk.path) == total &&
	      pk.pid == getpid(), "%d, length %zu (want %zu)", r,
	      strlen(pk.path), total);
	pass("long-path");

	/* Past PATH_MAX the name cannot be resolved: counted as dropped. */
	memset(name, 'e', 200);
	name[200] = '\0';
	mkdir(name, 0755);
	CHECK("path-too-long", chdir(name) == 0, "chdir");
	fd = open("f", O_CREAT | O_WRONLY, 0644);
	CHECK("path-too-long", fd >= 0, "create: %s", strerror(errno));
	close(fd);
	drain(mon);
	dropped = param("events_dropped");
	touch("f");
	CHECK("path-too-long", read_event(mon, &pk, 4096, 300) == 0 &&
	      param("events_dropped") == dropped + 1,
	      "dropped %llu -> %llu", dropped, param("events_dropped"));
	pass("path-too-long");
	fchdir(top);
	close(top);
	return 0;
}

static int check_queue_bound(int mon)
{
	unsigned long long dropped = param("events_dropped");
	int i, got, opens = MAX_EVENTS + 1000;

	drain(mon);
	for (i = 0; i < opens; i++)
		touch(DIR_A "/a");
	got = drain(mon);
	CHECK("queue-bound", got == MAX_EVENTS &&
	      param("events_dropped") - dropped == (unsigned long long)(opens - got),
	      "read %d, dropped %llu, opened %d", got,
	      param("events_dropped") - dropped, opens);
	pass("queue-bound");
	return 0;
}

/* Openers, registrars and device openers at once, while the parent reads. */
static int check_concurrency(int mon)
{
	enum { OPENERS = 6, OPENS = 400, CHURNERS = 3 };
	unsigned long long dropped = param("events_dropped");
	pid_t kids[OPENERS + CHURNERS];
	int i, alive, status, got = 0, bad = 0;
	struct packet pk;

	drain(mon);
	for (i = 0; i < OPENERS + CHURNERS; i++) {
		kids[i] = fork();
		if (kids[i] < 0)
			return fail("concurrency", "fork");
		if (kids[i] == 0) {
			int n;

			if (i < OPENERS) {
				for (n = 0; n < OPENS; n++)
					touch(DIR_A "/a");
				_exit(0);
			}
			for (n = 0; n < 200; n++) {
				int c = open(CONTROL_NODE, O_RDWR);
				int m = open(MONITOR_NODE, O_RDONLY);

				if (c < 0 || m < 0)
					_exit(1);
				if (exchange(c, PT_ADD_DIR, "/tmp/other") != 0 ||
				    exchange(c, PT_DEL_DIR, "/tmp/other") > 0)
					_exit(2);
				close(m);
				close(c);
			}
			_exit(0);
		}
	}
	alive = OPENERS + CHURNERS;
	while (alive) {
		int r = read_event(mon, &pk, 4096, 50);

		if (r == 1) {
			if (strcmp(pk.path, DIR_A "/a"))
				bad++;
			else
				got++;
		} else if (r < 0) {
			return fail("concurrency", "event read failed");
		}
		while (alive && waitpid(-1, &status, WNOHANG) > 0) {
			alive--;
			if (!WIFEXITED(status) || WEXITSTATUS(status))
				bad++;
		}
	}
	got += drain(mon);
	CHECK("concurrency", !bad && got + (param("events_dropped") - dropped) ==
	      OPENERS * OPENS, "got %d, dropped %llu, bad %d", got,
	      param("events_dropped") - dropped, bad);
	pass("concurrency");
	return 0;
}

static int check_forgotten(void)
{
	int ctl = open(CONTROL_NODE, O_RDWR);
	int mon = open(MONITOR_NODE, O_RDONLY | O_NONBLOCK);
	struct packet pk;

	CHECK("forget-on-close", ctl >= 0 && mon >= 0, "reopen failed");
	touch(DIR_A "/a");
	CHECK("forget-on-close", read_event(mon, &pk, 4096, 300) == 0,
	      "directory still registered: '%s'", pk.path);
	close(mon);
	close(ctl);
	pass("forget-on-close");
	return 0;
}

static int check_open_modes(void)
{
	int fd = open(MONITOR_NODE, O_RDWR);

	CHECK("open-modes", fd < 0, "monitor opened for writing");
	fd = open(CONTROL_NODE, O_RDONLY);
	CHECK("open-modes", fd < 0, "control opened read-only");
	pass("open-modes");
	return 0;
}

/* ---- what is reported, and by which name ---- */

/*
 * Reads every event that comes within ms, keeping those of interest; gives
 * how many came, or -1 on a read error.  Each path read is appended to
 * seen (separated by spaces) for the failure text.
 */
static int collect(int mon, int ms, char *seen, size_t cap, struct packet *last)
{
	struct packet pk;
	int n = 0, r;

	if (seen)
		seen[0] = '\0';
	while ((r = read_event(mon, &pk, 4096, ms)) == 1) {
		n++;
		if (last)
			*last = pk;
		if (seen && strlen(seen) + strlen(pk.path) + 2 < cap) {
			strcat(seen, " ");
			strcat(seen, pk.path);
		}
	}
	return r < 0 ? -1 : n;
}

static void make_file(const char *path)
{
	close(open(path, O_CREAT | O_WRONLY, 0644));
}

/* Forks a child that runs fn and exits with its result; gives that result. */
static int in_child(int (*fn)(void *), void *arg)
{
	pid_t pid = fork();
	int status;

	if (pid < 0)
		return -1;
	if (pid == 0)
		_exit(fn(arg));
	if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
		return -1;
	return WEXITSTATUS(status);
}

#define JAIL_MNT "/tmp/ntj"
#define JAIL JAIL_MNT "/jail"

/* Opens /etc/passwd inside the jail; unshares the mounts first when asked. */
static int jailed_open(void *unshare_mounts)
{
	int fd;

	if (unshare_mounts) {
		if (unshare(CLONE_NEWNS) ||
		    mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL))
			return 10;
	}
	if (chroot(JAIL) || chdir("/"))
		return 11;
	fd = open("/etc/passwd", O_RDONLY);
	if (fd < 0)
		return 12;
	close(fd);
	return 0;
}

/* Withdraws what the checks below may have left registered. */
static void forget_dirs(int ctl)
{
	static const char *const dirs[] = { "/", "/tmp", JAIL_MNT, DIR_A,
					    "/tmp/ntd", "/tmp/ovl/m" };
	size_t i;

	for (i = 0; i < sizeof(dirs) / sizeof(dirs[0]); i++)
		exchange(ctl, PT_DEL_DIR, dirs[i]);
}

static int jail_ready;

/* A tmpfs at JAIL_MNT holding JAIL/etc/passwd. */
static int make_jail(void)
{
	if (jail_ready)
		return 0;
	mkdir(JAIL_MNT, 0755);
	if (mount("jail", JAIL_MNT, "tmpfs", 0, NULL))
		return -1;
	mkdir(JAIL, 0755);
	mkdir(JAIL "/etc", 0755);
	make_file(JAIL "/etc/passwd");
	/* The same name in the checker's root names another file. */
	mkdir("/etc", 0755);
	make_file("/etc/passwd");
	jail_ready = 1;
	return 0;
}

/*
 * A chrooted opener; registered: the jail's mount point only, or every
 * mount point as the daemon does.  Exactly one event, by our name.
 */
static int check_chroot(int ctl, int mon, int all_mounts)
{
	const char *name = all_mounts ? "chroot-all-mounts" : "chroot-own-dir";
	char seen[1024];
	struct packet pk;
	int n, r;

	forget_dirs(ctl);
	CHECK(name, make_jail() == 0, "mount: %s", strerror(errno));
	CHECK(name, exchange(ctl, PT_ADD_DIR, JAIL_MNT) == 0 &&
	      (!all_mounts || (exchange(ctl, PT_ADD_DIR, "/") == 0 &&
			       exchange(ctl, PT_ADD_DIR, "/tmp") == 0)),
	      "ADD_DIR refused");
	drain(mon);
	r = in_child(jailed_open, NULL);
	n = collect(mon, 500, seen, sizeof(seen), &pk);
	forget_dirs(ctl);
	CHECK(name, r == 0 && n == 1 && !strcmp(pk.path, JAIL "/etc/passwd"),
	      "child %d, %d events:%s (want " JAIL "/etc/passwd)", r, n, seen);
	pass(name);
	return 0;
}

/* In a mount namespace of its own the opener is no concern of ours. */
static int check_unshare(int ctl, int mon)
{
	char seen[1024];
	int n, r;

	forget_dirs(ctl);
	CHECK("unshare-chroot", make_jail() == 0, "mount: %s", strerror(errno));
	CHECK("unshare-chroot", exchange(ctl, PT_ADD_DIR, "/") == 0 &&
	      exchange(ctl, PT_ADD_DIR, "/tmp") == 0 &&
	      exchange(ctl, PT_ADD_DIR, JAIL_MNT) == 0, "ADD_DIR refused");
	drain(mon);
	r = in_child(jailed_open, (void *)1);
	n = collect(mon, 500, seen, sizeof(seen), NULL);
	forget_dirs(ctl);
	CHECK("unshare-chroot", r == 0 && n == 0, "child %d, %d events:%s", r,
	      n, seen);
	pass("unshare-chroot");
	return 0;
}

/* A registered mount detached from the tree: no name of ours. */
static int check_detached(int ctl, int mon)
{
	char seen[1024];
	int n, dir;

	forget_dirs(ctl);
	mkdir("/tmp/ntd", 0755);
	CHECK("detached-mount", mount("ntd", "/tmp/ntd", "tmpfs", 0, NULL) == 0,
	      "mount: %s", strerror(errno));
	make_file("/tmp/ntd/f");
	dir = open("/tmp/ntd", O_RDONLY | O_DIRECTORY);
	CHECK("detached-mount", dir >= 0 &&
	      exchange(ctl, PT_ADD_DIR, "/tmp/ntd") == 0, "ADD_DIR refused");
	CHECK("detached-mount", umount2("/tmp/ntd", MNT_DETACH) == 0,
	      "umount: %s", strerror(errno));
	drain(mon);
	close(openat(dir, "f", O_RDONLY));
	n = collect(mon, 500, seen, sizeof(seen), NULL);
	close(dir);
	forget_dirs(ctl);
	CHECK("detached-mount", n == 0, "%d events:%s", n, seen);
	pass("detached-mount");
	return 0;
}

#define OVL "/tmp/ovl"

static int check_overlay(int ctl, int mon)
{
	char seen[1024];
	struct packet pk;
	int n, fd;

	mkdir(OVL, 0755);
	mkdir(OVL "/l", 0755);
	mkdir(OVL "/u", 0755);
	mkdir(OVL "/w", 0755);
	mkdir(OVL "/m", 0755);
	make_file(OVL "/l/g");
	/* With data, so that the copy-up copies it through opened files. */
	fd = open(OVL "/l/gcopy", O_CREAT | O_WRONLY, 0644);
	CHECK("overlay-one-open", fd >= 0 && write(fd, "data\n", 5) == 5,
	      "lower file: %s", strerror(errno));
	close(fd);
	forget_dirs(ctl);
	CHECK("overlay-one-open", mount("overlay", OVL "/m", "overlay", 0,
				        "lowerdir=" OVL "/l,upperdir=" OVL
				        "/u,workdir=" OVL "/w") == 0,
	      "mount overlay: %s", strerror(errno));
	CHECK("overlay-one-open", exchange(ctl, PT_ADD_DIR, "/") == 0 &&
	      exchange(ctl, PT_ADD_DIR, "/tmp") == 0 &&
	      exchange(ctl, PT_ADD_DIR, OVL "/m") == 0, "ADD_DIR refused");
	drain(mon);
	touch(OVL "/m/g");
	n = collect(mon, 500, seen, sizeof(seen), &pk);
	CHECK("overlay-one-open", n == 1 && !strcmp(pk.path, OVL "/m/g"),
	      "%d events:%s (want " OVL "/m/g once)", n, seen);
	pass("overlay-one-open");

	/* Opening a lower file for writing copies it up first. */
	fd = open(OVL "/m/gcopy", O_WRONLY);
	CHECK("overlay-copy-up", fd >= 0, "open: %s", strerror(errno));
	close(fd);
	n = collect(mon, 500, seen, sizeof(seen), &pk);
	CHECK("overlay-copy-up", n == 1 && !strcmp(pk.path, OVL "/m/gcopy"),
	      "%d events:%s (want " OVL "/m/gcopy once)", n, seen);
	pass("overlay-copy-up");

	forget_dirs(ctl);
	umount(OVL "/m");
	return 0;
}

/* Files made, opened and unlinked while the monitor is read. */
static int check_unlinked(int ctl, int mon)
{
	enum { FILES = 3000 };
	struct packet pk;
	int got = 0, deleted = 0, r, status;
	pid_t kid;

	forget_dirs(ctl);
	CHECK("unlinked-names", exchange(ctl, PT_ADD_DIR, DIR_A) == 0,
	      "ADD_DIR refused");
	mkdir(DIR_A "/u", 0755);
	drain(mon);
	kid = fork();
	if (kid == 0) {
		char path[64];
		int i;

		for (i = 0; i < FILES; i++) {
			snprintf(path, sizeof(path), DIR_A "/u/f%d", i % 8);
			make_file(path);
			unlink(path);
		}
		_exit(0);
	}
	while ((r = read_event(mon, &pk, 4096, 300)) == 1 ||
	       waitpid(kid, &status, WNOHANG) == 0) {
		if (r != 1)
			continue;
		got++;
		if (strstr(pk.path, " (deleted)"))
			deleted++;
	}
	got += collect(mon, 300, NULL, 0, NULL);
	exchange(ctl, PT_DEL_DIR, DIR_A);
	CHECK("unlinked-names", r >= 0 && !deleted,
	      "%d of %d events named \"(deleted)\"", deleted, got);
	printf("noxel-test: %d of %d created files reported before their unlink\n",
	       got, FILES);
	pass("unlinked-names");
	return 0;
}

/* A packet begun by one reader is not finished by another. */
static int check_two_readers(int ctl, int mon)
{
	struct packet pk, second;
	uint8_t b[8192];
	uint32_t len;
	int mon2 = open(MONITOR_NODE, O_RDONLY | O_NONBLOCK), r;
	struct pollfd p = { mon, POLLIN, 0 };

	forget_dirs(ctl);
	CHECK("two-readers", mon2 >= 0, "open: %s", strerror(errno));
	CHECK("two-readers", exchange(ctl, PT_ADD_DIR, DIR_A) == 0,
	      "ADD_DIR refused");
	drain(mon);
	touch(DIR_A "/a");
	touch(DIR_A "/a");
	CHECK("two-readers", poll(&p, 1, 2000) == 1 && read(mon, b, 1) == 1,
	      "first byte: %s", strerror(errno));
	r = read_event(mon2, &second, 4096, 2000);
	CHECK("two-readers", r == 1 && !strcmp(second.path, DIR_A "/a"),
	      "the other reader got %d '%s'", r, second.path);
	CHECK("two-readers", read_all(mon, b + 1, 3) == 0, "length: %s",
	      strerror(errno));
	memcpy(&len, b, 4);
	CHECK("two-readers", len < sizeof(b) - 4 && read_all(mon, b + 4, len) == 0 &&
	      !parse(b + 4, len, &pk) && !strcmp(pk.path, DIR_A "/a"),
	      "the first reader's packet (length %u) is broken", len);
	close(mon2);
	exchange(ctl, PT_DEL_DIR, DIR_A);
	pass("two-readers");
	return 0;
}

static int as_nobody(void)
{
	return setgroups(0, NULL) || setresgid(65534, 65534, 65534) ||
	       setresuid(65534, 65534, 65534);
}

#define OPEN_NODE_C "/tmp/nt.control"
#define OPEN_NODE_M "/tmp/nt.monitor"

/* Exit status: a bit per device, or the counter file, that let nobody in. */
static int nobody_opens(void *unused)
{
	int bad = 0, fd;

	(void)unused;
	if (as_nobody())
		return 64;
	fd = open(OPEN_NODE_C, O_RDWR);
	if (fd >= 0 || errno != EPERM)
		bad |= 1;
	fd = open(OPEN_NODE_M, O_RDONLY);
	if (fd >= 0 || errno != EPERM)
		bad |= 2;
	fd = open("/sys/module/noxel/parameters/events_dropped", O_RDONLY);
	if (fd >= 0)
		bad |= 4;
	return bad;
}

static int check_privilege(int major)
{
	static const char *const counters[] = {
		"events_dropped", "events_delivered", "opens_missed",
	};
	char path[128];
	struct stat st;
	size_t i;
	int r;

	unlink(OPEN_NODE_C);
	unlink(OPEN_NODE_M);
	CHECK("nobody-open", mknod(OPEN_NODE_C, S_IFCHR | 0666,
				   makedev(major, 1)) == 0 &&
	      mknod(OPEN_NODE_M, S_IFCHR | 0666, makedev(major, 0)) == 0 &&
	      chmod(OPEN_NODE_C, 0666) == 0 && chmod(OPEN_NODE_M, 0666) == 0,
	      "mknod: %s", strerror(errno));
	r = in_child(nobody_opens, NULL);
	unlink(OPEN_NODE_C);
	unlink(OPEN_NODE_M);
	CHECK("nobody-open", r == 0, "nobody got in (%d: 1 control, 2 monitor, 4 counters)",
	      r);
	for (i = 0; i < sizeof(counters) / sizeof(counters[0]); i++) {
		snprintf(path, sizeof(path), "/sys/module/noxel/parameters/%s",
			 counters[i]);
		CHECK("nobody-open", stat(path, &st) == 0 && !(st.st_mode & 0077),
		      "%s has mode %o", counters[i], st.st_mode & 07777);
	}
	pass("nobody-open");
	return 0;
}

/*
 * Goes down a chain of 200-byte directory names under base until the
 * working directory's name is at least min bytes long; gives that length.
 */
static size_t deep_dir(const char *base, size_t min, char fill)
{
	char name[201];
	size_t total = strlen(base);

	memset(name, fill, 200);
	name[200] = '\0';
	mkdir(base, 0755);
	if (chdir(base))
		return 0;
	while (total < min) {
		mkdir(name, 0755);
		if (chdir(name))
			return 0;
		total += 201;
	}
	return total;
}

/* Opens outside every registered directory are never counted as lost. */
static int check_long_outside(int ctl, int mon)
{
	unsigned long long dropped;
	int top = open(".", O_RDONLY | O_DIRECTORY), i, n;
	size_t total;

	forget_dirs(ctl);
	CHECK("long-path-outside", exchange(ctl, PT_ADD_DIR, DIR_A) == 0,
	      "ADD_DIR refused");
	total = deep_dir("/tmp/ntlong", 4200, 'l');
	CHECK("long-path-outside", total >= 4200, "chdir");
	make_file("f");
	drain(mon);
	dropped = param("events_dropped");
	for (i = 0; i < 10; i++)
		touch("f");
	n = collect(mon, 300, NULL, 0, NULL);
	fchdir(top);
	close(top);
	exchange(ctl, PT_DEL_DIR, DIR_A);
	CHECK("long-path-outside", n == 0 && param("events_dropped") == dropped,
	      "%d events, dropped %llu -> %llu", n, dropped,
	      param("events_dropped"));
	pass("long-path-outside");
	return 0;
}

static long long meminfo_kb(const char *key)
{
	char line[256];
	long long v = -1;
	size_t n = strlen(key);
	FILE *f = fopen("/proc/meminfo", "r");

	if (!f)
		return -1;
	while (fgets(line, sizeof(line), f))
		if (!strncmp(line, key, n) && line[n] == ':')
			v = strtoll(line + n + 1, NULL, 10);
	fclose(f);
	return v;
}

#define FLOOD_OPENS 30000

/* An unprivileged user opens one file of a long name over and over. */
static int flood(void *name)
{
	int i;

	if (as_nobody())
		return 64;
	for (i = 0; i < FLOOD_OPENS; i++) {
		int fd = open(name, O_RDONLY);

		if (fd < 0)
			return 65;
		close(fd);
	}
	return 0;
}

static int check_flood(int ctl, int mon)
{
	unsigned long long bound_kb = param("max_queue_kb");
	unsigned long long max_events = param("max_events");
	long long before, after;
	char name[64];
	int top = open(".", O_RDONLY | O_DIRECTORY), r, queued;
	size_t total;

	forget_dirs(ctl);
	CHECK("flood-bound", exchange(ctl, PT_ADD_DIR, DIR_A) == 0,
	      "ADD_DIR refused");
	total = deep_dir(DIR_A "/flood", 3800, 'f');
	CHECK("flood-bound", total >= 3800, "chdir");
	memset(name, 'n', sizeof(name) - 1);
	name[sizeof(name) - 1] = '\0';
	make_file(name);
	drain(mon);
	before = meminfo_kb("SUnreclaim");
	r = in_child(flood, name);
	after = meminfo_kb("SUnreclaim");
	queued = drain(mon);
	fchdir(top);
	close(top);
	exchange(ctl, PT_DEL_DIR, DIR_A);
	printf("noxel-test: flood of %d opens of a %zu-byte name: %d queued, SUnreclaim %+lld kB, max_queue_kb %llu\n",
	       FLOOD_OPENS, total + 1 + strlen(name), queued, after - before,
	       bound_kb);
	CHECK("flood-bound", r == 0, "flooding child ended with %d", r);
	CHECK("flood-bound", queued > 0 && (unsigned long long)queued <= max_events &&
	      before >= 0 && after - before < (long long)bound_kb,
	      "%d queued (max_events %llu), SUnreclaim %+lld kB for a bound of %llu kB",
	      queued, max_events, after - before, bound_kb);
	pass("flood-bound");
	return 0;
}

static int run_devices(void)
{
	int ctl, mon, major;

	mkdir(DIR_A, 0755);
	mkdir("/tmp/ntx", 0755);
	close(open(DIR_A "/a", O_CREAT | O_WRONLY, 0644));
	close(open("/tmp/ntx/b", O_CREAT | O_WRONLY, 0644));
	mkdir("/tmp/other", 0755);
	unlink("/tmp/ntlink");
	symlink(DIR_A, "/tmp/ntlink");

	major = make_nodes();
	if (major < 0)
		return fail("proc-devices", "no noxel line among character devices");
	pass("proc-devices");
	ctl = open(CONTROL_NODE, O_RDWR);
	mon = open(MONITOR_NODE, O_RDONLY | O_NONBLOCK);
	if (ctl < 0 || mon < 0)
		return fail("open", "%s", strerror(errno));

	if (check_control(ctl) || check_events(ctl, mon) ||
	    check_long_paths(ctl, mon))
		return -1;
	if (exchange(ctl, PT_ADD_DIR, DIR_A) != 0)
		return fail("queue-bound", "ADD_DIR refused");
	if (check_queue_bound(mon) || check_concurrency(mon) || check_open_modes())
		return -1;
	exchange(ctl, PT_DEL_DIR, DIR_A);
	/* Each sets up and registers what it needs: all of them run. */
	check_chroot(ctl, mon, 0);
	check_chroot(ctl, mon, 1);
	check_unshare(ctl, mon);
	check_detached(ctl, mon);
	check_overlay(ctl, mon);
	check_unlinked(ctl, mon);
	check_two_readers(ctl, mon);
	check_privilege(major);
	check_long_outside(ctl, mon);
	check_flood(ctl, mon);
	if (failures)
		return -1;
	close(mon);
	close(ctl);
	return check_forgotten();
}

static int delete_module(void)
{
	return syscall(SYS_delete_module, "noxel", O_NONBLOCK);
}

static int run_unload(void)
{
	int mon, ctl;

	if (make_nodes() < 0)
		return fail("unload-open", "module not loaded");
	mon = open(MONITOR_NODE, O_RDONLY);
	CHECK("unload-open", mon >= 0, "open: %s", strerror(errno));
	CHECK("unload-open", delete_module() < 0,
	      "module unloaded with the monitor open");
	close(mon);
	ctl = open(CONTROL_NODE, O_RDWR);
	CHECK("unload-open", ctl >= 0, "open: %s", strerror(errno));
	CHECK("unload-open", delete_module() < 0,
	      "module unloaded with the control open");
	close(ctl);
	CHECK("unload-open", delete_module() == 0, "unload after close: %s",
	      strerror(errno));
	pass("unload-open");
	return 0;
}

/*
 * A stand-in daemon registers "/" and "/tmp" and reads while others open files; it is
 * killed mid-stream and the module is unloaded at once.
 */
static int run_gone(void)
{
	pid_t daemon, opener;
	int status, tries, round;

	if (make_nodes() < 0)
		return fail("unload-daemon-gone", "module not loaded");
	mkdir(DIR_A, 0755);
	close(open(DIR_A "/a", O_CREAT | O_WRONLY, 0644));
	opener = fork();
	if (opener == 0) {
		for (;;)
			touch(DIR_A "/a");
	}
	/* Several lifetimes: every death closes the last device. */
	for (round = 0; round < 5; round++) {
		daemon = fork();
		if (daemon == 0) {
			int ctl = open(CONTROL_NODE, O_RDWR);
			int mon = open(MONITOR_NODE, O_RDONLY);
			char b[4096];

			/* The mount points, as the daemon registers them. */
			if (ctl < 0 || mon < 0 ||
			    exchange(ctl, PT_ADD_DIR, "/") != 0 ||
			    exchange(ctl, PT_ADD_DIR, "/tmp") != 0)
				_exit(1);
			for (;;)
				if (read(mon, b, sizeof(b)) <= 0)
					_exit(2);
		}
		usleep(300000);
		kill(daemon, SIGKILL);
		waitpid(daemon, &status, 0);
		CHECK("unload-daemon-gone", WIFSIGNALED(status),
		      "stand-in daemon ended by itself: %d", status);
	}
	for (tries = 0; tries < 500 && delete_module() < 0; tries++)
		usleep(10000);
	kill(opener, SIGKILL);
	waitpid(opener, &status, 0);
	CHECK("unload-daemon-gone", tries < 500, "unload: %s", strerror(errno));
	pass("unload-daemon-gone");
	return 0;
}

int main(int argc, char **argv)
{
	const char *what = argc > 1 ? argv[1] : "devices";

	setvbuf(stdout, NULL, _IOLBF, 0);
	if (!strcmp(what, "devices"))
		run_devices();
	else if (!strcmp(what, "unload"))
		run_unload();
	else if (!strcmp(what, "gone"))
		run_gone();
	else
		fail("usage", "devices, unload or gone");
	printf("noxel-test: RESULT %s\n", failures ? "failed" : "ok");
	return failures ? 1 : 0;
}
