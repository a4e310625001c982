/* Userspace stand-in for the module's kson code: unaligned access. */
#ifndef NOXEL_SHIM_UNALIGNED_H
#define NOXEL_SHIM_UNALIGNED_H
#define get_unaligned(p) \
	(((const struct { __typeof__(*(p)) x; } __attribute__((packed)) *)(p))->x)
#define put_unaligned(v, p) \
	(((struct { __typeof__(*(p)) x; } __attribute__((packed)) *)(p))->x = (v))
#endif
