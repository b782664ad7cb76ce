// figvault.src.files: snapshot the sources below the working directory into
// a file dictionary, and write such a dictionary back into a new folder.
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "figvault/calls.hpp"
#include "figvault/descriptor.hpp"
#include "figvault/errors.hpp"
#include "figvault/file_status.hpp"
#include "figvault/frame.hpp"
#include "figvault/function.hpp"
#include "figvault/refs.hpp"
#include "figvault/snapshot.hpp"

namespace figvault {
namespace {

// ---- module statements and their lines --------------------------------
constexpr int kLineImportGlob = 1;
constexpr int kLineImportOs = 2;
constexpr int kLineDefineCreateFileDict = 5;
constexpr int kLineDefineWriteFilesFromDict = 22;

// ---- create_file_dict ---------------------------------------------------
constexpr const char kPythonPattern[] = "./**/*.py";
constexpr const char kNotebookPattern[] = "./**/*.ipynb";
constexpr const char kReadMode[] = "r";
constexpr const char kUnreadableSourceNote[] = "while reading %R for the source snapshot";

constexpr int kLineNewDict = 11;
constexpr int kLineGlobPython = 12;
constexpr int kLineGlobNotebooks = 13;
constexpr int kLineAppendNotebook = 14;
constexpr int kLineForEachFile = 15;
constexpr int kLineOpenFile = 16;
constexpr int kLineReadFile = 17;
constexpr int kLineCloseFile = 18;

OwnedRef create_file_dict(Scope& scope);

const FunctionSpec kCreateFileDict = FunctionSpec::without_arguments(
    {.name = "create_file_dict",
     .line = kLineDefineCreateFileDict,
     .doc = "create_file_dict()\n\n    Small helper function which reads all python files in the scope and "
            "saves the text to a dictionary.\n\n    :return: dict where each key is the file path\n    ",
     .locals = {"python_files", "python_files_list", "f", "file"}},
    create_file_dict);

// The steps below, for the native snapshot that stands in for them.
SnapshotSteps snapshot_steps() {
    Frame& module = frame();
    return SnapshotSteps{module.constant(kPythonPattern), module.constant(kNotebookPattern),
                         module.constant(kReadMode),      kLineGlobPython,
                         kLineGlobNotebooks,              kLineForEachFile,
                         kLineOpenFile,                   kLineReadFile,
                         kLineCloseFile,                  kUnreadableSourceNote};
}

// glob.glob(pattern, recursive=True), looking `glob` up anew.
OwnedRef glob_recursive(Scope& scope, const char* pattern) {
    Frame& module = frame();
    OwnedRef glob_function = attribute(scope.global("glob"), "glob");
    OwnedRef keywords = new_dict();
    set_item(keywords, module.name("recursive"), Py_True);
    return call(glob_function, {module.constant(pattern)}, keywords.get());
}

// open(file, "r").read(); a failure gets a note naming the file, which a
// decoding error would not say by itself.
OwnedRef read_source(Scope& scope, PyObject* file, OwnedRef& f) {
    Frame& module = frame();
    try {
        scope.at(kLineOpenFile);
        f = call(module.builtin("open"), {file, module.constant(kReadMode)});
        scope.at(kLineReadFile);
        return call_method(f, "read", {});
    } catch (const PyErrorSet&) {
        add_note_to_current_error(kUnreadableSourceNote, file);
        release_with_error_set(f);
        throw;
    }
}

OwnedRef create_file_dict(Scope& scope) {
    scope.at(kLineNewDict);
    // The same steps without calling into Python for each folder and file,
    // wherever that is indistinguishable from running them.
    PyObject* globals = scope.function().globals;
    if (globals != nullptr && native_snapshot_applies(globals)) return native_snapshot(scope, snapshot_steps());
    OwnedRef python_files = new_dict();

    scope.at(kLineGlobPython);
    OwnedRef python_files_list = glob_recursive(scope, kPythonPattern);

    // Notebooks follow every .py path, in the order glob found them.
    scope.at(kLineGlobNotebooks);
    OwnedRef notebooks = iterate(glob_recursive(scope, kNotebookPattern));
    while (OwnedRef notebook = next_item(notebooks)) {
        scope.at(kLineAppendNotebook);
        call_method(python_files_list, "append", {notebook.get()});
        scope.at(kLineGlobNotebooks);
    }

    scope.at(kLineForEachFile);
    OwnedRef paths = iterate(python_files_list);
    while (OwnedRef file = next_item(paths)) {
        OwnedRef f;
        OwnedRef text = read_source(scope, file.get(), f);
        set_item(python_files, file.get(), text.get());
        scope.at(kLineCloseFile);
        call_method(f, "close", {});
        scope.at(kLineForEachFile);
    }
    return python_files;
}

// ---- write_files_from_dict ----------------------------------------------
constexpr const char kDefaultFolder[] = "sourcefiles/";
constexpr const char kCurrentFolder[] = ".";
constexpr const char kSeparator[] = "/";
constexpr const char kWriteMode[] = "w";
constexpr const char kUnsafeKeyMessage[] =
    "refusing to restore %R: the path is absolute or leads out of the target folder";
constexpr const char kWorkingDirectoryMoved[] =
    "the working directory was moved out of the target folder while the sources were restored; "
    "refusing to write %R elsewhere";
constexpr const char kDictionaryChangedSize[] = "dictionary changed size during iteration";
constexpr const char kTooManyValues[] = "too many values to unpack (expected %zd)";
constexpr const char kTooFewValues[] = "need more than %zd value%.1s to unpack";

constexpr int kLineGetCwd = 27;
constexpr int kLineMakeTarget = 28;
constexpr int kLineEnterTarget = 29;
constexpr int kLineForEachKey = 32;  // also the line of a refused key
constexpr int kLineSplitKey = 33;
constexpr int kLineNormalise = 34;
constexpr int kLinePrint = 35;
constexpr int kLineFolderMissing = 36;
constexpr int kLineMakeFolder = 37;
constexpr int kLineGetText = 38;
constexpr int kLineOpenTarget = 39;
constexpr int kLineWriteText = 40;
constexpr int kLineCloseTarget = 41;
constexpr int kLineLeaveTarget = 43;

OwnedRef write_files_from_dict(Scope& scope, BoundArguments bound);

const FunctionSpec kWriteFilesFromDict = FunctionSpec::with_parameters(
    {.name = "write_files_from_dict",
     .line = kLineDefineWriteFilesFromDict,
     .doc = "write_files_from_dict(dict folder_dict: dict, new_folder_path=None)",
     .locals = {"cwd", "key", "base_path", "file_name", "text", "file"}},
    {.names = {"folder_dict", "new_folder_path"},
     .required = 1,
     .exact_dict = 0,
     .annotations = {{"folder_dict", "dict"}}},
    write_files_from_dict);

OwnedRef os_path(Scope& scope) { return attribute(scope.global("os"), "path"); }

// head, tail = value: exactly two items, with the unpacking messages.
std::pair<OwnedRef, OwnedRef> unpack_pair(BorrowedRef value) {
    OwnedRef items = OwnedRef::checked(PySequence_Fast(value.get(), "cannot unpack non-iterable object"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count > 2) raise_error(PyExc_ValueError, kTooManyValues, static_cast<Py_ssize_t>(2));
    if (count < 2) raise_error(PyExc_ValueError, kTooFewValues, count, count == 1 ? "" : "s");
    return {OwnedRef::incref(PySequence_Fast_GET_ITEM(items.get(), 0)),
            OwnedRef::incref(PySequence_Fast_GET_ITEM(items.get(), 1))};
}

// True when `path` is absolute, or when its normalised form (as
// os.path.normpath makes it) starts with a parent-folder component. `at(i)`
// gives the i-th character (a code point or a byte): only "/" and "." count,
// so a str is judged by its characters, whatever the file-system encoding
// would make of them.
template <class CharAt>
bool leaves_folder(Py_ssize_t length, CharAt&& at) {
    if (length > 0 && at(0) == '/') return true;
    Py_ssize_t depth = 0;
    for (Py_ssize_t start = 0; start <= length;) {
        Py_ssize_t end = start;
        while (end < length && at(end) != '/') ++end;
        const Py_ssize_t size = end - start;
        const bool is_current = size == 0 || (size == 1 && at(start) == '.');
        const bool is_parent = size == 2 && at(start) == '.' && at(start + 1) == '.';
        if (is_parent) {
            if (depth == 0) return true;
            --depth;
        } else if (!is_current) {
            ++depth;
        }
        start = end + 1;
    }
    return false;
}

// The text of `path` (a str, bytes or path-like value about to be used), as
// os.fspath gives it, refused when it is absolute or leads out of the target
// folder, naming `key`: restoring an archive must never write outside the
// folder the caller named. The caller uses this very text, so a path-like
// object cannot answer differently when it is asked again. A value that is
// no path raises the TypeError of os.fspath.
OwnedRef path_inside_folder(Scope& scope, PyObject* path, PyObject* key) {
    OwnedRef text = OwnedRef::checked(PyOS_FSPath(path));
    bool leaves;
    if (PyUnicode_Check(text.get())) {
        PyObject* string = text.get();
        const int kind = PyUnicode_KIND(string);
        const void* data = PyUnicode_DATA(string);
        leaves = leaves_folder(PyUnicode_GET_LENGTH(string),
                               [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); });
    } else {
        const char* bytes = PyBytes_AS_STRING(text.get());
        leaves = leaves_folder(PyBytes_GET_SIZE(text.get()), [&](Py_ssize_t i) { return Py_UCS4(bytes[i]); });
    }
    if (leaves) {
        scope.at(kLineForEachKey);
        raise_error(PyExc_ValueError, kUnsafeKeyMessage, key);
    }
    return text;
}

// The check of a key before anything is made. A key that is no path is left
// to fail where the restore splits it.
void refuse_key_leaving_folder(Scope& scope, PyObject* key) {
    try {
        path_inside_folder(scope, key, key);
    } catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyErr_Clear();
    }
}

// The restore moves the process into the target folder and back. Both
// folders are held open: the target, to notice code that moved the process
// elsewhere meanwhile (a hook, another thread) before anything is written
// there; the caller's, to go back even when `os` is gone.
Descriptor open_current_folder() { return Descriptor(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)); }

