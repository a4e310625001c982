// SPDX-License-Identifier: GPL-2.0
/*
 * The monitor device and the hook that feeds it.
 *
 * A kprobe in security_file_open() sees every open of a file once its
 * permission checks have passed, in the opener's context, with the file's
 * path already set.  The handler runs with preemption disabled: it resolves
 * the path into a per-CPU buffer, builds the EVENT_PATH packet with an
 * atomic allocation and appends it to one bounded queue.  Whatever cannot be
 * queued (queue full, no memory, a path too long) is counted as dropped.
 *
 * Readers take one packet at a time: a read never returns bytes of two
 * packets, so each read completes at most one packet.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/atomic.h>
#include <linux/err.h>
#include <linux/kprobes.h>
#include <linux/list.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/percpu.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/wait.h>
#include <asm/ftrace.h>
#include <asm/ibt.h>

#include "noxel.h"

static unsigned int max_events = 16384;
module_param(max_events, uint, 0444);
MODULE_PARM_DESC(max_events, "Most events waiting to be read");

static unsigned int max_queue_kb = 16384;
module_param(max_queue_kb, uint, 0444);
MODULE_PARM_DESC(max_queue_kb, "Most KiB of events waiting to be read");

struct noxel_event {
	struct list_head node;
	size_t len;
	size_t off;
	u8 data[];
};

/*
 * The hook only appends, and only while a reader has the device open;
 * readers remove from the head one at a time under read_lock, which lets a
 * reader copy the head packet to user space without holding the spinlock.
 * The spinlock is never taken in interrupt context: opens happen only in
 * process context.
 */
static struct {
	spinlock_t lock;
	struct list_head events;
	size_t count;
	size_t bytes;
	unsigned int readers;
	u64 dropped;
	u64 delivered;
	struct mutex read_lock;
	wait_queue_head_t wait;
} noxel_queue = {
	.lock = __SPIN_LOCK_UNLOCKED(noxel_queue.lock),
	.events = LIST_HEAD_INIT(noxel_queue.events),
	.read_lock = __MUTEX_INITIALIZER(noxel_queue.read_lock),
	.wait = __WAIT_QUEUE_HEAD_INITIALIZER(noxel_queue.wait),
};

static char __percpu *noxel_path_buf;

static int noxel_param_get_dropped(char *buffer, const struct kernel_param *kp)
{
	u64 dropped;

	spin_lock(&noxel_queue.lock);
	dropped = noxel_queue.dropped;
	spin_unlock(&noxel_queue.lock);
	return sysfs_emit(buffer, "%llu\n", dropped);
}

static const struct kernel_param_ops noxel_dropped_ops = {
	.get = noxel_param_get_dropped,
};
module_param_cb(events_dropped, &noxel_dropped_ops, NULL, 0444);
MODULE_PARM_DESC(events_dropped,
		 "Events lost since loading: queue full, no memory, path too long");

static int noxel_param_get_delivered(char *buffer,
				     const struct kernel_param *kp)
{
	u64 delivered;

	spin_lock(&noxel_queue.lock);
	delivered = noxel_queue.delivered;
	spin_unlock(&noxel_queue.lock);
	return sysfs_emit(buffer, "%llu\n", delivered);
}

static const struct kernel_param_ops noxel_delivered_ops = {
	.get = noxel_param_get_delivered,
};
module_param_cb(events_delivered, &noxel_delivered_ops, NULL, 0444);
MODULE_PARM_DESC(events_delivered, "Events read whole since loading");

static void noxel_count_drop(void)
{
	u64 dropped;

	spin_lock(&noxel_queue.lock);
	dropped = ++noxel_queue.dropped;
	spin_unlock(&noxel_queue.lock);
	pr_warn_ratelimited("event lost, %llu lost since loading\n", dropped);
}

static struct noxel_event *noxel_event_new(const char *path, size_t len,
					   pid_t pid)
{
	size_t size = noxel_event_size(len);
	struct noxel_event *ev;

	ev = kmalloc(struct_size(ev, data, size), GFP_ATOMIC | __GFP_NOWARN);
	if (!ev)
		return NULL;
	if (WARN_ON_ONCE(noxel_build_event(ev->data, size, path, len, pid) !=
			 (int)size)) {
		kfree(ev);
		return NULL;
	}
	ev->len = size;
	ev->off = 0;
	return ev;
}

