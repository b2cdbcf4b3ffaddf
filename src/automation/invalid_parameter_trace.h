// The run-time library's invalid-parameter handler that writes to the add-in trace: a bad
// argument to one of its functions is reported there instead of ending the process.
#pragma once
#include <stdlib.h>

namespace korvane::com {

using SetInvalidParameterHandler = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);

// The setter of the run-time library this code runs on, found in that library itself: the import
// library's function of that name only keeps a pointer of this module, which the run-time library
// never calls. Null when the library keeps no handler.
SetInvalidParameterHandler RunTimeInvalidParameterSetter();

// Installs the handler through `set` (nothing when null); uninstalling puts back what was there
// unless another handler was installed since.
void InstallInvalidParameterTrace(SetInvalidParameterHandler set);
void UninstallInvalidParameterTrace(SetInvalidParameterHandler set);

// The handler itself: may run on any thread, in the middle of any call.
void __cdecl TraceInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                   unsigned int line, uintptr_t reserved);

}  // namespace korvane::com
