// SPDX-License-Identifier: GPL-2.0
/*
 * Registered directories.  The open hook matches every open against them
 * under RCU; ADD_DIR and DEL_DIR change them under a mutex in the writer's
 * process context.
 *
 * A directory is kept by the name the daemon gave (less trailing slashes),
 * by which DEL_DIR finds it even after it was unmounted, and by the mount
 * and dentry that name led to at ADD_DIR.  Opens are matched by that mount
 * and dentry, never by a name: a name depends on the root of whoever forms
 * it, while the mount tells the daemon's mounts from their copies in other
 * mount namespaces and from the private mounts file systems make for
 * themselves.  A directory covers the files below it on its own mount, as a
 * fanotify mount mark covers its mount; the daemon registers every mount
 * point.
 *
 * The mount and the dentry are held without a reference, so that a
 * registered mount point never keeps its file system busy: they are compared,
 * never followed.  Once the mount is gone and until DEL_DIR arrives, a new
 * mount may come to the same address; its opens may then be queued, and the
 * reader still reports only files it can name from its own root.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/err.h>
#include <linux/fs.h>
#include <linux/hashtable.h>
#include <linux/list.h>
#include <linux/moduleparam.h>
#include <linux/mount.h>
#include <linux/mutex.h>
#include <linux/namei.h>
#include <linux/path.h>
#include <linux/rculist.h>
#include <linux/seqlock.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "noxel.h"

static unsigned int max_dirs = 1024;
module_param(max_dirs, uint, 0444);
MODULE_PARM_DESC(max_dirs, "Most directories registered at once");

struct noxel_dir {
	struct list_head node;		/* noxel_dirs, under the mutex */
	struct hlist_node hnode;	/* noxel_dirs_by_mnt, under RCU */
	struct rcu_head rcu;
	const struct vfsmount *mnt;	/* compared only */
	const struct dentry *dentry;	/* compared only */
	size_t name_len;
	char name[];
};

static LIST_HEAD(noxel_dirs);
static DEFINE_HASHTABLE(noxel_dirs_by_mnt, 8);
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
 * Resolves the directory from the writer's root and makes its entry;
 * sleeps, so it runs before the lock is taken.
 */
static struct noxel_dir *noxel_dir_new(const u8 *name, size_t len)
{
	struct noxel_dir *d;
	struct path path;
	int err;

	d = kmalloc(struct_size(d, name, len + 1), GFP_KERNEL);
	if (!d)
		return ERR_PTR(-ENOMEM);
	d->name_len = len;
	memcpy(d->name, name, len);
	d->name[len] = '\0';
	err = kern_path(d->name, LOOKUP_FOLLOW | LOOKUP_DIRECTORY, &path);
	if (err) {
		kfree(d);
		return ERR_PTR(err);
	}
	d->mnt = path.mnt;
	d->dentry = path.dentry;
	path_put(&path);
	return d;
}

/* Called with noxel_dirs_lock held. */
static void noxel_dir_unlink(struct noxel_dir *d)
{
	list_del(&d->node);
	hash_del_rcu(&d->hnode);
	kfree_rcu(d, rcu);
}

int noxel_dirs_add(const u8 *dir, u32 len)
{
	struct noxel_dir *d, *old;
	size_t name_len;
	int err;

	err = noxel_dir_name(dir, len, &name_len);
	if (err)
		return err;
	d = noxel_dir_new(dir, name_len);
	if (IS_ERR(d))
		return PTR_ERR(d);

	mutex_lock(&noxel_dirs_lock);
	old = noxel_dir_find(d->name, name_len);
	if (!old && noxel_dirs_count >= max_dirs) {
		mutex_unlock(&noxel_dirs_lock);
		kfree(d);
		return -ENOSPC;
	}
	/*
	 * Registering twice is no error (a new daemon repeats them); the
	 * entry follows what the name leads to now, a new mount there, say.
	 */
	if (old)
		noxel_dir_unlink(old);
	else
		WRITE_ONCE(noxel_dirs_count, noxel_dirs_count + 1);
	list_add_tail(&d->node, &noxel_dirs);
	hash_add_rcu(noxel_dirs_by_mnt, &d->hnode, (unsigned long)d->mnt);
	mutex_unlock(&noxel_dirs_lock);
	return 0;
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
		noxel_dir_unlink(d);
		WRITE_ONCE(noxel_dirs_count, noxel_dirs_count - 1);
	}
	mutex_unlock(&noxel_dirs_lock);
	return d ? 0 : -ENOENT;
}

void noxel_dirs_clear(void)
{
	struct noxel_dir *d, *next;

	mutex_lock(&noxel_dirs_lock);
	list_for_each_entry_safe(d, next, &noxel_dirs, node)
		noxel_dir_unlink(d);
	WRITE_ONCE(noxel_dirs_count, 0);
	mutex_unlock(&noxel_dirs_lock);
}

bool noxel_dirs_any(void)
{
	return READ_ONCE(noxel_dirs_count) != 0;
}

/*
 * Whether dentry is top or lies below it.  The chain of a pinned dentry's
 * parents stays whole under RCU; a rename moving it meanwhile makes the walk
 * start over.  top is compared, never followed.
 */
static bool noxel_dentry_below(const struct dentry *dentry,
			       const struct dentry *top)
{
	const struct dentry *p;
	unsigned int seq, steps;
	bool below;

	do {
		seq = read_seqbegin(&rename_lock);
		below = false;
		p = dentry;
		/* Every step takes at least two bytes of a name. */
		for (steps = 0; steps < PATH_MAX / 2; steps++) {
			if (p == top) {
				below = true;
				break;
			}
			if (IS_ROOT(p))
				break;
			p = READ_ONCE(p->d_parent);
		}
	} while (read_seqretry(&rename_lock, seq));
	return below;
}

/*
 * Whether the file at path lies in or under a registered directory of its
 * own mount.  Process context, possibly atomic, never NMI: the walk may wait
 * for a rename in progress.  A registered mount point, the daemon's case,
 * costs one hash lookup.
 */
bool noxel_dirs_match(const struct path *path)
{
	const struct vfsmount *mnt = path->mnt;
	struct noxel_dir *d;
	bool found = false;

	rcu_read_lock();
	hash_for_each_possible_rcu(noxel_dirs_by_mnt, d, hnode,
				   (unsigned long)mnt) {
		if (d->mnt != mnt)
			continue;
		if (d->dentry == mnt->mnt_root ||
		    noxel_dentry_below(path->dentry, d->dentry)) {
			found = true;
			break;
		}
	}
	rcu_read_unlock();
	return found;
}
