/* Userspace stand-in for the module's kson code: the kernel's limits. */
#ifndef NOXEL_SHIM_LIMITS_H
#define NOXEL_SHIM_LIMITS_H
#define PATH_MAX 4096
#define U8_MAX ((u8)~0U)
#define U32_MAX ((u32)~0U)
#endif
