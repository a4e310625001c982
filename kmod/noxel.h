/* SPDX-License-Identifier: GPL-2.0 */
/*
 * noxel: reports file opens under registered directories to a userspace
 * daemon.  Shared declarations of the module's parts.
 */
#ifndef NOXEL_H
#define NOXEL_H

#include <linux/fs.h>
#include <linux/path.h>
#include <linux/types.h>

#define NOXEL_NAME		"noxel"
#define NOXEL_MONITOR_MINOR	0
#define NOXEL_CONTROL_MINOR	1

#include "noxel_kson.h"

/* Registered directories. */
int noxel_dirs_add(const u8 *dir, u32 len);
int noxel_dirs_del(const u8 *dir, u32 len);
void noxel_dirs_clear(void);
bool noxel_dirs_any(void);
bool noxel_dirs_match(const struct path *path);

/* Monitor device and the open hook. */
extern const struct file_operations noxel_monitor_fops;
int noxel_monitor_init(void);
void noxel_monitor_exit(void);

/* Control device. */
extern const struct file_operations noxel_control_fops;

/* Every open of either device; the last close forgets the directories. */
void noxel_user_get(void);
void noxel_user_put(void);

#endif /* NOXEL_H */