void require_inside_target(const Descriptor& target, PyObject* path) {
    FileStatus current, expected;
    if (!target || !read_file_status(target.get(), expected)) return;
    if (read_file_status(AT_FDCWD, ".", 0, current) && current.same_file_as(expected)) return;
    raise_error(PyExc_RuntimeError, kWorkingDirectoryMoved, path);
}

// Every key is checked before anything is made.
void refuse_keys_leaving_folder(Scope& scope, PyObject* folder_dict) {
    if (!PyDict_CheckExact(folder_dict)) return;  // None fails in the loop below
    OwnedRef keys = OwnedRef::checked(PyDict_Keys(folder_dict));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        refuse_key_leaving_folder(scope, PyList_GET_ITEM(keys.get(), i));
    }
}

// base_path + "/" + file_name, built anew for printing and for opening; a
// bytes part fails here with the interpreter's concatenation TypeError.
OwnedRef joined_path(BorrowedRef base_path, BorrowedRef file_name) {
    OwnedRef with_separator =
        OwnedRef::checked(PyNumber_Add(base_path.get(), frame().constant(kSeparator)));
    return OwnedRef::checked(PyNumber_Add(with_separator.get(), file_name.get()));
}

bool is_current_folder(PyObject* path) {
    return PyUnicode_Check(path) && PyUnicode_CompareWithASCIIString(path, kCurrentFolder) == 0;
}

