/* Userspace stand-in for the module's kson code. */
#include <linux/types.h>
#include <linux/limits.h>
