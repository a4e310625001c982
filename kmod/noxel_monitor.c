// SPDX-License-Identifier: GPL-2.0
/*
 * The monitor device and the hook that feeds it.
 *
 * A kprobe in security_file_open() sees every open of a file once its
 * permission checks have passed, in the opener's context, with the file's
 * path already set.  The handler runs with preemption disabled and takes
 * no name: it matches the open's mount and dentry against the registered
 * directories and queues a reference to the file's path, with the opener's
 * pid, in a slot of a pool allocated at load.  Whatever finds no free slot
 * is counted as dropped.
 *
 * The name is formed when the event is read, in the reader's context: from
 * the reader's root (the daemon's), as its own readlink of the file would
 * give it, whatever root the opener had.  A file the reader cannot reach
 * from its root, on a mount detached from its tree or in another mount
 * namespace, is not reported; nor is a file unlinked by then, whose name
 * would carry the kernel's " (deleted)".
 *
 * Every open file of the device is a reader with its own packet: a read
 * never returns bytes of two packets, and a packet begun by one reader is
 * finished by that reader only.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/atomic.h>
#include <linux/dcache.h>
#include <linux/err.h>
#include <linux/fs_struct.h>
#include <linux/kprobes.h>
#include <linux/delay.h>
#include <linux/list.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/path.h>
#include <linux/poll.h>
#include <linux/preempt.h>
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

/*
 * A queued open.  The path reference keeps the file's dentry and mount
 * until the event is read or the queue is emptied, as a fanotify event's
 * open file does.
 */
struct noxel_event {
	struct list_head node;
	struct path path;
	pid_t pid;
};

/*
 * The queue and its pool, under one spinlock, which is never taken in
 * interrupt context: opens happen in process context only, and the hook
 * returns at once in an NMI-like one.  Open, release and the emptying of
 * the queue at the last release agree under it.
 */
static struct {
	spinlock_t lock;
	struct list_head events;
	struct list_head free;
	size_t count;
	unsigned int readers;
	u64 dropped;
	u64 delivered;
	wait_queue_head_t wait;
} noxel_queue = {
	.lock = __SPIN_LOCK_UNLOCKED(noxel_queue.lock),
	.events = LIST_HEAD_INIT(noxel_queue.events),
	.free = LIST_HEAD_INIT(noxel_queue.free),
	.wait = __WAIT_QUEUE_HEAD_INITIALIZER(noxel_queue.wait),
};

static struct noxel_event *noxel_pool;
static size_t noxel_pool_size;

/* Opens the hook saw where it could not safely work. */
static atomic_long_t noxel_missed = ATOMIC_LONG_INIT(0);
/* Set once the hook has run from the kernel's jump rather than a breakpoint. */
static bool noxel_probe_jumps;

/* One open file of the device: the packet it is reading. */
struct noxel_reader {
	struct mutex lock;	/* one read at a time */
	size_t len;		/* bytes of the packet in pkt */
	size_t off;		/* of which already read */
	char *name;		/* PATH_MAX bytes for the name */
	u8 pkt[];
};

static u64 noxel_queue_read_counter(const u64 *counter)
{
	u64 value;

	spin_lock(&noxel_queue.lock);
	value = *counter;
	spin_unlock(&noxel_queue.lock);
	return value;
}

static int noxel_param_get_dropped(char *buffer, const struct kernel_param *kp)
{
	return sysfs_emit(buffer, "%llu\n",
			  noxel_queue_read_counter(&noxel_queue.dropped));
}

static const struct kernel_param_ops noxel_dropped_ops = {
	.get = noxel_param_get_dropped,
};
/* The counters tell of other users' opens: root only. */
module_param_cb(events_dropped, &noxel_dropped_ops, NULL, 0400);
MODULE_PARM_DESC(events_dropped,
		 "Events lost since loading: queue full, path too long");

static int noxel_param_get_delivered(char *buffer,
				     const struct kernel_param *kp)
{
	return sysfs_emit(buffer, "%llu\n",
			  noxel_queue_read_counter(&noxel_queue.delivered));
}

static const struct kernel_param_ops noxel_delivered_ops = {
	.get = noxel_param_get_delivered,
};
module_param_cb(events_delivered, &noxel_delivered_ops, NULL, 0400);
MODULE_PARM_DESC(events_delivered, "Events read whole since loading");

static void noxel_count_drop(void)
{
	u64 dropped;

	spin_lock(&noxel_queue.lock);
	dropped = ++noxel_queue.dropped;
	spin_unlock(&noxel_queue.lock);
	pr_warn_ratelimited("event lost, %llu lost since loading\n", dropped);
}

