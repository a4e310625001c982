// SPDX-License-Identifier: GPL-2.0
/*
 * The kson encoding spoken on both devices: a u32 body length in host byte
 * order, then one value.  A value is a marker byte and its payload; integers,
 * lengths and counts are in host byte order and unaligned.
 *
 * The module writes only small objects with 'I' keys, 'I' integers and
 * strings, and reads requests of the same shape; anything else in a request
 * is skipped, within a nesting bound, or refused as malformed.
 */
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/string.h>
#include <asm/unaligned.h>

#include "noxel_kson.h"

#define KSON_NULL	'Z'
#define KSON_TRUE	'T'
#define KSON_FALSE	'F'
#define KSON_INT8	'B'
#define KSON_INT16	'i'
#define KSON_INT32	'I'
#define KSON_INT64	'L'
#define KSON_STR8	's'
#define KSON_STR32	'S'
#define KSON_ARRAY8	'a'
#define KSON_ARRAY32	'A'
#define KSON_OBJECT8	'o'
#define KSON_OBJECT32	'O'

/* Requests are flat; deeper bodies are refused rather than recursed into. */
#define KSON_MAX_DEPTH	8

size_t noxel_kson_string_size(size_t len)
{
	return 1 + (len <= U8_MAX ? 1 : 4) + len;
}

size_t noxel_kson_int32_size(void)
{
	return 1 + 4;
}

size_t noxel_kson_small_object_size(void)
{
	return 1 + 1;
}

void noxel_kson_writer_init(struct noxel_kson_writer *w, u8 *data, size_t cap)
{
	w->data = data;
	w->len = 0;
	w->cap = cap;
}

static int kson_put(struct noxel_kson_writer *w, const void *bytes, size_t n)
{
	if (n > w->cap - w->len)
		return -ENOSPC;
	memcpy(w->data + w->len, bytes, n);
	w->len += n;
	return 0;
}

static int kson_put_u8(struct noxel_kson_writer *w, u8 value)
{
	return kson_put(w, &value, 1);
}

static int kson_put_u32(struct noxel_kson_writer *w, u32 value)
{
	u8 bytes[4];

	put_unaligned(value, (u32 *)bytes);
	return kson_put(w, bytes, sizeof(bytes));
}

/* Leaves room for the length field, filled in by noxel_kson_end_packet(). */
int noxel_kson_begin_packet(struct noxel_kson_writer *w)
{
	return kson_put_u32(w, 0);
}

int noxel_kson_end_packet(struct noxel_kson_writer *w)
{
	if (w->len < NOXEL_KSON_HEADER || w->len - NOXEL_KSON_HEADER > U32_MAX)
		return -EINVAL;
	put_unaligned((u32)(w->len - NOXEL_KSON_HEADER), (u32 *)w->data);
	return 0;
}

int noxel_kson_put_small_object(struct noxel_kson_writer *w, u8 pairs)
{
	return kson_put_u8(w, KSON_OBJECT8) ?: kson_put_u8(w, pairs);
}

int noxel_kson_put_int32(struct noxel_kson_writer *w, s32 value)
{
	return kson_put_u8(w, KSON_INT32) ?: kson_put_u32(w, (u32)value);
}

int noxel_kson_put_string(struct noxel_kson_writer *w, const char *s,
			  size_t len)
{
	int err;

	if (len > U32_MAX)
		return -EINVAL;
	if (len <= U8_MAX)
		err = kson_put_u8(w, KSON_STR8) ?: kson_put_u8(w, len);
	else
		err = kson_put_u8(w, KSON_STR32) ?: kson_put_u32(w, len);
	return err ?: kson_put(w, s, len);
}

void noxel_kson_reader_init(struct noxel_kson_reader *r, const u8 *body,
			    size_t len)
{
	r->p = body;
	r->left = len;
}