// One entry, inside the target folder. Every path is checked right before
// it is used, and the checked text is what is used: a path-like key may
// answer differently each time it is asked, and code run meanwhile (a print
// hook, say) may change the dictionary.
void write_entry(Scope& scope, PyObject* folder_dict, PyObject* key, const Descriptor& target) {
    Frame& module = frame();
    scope.at(kLineSplitKey);
    auto [base_path, file_name] = unpack_pair(call_method(os_path(scope), "split", {key}));

    scope.at(kLineNormalise);
    base_path = call_method(os_path(scope), "normpath", {base_path.get()});

    scope.at(kLinePrint);
    OwnedRef printed_path = path_inside_folder(scope, joined_path(base_path, file_name).get(), key);
    call(module.builtin_on_first_use("print"), {printed_path.get()});

    scope.at(kLineFolderMissing);
    // A folder part that normalised to "." is the target folder itself.
    if (!is_current_folder(base_path.get()) &&
        !is_true(call_method(os_path(scope), "exists", {base_path.get()}))) {
        OwnedRef folder = path_inside_folder(scope, base_path.get(), key);
        scope.at(kLineMakeFolder);
        require_inside_target(target, folder.get());
        // Parents too: a key such as ./src/pkg/mod.py may come before (or
        // without) any entry lying directly in ./src.
        call_method(scope.global("os"), "makedirs", {folder.get()});
    }

    scope.at(kLineGetText);
    OwnedRef text = OwnedRef::checked(PyObject_GetItem(folder_dict, key));

    scope.at(kLineOpenTarget);
    OwnedRef opened_path = path_inside_folder(scope, joined_path(base_path, file_name).get(), key);
    require_inside_target(target, opened_path.get());
    OwnedRef file = call(module.builtin("open"), {opened_path.get(), module.constant(kWriteMode)});

    scope.at(kLineWriteText);
    call_method(file, "write", {text.get()});
    scope.at(kLineCloseTarget);
    call_method(file, "close", {});
}