/* Any context but NMI; takes a path reference only for a queued event. */
static void noxel_queue_push(const struct path *path, pid_t pid)
{
	struct noxel_event *ev;
	u64 dropped;

	spin_lock(&noxel_queue.lock);
	if (!noxel_queue.readers) {
		/* The last reader went meanwhile. */
		spin_unlock(&noxel_queue.lock);
		return;
	}
	ev = list_first_entry_or_null(&noxel_queue.free, struct noxel_event,
				      node);
	if (!ev) {
		dropped = ++noxel_queue.dropped;
		spin_unlock(&noxel_queue.lock);
		pr_warn_ratelimited("event queue full, %llu events lost since loading\n",
				    dropped);
		return;
	}
	ev->path = *path;
	path_get(&ev->path);
	ev->pid = pid;
	list_move_tail(&ev->node, &noxel_queue.events);
	WRITE_ONCE(noxel_queue.count, noxel_queue.count + 1);
	spin_unlock(&noxel_queue.lock);
	wake_up_interruptible(&noxel_queue.wait);
}

/* Takes the oldest event's path reference and pid; its slot is free again. */
static bool noxel_queue_take(struct path *path, pid_t *pid)
{
	struct noxel_event *ev;

	spin_lock(&noxel_queue.lock);
	ev = list_first_entry_or_null(&noxel_queue.events, struct noxel_event,
				      node);
	if (ev) {
		*path = ev->path;
		*pid = ev->pid;
		list_move(&ev->node, &noxel_queue.free);
		WRITE_ONCE(noxel_queue.count, noxel_queue.count - 1);
	}
	spin_unlock(&noxel_queue.lock);
	return ev;
}

/* Process context: drops the references of taken events, frees their slots. */
static void noxel_events_release(struct list_head *events)
{
	struct noxel_event *ev;

	if (list_empty(events))
		return;
	list_for_each_entry(ev, events, node)
		path_put(&ev->path);
	spin_lock(&noxel_queue.lock);
	list_splice(events, &noxel_queue.free);
	spin_unlock(&noxel_queue.lock);
}

static int noxel_open_hook(struct kprobe *p, struct pt_regs *regs)
{
	struct file *file = (struct file *)regs_get_kernel_argument(regs, 0);

	/*
	 * Until the kernel has optimized the probe to a jump, and again while
	 * it unregisters it, the hook runs from a breakpoint, in an NMI-like
	 * context that may have interrupted a holder of any lock it takes.
	 */
	if (in_nmi()) {
		if (READ_ONCE(noxel_queue.readers) && noxel_dirs_any())
			atomic_long_inc(&noxel_missed);
		return 0;
	}
	if (unlikely(!READ_ONCE(noxel_probe_jumps)))
		WRITE_ONCE(noxel_probe_jumps, true);
	if (!READ_ONCE(noxel_queue.readers) || !noxel_dirs_any())
		return 0;
	/*
	 * Regular files only: the devices themselves, pipes, sockets and
	 * directories are no file accesses to check, and reading the monitor
	 * device never passes here at all.  Opens marked not to notify are
	 * those the kernel makes for a file system (overlayfs opening its
	 * layers' files for an open already seen), as fanotify skips them.
	 * Unlinked files have no name.
	 */
	if (!file || !S_ISREG(file_inode(file)->i_mode) ||
	    (file->f_mode & FMODE_NONOTIFY) || d_unlinked(file->f_path.dentry))
		return 0;
	if (!noxel_dirs_match(&file->f_path))
		return 0;
	noxel_queue_push(&file->f_path, task_tgid_nr(current));
	return 0;
}

/*
 * The probe sits on the first instruction after the function's ftrace call
 * site, so it is a breakpoint probe (optimized to a jump where possible)
 * rather than an ftrace one: unregistering the ftrace-based probe while
 * opens kept hitting it sent a CPU to address 0 on Debian's 6.1 kernel in
 * our guest runs, and the breakpoint probe never did.  Registration fails
 * should the offset not fall on an instruction boundary; the load is
 * refused should the bytes before it not be that call site.
 */
static struct kprobe noxel_kprobe = {
	.symbol_name = "security_file_open",
	.offset = ENDBR_INSN_SIZE + MCOUNT_INSN_SIZE,
	.pre_handler = noxel_open_hook,
};

/*
 * The function's start as a kernel built with ftrace has it: an endbr64
 * where indirect branch tracking is built in, then the call site, a 5-byte
 * nop until a tracer makes it a call.
 */
