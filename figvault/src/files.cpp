// figvault.src.files: snapshot the sources below the working directory into
// a file dictionary, and write such a dictionary back into a new folder.
#include <Python.h>

#include "figvault/calls.hpp"
#include "figvault/errors.hpp"
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

PyObject* create_file_dict(FunctionObject* self);

const FunctionSpec kCreateFileDict{
    /*name=*/"create_file_dict",
    /*qualified_name=*/"create_file_dict",
    /*traceback_name=*/"create_file_dict",
    /*doc=*/
    "create_file_dict()\n\n    Small helper function which reads all python files in the scope and "
    "saves the text to a dictionary.\n\n    :return: dict where each key is the file path\n    ",
    CallingConvention::kNoArguments,
    /*parameters=*/{},
    /*required=*/0,
    /*definition_line=*/kLineDefineCreateFileDict,
    /*exact_dict_parameter=*/-1,
    /*locals=*/{"python_files", "python_files_list", "f", "file"},
    /*first_line=*/kLineDefineCreateFileDict,
    /*has_none_default=*/false,
    /*annotations=*/{},
    /*no_arguments_body=*/create_file_dict,
};

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
OwnedRef glob_recursive(const char* pattern) {
    Frame& module = frame();
    OwnedRef glob_function = attribute(module.global("glob"), "glob");
    OwnedRef keywords = new_dict();
    set_item(keywords, module.name("recursive"), Py_True);
    return call(glob_function, {module.constant(pattern)}, keywords.get());
}

PyObject* create_file_dict(FunctionObject*) {
    return frame().run_body(kCreateFileDict.traceback_name, kLineDefineCreateFileDict,
                            [](LineTracker& at) {
        Frame& module = frame();
        at(kLineNewDict);
        if (native_snapshot_applies(module.module_dict())) return native_snapshot(at, snapshot_steps());
        OwnedRef python_files = new_dict();

        at(kLineGlobPython);
        OwnedRef python_files_list = glob_recursive(kPythonPattern);

        // Notebooks follow every .py path, in the order glob found them.
        at(kLineGlobNotebooks);
        OwnedRef notebooks = iterate(glob_recursive(kNotebookPattern));
        while (OwnedRef notebook = next_item(notebooks)) {
            at(kLineAppendNotebook);
            call_method(python_files_list, "append", {notebook.get()});
            at(kLineGlobNotebooks);
        }

        at(kLineForEachFile);
        OwnedRef paths = iterate(python_files_list);
        while (OwnedRef file = next_item(paths)) {
            OwnedRef f, text;
            try {
                at(kLineOpenFile);
                f = call(module.builtin("open"), {file.get(), module.constant(kReadMode)});
                at(kLineReadFile);
                text = call_method(f, "read", {});
            } catch (const PyErrorSet&) {
                // A decoding error alone does not say which file it came from.
                add_note_to_current_error(kUnreadableSourceNote, file.get());
                throw;
            }
            set_item(python_files, file.get(), text.get());
            at(kLineCloseFile);
            call_method(f, "close", {});
            at(kLineForEachFile);
        }
        return python_files;
    });
}

// ---- write_files_from_dict ----------------------------------------------
constexpr const char kDefaultFolder[] = "sourcefiles/";
constexpr const char kCurrentFolder[] = ".";
constexpr const char kSeparator[] = "/";
constexpr const char kWriteMode[] = "w";
constexpr const char kUnsafeKeyMessage[] =
    "refusing to restore %R: the path is absolute or leads out of the target folder";
constexpr const char kDictionaryChangedSize[] = "dictionary changed size during iteration";
constexpr const char kTooManyValues[] = "too many values to unpack (expected %zd)";
constexpr const char kTooFewValues[] = "need more than %zd value%.1s to unpack";

constexpr int kLineGetCwd = 27;
constexpr int kLineMakeTarget = 28;
constexpr int kLineEnterTarget = 29;
constexpr int kLineForEachKey = 32;
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

PyObject* write_files_from_dict(FunctionObject* self, PyObject* const* bound);

const FunctionSpec kWriteFilesFromDict{
    /*name=*/"write_files_from_dict",
    /*qualified_name=*/"write_files_from_dict",
    /*traceback_name=*/"write_files_from_dict",
    /*doc=*/"write_files_from_dict(dict folder_dict: dict, new_folder_path=None)",
    CallingConvention::kNamedParameters,
    /*parameters=*/{"folder_dict", "new_folder_path"},
    /*required=*/1,
    /*definition_line=*/kLineDefineWriteFilesFromDict,
    /*exact_dict_parameter=*/0,
    /*locals=*/{"cwd", "key", "base_path", "file_name", "text", "file"},
    /*first_line=*/kLineDefineWriteFilesFromDict,
    /*has_none_default=*/true,
    /*annotations=*/{{"folder_dict", "dict"}},
    /*no_arguments_body=*/nullptr,
    /*named_parameters_body=*/write_files_from_dict,
};

