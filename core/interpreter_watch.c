/* Questions about the running interpreter that its public API does not
   answer, asked by the native snapshot between its steps:
     - would an audit event reach anyone (a hook added with PySys_AddAuditHook
       or sys.addaudithook)? Only then can code run at each event, and so
       change the tree between two listings of the same folder;
     - has a signal arrived whose Python-level handler has not run yet? Such
       a handler runs at the next signal check and may change the tree too;
     - from 3.12 on, could a sys.monitoring tool see Python code run (events
       set for the whole interpreter, or on one code object)? It would see
       glob's frames, which only the Python-level steps have.
   All read the interpreter's own state, which is laid out differently in
   every minor version: each version the native snapshot is built for has its
   own block below, written against that version's internal headers; on any
   other this file holds nothing (and the native snapshot is not built). */
#include <patchlevel.h>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000

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
    PyInterpreterState *interpreter = PyInterpreterState_Get();
#if PY_VERSION_HEX < 0x030C0000
    return interpreter->runtime->audit_hook_head != NULL || interpreter->audit_hooks != NULL ||
           PyDTrace_AUDIT_ENABLED();
#else
    return interpreter->runtime->audit_hooks.head != NULL || interpreter->audit_hooks != NULL ||
           PyDTrace_AUDIT_ENABLED();
#endif
}

#if PY_VERSION_HEX < 0x030C0000

/* Set when a signal arrives; cleared only once the evaluation loop has
   handled it, so it may stay set a little longer than needed (the caller
   then only does more work than it must). */
int figvault_signals_pending(void) { return _Py_atomic_load_relaxed(&_PyRuntime.ceval.signals_pending); }

#else

/* Set by the C-level signal handler, cleared by the signal check that runs
   the Python-level handlers; a check on a thread that may not run them
   leaves it set (the caller then only does more work than it must). */
#if PY_VERSION_HEX < 0x030D0000
int figvault_signals_pending(void) { return _Py_atomic_load_relaxed(&_PyRuntime.signals.is_tripped); }
#else
int figvault_signals_pending(void) { return _Py_atomic_load_int_relaxed(&_PyRuntime.signals.is_tripped); }
#endif

/* The tools a program may claim (sys.monitoring.use_tool_id): the ids below
   the two that carry sys.setprofile and sys.settrace, which call back only on
   a thread that has a profile or trace function of its own (the caller
   checks that one directly). */
#define FIGVAULT_PROGRAM_TOOLS ((1 << PY_MONITORING_SYS_PROFILE_ID) - 1)

/* A tool in use, or events of a program's tool set for the whole
   interpreter: freeing a tool id leaves its events and callbacks in place,
   so both are asked. */
int figvault_monitoring_active(void) {
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    for (int tool = 0; tool < PY_MONITORING_SYS_PROFILE_ID; ++tool) {
        if (interpreter->monitoring_tool_names[tool] != NULL) return 1;
    }
    for (int event = 0; event < _PY_MONITORING_UNGROUPED_EVENTS; ++event) {
        if (interpreter->monitors.tools[event] & FIGVAULT_PROGRAM_TOOLS) return 1;
    }
    return 0;
}

/* Events of a program's tool set on this one code object. */
int figvault_code_monitored(PyObject *code) {
    const _PyCoMonitoringData *monitoring = ((PyCodeObject *)code)->_co_monitoring;
    if (monitoring == NULL) return 0;
    for (int event = 0; event < _PY_MONITORING_LOCAL_EVENTS; ++event) {
        if (monitoring->local_monitors.tools[event] & FIGVAULT_PROGRAM_TOOLS) return 1;
    }
    return 0;
}

#endif

#endif
