// SPDX-License-Identifier: GPL-2.0
/*
 * libFuzzer harness for the kernel module's packet code, built in user
 * space over stand-in kernel headers (shim/). Every input is
 *  - parsed as a control request body: the parser must stay inside the
 *    body, and a directory it returns must lie inside it;
 *  - written as an EVENT_PATH path and as an ADD_DIR directory, whose
 *    packets are then checked byte by byte and parsed back.
 */
#include <assert.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "noxel_kson.h"

static uint32_t le32(const uint8_t *p)
{
	uint32_t v;

	memcpy(&v, p, 4);
	return v;
}

static void check_event(const uint8_t *path, size_t len)
{
	size_t size = noxel_event_size(len), h = len <= 255 ? 2 : 5;
	uint8_t *buf = malloc(size);
	const uint8_t *p;

	assert(buf);
	/* One byte short must fail rather than write past the end. */
	assert(noxel_build_event(buf, size - 1, (const char *)path, len, 7) < 0);
	assert(noxel_build_event(buf, size, (const char *)path, len, 812) ==
	       (int)size);
	assert(le32(buf) == size - 4);
	p = buf + 4;
	assert(p[0] == 'o' && p[1] == 3);
	assert(p[2] == 'I' && le32(p + 3) == NOXEL_FT_PACKET_TYPE);
	assert(p[7] == 'I' && le32(p + 8) == NOXEL_PT_EVENT_PATH);
	assert(p[12] == 'I' && le32(p + 13) == NOXEL_FT_PATH);
	p += 17;
	if (len <= 255)
		assert(p[0] == 's' && p[1] == len);
	else
		assert(p[0] == 'S' && le32(p + 1) == len);
	assert(!memcmp(p + h, path, len));
	p += h + len;
	assert(p[0] == 'I' && le32(p + 1) == NOXEL_FT_PID);
	assert(p[5] == 'I' && le32(p + 6) == 812);
	assert(p + 10 == buf + size);
	free(buf);
}

/* A request as the daemon writes it parses back to its type and dir. */
static void check_request(const uint8_t *dir, size_t len)
{
	size_t h = len <= 255 ? 2 : 5, size = 2 + 15 + h + len;
	uint8_t *body = malloc(size), *p = body;
	const uint8_t *got;
	uint32_t got_len, v;

	assert(body);
	*p++ = 'o';
	*p++ = 2;
	*p++ = 'I';
	v = NOXEL_FT_PACKET_TYPE;
	memcpy(p, &v, 4);
	p += 4;
	*p++ = 'I';
	v = NOXEL_PT_DEL_DIR;
	memcpy(p, &v, 4);
	p += 4;
	*p++ = 'I';
	v = NOXEL_FT_DIR;
	memcpy(p, &v, 4);
	p += 4;
	if (len <= 255) {
		*p++ = 's';
		*p++ = len;
	} else {
		*p++ = 'S';
		v = len;
		memcpy(p, &v, 4);
		p += 4;
	}
	memcpy(p, dir, len);
	assert(noxel_parse_request(body, size, &got, &got_len) ==
	       NOXEL_PT_DEL_DIR);
	assert(got == p && got_len == len);
	/* Any shorter body is malformed. */
	assert(noxel_parse_request(body, size - 1, &got, &got_len) < 0);
	free(body);
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	uint8_t *copy = malloc(size ? size : 1);
	const uint8_t *dir;
	uint32_t dir_len;
	uint8_t resp[NOXEL_RESPONSE_SIZE];
	int type;

	assert(copy);
	/* An exact-size copy lets the sanitizer see any read past the end. */
	memcpy(copy, data, size);
	type = noxel_parse_request(copy, size, &dir, &dir_len);
	assert(type < 0 || type == NOXEL_PT_ADD_DIR || type == NOXEL_PT_DEL_DIR);
	if (type >= 0 && dir)
		assert(dir >= copy && dir_len <= size &&
		       dir + dir_len <= copy + size);
	free(copy);

	if (size <= NOXEL_MAX_REQUEST) {
		check_event(data, size);
		check_request(data, size);
	}
	assert(noxel_build_response(resp, sizeof(resp), 3, -2) ==
	       NOXEL_RESPONSE_SIZE);
	assert(noxel_build_response(resp, sizeof(resp) - 1, 3, -2) < 0);
	return 0;
}
