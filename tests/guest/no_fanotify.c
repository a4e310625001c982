/*
 * Runs a program with fanotify_init failing with EPERM, as on a kernel or in
 * a container where fanotify cannot be used. The filter is inherited across
 * fork and exec, so a daemon started by the program is covered too.
 *
 * Usage: nt-no-fanotify PROGRAM [ARGS...]
 */
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

int main(int argc, char **argv)
{
	struct sock_filter filter[] = {
		/* Another architecture's numbers mean other calls: let them be. */
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fanotify_init, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {
		.len = sizeof(filter) / sizeof(filter[0]),
		.filter = filter,
	};

	if (argc < 2) {
		fprintf(stderr, "Usage: nt-no-fanotify PROGRAM [ARGS...]\n");
		return 2;
	}
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
		fprintf(stderr, "nt-no-fanotify: PR_SET_NO_NEW_PRIVS: %s\n", strerror(errno));
		return 1;
	}
	if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
		fprintf(stderr, "nt-no-fanotify: PR_SET_SECCOMP: %s\n", strerror(errno));
		return 1;
	}
	/* The filter must bite, or a run under it proves nothing. */
	if (syscall(__NR_fanotify_init, 0, 0) >= 0 || errno != EPERM) {
		fprintf(stderr, "nt-no-fanotify: fanotify_init was not refused\n");
		return 1;
	}
	execvp(argv[1], argv + 1);
	fprintf(stderr, "nt-no-fanotify: %s: %s\n", argv[1], strerror(errno));
	return 127;
}
