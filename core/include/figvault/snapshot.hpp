// The native path of create_file_dict: the file dictionary of the working
// directory, taken without calling into Python for each folder or file, and
// indistinguishable from the Python-level steps it stands in for:
//
//     python_files_list = glob.glob("./**/*.py", recursive=True)
//     python_files_list += glob.glob("./**/*.ipynb", recursive=True)
//     for file in python_files_list:
//         f = open(file, "r"); python_files[file] = f.read(); f.close()
//
// The same keys in the same order, the same texts, the same exceptions at
// the same step, the same audit events with the same arguments. It is taken
// only while every object those steps would reach is the one it was when the
// module executed (see native_snapshot_applies); otherwise the caller runs
// the Python-level steps themselves.
#pragma once

#include <Python.h>

#include "figvault/frame.hpp"
#include "figvault/interpreter_watch.h"
#include "figvault/refs.hpp"

namespace figvault {

// The Python-level steps the native path stands in for: the two glob patterns
// and the open mode (module constants, handed to audit hooks as the Python
// steps hand them over), the source lines that their failures report, and the
// note added to a failure to open or read one file.
struct SnapshotSteps {
    PyObject* python_pattern;    // "./**/*.py"
    PyObject* notebook_pattern;  // "./**/*.ipynb"
    PyObject* read_mode;         // "r"
    int glob_python_line;
    int glob_notebooks_line;
    int for_each_file_line;
    int open_line;
    int read_line;
    int close_line;
    const char* unreadable_note;  // PyUnicode_FromFormat text; its one %R is the path
};

// Records, while the module executes (right after `import glob`), every
// object the Python-level steps reach: glob and the functions it calls, the
// os and os.path functions they use, fnmatch and re.compile, the classes
// called and their metaclasses, the built-in `open` (which must be io.open)
// and the UTF-8 decoder; their code must be the code the native path was
// written for (a digest of it is compared with the known ones). Never
// raises: if anything is unusual the native path is simply never taken.
void prepare_native_snapshot(PyObject* glob_module, PyObject* open_builtin, const SnapshotSteps& steps);

// True when the native path gives exactly what the Python-level steps give
// now: `glob` in `module_dict` is the module recorded above and nothing it
// reaches was replaced, the default text encoding is UTF-8, no trace or
// profile function is set nor (from 3.12 on) any sys.monitoring tool could
// see the steps' frames, and the recursion budget left is ample.
bool native_snapshot_applies(PyObject* module_dict);

// The file dictionary of the working directory (a new reference). Failures
// throw PyErrorSet with the exception the Python-level steps raise, after the
// same work, with `scope` at the line of the step that failed.
OwnedRef native_snapshot(Scope& scope, const SnapshotSteps& steps);

}  // namespace figvault
