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

#include <linux/cdev.h>
#include <linux/fs.h>
#include <linux/init.h>
#include <linux/module.h>
#include <linux/mutex.h>

#include "noxel.h"

static dev_t noxel_devt;
static struct cdev noxel_monitor_cdev;
static struct cdev noxel_control_cdev;

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

static int __init noxel_init(void)
{
	int err;

	err = alloc_chrdev_region(&noxel_devt, 0, 2, NOXEL_NAME);
	if (err)
		return err;
	err = noxel_monitor_init();
	if (err)
		goto out_region;

	cdev_init(&noxel_monitor_cdev, &noxel_monitor_fops);
	noxel_monitor_cdev.owner = THIS_MODULE;
	err = cdev_add(&noxel_monitor_cdev,
		       MKDEV(MAJOR(noxel_devt), NOXEL_MONITOR_MINOR), 1);
	if (err)
		goto out_monitor;

	cdev_init(&noxel_control_cdev, &noxel_control_fops);
	noxel_control_cdev.owner = THIS_MODULE;
	err = cdev_add(&noxel_control_cdev,
		       MKDEV(MAJOR(noxel_devt), NOXEL_CONTROL_MINOR), 1);
	if (err)
		goto out_monitor_cdev;

	pr_info("loaded, major %d\n", MAJOR(noxel_devt));
	return 0;

out_monitor_cdev:
	cdev_del(&noxel_monitor_cdev);
out_monitor:
	noxel_monitor_exit();
out_region:
	unregister_chrdev_region(noxel_devt, 2);
	return err;
}

static void __exit noxel_exit(void)
{
	cdev_del(&noxel_control_cdev);
	cdev_del(&noxel_monitor_cdev);
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