static int noxel_probe_check(void)
{
	static const u8 endbr64[] = { 0xf3, 0x0f, 0x1e, 0xfa };
	static const u8 nop5[] = { 0x0f, 0x1f, 0x44, 0x00, 0x00 };
	u8 start[ENDBR_INSN_SIZE + MCOUNT_INSN_SIZE];
	const u8 *site = start + ENDBR_INSN_SIZE;

	BUILD_BUG_ON(MCOUNT_INSN_SIZE != sizeof(nop5));
	BUILD_BUG_ON(ENDBR_INSN_SIZE && ENDBR_INSN_SIZE != sizeof(endbr64));
	if (copy_from_kernel_nofault(start, (u8 *)noxel_kprobe.addr -
				     sizeof(start), sizeof(start)))
		return -EFAULT;
	if (ENDBR_INSN_SIZE && memcmp(start, endbr64, sizeof(endbr64)))
		return -ENOEXEC;
	if (memcmp(site, nop5, sizeof(nop5)) && site[0] != 0xe8)
		return -ENOEXEC;
	return 0;
}

/*
 * The kernel optimizes a new probe after a delay that includes an RCU
 * tasks grace period, which under load or emulation takes seconds; every
 * open until then would be missed, so the devices wait for it.  Opening
 * the root directory runs the hook.
 */
#define NOXEL_OPTIMIZE_WAIT_MS	30000

static int noxel_probe_wait(void)
{
	unsigned int waited;
	struct file *f;

	for (waited = 0; !READ_ONCE(noxel_probe_jumps); waited += 20) {
		if (waited >= NOXEL_OPTIMIZE_WAIT_MS)
			return -ETIME;
		f = filp_open("/", O_RDONLY | O_DIRECTORY, 0);
		if (!IS_ERR(f))
			filp_close(f, NULL);
		msleep(20);
	}
	return 0;
}

static int noxel_param_get_missed(char *buffer, const struct kernel_param *kp)
{
	return sysfs_emit(buffer, "%lu\n", READ_ONCE(noxel_kprobe.nmissed) +
			  atomic_long_read(&noxel_missed));
}

static const struct kernel_param_ops noxel_missed_ops = {
	.get = noxel_param_get_missed,
};
module_param_cb(opens_missed, &noxel_missed_ops, NULL, 0400);
MODULE_PARM_DESC(opens_missed,
		 "Opens the probe did not see: inside another probe, or from a breakpoint");

static int noxel_monitor_open(struct inode *inode, struct file *file)
{
	struct noxel_reader *r;

	if (file->f_mode & FMODE_WRITE)
		return -EPERM;
	r = kmalloc(struct_size(r, pkt, noxel_event_size(PATH_MAX - 1)),
		    GFP_KERNEL);
	if (!r)
		return -ENOMEM;
	r->name = kmalloc(PATH_MAX, GFP_KERNEL);
	if (!r->name) {
		kfree(r);
		return -ENOMEM;
	}
	mutex_init(&r->lock);
	r->len = 0;
	r->off = 0;
	file->private_data = r;
	spin_lock(&noxel_queue.lock);
	WRITE_ONCE(noxel_queue.readers, noxel_queue.readers + 1);
	spin_unlock(&noxel_queue.lock);
	noxel_user_get();
	return stream_open(inode, file);
}

static int noxel_monitor_release(struct inode *inode, struct file *file)
{
	struct noxel_reader *r = file->private_data;
	LIST_HEAD(stale);

	spin_lock(&noxel_queue.lock);
	WRITE_ONCE(noxel_queue.readers, noxel_queue.readers - 1);
	if (!noxel_queue.readers) {
		list_splice_init(&noxel_queue.events, &stale);
		WRITE_ONCE(noxel_queue.count, 0);
	}
	spin_unlock(&noxel_queue.lock);
	noxel_events_release(&stale);
	kfree(r->name);
	kfree(r);
	noxel_user_put();
	return 0;
}

static bool noxel_queue_ready(void)
{
	return READ_ONCE(noxel_queue.count) != 0;
}

/*
 * Makes the reader's packet of a taken event, in the reader's context;
 * false when the event is not reported.
 */
