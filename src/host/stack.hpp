// How much of its C stack the calling thread has left. A host may raise the runtime's recursion
// limit far beyond what the stack holds, and an operation that a host service calls back without
// end would then run the thread out of stack; each operation checks first and raises
// RecursionError while there is still room to unwind.
#pragma once

namespace cpython {

// RecursionError, naming `operation`, when less than the thread's reserve is left below the
// caller's frame; nothing when the thread's bounds cannot be told.
void check_stack_left(const char* operation);

}  // namespace cpython