OwnedRef os_path() { return attribute(frame().global("os"), "path"); }

// head, tail = value: exactly two items, with the unpacking messages.
std::pair<OwnedRef, OwnedRef> unpack_pair(BorrowedRef value) {
    OwnedRef items = OwnedRef::checked(PySequence_Fast(value.get(), "cannot unpack non-iterable object"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count > 2) {
        PyErr_Format(PyExc_ValueError, kTooManyValues, static_cast<Py_ssize_t>(2));
        throw_error_set();
    }
    if (count < 2) {
        PyErr_Format(PyExc_ValueError, kTooFewValues, count, count == 1 ? "" : "s");
        throw_error_set();
    }
    return {OwnedRef::incref(PySequence_Fast_GET_ITEM(items.get(), 0)),
            OwnedRef::incref(PySequence_Fast_GET_ITEM(items.get(), 1))};
}

// Refuses, before anything is made, every str or path-like key that is absolute or whose
// normalised path leaves the target folder: restoring an archive must never
// write outside the folder the caller named.
// True when `path` is absolute, or when its normalised form (as
// os.path.normpath makes it) starts with a parent-folder component.
bool leaves_folder(const char* path, Py_ssize_t length) {
    if (length > 0 && path[0] == '/') return true;
    Py_ssize_t depth = 0;
    for (Py_ssize_t start = 0; start <= length;) {
        Py_ssize_t end = start;
        while (end < length && path[end] != '/') ++end;
        const Py_ssize_t size = end - start;
        const bool is_current = size == 0 || (size == 1 && path[start] == '.');
        const bool is_parent = size == 2 && path[start] == '.' && path[start + 1] == '.';
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

void refuse_key_leaving_folder(PyObject* key) {
    // Path-like keys are written like str keys, so they are checked too;
    // anything else (numbers, bytes) fails before a file is written.
    OwnedRef text = OwnedRef::steal(PyOS_FSPath(key));
    if (!text || !PyUnicode_Check(text.get())) {
        PyErr_Clear();
        return;
    }
    // Encoded as open() will encode it (surrogateescape included).
    OwnedRef encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(text.get()));
    if (!encoded) {
        PyErr_Clear();  // not encodable: open() refuses this key itself
        return;
    }
    if (leaves_folder(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()))) {
        PyErr_Format(PyExc_ValueError, kUnsafeKeyMessage, key);
        throw_error_set();
    }
}

void refuse_keys_leaving_folder(PyObject* folder_dict) {
    if (!PyDict_CheckExact(folder_dict)) return;  // None fails in the loop below
    OwnedRef keys = OwnedRef::checked(PyDict_Keys(folder_dict));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i)
        refuse_key_leaving_folder(PyList_GET_ITEM(keys.get(), i));
}

// base_path + "/" + file_name, built anew for printing and for opening; a
// bytes part fails here with the interpreter's concatenation TypeError.
OwnedRef joined_path(BorrowedRef base_path, BorrowedRef file_name) {
    OwnedRef with_separator =
        OwnedRef::checked(PyNumber_Add(base_path.get(), frame().constant(kSeparator)));
    return OwnedRef::checked(PyNumber_Add(with_separator.get(), file_name.get()));
}