static bool noxel_reader_fill(struct noxel_reader *r, const struct path *path,
			      pid_t pid)
{
	struct path root;
	bool reachable;
	char *name;
	int len;

	/* A reader without a root of its own names nothing. */
	if (!current->fs)
		return false;
	get_fs_root(current->fs, &root);
	reachable = path_is_under(path, &root);
	path_put(&root);
	if (!reachable)
		return false;
	name = d_path(path, r->name, PATH_MAX);
	if (IS_ERR(name)) {
		/* A matched open whose name is too long: lost. */
		noxel_count_drop();
		return false;
	}
	/*
	 * Unlinking is for good: a file unlinked after the name was formed
	 * is gone as well.
	 */
	if (d_unlinked(path->dentry))
		return false;
	len = noxel_build_event(r->pkt, noxel_event_size(PATH_MAX - 1), name,
				strlen(name), pid);
	if (WARN_ON_ONCE(len < 0))
		return false;
	r->len = len;
	r->off = 0;
	return true;
}

static ssize_t noxel_monitor_read(struct file *file, char __user *buf,
				  size_t count, loff_t *ppos)
{
	struct noxel_reader *r = file->private_data;
	struct path path;
	pid_t pid;
	size_t n;
	int err;

	if (!count)
		return 0;
	err = mutex_lock_interruptible(&r->lock);
	if (err)
		return err;
	while (r->off == r->len) {
		if (noxel_queue_take(&path, &pid)) {
			noxel_reader_fill(r, &path, pid);
			path_put(&path);
			cond_resched();
			continue;
		}
		mutex_unlock(&r->lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		err = wait_event_interruptible(noxel_queue.wait,
					       noxel_queue_ready());
		if (err)
			return err;
		err = mutex_lock_interruptible(&r->lock);
		if (err)
			return err;
	}

	n = min(count, r->len - r->off);
	if (copy_to_user(buf, r->pkt + r->off, n)) {
		mutex_unlock(&r->lock);
		return -EFAULT;
	}
	r->off += n;
	if (r->off == r->len) {
		spin_lock(&noxel_queue.lock);
		noxel_queue.delivered++;
		spin_unlock(&noxel_queue.lock);
	}
	mutex_unlock(&r->lock);
	return n;
}

static __poll_t noxel_monitor_poll(struct file *file, poll_table *wait)
{
	struct noxel_reader *r = file->private_data;

	poll_wait(file, &noxel_queue.wait, wait);
	return READ_ONCE(r->off) != READ_ONCE(r->len) || noxel_queue_ready() ?
		       EPOLLIN | EPOLLRDNORM : 0;
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
	size_t i;
	int err;

	if (!max_events || !max_queue_kb) {
		pr_err("max_events and max_queue_kb must be positive\n");
		return -EINVAL;
	}
	/* Both bounds hold for the pool as a whole. */
	noxel_pool_size = min_t(size_t, max_events,
				(size_t)max_queue_kb * 1024 /
				sizeof(*noxel_pool));
	if (!noxel_pool_size) {
		pr_err("max_queue_kb holds no event\n");
		return -EINVAL;
	}
	noxel_pool = kvcalloc(noxel_pool_size, sizeof(*noxel_pool), GFP_KERNEL);
	if (!noxel_pool)
		return -ENOMEM;
	for (i = 0; i < noxel_pool_size; i++)
		list_add_tail(&noxel_pool[i].node, &noxel_queue.free);

	err = register_kprobe(&noxel_kprobe);
	if (err) {
		pr_err("cannot probe %s: %d\n", noxel_kprobe.symbol_name, err);
		goto out_pool;
	}
	err = noxel_probe_check();
	if (err) {
		pr_err("%s does not begin with an ftrace call site: no probe point\n",
		       noxel_kprobe.symbol_name);
		unregister_kprobe(&noxel_kprobe);
		goto out_pool;
	}
	err = noxel_probe_wait();
	if (err) {
		pr_err("the probe on %s was not optimized within %u ms: it could only miss opens\n",
		       noxel_kprobe.symbol_name, NOXEL_OPTIMIZE_WAIT_MS);
		unregister_kprobe(&noxel_kprobe);
		goto out_pool;
	}
	return 0;

out_pool:
	INIT_LIST_HEAD(&noxel_queue.free);
	kvfree(noxel_pool);
	return err;
}

/* No device is open (each open holds a module reference): nothing queued. */
void noxel_monitor_exit(void)
{
	/* Returns once no handler runs any more. */
	unregister_kprobe(&noxel_kprobe);
	WARN_ON_ONCE(!list_empty(&noxel_queue.events));
	INIT_LIST_HEAD(&noxel_queue.free);
	kvfree(noxel_pool);
	if (noxel_kprobe.nmissed || atomic_long_read(&noxel_missed))
		pr_info("%lu opens missed by the probe\n",
			noxel_kprobe.nmissed + atomic_long_read(&noxel_missed));
}
