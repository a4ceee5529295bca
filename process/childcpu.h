#ifndef CHILDCPU_H
#define CHILDCPU_H

// The CPU time (user and system) of this process's child processes, as the system counts it
// once each has ended and been reaped (its own children included, where it waited for them).
namespace ChildCpu {

// Seconds of CPU the children reaped since the last call used; called as soon as a child is
// known to have ended, it is that child's CPU time. Called on the owner's thread only.
double sinceLastTake();
// Seconds of CPU this process itself used.
double ownSeconds();

} // namespace ChildCpu

#endif // CHILDCPU_H
