// SPDX-License-Identifier: GPL-2.0
/*
 * The control device: the daemon writes one request packet, possibly over
 * several writes, and reads back exactly one response packet of the
 * matching type, as a byte stream.  Each open has its own assembly and
 * reply buffers, so concurrent openers never see each other's replies.
 *
 * A write never takes bytes past the end of the request it completes: the
 * writer sends the rest in further writes, one request per write.  A
 * request that cannot be answered with a response of its type (a length
 * beyond any request, a body that is no object, an unknown or missing
 * packet type) fails the write with EINVAL and the assembly starts over.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/wait.h>
#include <asm/unaligned.h>

#include "noxel.h"

/* Replies to requests written ahead of reading; more are refused. */
#define NOXEL_MAX_UNREAD	16

struct noxel_control {
	struct mutex lock;
	wait_queue_head_t wait;
	u8 header[NOXEL_KSON_HEADER];
	size_t header_got;
	size_t body_len;
	size_t body_got;
	size_t out_len;
	u8 out[NOXEL_MAX_UNREAD * NOXEL_RESPONSE_SIZE];
	u8 body[NOXEL_MAX_REQUEST];
};

static int noxel_control_open(struct inode *inode, struct file *file)
{
	struct noxel_control *ctl;

	if ((file->f_mode & (FMODE_READ | FMODE_WRITE)) !=
	    (FMODE_READ | FMODE_WRITE))
		return -EACCES;
	ctl = kzalloc(sizeof(*ctl), GFP_KERNEL);
	if (!ctl)
		return -ENOMEM;
	mutex_init(&ctl->lock);
	init_waitqueue_head(&ctl->wait);
	file->private_data = ctl;
	noxel_user_get();
	return stream_open(inode, file);
}

static int noxel_control_release(struct inode *inode, struct file *file)
{
	kfree(file->private_data);
	noxel_user_put();
	return 0;
}

static void noxel_put_response(struct noxel_control *ctl, s32 type, s32 error)
{
	int len;

	len = noxel_build_response(ctl->out + ctl->out_len, NOXEL_RESPONSE_SIZE,
				   type, error);
	/* The reply has a fixed size, for which room was checked. */
	if (WARN_ON_ONCE(len != NOXEL_RESPONSE_SIZE))
		return;
	WRITE_ONCE(ctl->out_len, ctl->out_len + len);
}

/* Answers the complete request in ctl->body; sleeps. */
static int noxel_handle_request(struct noxel_control *ctl)
{
	const u8 *dir;
	u32 dir_len;
	int type, error;

	type = noxel_parse_request(ctl->body, ctl->body_len, &dir, &dir_len);
	if (type < 0)
		return type;
	if (!dir)
		error = -EINVAL;
	else if (type == NOXEL_PT_ADD_DIR)
		error = noxel_dirs_add(dir, dir_len);
	else
		error = noxel_dirs_del(dir, dir_len);
	noxel_put_response(ctl, type + 1, error);
	return 0;
}

static void noxel_control_reset(struct noxel_control *ctl)
{
	ctl->header_got = 0;
	ctl->body_len = 0;
	ctl->body_got = 0;
}

static ssize_t noxel_control_write(struct file *file, const char __user *buf,
				   size_t count, loff_t *ppos)
{
	struct noxel_control *ctl = file->private_data;
	size_t done = 0, n, left;
	ssize_t ret;
	u32 len;

	if (!count)
		return 0;
	if (mutex_lock_interruptible(&ctl->lock))
		return -ERESTARTSYS;
	if (ctl->out_len + NOXEL_RESPONSE_SIZE > sizeof(ctl->out)) {
		ret = -EBUSY;
		goto out;
	}
	while (done < count) {
		if (ctl->header_got < NOXEL_KSON_HEADER) {
			n = min(count - done,
				NOXEL_KSON_HEADER - ctl->header_got);
			left = copy_from_user(ctl->header + ctl->header_got,
					      buf + done, n);
			ctl->header_got += n - left;
			done += n - left;
			if (left)
				break;
			if (ctl->header_got < NOXEL_KSON_HEADER)
				continue;
			len = get_unaligned((u32 *)ctl->header);
			if (!len || len > NOXEL_MAX_REQUEST) {
				noxel_control_reset(ctl);
				ret = -EINVAL;
				goto out;
			}
			ctl->body_len = len;
			ctl->body_got = 0;
			continue;
		}
		n = min(count - done, ctl->body_len - ctl->body_got);
		left = copy_from_user(ctl->body + ctl->body_got, buf + done, n);
		ctl->body_got += n - left;
		done += n - left;
		if (left)
			break;
		if (ctl->body_got < ctl->body_len)
			continue;
		ret = noxel_handle_request(ctl);
		noxel_control_reset(ctl);
		if (ret)
			goto out;
		wake_up_interruptible(&ctl->wait);
		/* One request per write: the rest goes in further writes. */
		break;
	}
	ret = done ? done : -EFAULT;
out:
	mutex_unlock(&ctl->lock);
	return ret;
}

static ssize_t noxel_control_read(struct file *file, char __user *buf,
				  size_t count, loff_t *ppos)
{
	struct noxel_control *ctl = file->private_data;
	size_t n;
	ssize_t ret;

	if (!count)
		return 0;
	for (;;) {
		if (mutex_lock_interruptible(&ctl->lock))
			return -ERESTARTSYS;
		if (ctl->out_len)
			break;
		mutex_unlock(&ctl->lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		if (wait_event_interruptible(ctl->wait, READ_ONCE(ctl->out_len)))
			return -ERESTARTSYS;
	}
	n = min(count, ctl->out_len);
	if (copy_to_user(buf, ctl->out, n)) {
		ret = -EFAULT;
	} else {
		memmove(ctl->out, ctl->out + n, ctl->out_len - n);
		WRITE_ONCE(ctl->out_len, ctl->out_len - n);
		ret = n;
	}
	mutex_unlock(&ctl->lock);
	return ret;
}

static __poll_t noxel_control_poll(struct file *file, poll_table *wait)
{
	struct noxel_control *ctl = file->private_data;
	__poll_t mask = 0;
	size_t out_len;

	poll_wait(file, &ctl->wait, wait);
	out_len = READ_ONCE(ctl->out_len);
	if (out_len)
		mask |= EPOLLIN | EPOLLRDNORM;
	if (out_len + NOXEL_RESPONSE_SIZE <= sizeof(ctl->out))
		mask |= EPOLLOUT | EPOLLWRNORM;
	return mask;
}

const struct file_operations noxel_control_fops = {
	.owner = THIS_MODULE,
	.open = noxel_control_open,
	.release = noxel_control_release,
	.read = noxel_control_read,
	.write = noxel_control_write,
	.poll = noxel_control_poll,
	.llseek = no_llseek,
};
