/* Two questions about the running interpreter that its public API does not
   answer, asked by the native snapshot between its steps:
     - would an audit event reach anyone (a hook added with PySys_AddAuditHook
       or sys.addaudithook)? Only then can code run at each event, and so
       change the tree between two listings of the same folder;
     - has a signal arrived whose Python-level handler has not run yet? Such
       a handler runs at the next signal check and may change the tree too.
   Both read the interpreter's own state, which is laid out differently in
   every minor version: this file holds code only for the version it was
   written against (where the native snapshot is built), and nothing on any
   other. */
#include <patchlevel.h>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000

#define Py_BUILD_CORE 1
#include <Python.h>

#include "figvault/interpreter_watch.h"
#include "internal/pycore_pystate.h"
#include "internal/pycore_runtime.h"
#include "pydtrace.h"

#if !FIGVAULT_NATIVE_SNAPSHOT
#error "the native snapshot and this file must be built for the same interpreter versions"
#endif

/* As PySys_Audit decides whether an event goes anywhere. */
int figvault_audit_hooks_active(void) {
    PyInterpreterState *interpreter = _PyInterpreterState_GET();
    return interpreter->runtime->audit_hook_head != NULL || interpreter->audit_hooks != NULL ||
           PyDTrace_AUDIT_ENABLED();
}

/* Set when a signal arrives; cleared only once the evaluation loop has
   handled it, so it may stay set a little longer than needed (the caller
   then only does more work than it must). */
int figvault_signals_pending(void) { return _Py_atomic_load_relaxed(&_PyRuntime.ceval.signals_pending); }

#endif
