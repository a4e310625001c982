/* Userspace stand-in for the module's kson code: integer types. */
#ifndef NOXEL_SHIM_TYPES_H
#define NOXEL_SHIM_TYPES_H
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int32_t s32;
#endif