// The loop over the entries, inside the target folder.
void write_entries(PyObject* folder_dict, LineTracker& at) {
    Frame& module = frame();
    at(kLineForEachKey);
    if (folder_dict == Py_None) {
        iterate(folder_dict);  // raises "'NoneType' object is not iterable"
        return;
    }
    const Py_ssize_t size_at_start = PyDict_GET_SIZE(folder_dict);
    Py_ssize_t position = 0;
    PyObject* borrowed_key;
    PyObject* ignored_value;
    for (;;) {
        at(kLineForEachKey);
        if (PyDict_GET_SIZE(folder_dict) != size_at_start) {
            PyErr_SetString(PyExc_RuntimeError, kDictionaryChangedSize);
            throw_error_set();
        }
        if (!PyDict_Next(folder_dict, &position, &borrowed_key, &ignored_value)) break;
        OwnedRef key = OwnedRef::incref(borrowed_key);
        // Checked again here: code run during the call (a print hook, say)
        // may have put a new key in the dictionary.
        refuse_key_leaving_folder(key.get());

        at(kLineSplitKey);
        auto [base_path, file_name] = unpack_pair(call_method(os_path(), "split", {key.get()}));

        at(kLineNormalise);
        base_path = call_method(os_path(), "normpath", {base_path.get()});

        at(kLinePrint);
        call(module.builtin_on_first_use("print"), {joined_path(base_path, file_name).get()});

        at(kLineFolderMissing);
        // The interpreter shares one object per one-character string, so the
        // identity test holds exactly when the folder part normalised to ".".
        bool must_make_folder = false;
        if (base_path.get() != module.constant(kCurrentFolder))
            must_make_folder = !is_true(call_method(os_path(), "exists", {base_path.get()}));
        if (must_make_folder) {
            at(kLineMakeFolder);
            // Parents too: a key such as ./src/pkg/mod.py may come before
            // (or without) any entry lying directly in ./src.
            call_method(module.global("os"), "makedirs", {base_path.get()});
        }

        at(kLineGetText);
        OwnedRef text = OwnedRef::checked(PyObject_GetItem(folder_dict, key.get()));

        at(kLineOpenTarget);
        OwnedRef file = call(module.builtin("open"),
                             {joined_path(base_path, file_name).get(), module.constant(kWriteMode)});

        at(kLineWriteText);
        call_method(file, "write", {text.get()});
        at(kLineCloseTarget);
        call_method(file, "close", {});
    }
}

PyObject* write_files_from_dict(FunctionObject*, PyObject* const* bound) {
    return frame().run_body(kWriteFilesFromDict.traceback_name, kLineDefineWriteFilesFromDict,
                            [bound](LineTracker& at) {
        Frame& module = frame();
        PyObject* folder_dict = bound[0];
        PyObject* new_folder_path = bound[1] == Py_None ? module.constant(kDefaultFolder) : bound[1];

        at(kLineGetCwd);
        OwnedRef cwd = call_method(module.global("os"), "getcwd", {});
        at(kLineForEachKey);
        refuse_keys_leaving_folder(folder_dict);
        at(kLineMakeTarget);
        call_method(module.global("os"), "mkdir", {new_folder_path});
        at(kLineEnterTarget);
        call_method(module.global("os"), "chdir", {new_folder_path});

        try {
            write_entries(folder_dict, at);
        } catch (const PyErrorSet&) {
            // Never leave the process inside the target folder: go back, and
            // report the original error (chained under a failed return).
            PendingError failure;
            try {
                call_method(module.global("os"), "chdir", {cwd.get()});
            } catch (const PyErrorSet&) {
                failure.chain_under_current();
                throw;
            }
            failure.restore();
            throw;
        }

        at(kLineLeaveTarget);
        call_method(module.global("os"), "chdir", {cwd.get()});
        return OwnedRef::none();
    });
}

// ---- module ------------------------------------------------------------

void prepare(Frame& module) {
    code_object_for(kCreateFileDict);
    code_object_for(kWriteFilesFromDict);
    for (const char* text : {kPythonPattern, kNotebookPattern, kReadMode, kDefaultFolder,
                             kCurrentFolder, kSeparator, kWriteMode})
        module.constant(text);
}

void run_statements(Frame& module) {
    module.at_line(kLineImportGlob);
    module.import_statement("glob", "glob");
    prepare_native_snapshot(module.global("glob").get(), module.builtin("open"), snapshot_steps());
    module.at_line(kLineImportOs);
    module.import_statement("os", "os");
    module.at_line(kLineDefineCreateFileDict);
    module.bind("create_file_dict", make_function(kCreateFileDict).get());
    module.at_line(kLineDefineWriteFilesFromDict);
    module.bind("write_files_from_dict", make_function(kWriteFilesFromDict).get());
}

ModuleDescription describe_module() {
    return ModuleDescription{
        /*short_name=*/"files",
        /*full_name=*/"figvault.src.files",
        /*source_path=*/"figvault/src/files.py",
        /*execution_entry=*/"init figvault.src.files",
        /*reinit_message=*/
        "Module 'files' has already been imported. Re-initialisation is not supported.",
        /*builtins=*/{"open"},
        /*prepare=*/prepare,
        /*run_statements=*/run_statements,
    };
}

}  // namespace
}  // namespace figvault

FIGVAULT_DEFINE_MODULE(files, figvault::describe_module)
