#pragma once

// Repairs to pybind11's instance creation and to the first C++ exception of
// the importing thread, made while the module initialises.

#include <pybind11/pybind11.h>

namespace tolvane::python {

// Gives the module's classes an instance creation that fails with a Python
// exception instead of ending the process: asking for an instance of
// pybind11's bare base type (copyreg does, when pickling under protocols 0
// and 1) raises TypeError, and an allocation that fails raises MemoryError,
// also where pybind11 wraps a returned value. Must run before the first class
// is registered, on the module's own pybind11 state: the base type it changes
// is shared only by the classes of this module. Also makes the type of
// pybind11's function records refuse creation and initialisation, which
// would otherwise end the process.
void guard_instance_creation();

// Puts every pybind11 function found in `module`, its classes' methods,
// static methods and property accessors included, behind a handler: pybind11
// builds the "incompatible function arguments" error outside any handler of
// its own, so a failed allocation there would end the process instead of
// raising MemoryError. Runs once the module body is complete.
void guard_dispatch(pybind11::module_& module);

// Makes the calling thread's C++ exception state (thread-local, allocated on
// first use) exist now: under memory exhaustion, the first exception thrown
// on a thread would otherwise end the process in the C library.
void prepare_exception_state();

}  // namespace tolvane::python
