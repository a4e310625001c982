// SIGHUP, SIGTERM and SIGINT held from the first instruction of the daemon's
// own code until the inventory's signal sets can take them.
//
// Until those sets exist the three signals keep their default action, which
// ends the process with no exit line and no status of ours. Held (blocked)
// instead, one that arrives early stays pending and is delivered, to the
// sets, once they are armed. Threads started meanwhile inherit the blocked
// mask, which is what the daemon wants of every thread but the main one.
#pragma once

// Blocks the three signals on the calling thread, at start-up the only one,
// and remembers which of them were blocked already. Safe before any
// library's constructor has run: one raw system call, no sanitizer
// instrumentation, no memory but static storage. Called once.
void hold_early_signals() noexcept;

// Unblocks those of the three that hold_early_signals blocked (one blocked
// by whoever started the daemon stays so); a signal that came meanwhile is
// delivered at once. Only the first call does anything, and nothing when
// nothing was held (tests, or the code run without the daemon's entry).
void release_early_signals() noexcept;
