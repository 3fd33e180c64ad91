#pragma once
// A program that reads a PIN keeps its memory to itself: no core file, and no other
// process of the same user may attach to it or read /proc/PID/mem (as password managers
// do). Called once at start-up, before any window or card work.

namespace quorlin::base {

// Returns 0, or the errno of the step that failed.
int KeepMemoryPrivate();

}  // namespace quorlin::base
