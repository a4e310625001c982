// SPDX-License-Identifier: GPL-2.0
/*
 * The packets of both devices: ADD_DIR and DEL_DIR requests read from the
 * control device, their responses, and the EVENT_PATH packets of the
 * monitor device.  Every body is an object whose keys are 'I' field codes.
 */
#include <linux/errno.h>
#include <linux/kernel.h>

#include "noxel_kson.h"

/*
 * Reads the type and the directory of a request body.  The first pair of
 * each code counts; pairs of other codes and keys of other kinds are
 * skipped.  Returns the packet type, or a negative error when the body
 * gives none; *dir stays NULL when the directory is absent or no string.
 */
int noxel_parse_request(const u8 *body, size_t len, const u8 **dir,
			u32 *dir_len)
{
	struct noxel_kson_reader r;
	bool have_type = false, have_dir = false;
	s32 key, type = -1;
	u32 pairs;
	int err;

	*dir = NULL;
	noxel_kson_reader_init(&r, body, len);
	err = noxel_kson_get_object(&r, &pairs);
	if (err)
		return err;
	while (pairs--) {
		if (noxel_kson_peek(&r) == 'I') {
			err = noxel_kson_get_int32(&r, &key);
		} else {
			key = -1;
			err = noxel_kson_skip(&r);
		}
		if (err)
			return err;
		if (key == NOXEL_FT_PACKET_TYPE && !have_type) {
			have_type = true;
			err = noxel_kson_get_int32(&r, &type);
		} else if (key == NOXEL_FT_DIR && !have_dir) {
			have_dir = true;
			if (noxel_kson_peek(&r) == 's' || noxel_kson_peek(&r) == 'S')
				err = noxel_kson_get_string(&r, dir, dir_len);
			else
				err = noxel_kson_skip(&r);
		} else {
			err = noxel_kson_skip(&r);
		}
		if (err)
			return err;
	}
	if (!have_type || (type != NOXEL_PT_ADD_DIR && type != NOXEL_PT_DEL_DIR))
		return -EINVAL;
	return type;
}

/* Writes the whole response packet; gives its length or an error. */
int noxel_build_response(u8 *buf, size_t cap, s32 type, s32 error)
{
	struct noxel_kson_writer w;
	int err;

	noxel_kson_writer_init(&w, buf, cap);
	err = noxel_kson_begin_packet(&w) ?:
	      noxel_kson_put_small_object(&w, 2) ?:
	      noxel_kson_put_int32(&w, NOXEL_FT_PACKET_TYPE) ?:
	      noxel_kson_put_int32(&w, type) ?:
	      noxel_kson_put_int32(&w, NOXEL_FT_ERROR) ?:
	      noxel_kson_put_int32(&w, error) ?:
	      noxel_kson_end_packet(&w);
	return err ?: (int)w.len;
}

/* The exact size of the EVENT_PATH packet of a path of path_len bytes. */
size_t noxel_event_size(size_t path_len)
{
	return NOXEL_KSON_HEADER + noxel_kson_small_object_size() +
	       2 * noxel_kson_int32_size() +			/* type */
	       noxel_kson_int32_size() + noxel_kson_string_size(path_len) +
	       2 * noxel_kson_int32_size();			/* pid */
}

/* Writes the whole event packet; gives its length or an error. */
int noxel_build_event(u8 *buf, size_t cap, const char *path, size_t len,
		      s32 pid)
{
	struct noxel_kson_writer w;
	int err;

	noxel_kson_writer_init(&w, buf, cap);
	err = noxel_kson_begin_packet(&w) ?:
	      noxel_kson_put_small_object(&w, 3) ?:
	      noxel_kson_put_int32(&w, NOXEL_FT_PACKET_TYPE) ?:
	      noxel_kson_put_int32(&w, NOXEL_PT_EVENT_PATH) ?:
	      noxel_kson_put_int32(&w, NOXEL_FT_PATH) ?:
	      noxel_kson_put_string(&w, path, len) ?:
	      noxel_kson_put_int32(&w, NOXEL_FT_PID) ?:
	      noxel_kson_put_int32(&w, pid) ?:
	      noxel_kson_end_packet(&w);
	return err ?: (int)w.len;
}
