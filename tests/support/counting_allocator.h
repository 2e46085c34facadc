// Counts heap allocations of the code under test: every operator new on any
// thread but those that excluded themselves (a test's own helpers), between
// a start and a stop. Linking a binary that calls these replaces its
// operator new; a binary may hold only one replacement.
#pragma once

namespace kpltest {

void ExcludeThreadFromAllocationCount();
void StartAllocationCount();
long StopAllocationCount();

}  // namespace kpltest
