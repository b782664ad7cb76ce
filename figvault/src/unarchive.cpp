// figvault.src.unarchive: `expand` loads an archive record, calls the saved
// function again with the saved arguments, then restores the sources.
#include <Python.h>

#include "figvault/calls.hpp"
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

PyObject* expand(FunctionObject* self, PyObject* const* bound);

const FunctionSpec kExpand{
    /*name=*/"expand",
    /*qualified_name=*/"expand",
    /*traceback_name=*/"expand",
    /*doc=*/"expand(filename, folder=None)",
    CallingConvention::kNamedParameters,
    /*parameters=*/{"filename", "folder"},
    /*required=*/1,
    /*definition_line=*/kLineDefineExpand,
    /*exact_dict_parameter=*/-1,
    /*locals=*/{"data", "file_dict", "plotter", "args"},
    /*first_line=*/kLineDefineExpand,
    /*has_none_default=*/true,
    /*annotations=*/{},
    /*no_arguments_body=*/nullptr,
    /*named_parameters_body=*/expand,
};

// dill.load(open(filename, "rb")); the file is released as soon as load ends.
OwnedRef load_record(PyObject* filename) {
    Frame& module = frame();
    OwnedRef load = attribute(module.global("dill"), "load");
    OwnedRef file = call(module.builtin("open"), {filename, module.constant(kReadBinary)});
    return call(load, {file.get()});
}

// The keyword arguments of the repeated call: a shallow copy of a dict, and
// anything else dict() accepts (mappings, pair lists) converted.
OwnedRef keyword_arguments(PyObject* args) {
    if (args == Py_None) {
        PyErr_SetString(PyExc_TypeError, kNotAMapping);
        throw_error_set();
    }
    if (PyDict_CheckExact(args)) return OwnedRef::checked(PyDict_Copy(args));
    return call(reinterpret_cast<PyObject*>(&PyDict_Type), {args});
}

PyObject* expand(FunctionObject*, PyObject* const* bound) {
    return frame().run_body(kExpand.traceback_name, kLineDefineExpand, [bound](LineTracker& at) {
        Frame& module = frame();
        PyObject* filename = bound[0];
        PyObject* folder = bound[1];

        at(kLineLoadRecord);
        OwnedRef data = load_record(filename);
        at(kLineReadFiles);
        OwnedRef file_dict = OwnedRef::checked(PyObject_GetItem(data.get(), module.constant("files")));
        at(kLineReadFunc);
        OwnedRef plotter = OwnedRef::checked(PyObject_GetItem(data.get(), module.constant("func")));

        // The saved function runs first, before any source is restored.
        at(kLineHasArgs);
        if (check_status(PySequence_Contains(data.get(), module.constant("args")))) {
            at(kLineReadArgs);
            OwnedRef args = OwnedRef::checked(PyObject_GetItem(data.get(), module.constant("args")));
            at(kLineCallPlotter);
            OwnedRef keywords = keyword_arguments(args.get());
            OwnedRef no_positional = OwnedRef::checked(PyTuple_New(0));
            OwnedRef::checked(PyObject_Call(plotter.get(), no_positional.get(), keywords.get()));
        }

        if (folder != Py_None) {
            at(kLineRestoreSources);
            call(attribute(module.global("files"), "write_files_from_dict"), {file_dict.get(), folder});
        }
        return OwnedRef::none();
    });
}

void prepare(Frame& module) {
    code_object_for(kExpand);
    for (const char* text : {kReadBinary, "files", "func", "args"}) module.constant(text);
}

void run_statements(Frame& module) {
    module.at_line(kLineImportDill);
    module.import_statement("dill", "dill");
    module.at_line(kLineImportFiles);
    module.import_from_statement("", "files");
    module.at_line(kLineDefineExpand);
    module.bind("expand", make_function(kExpand).get());
}

ModuleDescription describe_module() {
    return ModuleDescription{
        /*short_name=*/"unarchive",
        /*full_name=*/"figvault.src.unarchive",
        /*source_path=*/"figvault/src/unarchive.py",
        /*execution_entry=*/"init figvault.src.unarchive",
        /*reinit_message=*/
        "Module 'unarchive' has already been imported. Re-initialisation is not supported.",
        /*builtins=*/{"open"},
        /*prepare=*/prepare,
        /*run_statements=*/run_statements,
    };
}

}  // namespace
}  // namespace figvault

FIGVAULT_DEFINE_MODULE(unarchive, figvault::describe_module)
