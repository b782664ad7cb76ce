/* See core/interpreter_watch.c. Defined only for the interpreter versions the
   native snapshot is built for. */
#pragma once

#include <patchlevel.h>

/* The interpreter versions whose glob, io and recursion accounting the
   native snapshot follows (each one's own, see core/snapshot.cpp); on any
   other, create_file_dict always takes its Python-level steps. */
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define FIGVAULT_NATIVE_SNAPSHOT 1
#else
#define FIGVAULT_NATIVE_SNAPSHOT 0
#endif

/* From 3.12 on, sys.monitoring can watch Python code run. */
#define FIGVAULT_WATCHES_MONITORING (PY_VERSION_HEX >= 0x030C0000)

#ifdef __cplusplus
extern "C" {
#endif

int figvault_audit_hooks_active(void);
int figvault_signals_pending(void);
#if FIGVAULT_WATCHES_MONITORING
int figvault_monitoring_active(void);
/* `code` must be a code object (a PyObject). */
int figvault_code_monitored(struct _object *code);
#endif

#ifdef __cplusplus
}
#endif
