#pragma once

// The daemon's version text, as --version prints it and the ready line shows it.
#define NT_VERSION_TEXT "9.0.0.0.1403121422"
#define NT_PROGRAM_NAME "noxel-tarsel"
