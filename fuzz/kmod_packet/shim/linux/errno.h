/* Userspace stand-in for the module's kson code: the errors it returns. */
#ifndef NOXEL_SHIM_ERRNO_H
#define NOXEL_SHIM_ERRNO_H
#define EINVAL 22
#define ENOSPC 28
#endif
