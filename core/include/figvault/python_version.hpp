// The CPython versions the modules are built for.
//
// Code that depends on the interpreter's version -- code and frame objects
// for traceback entries, the module slots, the private _Py* functions -- has
// been checked on exactly these. Any other version stops the build here,
// rather than build modules that behave differently without saying so.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "figvault is built for CPython 3.11, 3.12 and 3.13 only"
#endif

#ifdef Py_GIL_DISABLED
#error "figvault relies on the global interpreter lock: free-threaded CPython builds are not supported"
#endif
