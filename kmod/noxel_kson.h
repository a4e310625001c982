/* SPDX-License-Identifier: GPL-2.0 */
/*
 * noxel: the kson packets of both devices.  Needs nothing of the kernel
 * but its integer types, errno values, string and unaligned helpers.
 */
#ifndef NOXEL_KSON_H
#define NOXEL_KSON_H

#include <linux/limits.h>
#include <linux/types.h>

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

/* Packets of the protocol. */
#define NOXEL_RESPONSE_SIZE	(NOXEL_KSON_HEADER + 2 + 4 * 5)
/* A directory of PATH_MAX bytes and the rest of a two-pair object. */
#define NOXEL_MAX_REQUEST	(PATH_MAX + 64)

int noxel_parse_request(const u8 *body, size_t len, const u8 **dir,
			u32 *dir_len);
int noxel_build_response(u8 *buf, size_t cap, s32 type, s32 error);
size_t noxel_event_size(size_t path_len);
int noxel_build_event(u8 *buf, size_t cap, const char *path, size_t len,
		      s32 pid);

#endif /* NOXEL_KSON_H */
