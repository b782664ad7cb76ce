// The function type of every figvault callable, and the closure record a
// function may carry.
//
// A function object behaves like a Python function for callers,
// introspection (inspect.signature), method binding and pickling, and binds a
// caller's arguments with CPython's own messages. Everything fixed about one
// callable is a FunctionSpec, written once beside its body; the calling
// convention follows from the kind of body, so a spec whose parameters and
// body disagree does not compile.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "figvault/python_version.hpp"
#include "figvault/refs.hpp"

namespace figvault {

class Scope;

// One borrowed value per parameter, in parameter order; unbound optional
// parameters hold None.
using BoundArguments = PyObject* const*;

// f(): refuses every argument.
using NoArgumentsBody = OwnedRef (*)(Scope& scope);
// f(a, b=None): positional or keyword, fixed default None.
using NamedParametersBody = OwnedRef (*)(Scope& scope, BoundArguments bound);
// f(*args, **kwargs): `args` is the positional tuple as received, `kwargs` a
// new dict owned by the call.
using VarArgsBody = OwnedRef (*)(Scope& scope, PyObject* args, PyObject* kwargs);

// The `def` statement of a callable.
struct Definition {
    const char* name;                     // __name__, and the name in binding messages
    int line;                             // its line: co_firstlineno, and the traceback
                                          // line of binding refusals
    const char* doc = nullptr;            // nullptr: __doc__ is None
    std::vector<const char*> locals = {}; // co_varnames after the parameters
    const char* qualified_name = nullptr; // __qualname__; nullptr: the name
    // For a function made by another one's call over a closure record: the
    // qualified name of the maker, a global of the module. Such a function
    // pickles as that call, maker(closure.self, closure.func).
    const char* made_by = nullptr;
};

// The named parameters of a callable: the first `required` ones must be
// given, the rest default to None.
struct Parameters {
    std::vector<const char*> names;
    std::size_t required;
    // Index of a parameter that must be exactly a dict or None (refused
    // without a traceback entry); -1 for none.
    int exact_dict = -1;
    std::vector<std::pair<const char*, const char*>> annotations = {};  // name -> string
};

// A spec is made once, as a constant of its module (the factories return it
// in place); it can be neither copied nor moved, and every spec of a shared
// object is known to its frame, which makes their code objects when the
// module is executed.
class FunctionSpec {
public:
    FunctionSpec(const FunctionSpec&) = delete;
    FunctionSpec& operator=(const FunctionSpec&) = delete;

    static FunctionSpec without_arguments(Definition definition, NoArgumentsBody body);
    static FunctionSpec with_parameters(Definition definition, Parameters parameters,
                                        NamedParametersBody body);
    // `*args, **kwargs`; the two names come first in co_varnames.
    static FunctionSpec with_var_args(Definition definition, VarArgsBody body);

    const Definition& definition() const { return definition_; }
    const char* name() const { return definition_.name; }
    const char* qualified_name() const { return definition_.qualified_name; }
    int line() const { return definition_.line; }
    const Parameters& parameters() const { return parameters_; }
    std::size_t parameter_count() const { return parameters_.names.size(); }
    std::size_t optional_count() const { return parameter_count() - parameters_.required; }
    // The qualified name in traceback entries: "<locals>." parts dropped.
    const char* traceback_name() const { return traceback_name_.c_str(); }
    // co_varnames: the parameters (or args, kwargs), then the locals.
    const std::vector<const char*>& variable_names() const { return variable_names_; }

    const std::variant<NoArgumentsBody, NamedParametersBody, VarArgsBody>& body() const { return body_; }
    bool takes_var_args() const { return std::holds_alternative<VarArgsBody>(body_); }

private:
    FunctionSpec(Definition definition, Parameters parameters,
                 std::variant<NoArgumentsBody, NamedParametersBody, VarArgsBody> body);

    Definition definition_;
    Parameters parameters_;
    std::variant<NoArgumentsBody, NamedParametersBody, VarArgsBody> body_;
    std::string traceback_name_;
    std::vector<const char*> variable_names_;
};

struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    PyObject* module_name;
    PyObject* qualified_name;
    PyObject* name;         // made from the spec's name on first read
    PyObject* doc;          // made from the spec's doc on first read
    PyObject* dict;         // made on first use
    PyObject* globals;      // the module's dictionary when the function was made
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;  // made empty on first read when none was set
    PyObject* closure;      // a ClosureRecord, or nullptr
    PyObject* weakrefs;
    bool doc_made;
};

// What a `wrapper` closes over: the decorated function and its decorator
// object, kept alive for as long as the wrapper lives.
struct ClosureRecord {
    PyObject_HEAD
    PyObject* func;
    PyObject* self;
    PyObject* weakrefs;
};

// Every FunctionSpec of this shared object, in the order they were made.
const std::vector<const FunctionSpec*>& function_specs();

// Readies the function type (named after the module that holds it);
// throws PyErrorSet on failure.
void ready_function_type();
// Readies the closure record type; throws PyErrorSet on failure.
void ready_closure_record_type();

// The code object for `spec`: an empty code object of the module's source
// file carrying the spec's names, counts and flags; made once and cached.
PyObject* code_object_for(const FunctionSpec& spec);

// A new function object for `spec` with `globals` as its module namespace;
// `closure` may be null.
OwnedRef make_function(const FunctionSpec& spec, PyObject* globals, PyObject* closure = nullptr);

// A new closure record holding `func` and `self`.
OwnedRef make_closure_record(PyObject* func, PyObject* self);

}  // namespace figvault
