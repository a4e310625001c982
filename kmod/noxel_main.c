// SPDX-License-Identifier: GPL-2.0
/*
 * noxel: reports the opens of regular files under registered directories
 * to one userspace daemon.
 *
 * One character major, listed as "noxel" in /proc/devices, with two
 * minors: 0, the monitor device, read-only, from which the daemon reads one
 * EVENT_PATH packet per open; 1, the control device, on which it registers
 * and withdraws directories.  The daemon makes the device nodes itself.
 *
 * Every open file of either device holds a reference on the module (the
 * character-device layer takes it from the file operations' owner), so the
 * module cannot go while a device is open.  When the last one is closed
 * the registered directories are forgotten, so nothing is watched for a
 * daemon that is gone.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/capability.h>
#include <linux/cdev.h>
#include <linux/fs.h>
#include <linux/init.h>
#include <linux/module.h>
#include <linux/mutex.h>

#include "noxel.h"

static dev_t noxel_devt;
/* Both minors, so that they go live, and away, together. */
static struct cdev noxel_cdev;

static DEFINE_MUTEX(noxel_users_lock);
static unsigned int noxel_users;

void noxel_user_get(void)
{
	mutex_lock(&noxel_users_lock);
	noxel_users++;
	mutex_unlock(&noxel_users_lock);
}

void noxel_user_put(void)
{
	mutex_lock(&noxel_users_lock);
	if (!--noxel_users)
		noxel_dirs_clear();
	mutex_unlock(&noxel_users_lock);
}

/*
 * Either device shows what every user opens, or chooses what is watched:
 * the daemon's privilege is asked for at open, whatever the node's mode.
 */
static int noxel_open(struct inode *inode, struct file *file)
{
	const struct file_operations *fops;

	switch (iminor(inode)) {
	case NOXEL_MONITOR_MINOR:
		fops = &noxel_monitor_fops;
		break;
	case NOXEL_CONTROL_MINOR:
		fops = &noxel_control_fops;
		break;
	default:
		return -ENXIO;
	}
	if (!capable(CAP_SYS_ADMIN))
		return -EPERM;
	/* A reference of our own for the new operations, as for the old. */
	fops = fops_get(fops);
	if (!fops)
		return -ENXIO;
	replace_fops(file, fops);
	return file->f_op->open(inode, file);
}

static const struct file_operations noxel_fops = {
	.owner = THIS_MODULE,
	.open = noxel_open,
	.llseek = no_llseek,
};

static int __init noxel_init(void)
{
	int err;

	err = alloc_chrdev_region(&noxel_devt, 0, 2, NOXEL_NAME);
	if (err)
		return err;
	err = noxel_monitor_init();
	if (err)
		goto out_region;

	/* Last: the devices go live once all they use is ready. */
	cdev_init(&noxel_cdev, &noxel_fops);
	noxel_cdev.owner = THIS_MODULE;
	err = cdev_add(&noxel_cdev, MKDEV(MAJOR(noxel_devt), 0), 2);
	if (err)
		goto out_monitor;

	pr_info("loaded, major %d\n", MAJOR(noxel_devt));
	return 0;

out_monitor:
	noxel_monitor_exit();
out_region:
	unregister_chrdev_region(noxel_devt, 2);
	return err;
}

/* In the reverse order: no new open once the devices are gone. */
static void __exit noxel_exit(void)
{
	cdev_del(&noxel_cdev);
	noxel_monitor_exit();
	/* No device is open, so the last close has cleared them already. */
	noxel_dirs_clear();
	/* Let the pending frees of directory entries finish. */
	rcu_barrier();
	unregister_chrdev_region(noxel_devt, 2);
}

module_init(noxel_init);
module_exit(noxel_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Reports file opens under registered directories");
