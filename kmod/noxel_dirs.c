// SPDX-License-Identifier: GPL-2.0
/*
 * Registered directories.  The open hook matches every reported path
 * against them under RCU; ADD_DIR and DEL_DIR change them under a mutex in
 * the writer's process context.
 *
 * A directory is kept by two names: the name the daemon gave (less trailing
 * slashes), by which DEL_DIR finds it even after it was unmounted, and the
 * name the kernel gives the resolved directory at ADD_DIR, which is the
 * form reported paths take (symbolic links resolved).
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/err.h>
#include <linux/list.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/namei.h>
#include <linux/path.h>
#include <linux/rculist.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "noxel.h"

static unsigned int max_dirs = 1024;
module_param(max_dirs, uint, 0444);
MODULE_PARM_DESC(max_dirs, "Most directories registered at once");

struct noxel_dir {
	struct list_head node;
	struct rcu_head rcu;
	size_t name_len;
	size_t canon_len;
	char *canon;
	char name[];
};

static LIST_HEAD(noxel_dirs);
static DEFINE_MUTEX(noxel_dirs_lock);
static unsigned int noxel_dirs_count;

/*
 * Accepts only absolute names without NUL bytes, and gives the length
 * without trailing slashes ("/" stays "/").
 */
static int noxel_dir_name(const u8 *dir, u32 len, size_t *name_len)
{
	if (!len || len >= PATH_MAX || dir[0] != '/' || memchr(dir, '\0', len))
		return -EINVAL;
	while (len > 1 && dir[len - 1] == '/')
		len--;
	*name_len = len;
	return 0;
}

/* Called with noxel_dirs_lock held. */
static struct noxel_dir *noxel_dir_find(const u8 *name, size_t len)
{
	struct noxel_dir *d;

	list_for_each_entry(d, &noxel_dirs, node)
		if (d->name_len == len && !memcmp(d->name, name, len))
			return d;
	return NULL;
}

/*
 * Resolves the directory and makes its entry; sleeps, so it runs before
 * the lock is taken.
 */
static struct noxel_dir *noxel_dir_new(const u8 *name, size_t len)
{
	struct noxel_dir *d = NULL;
	struct path path;
	char *buf, *canon;
	size_t canon_len;
	int err;

	buf = kmalloc(PATH_MAX, GFP_KERNEL);
	if (!buf)
		return ERR_PTR(-ENOMEM);
	memcpy(buf, name, len);
	buf[len] = '\0';
	err = kern_path(buf, LOOKUP_FOLLOW | LOOKUP_DIRECTORY, &path);
	if (err)
		goto out;
	canon = d_path(&path, buf, PATH_MAX);
	path_put(&path);
	if (IS_ERR(canon)) {
		err = PTR_ERR(canon);
		goto out;
	}
	canon_len = strlen(canon);
	d = kmalloc(struct_size(d, name, len + 1 + canon_len + 1), GFP_KERNEL);
	if (!d) {
		err = -ENOMEM;
		goto out;
	}
	d->name_len = len;
	memcpy(d->name, name, len);
	d->name[len] = '\0';
	d->canon = d->name + len + 1;
	d->canon_len = canon_len;
	memcpy(d->canon, canon, canon_len + 1);
out:
	kfree(buf);
	return err ? ERR_PTR(err) : d;
}

int noxel_dirs_add(const u8 *dir, u32 len)
{
	struct noxel_dir *d;
	size_t name_len;
	int err;

	err = noxel_dir_name(dir, len, &name_len);
	if (err)
		return err;
	d = noxel_dir_new(dir, name_len);
	if (IS_ERR(d))
		return PTR_ERR(d);

	mutex_lock(&noxel_dirs_lock);
	if (noxel_dir_find(d->name, name_len)) {
		/* Registering twice is no error: a new daemon repeats them. */
		err = 0;
	} else if (noxel_dirs_count >= max_dirs) {
		err = -ENOSPC;
	} else {
		list_add_tail_rcu(&d->node, &noxel_dirs);
		WRITE_ONCE(noxel_dirs_count, noxel_dirs_count + 1);
		d = NULL;
	}
	mutex_unlock(&noxel_dirs_lock);
	kfree(d);
	return err;
}

int noxel_dirs_del(const u8 *dir, u32 len)
{
	struct noxel_dir *d;
	size_t name_len;
	int err;

	err = noxel_dir_name(dir, len, &name_len);
	if (err)
		return err;
	mutex_lock(&noxel_dirs_lock);
	d = noxel_dir_find(dir, name_len);
	if (d) {
		list_del_rcu(&d->node);
		WRITE_ONCE(noxel_dirs_count, noxel_dirs_count - 1);
	}
	mutex_unlock(&noxel_dirs_lock);
	if (!d)
		return -ENOENT;
	kfree_rcu(d, rcu);
	return 0;
}

void noxel_dirs_clear(void)
{
	struct noxel_dir *d, *next;

	mutex_lock(&noxel_dirs_lock);
	list_for_each_entry_safe(d, next, &noxel_dirs, node) {
		list_del_rcu(&d->node);
		kfree_rcu(d, rcu);
	}
	WRITE_ONCE(noxel_dirs_count, 0);
	mutex_unlock(&noxel_dirs_lock);
}

bool noxel_dirs_any(void)
{
	return READ_ONCE(noxel_dirs_count) != 0;
}

/* Whether path lies in or under a registered directory; any context. */
bool noxel_dirs_match(const char *path, size_t len)
{
	struct noxel_dir *d;
	bool found = false;

	rcu_read_lock();
	list_for_each_entry_rcu(d, &noxel_dirs, node) {
		if (d->canon_len == 1) {
			found = true;
			break;
		}
		if (len >= d->canon_len && !memcmp(path, d->canon, d->canon_len) &&
		    (len == d->canon_len || path[d->canon_len] == '/')) {
			found = true;
			break;
		}
	}
	rcu_read_unlock();
	return found;
}
