// figvault.src.unarchive: `expand` loads an archive record, calls the saved
// function again with the saved arguments, then restores the sources.
#include <Python.h>

#include "figvault/calls.hpp"
#include "figvault/errors.hpp"
#include "figvault/frame.hpp"
#include "figvault/function.hpp"
#include "figvault/refs.hpp"

namespace figvault {
namespace {

constexpr int kLineImportDill = 1;
constexpr int kLineImportFiles = 2;
constexpr int kLineDefineExpand = 5;

constexpr int kLineLoadRecord = 7;
constexpr int kLineReadFiles = 8;
constexpr int kLineReadFunc = 9;
constexpr int kLineHasArgs = 11;
constexpr int kLineReadArgs = 12;
constexpr int kLineCallPlotter = 13;
constexpr int kLineRestoreSources = 16;

constexpr const char kReadBinary[] = "rb";
constexpr const char kNotAMapping[] = "argument after ** must be a mapping, not NoneType";

OwnedRef expand(Scope& scope, BoundArguments bound);

const FunctionSpec kExpand = FunctionSpec::with_parameters(
    {.name = "expand",
     .line = kLineDefineExpand,
     .doc = "expand(filename, folder=None)",
     .locals = {"data", "file_dict", "plotter", "args"}},
    {.names = {"filename", "folder"}, .required = 1},
    expand);

// dill.load(open(filename, "rb")); the file is released as soon as load ends.
OwnedRef load_record(Scope& scope, PyObject* filename) {
    Frame& module = frame();
    OwnedRef load = attribute(scope.global("dill"), "load");
    OwnedRef file = call(module.builtin("open"), {filename, module.constant(kReadBinary)});
    try {
        return call(load, {file.get()});
    } catch (const PyErrorSet&) {
        release_with_error_set(file);
        throw;
    }
}

// The keyword arguments of the repeated call: a shallow copy of a dict, and
// anything else dict() accepts (mappings, pair lists) converted.
OwnedRef keyword_arguments(PyObject* args) {
    if (args == Py_None) raise_error(PyExc_TypeError, kNotAMapping);
    if (PyDict_CheckExact(args)) return OwnedRef::checked(PyDict_Copy(args));
    return call(reinterpret_cast<PyObject*>(&PyDict_Type), {args});
}

OwnedRef record_item(PyObject* record, const char* key) {
    return OwnedRef::checked(PyObject_GetItem(record, frame().constant(key)));
}

OwnedRef expand(Scope& scope, BoundArguments bound) {
    PyObject* filename = bound[0];
    PyObject* folder = bound[1];

    scope.at(kLineLoadRecord);
    OwnedRef data = load_record(scope, filename);
    scope.at(kLineReadFiles);
    OwnedRef file_dict = record_item(data.get(), "files");
    scope.at(kLineReadFunc);
    OwnedRef plotter = record_item(data.get(), "func");

    // The saved function runs first, before any source is restored.
    scope.at(kLineHasArgs);
    if (check_status(PySequence_Contains(data.get(), frame().constant("args")))) {
        scope.at(kLineReadArgs);
        OwnedRef args = record_item(data.get(), "args");
        scope.at(kLineCallPlotter);
        OwnedRef keywords = keyword_arguments(args.get());
        OwnedRef no_positional = OwnedRef::checked(PyTuple_New(0));
        OwnedRef::checked(PyObject_Call(plotter.get(), no_positional.get(), keywords.get()));
    }

    if (folder != Py_None) {
        scope.at(kLineRestoreSources);
        call(attribute(scope.global("files"), "write_files_from_dict"), {file_dict.get(), folder});
    }
    return OwnedRef::none();
}

void run_statements(Frame& module) {
    module.import_statement(kLineImportDill, "dill");
    module.import_from(kLineImportFiles, "", "files");
    module.define(kExpand);
}

ModuleDescription describe_module() {
    return {.short_name = "unarchive",
            .builtins = {"open"},
            .run_statements = run_statements};
}

}  // namespace
}  // namespace figvault

FIGVAULT_DEFINE_MODULE(unarchive, figvault::describe_module)
