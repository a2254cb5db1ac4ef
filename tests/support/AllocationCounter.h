// Counts every operator new of the program, on all threads: linking this
// unit replaces the global allocation functions. Code that lives in a
// shared C++ run-time DLL allocates past it; link the run-time statically
// where that matters.
#ifndef LUMO_TESTS_ALLOCATIONCOUNTER_H
#define LUMO_TESTS_ALLOCATIONCOUNTER_H

namespace lumo_test {

// Allocations so far.
long Allocations();

}  // namespace lumo_test

#endif
