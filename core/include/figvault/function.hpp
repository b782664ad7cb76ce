// The function type of every figvault callable: behaves like a Python
// function for callers, introspection (inspect.signature), method binding
// and pickling, and binds a caller's arguments with CPython's own messages.
#pragma once

#include <Python.h>

#include <vector>

#include "figvault/refs.hpp"

namespace figvault {

struct FunctionObject;

enum class CallingConvention {
    kNoArguments,     // f(): refuses every argument
    kNamedParameters, // f(a, b=None): positional or keyword, fixed default None
    kVarArgs,         // f(*args, **kwargs)
};

using NoArgumentsBody = PyObject* (*)(FunctionObject* self);
// `bound` holds one borrowed value per parameter, in parameter order.
using NamedParametersBody = PyObject* (*)(FunctionObject* self, PyObject* const* bound);
// `args` is the positional tuple, `kwargs` a new dict owned by the callee.
using VarArgsBody = PyObject* (*)(FunctionObject* self, PyObject* args, PyObject* kwargs);

// Everything fixed about one callable, written once as a constant beside its body.
struct FunctionSpec {
    const char* name;            // also the name in every binding message
    const char* qualified_name;  // initial __qualname__
    const char* traceback_name;  // qualified name in traceback entries
    const char* doc;             // nullptr: __doc__ is None
    CallingConvention convention;
    std::vector<const char*> parameters;  // kNamedParameters only
    int required;                         // the first `required` parameters
    int definition_line;                  // traceback line of binding refusals
    // kNamedParameters: index of a parameter that must be exactly a dict or
    // None (refused without a traceback entry); -1 for none.
    int exact_dict_parameter;
    // The code object: its locals after the parameters, first line, flags.
    std::vector<const char*> locals;
    int first_line;
    bool has_none_default;  // __defaults__ is (None,) rather than None
    std::vector<std::pair<const char*, const char*>> annotations;  // name -> string
    NoArgumentsBody no_arguments_body = nullptr;
    NamedParametersBody named_parameters_body = nullptr;
    VarArgsBody var_args_body = nullptr;
};

struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    PyObject* module_name;
    PyObject* qualified_name;
    PyObject* name;         // made from spec->name on first read
    PyObject* doc;          // made from spec->doc on first read
    PyObject* dict;         // made on first use
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;  // made empty on first read when none was set
    PyObject* closure;      // the closure record of a wrapper, else nullptr
    PyObject* weakrefs;
    bool doc_made;
};

// Readies the function type; false with an exception set on failure.
bool function_type_ready();
PyTypeObject* function_type();

// The code object for `spec`: an empty code object of the module's source
// file carrying the spec's names, counts and flags; made once and cached.
PyObject* code_object_for(const FunctionSpec& spec);

// A new function object of this module for `spec`; `closure` may be null.
OwnedRef make_function(const FunctionSpec& spec, PyObject* closure = nullptr);

}  // namespace figvault
