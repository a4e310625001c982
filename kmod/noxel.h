/* SPDX-License-Identifier: GPL-2.0 */
/*
 * noxel: reports file opens under registered directories to a userspace
 * daemon.  Shared declarations of the module's parts.
 */
#ifndef NOXEL_H
#define NOXEL_H

#include <linux/fs.h>
#include <linux/limits.h>
#include <linux/types.h>

#define NOXEL_NAME		"noxel"
#define NOXEL_MONITOR_MINOR	0
#define NOXEL_CONTROL_MINOR	1

/* Field codes: every key of a packet body is an 'I' value holding one. */
enum noxel_field {
	NOXEL_FT_PACKET_TYPE	= 0,
	NOXEL_FT_DIR		= 1,
	NOXEL_FT_PATH		= 2,
	NOXEL_FT_PID		= 3,
	NOXEL_FT_ERROR		= 4,
};

enum noxel_packet_type {
	NOXEL_PT_ADD_DIR	= 0,
	NOXEL_PT_ADD_DIR_RESP	= 1,
	NOXEL_PT_DEL_DIR	= 2,
	NOXEL_PT_DEL_DIR_RESP	= 3,
	NOXEL_PT_EVENT_PATH	= 4,
};

/* kson encoding: the packet is a u32 body length then one value. */
#define NOXEL_KSON_HEADER	4

/* A writer over a buffer of known size; a put that does not fit fails. */
struct noxel_kson_writer {
	u8 *data;
	size_t len;
	size_t cap;
};

size_t noxel_kson_string_size(size_t len);
size_t noxel_kson_int32_size(void);
size_t noxel_kson_small_object_size(void);
void noxel_kson_writer_init(struct noxel_kson_writer *w, u8 *data, size_t cap);
int noxel_kson_begin_packet(struct noxel_kson_writer *w);
int noxel_kson_end_packet(struct noxel_kson_writer *w);
int noxel_kson_put_small_object(struct noxel_kson_writer *w, u8 pairs);
int noxel_kson_put_int32(struct noxel_kson_writer *w, s32 value);
int noxel_kson_put_string(struct noxel_kson_writer *w, const char *s,
			  size_t len);

/* A reader over one packet body; it never looks past the body's end. */
struct noxel_kson_reader {
	const u8 *p;
	size_t left;
};

void noxel_kson_reader_init(struct noxel_kson_reader *r, const u8 *body,
			    size_t len);
int noxel_kson_peek(const struct noxel_kson_reader *r);
int noxel_kson_skip(struct noxel_kson_reader *r);
int noxel_kson_get_object(struct noxel_kson_reader *r, u32 *pairs);
int noxel_kson_get_int32(struct noxel_kson_reader *r, s32 *value);
int noxel_kson_get_string(struct noxel_kson_reader *r, const u8 **s,
			  u32 *len);

/* Registered directories. */
int noxel_dirs_add(const u8 *dir, u32 len);
int noxel_dirs_del(const u8 *dir, u32 len);
void noxel_dirs_clear(void);
bool noxel_dirs_any(void);
bool noxel_dirs_match(const char *path, size_t len);

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