/* The next marker, or -EINVAL at the end of the body. */
int noxel_kson_peek(const struct noxel_kson_reader *r)
{
	return r->left ? r->p[0] : -EINVAL;
}

static int kson_take(struct noxel_kson_reader *r, size_t n, const u8 **at)
{
	if (n > r->left)
		return -EINVAL;
	*at = r->p;
	r->p += n;
	r->left -= n;
	return 0;
}

static int kson_take_u8(struct noxel_kson_reader *r, u32 *value)
{
	const u8 *at;
	int err = kson_take(r, 1, &at);

	if (!err)
		*value = *at;
	return err;
}

static int kson_take_u32(struct noxel_kson_reader *r, u32 *value)
{
	const u8 *at;
	int err = kson_take(r, 4, &at);

	if (!err)
		*value = get_unaligned((const u32 *)at);
	return err;
}

static int kson_skip(struct noxel_kson_reader *r, unsigned int depth)
{
	const u8 *at;
	u32 marker, n;
	size_t items;
	int err;

	err = kson_take_u8(r, &marker);
	if (err)
		return err;
	switch (marker) {
	case KSON_NULL:
	case KSON_TRUE:
	case KSON_FALSE:
		return 0;
	case KSON_INT8:
		return kson_take(r, 1, &at);
	case KSON_INT16:
		return kson_take(r, 2, &at);
	case KSON_INT32:
		return kson_take(r, 4, &at);
	case KSON_INT64:
		return kson_take(r, 8, &at);
	case KSON_STR8:
		return kson_take_u8(r, &n) ?: kson_take(r, n, &at);
	case KSON_STR32:
		return kson_take_u32(r, &n) ?: kson_take(r, n, &at);
	case KSON_ARRAY8:
	case KSON_ARRAY32:
	case KSON_OBJECT8:
	case KSON_OBJECT32:
		break;
	default:
		return -EINVAL;
	}

	if (depth >= KSON_MAX_DEPTH)
		return -EINVAL;
	if (marker == KSON_ARRAY8 || marker == KSON_OBJECT8)
		err = kson_take_u8(r, &n);
	else
		err = kson_take_u32(r, &n);
	if (err)
		return err;
	items = n;
	if (marker == KSON_OBJECT8 || marker == KSON_OBJECT32) {
		/* Every value takes at least one byte. */
		if (n > r->left / 2)
			return -EINVAL;
		items = (size_t)n * 2;
	}
	if (items > r->left)
		return -EINVAL;
	while (items--) {
		err = kson_skip(r, depth + 1);
		if (err)
			return err;
	}
	return 0;
}

int noxel_kson_skip(struct noxel_kson_reader *r)
{
	return kson_skip(r, 0);
}

int noxel_kson_get_object(struct noxel_kson_reader *r, u32 *pairs)
{
	u32 marker;
	int err;

	err = kson_take_u8(r, &marker);
	if (err)
		return err;
	if (marker == KSON_OBJECT8)
		return kson_take_u8(r, pairs);
	if (marker == KSON_OBJECT32)
		return kson_take_u32(r, pairs);
	return -EINVAL;
}

int noxel_kson_get_int32(struct noxel_kson_reader *r, s32 *value)
{
	u32 marker, raw;
	int err;

	if (noxel_kson_peek(r) != KSON_INT32)
		return -EINVAL;
	err = kson_take_u8(r, &marker) ?: kson_take_u32(r, &raw);
	if (!err)
		*value = (s32)raw;
	return err;
}

int noxel_kson_get_string(struct noxel_kson_reader *r, const u8 **s,
			  u32 *len)
{
	u32 marker;
	int err;

	err = kson_take_u8(r, &marker);
	if (err)
		return err;
	if (marker == KSON_STR8)
		err = kson_take_u8(r, len);
	else if (marker == KSON_STR32)
		err = kson_take_u32(r, len);
	else
		return -EINVAL;
	return err ?: kson_take(r, *len, s);
}
