// Process-wide state and fork(): what must start afresh in a child process.
#pragma once

namespace tarnel::runtime {

// Registers `handler` to run in the child after fork(), for process-wide state that the runtime's
// threads may have been using at that moment (it runs while the child has no other thread). Handlers
// replace such state with new state and leak the old: destroying it could block on a mutex held by a
// thread that does not exist in the child.
void after_fork_in_child(void (*handler)());

// Which process this is, as a number that changes in every child made by fork() and never otherwise;
// cheaper to compare than the process id, which costs a system call each time.
unsigned process_generation();

}  // namespace tarnel::runtime