static void noxel_queue_push(struct noxel_event *ev)
{
	bool queued = false, full = false;
	u64 dropped = 0;

	spin_lock(&noxel_queue.lock);
	if (!noxel_queue.readers) {
		/* The last reader went while the path was resolved. */
	} else if (noxel_queue.count >= max_events ||
		   noxel_queue.bytes + ev->len > (size_t)max_queue_kb * 1024) {
		dropped = ++noxel_queue.dropped;
		full = true;
	} else {
		list_add_tail(&ev->node, &noxel_queue.events);
		WRITE_ONCE(noxel_queue.count, noxel_queue.count + 1);
		noxel_queue.bytes += ev->len;
		queued = true;
	}
	spin_unlock(&noxel_queue.lock);

	if (queued) {
		wake_up_interruptible(&noxel_queue.wait);
		return;
	}
	kfree(ev);
	if (full)
		pr_warn_ratelimited("event queue full, %llu events lost since loading\n",
				    dropped);
}

static int noxel_open_hook(struct kprobe *p, struct pt_regs *regs)
{
	struct file *file = (struct file *)regs_get_kernel_argument(regs, 0);
	struct noxel_event *ev;
	char *buf, *path;
	size_t len;

	if (!READ_ONCE(noxel_queue.readers) || !noxel_dirs_any())
		return 0;
	/*
	 * Regular files only: the devices themselves, pipes, sockets and
	 * directories are no file accesses to check, and reading the monitor
	 * device never passes here at all.  Unlinked files have no name.
	 */
	if (!file || !S_ISREG(file_inode(file)->i_mode) ||
	    d_unlinked(file->f_path.dentry))
		return 0;

	/* Preemption is disabled in the handler: the buffer stays ours. */
	buf = this_cpu_ptr(noxel_path_buf);
	path = d_path(&file->f_path, buf, PATH_MAX);
	if (IS_ERR(path)) {
		noxel_count_drop();
		return 0;
	}
	len = strlen(path);
	if (!noxel_dirs_match(path, len))
		return 0;

	ev = noxel_event_new(path, len, task_tgid_nr(current));
	if (!ev) {
		noxel_count_drop();
		return 0;
	}
	noxel_queue_push(ev);
	return 0;
}

/*
 * The probe sits on the first instruction after the function's ftrace call
 * site, so it is a breakpoint probe (optimized to a jump where possible)
 * rather than an ftrace one: unregistering the ftrace-based probe while
 * opens kept hitting it sent a CPU to address 0 on Debian's 6.1 kernel in
 * our guest runs, and the breakpoint probe never did.  Registration fails
 * cleanly should the offset not fall on an instruction boundary.
 */
static struct kprobe noxel_kprobe = {
	.symbol_name = "security_file_open",
	.offset = ENDBR_INSN_SIZE + MCOUNT_INSN_SIZE,
	.pre_handler = noxel_open_hook,
};

static int noxel_param_get_missed(char *buffer, const struct kernel_param *kp)
{
	return sysfs_emit(buffer, "%lu\n", READ_ONCE(noxel_kprobe.nmissed));
}

static const struct kernel_param_ops noxel_missed_ops = {
	.get = noxel_param_get_missed,
};
module_param_cb(opens_missed, &noxel_missed_ops, NULL, 0444);
MODULE_PARM_DESC(opens_missed,
		 "Opens the probe did not see: it fired inside another probe");

static int noxel_monitor_open(struct inode *inode, struct file *file)
{
	if (file->f_mode & FMODE_WRITE)
		return -EPERM;
	spin_lock(&noxel_queue.lock);
	WRITE_ONCE(noxel_queue.readers, noxel_queue.readers + 1);
	spin_unlock(&noxel_queue.lock);
	noxel_user_get();
	return stream_open(inode, file);
}

/* Called with read_lock held: hands every queued event to the caller. */
static void noxel_queue_take_all(struct list_head *out)
{
	spin_lock(&noxel_queue.lock);
	list_splice_init(&noxel_queue.events, out);
	WRITE_ONCE(noxel_queue.count, 0);
	noxel_queue.bytes = 0;
	spin_unlock(&noxel_queue.lock);
}