// The loop over the entries, inside the target folder.
void write_entries(Scope& scope, PyObject* folder_dict, const Descriptor& target) {
    scope.at(kLineForEachKey);
    if (folder_dict == Py_None) {
        iterate(folder_dict);  // raises "'NoneType' object is not iterable"
        return;
    }
    const Py_ssize_t size_at_start = PyDict_GET_SIZE(folder_dict);
    Py_ssize_t position = 0;
    PyObject* borrowed_key;
    PyObject* ignored_value;
    for (;;) {
        scope.at(kLineForEachKey);
        if (PyDict_GET_SIZE(folder_dict) != size_at_start)
            raise_error(PyExc_RuntimeError, kDictionaryChangedSize);
        if (!PyDict_Next(folder_dict, &position, &borrowed_key, &ignored_value)) break;
        OwnedRef key = OwnedRef::incref(borrowed_key);
        write_entry(scope, folder_dict, key.get(), target);
    }
}

// os.chdir(cwd). If that fails (`os` is gone, the folder was removed or
// renamed), the caller's folder held open still takes the process back, and
// the failure is reported.
void return_to_caller(Scope& scope, PyObject* cwd, const Descriptor& caller) {
    try {
        call_method(scope.global("os"), "chdir", {cwd});
    } catch (const PyErrorSet&) {
        if (caller) (void)::fchdir(caller.get());
        throw;
    }
}

OwnedRef write_files_from_dict(Scope& scope, BoundArguments bound) {
    Frame& module = frame();
    PyObject* folder_dict = bound[0];
    PyObject* new_folder_path = bound[1] == Py_None ? module.constant(kDefaultFolder) : bound[1];

    scope.at(kLineGetCwd);
    OwnedRef cwd = call_method(scope.global("os"), "getcwd", {});
    const Descriptor caller = open_current_folder();
    scope.at(kLineForEachKey);
    refuse_keys_leaving_folder(scope, folder_dict);
    scope.at(kLineMakeTarget);
    call_method(scope.global("os"), "mkdir", {new_folder_path});
    scope.at(kLineEnterTarget);
    call_method(scope.global("os"), "chdir", {new_folder_path});
    const Descriptor target = open_current_folder();

    try {
        write_entries(scope, folder_dict, target);
    } catch (const PyErrorSet&) {
        // Never leave the process inside the target folder: go back, and
        // report the original error (the context of a failed return).
        PendingError failure;
        try {
            return_to_caller(scope, cwd.get(), caller);
        } catch (const PyErrorSet&) {
            failure.chain_under_current();
            throw;
        }
        failure.restore();
        throw;
    }

    scope.at(kLineLeaveTarget);
    return_to_caller(scope, cwd.get(), caller);
    return OwnedRef::none();
}

// ---- module ------------------------------------------------------------

void run_statements(Frame& module) {
    module.import_statement(kLineImportGlob, "glob");
    prepare_native_snapshot(module.module_global("glob"), module.builtin("open"), snapshot_steps());
    module.import_statement(kLineImportOs, "os");
    module.define(kCreateFileDict);
    module.define(kWriteFilesFromDict);
}

ModuleDescription describe_module() {
    return {.short_name = "files",
            .builtins = {"open"},
            .run_statements = run_statements};
}

}  // namespace
}  // namespace figvault

FIGVAULT_DEFINE_MODULE(files, figvault::describe_module)
