/* Userspace stand-in for the module's kson code. */
#include <string.h>