static void noxel_events_free(struct list_head *events)
{
	struct noxel_event *ev, *next;

	list_for_each_entry_safe(ev, next, events, node)
		kfree(ev);
}

static int noxel_monitor_release(struct inode *inode, struct file *file)
{
	LIST_HEAD(stale);
	unsigned int left;

	mutex_lock(&noxel_queue.read_lock);
	spin_lock(&noxel_queue.lock);
	left = noxel_queue.readers - 1;
	WRITE_ONCE(noxel_queue.readers, left);
	spin_unlock(&noxel_queue.lock);
	if (!left)
		noxel_queue_take_all(&stale);
	mutex_unlock(&noxel_queue.read_lock);
	noxel_events_free(&stale);
	noxel_user_put();
	return 0;
}

static bool noxel_queue_ready(void)
{
	return READ_ONCE(noxel_queue.count) != 0;
}

static ssize_t noxel_monitor_read(struct file *file, char __user *buf,
				  size_t count, loff_t *ppos)
{
	struct noxel_event *ev;
	size_t n;
	int err;

	if (!count)
		return 0;
	for (;;) {
		err = mutex_lock_interruptible(&noxel_queue.read_lock);
		if (err)
			return err;
		spin_lock(&noxel_queue.lock);
		ev = list_first_entry_or_null(&noxel_queue.events,
					      struct noxel_event, node);
		spin_unlock(&noxel_queue.lock);
		if (ev)
			break;
		mutex_unlock(&noxel_queue.read_lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		err = wait_event_interruptible(noxel_queue.wait,
					       noxel_queue_ready());
		if (err)
			return err;
	}

	/* Only the holder of read_lock removes the head or moves its offset. */
	n = min(count, ev->len - ev->off);
	if (copy_to_user(buf, ev->data + ev->off, n)) {
		mutex_unlock(&noxel_queue.read_lock);
		return -EFAULT;
	}
	ev->off += n;
	if (ev->off == ev->len) {
		spin_lock(&noxel_queue.lock);
		list_del(&ev->node);
		WRITE_ONCE(noxel_queue.count, noxel_queue.count - 1);
		noxel_queue.bytes -= ev->len;
		noxel_queue.delivered++;
		spin_unlock(&noxel_queue.lock);
	} else {
		ev = NULL;
	}
	mutex_unlock(&noxel_queue.read_lock);
	kfree(ev);
	return n;
}

static __poll_t noxel_monitor_poll(struct file *file, poll_table *wait)
{
	poll_wait(file, &noxel_queue.wait, wait);
	return noxel_queue_ready() ? EPOLLIN | EPOLLRDNORM : 0;
}

const struct file_operations noxel_monitor_fops = {
	.owner = THIS_MODULE,
	.open = noxel_monitor_open,
	.release = noxel_monitor_release,
	.read = noxel_monitor_read,
	.poll = noxel_monitor_poll,
	.llseek = no_llseek,
};

int noxel_monitor_init(void)
{
	int err;

	if (!max_events || !max_queue_kb) {
		pr_err("max_events and max_queue_kb must be positive\n");
		return -EINVAL;
	}
	noxel_path_buf = __alloc_percpu(PATH_MAX, SMP_CACHE_BYTES);
	if (!noxel_path_buf)
		return -ENOMEM;
	err = register_kprobe(&noxel_kprobe);
	if (err) {
		pr_err("cannot probe %s: %d\n", noxel_kprobe.symbol_name, err);
		free_percpu(noxel_path_buf);
		return err;
	}
	return 0;
}

/* No device is open (each open holds a module reference). */
void noxel_monitor_exit(void)
{
	LIST_HEAD(stale);

	/* Returns once no handler runs any more. */
	unregister_kprobe(&noxel_kprobe);
	free_percpu(noxel_path_buf);
	mutex_lock(&noxel_queue.read_lock);
	noxel_queue_take_all(&stale);
	mutex_unlock(&noxel_queue.read_lock);
	noxel_events_free(&stale);
	if (noxel_kprobe.nmissed)
		pr_info("%lu opens missed by the probe\n", noxel_kprobe.nmissed);
}
