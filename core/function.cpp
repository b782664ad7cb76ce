// The function type, argument binding, and the closure record type.
#include "figvault/function.hpp"

#include <structmember.h>

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>

#include "figvault/calls.hpp"
#include "figvault/errors.hpp"
#include "figvault/frame.hpp"
#include "figvault/guard.hpp"

namespace figvault {

namespace {

// Type names say where the type lives: "<full module name>.<kind>".
constexpr const char kFunctionTypeSuffix[] = ".function";
constexpr const char kClosureTypeSuffix[] = ".closure";
constexpr const char kLocalsPart[] = "<locals>.";
constexpr const char kReprFormat[] = "<function %U at %p>";
constexpr const char kTakesNoKeywords[] = "%.200s() takes no keyword arguments";
constexpr const char kTakesNoArguments[] = "%.200s() takes no arguments (%zd given)";
constexpr const char kCountMessage[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
constexpr const char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
constexpr const char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
constexpr const char kIncorrectType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char kExactDictTypeName[] = "dict";
constexpr const char kVarArgsName[] = "args";
constexpr const char kVarKeywordsName[] = "kwargs";
constexpr const char kTooManyParameters[] = "figvault: %s() has more than %zu parameters";
constexpr const char kNoGlobals[] = "figvault: %s() has no module namespace";
constexpr const char kNoMakerFormat[] = "figvault: no module global %s to pickle this function with";
constexpr const char kClosureClearedFormat[] = "figvault: the closure record of %s() was cleared";
// The binding holds bound values in fixed arrays of this size.
constexpr std::size_t kMaxParameters = 8;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// "archive.__call__.<locals>.wrapper" -> "archive.__call__.wrapper"
std::string without_locals_parts(std::string qualified_name) {
    for (auto at = qualified_name.find(kLocalsPart); at != std::string::npos; at = qualified_name.find(kLocalsPart))
        qualified_name.erase(at, sizeof kLocalsPart - 1);
    return qualified_name;
}

// Overload set for std::visit over the body kinds.
template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

// ---- FunctionSpec ----------------------------------------------------------

namespace {
std::vector<const FunctionSpec*>& spec_registry() {
    static auto* specs = new std::vector<const FunctionSpec*>();  // process lifetime
    return *specs;
}
}  // namespace

const std::vector<const FunctionSpec*>& function_specs() { return spec_registry(); }

FunctionSpec::FunctionSpec(Definition definition, Parameters parameters,
                           std::variant<NoArgumentsBody, NamedParametersBody, VarArgsBody> body)
    : definition_(std::move(definition)), parameters_(std::move(parameters)), body_(body) {
    if (definition_.qualified_name == nullptr) definition_.qualified_name = definition_.name;
    traceback_name_ = without_locals_parts(definition_.qualified_name);
    variable_names_ = takes_var_args() ? std::vector<const char*>{kVarArgsName, kVarKeywordsName}
                                       : parameters_.names;
    variable_names_.insert(variable_names_.end(), definition_.locals.begin(), definition_.locals.end());
    spec_registry().push_back(this);
}

FunctionSpec FunctionSpec::without_arguments(Definition definition, NoArgumentsBody body) {
    return FunctionSpec(std::move(definition), Parameters{{}, 0}, body);
}

FunctionSpec FunctionSpec::with_parameters(Definition definition, Parameters parameters,
                                           NamedParametersBody body) {
    return FunctionSpec(std::move(definition), std::move(parameters), body);
}

FunctionSpec FunctionSpec::with_var_args(Definition definition, VarArgsBody body) {
    return FunctionSpec(std::move(definition), Parameters{{}, 0}, body);
}

namespace {

// ---- running a body -------------------------------------------------------

// Runs one body: a C++ exception carrying a Python error gets the function's
// traceback entry at the body's current line, and NULL is returned.
template <class Invoke>
PyObject* run_body(FunctionObject* self, Invoke&& invoke) noexcept {
    Scope scope(*self);
    try {
        return invoke(scope).release();
    } catch (...) {
        set_error_from_current_exception();
    }
    try {
        frame().add_function_entry(self->spec->traceback_name(), scope.line(), self->globals);
    } catch (...) {
        set_error_from_current_exception();
    }
    return nullptr;
}

// ---- argument binding --------------------------------------------------

void set_count_error(const FunctionSpec& spec, Py_ssize_t given) {
    const Py_ssize_t minimum = static_cast<Py_ssize_t>(spec.parameters().required);
    const Py_ssize_t maximum = static_cast<Py_ssize_t>(spec.parameter_count());
    const char* more_or_less;
    Py_ssize_t expected;
    if (minimum == maximum) {
        more_or_less = "exactly";
        expected = maximum;
    } else if (given < minimum) {
        more_or_less = "at least";
        expected = minimum;
    } else {
        more_or_less = "at most";
        expected = maximum;
    }
    PyErr_Format(PyExc_TypeError, kCountMessage, spec.name(), more_or_less, expected,
                 expected == 1 ? "" : "s", given);
}

bool key_names_parameter(PyObject* key, PyObject* parameter) {
    if (key == parameter) return true;
    if (!PyUnicode_Check(key)) return false;
    const int equal = PyUnicode_Compare(key, parameter);
    if (equal == -1 && PyErr_Occurred()) throw_error_set();
    return equal == 0;
}

using Bound = std::array<OwnedRef, kMaxParameters>;

// Binds keywords to parameters from position `positional` on; sets a
// TypeError and returns false when a call is refused (refusals are common
// and must stay cheap, so they do not throw).
bool bind_keywords(const FunctionSpec& spec, PyObject* kwargs, Py_ssize_t positional, Bound& bound) {
    Frame& module = frame();
    const auto& names = spec.parameters().names;
    const Py_ssize_t parameter_count = static_cast<Py_ssize_t>(names.size());
    const Py_ssize_t required = static_cast<Py_ssize_t>(spec.parameters().required);
    Py_ssize_t unmatched = PyDict_GET_SIZE(kwargs);
    for (Py_ssize_t i = positional; i < parameter_count; ++i) {
        const bool is_required = i < required;
        if (!is_required && unmatched == 0) continue;
        PyObject* value = PyDict_GetItemWithError(kwargs, module.name(names[i]));
        if (value != nullptr) {
            bound[i] = OwnedRef::incref(value);
            --unmatched;
        } else if (PyErr_Occurred()) {
            throw_error_set();
        } else if (is_required) {
            set_count_error(spec, i);
            return false;
        }
    }
    if (unmatched == 0) return true;

    // Some keyword matched nothing: the first offending key decides.
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        OwnedRef held_key = OwnedRef::incref(key);
        OwnedRef held_value = OwnedRef::incref(value);
        bool matched = false;
        for (Py_ssize_t i = positional; i < parameter_count && !matched; ++i) {
            if (key_names_parameter(key, module.name(names[i]))) {
                bound[i] = held_value;
                matched = true;
            }
        }
        if (matched) continue;
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, kKeywordsMustBeStrings, spec.name());
            return false;
        }
        for (Py_ssize_t i = 0; i < positional; ++i) {
            if (key_names_parameter(key, module.name(names[i]))) {
                PyErr_Format(PyExc_TypeError, kMultipleValues, spec.name(), key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, kUnexpectedKeyword, spec.name(), key);
        return false;
    }
    return true;
}

PyObject* call_named_parameters(FunctionObject* self, NamedParametersBody body, PyObject* args,
                                PyObject* kwargs) {
    const FunctionSpec& spec = *self->spec;
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const Py_ssize_t parameter_count = static_cast<Py_ssize_t>(spec.parameter_count());
    Bound bound;

    bool accepted = true;
    if (positional > parameter_count ||
        (kwargs == nullptr && positional < static_cast<Py_ssize_t>(spec.parameters().required))) {
        set_count_error(spec, positional);
        accepted = false;
    } else {
        for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = OwnedRef::incref(PyTuple_GET_ITEM(args, i));
        if (kwargs != nullptr) accepted = bind_keywords(spec, kwargs, positional, bound);
    }
    if (!accepted) {
        frame().add_function_entry(spec.traceback_name(), spec.line(), self->globals);
        return nullptr;
    }

    std::array<PyObject*, kMaxParameters> values{};
    for (Py_ssize_t i = 0; i < parameter_count; ++i)
        values[i] = bound[i] ? bound[i].get() : Py_None;  // the default is fixed: None

    const int exact_dict = spec.parameters().exact_dict;
    if (exact_dict >= 0) {
        PyObject* value = values[exact_dict];
        if (value != Py_None && !PyDict_CheckExact(value)) {
            PyErr_Format(PyExc_TypeError, kIncorrectType, spec.parameters().names[exact_dict],
                         kExactDictTypeName, Py_TYPE(value)->tp_name);
            return nullptr;
        }
    }
    return run_body(self, [&](Scope& scope) { return body(scope, values.data()); });
}

PyObject* call_no_arguments(FunctionObject* self, NoArgumentsBody body, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& spec = *self->spec;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, kTakesNoKeywords, spec.name());
        return nullptr;
    }
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, kTakesNoArguments, spec.name(), PyTuple_GET_SIZE(args));
        return nullptr;
    }
    return run_body(self, [&](Scope& scope) { return body(scope); });
}

PyObject* call_var_args(FunctionObject* self, VarArgsBody body, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& spec = *self->spec;
    OwnedRef kwargs_copy;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, kKeywordsMustBeStrings, spec.name());
                return nullptr;
            }
        }
        kwargs_copy = OwnedRef::checked(PyDict_Copy(kwargs));
    } else {
        kwargs_copy = new_dict();
    }
    return run_body(self, [&](Scope& scope) { return body(scope, args, kwargs_copy.get()); });
}

PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    FunctionObject* self = as_function(callable);
    return guarded_call([&] {
        return std::visit(
            Overloaded{
                [&](NoArgumentsBody body) { return call_no_arguments(self, body, args, kwargs); },
                [&](NamedParametersBody body) { return call_named_parameters(self, body, args, kwargs); },
                [&](VarArgsBody body) { return call_var_args(self, body, args, kwargs); },
            },
            self->spec->body());
    });
}

// ---- attributes --------------------------------------------------------

PyObject* get_name(PyObject* object, void*) {
    FunctionObject* self = as_function(object);
    if (self->name == nullptr) {
        self->name = PyUnicode_FromString(self->spec->name());
        if (self->name == nullptr) return nullptr;
    }
    return Py_NewRef(self->name);
}

int set_string_attribute(PyObject** slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* object, PyObject* value, void*) {
    return set_string_attribute(&as_function(object)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* object, void*) { return Py_NewRef(as_function(object)->qualified_name); }

int set_qualname(PyObject* object, PyObject* value, void*) {
    return set_string_attribute(&as_function(object)->qualified_name, value,
                                "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* object, void*) {
    FunctionObject* self = as_function(object);
    if (!self->doc_made) {
        if (self->spec->definition().doc != nullptr) {
            self->doc = PyUnicode_FromString(self->spec->definition().doc);
            if (self->doc == nullptr) return nullptr;
        }
        self->doc_made = true;
    }
    return Py_NewRef(self->doc != nullptr ? self->doc : Py_None);
}

int set_doc(PyObject* object, PyObject* value, void*) {
    FunctionObject* self = as_function(object);
    Py_XSETREF(self->doc, Py_XNewRef(value));
    self->doc_made = true;
    return 0;
}

PyObject* none_if_null(PyObject* value) { return Py_NewRef(value != nullptr ? value : Py_None); }

// Setter for an attribute that holds None (stored as null) or one exact kind.
template <int (*Check)(PyObject*)>
int set_optional(PyObject** slot, PyObject* value, const char* message) {
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(*slot);
        return 0;
    }
    if (!Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int is_tuple(PyObject* value) { return PyTuple_Check(value); }
int is_dict(PyObject* value) { return PyDict_Check(value); }

PyObject* get_defaults(PyObject* object, void*) { return none_if_null(as_function(object)->defaults); }
int set_defaults(PyObject* object, PyObject* value, void*) {
    return set_optional<is_tuple>(&as_function(object)->defaults, value,
                                  "__defaults__ must be set to a tuple object");
}

PyObject* get_kwdefaults(PyObject* object, void*) { return none_if_null(as_function(object)->kwdefaults); }
int set_kwdefaults(PyObject* object, PyObject* value, void*) {
    return set_optional<is_dict>(&as_function(object)->kwdefaults, value,
                                 "__kwdefaults__ must be set to a dict object");
}

PyObject* get_annotations(PyObject* object, void*) {
    FunctionObject* self = as_function(object);
    if (self->annotations == nullptr) {
        self->annotations = PyDict_New();
        if (self->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(self->annotations);
}
int set_annotations(PyObject* object, PyObject* value, void*) {
    return set_optional<is_dict>(&as_function(object)->annotations, value,
                                 "__annotations__ must be set to a dict object");
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_self(PyObject* object, void*) { return none_if_null(as_function(object)->closure); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

ClosureRecord* as_closure(PyObject* object) { return reinterpret_cast<ClosureRecord*>(object); }

// The module global `dotted` ("archive.__call__") of `globals`: the first
// name looked up in `globals`, the rest as attributes.
OwnedRef global_by_dotted_name(PyObject* globals, const char* dotted) {
    if (globals == nullptr) raise_error(PyExc_SystemError, kNoGlobals, dotted);
    const std::string path(dotted);
    const std::size_t first_end = std::min(path.find('.'), path.size());
    OwnedRef first = OwnedRef::checked(PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(first_end)));
    PyObject* found = PyDict_GetItemWithError(globals, first.get());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw_error_set();
        raise_error(PyExc_AttributeError, kNoMakerFormat, dotted);
    }
    OwnedRef current = OwnedRef::incref(found);
    for (std::size_t start = first_end + 1; start <= path.size();) {
        const std::size_t end = std::min(path.find('.', start), path.size());
        current = OwnedRef::checked(PyObject_GetAttrString(current.get(), path.substr(start, end - start).c_str()));
        start = end + 1;
    }
    return current;
}

// Pickling stores a reference to the module global named by __qualname__; a
// function made over a closure record is stored as the call that made it.
PyObject* function_reduce(PyObject* object, PyObject*) {
    FunctionObject* self = as_function(object);
    const char* maker = self->spec->definition().made_by;
    if (maker == nullptr || self->closure == nullptr) return Py_NewRef(self->qualified_name);
    return guarded_object([&] {
        ClosureRecord* closure = as_closure(self->closure);
        if (closure->func == nullptr || closure->self == nullptr) raise_error(PyExc_SystemError, kClosureClearedFormat, self->spec->name());
        OwnedRef make = global_by_dotted_name(self->globals, maker);
        OwnedRef arguments = OwnedRef::checked(PyTuple_Pack(2, closure->self, closure->func));
        return OwnedRef::checked(PyTuple_Pack(2, make.get(), arguments.get()));
    });
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- object protocol ---------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat(kReprFormat, as_function(self)->qualified_name, self);
}

int function_traverse(PyObject* object, visitproc visit, void* arg) {
    FunctionObject* self = as_function(object);
    Py_VISIT(self->module_name);
    Py_VISIT(self->qualified_name);
    Py_VISIT(self->name);
    Py_VISIT(self->doc);
    Py_VISIT(self->dict);
    Py_VISIT(self->globals);
    Py_VISIT(self->code);
    Py_VISIT(self->defaults);
    Py_VISIT(self->kwdefaults);
    Py_VISIT(self->annotations);
    Py_VISIT(self->closure);
    return 0;
}

int function_clear(PyObject* object) {
    FunctionObject* self = as_function(object);
    Py_CLEAR(self->module_name);
    Py_CLEAR(self->name);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->dict);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->code);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->kwdefaults);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->closure);
    // The qualified name stays: repr() of a cleared object still works.
    return 0;
}

void function_dealloc(PyObject* object) {
    FunctionObject* self = as_function(object);
    PyObject_GC_UnTrack(object);
    // Long chains (a wrapper of a wrapper of ...) are freed iteratively.
    Py_TRASHCAN_BEGIN(object, function_dealloc)
    if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(object);
    function_clear(object);
    Py_CLEAR(self->qualified_name);
    PyObject_GC_Del(object);
    Py_TRASHCAN_END
}

PyTypeObject the_function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ---- the closure record ------------------------------------------------

int closure_traverse(PyObject* object, visitproc visit, void* arg) {
    Py_VISIT(as_closure(object)->func);
    Py_VISIT(as_closure(object)->self);
    return 0;
}

int closure_clear(PyObject* object) {
    Py_CLEAR(as_closure(object)->func);
    Py_CLEAR(as_closure(object)->self);
    return 0;
}

void closure_dealloc(PyObject* object) {
    PyObject_GC_UnTrack(object);
    Py_TRASHCAN_BEGIN(object, closure_dealloc)
    if (as_closure(object)->weakrefs != nullptr) PyObject_ClearWeakRefs(object);
    closure_clear(object);
    PyObject_GC_Del(object);
    Py_TRASHCAN_END
}

PyTypeObject the_closure_record_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// The name of a type of this module: "<full module name><suffix>", kept for
// the life of the process (tp_name must outlive the type).
const char* type_name(const char* suffix) {
    return (new std::string(std::string(frame().full_name()) + suffix))->c_str();
}

// ---- code objects and defaults ---------------------------------------------

std::unordered_map<const FunctionSpec*, OwnedRef>& code_objects() {
    static auto* codes = new std::unordered_map<const FunctionSpec*, OwnedRef>();  // process lifetime
    return *codes;
}

// (None,) * count, shared by every function with that many optional parameters.
PyObject* none_defaults(std::size_t count) {
    static auto* tuples = new std::unordered_map<std::size_t, OwnedRef>();  // process lifetime
    OwnedRef& defaults = (*tuples)[count];
    if (!defaults) {
        defaults = OwnedRef::checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
        for (std::size_t i = 0; i < count; ++i)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
    }
    return defaults.get();
}

}  // namespace

// ---- Readying the types ----------------------------------------------------------

void ready_function_type() {
    PyTypeObject* type = &the_function_type;
    if (type->tp_flags & Py_TPFLAGS_READY) return;
    type->tp_name = type_name(kFunctionTypeSuffix);
    type->tp_basicsize = sizeof(FunctionObject);
    type->tp_dealloc = function_dealloc;
    type->tp_repr = function_repr;
    type->tp_call = function_call;
    type->tp_getattro = PyObject_GenericGetAttr;
    type->tp_setattro = PyObject_GenericSetAttr;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
    type->tp_traverse = function_traverse;
    type->tp_clear = function_clear;
    type->tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type->tp_methods = function_methods;
    type->tp_members = function_members;
    type->tp_getset = function_getset;
    type->tp_descr_get = function_descr_get;
    type->tp_dictoffset = offsetof(FunctionObject, dict);
    check_status(PyType_Ready(type));
}

void ready_closure_record_type() {
    PyTypeObject* type = &the_closure_record_type;
    if (type->tp_flags & Py_TPFLAGS_READY) return;
    type->tp_name = type_name(kClosureTypeSuffix);
    type->tp_basicsize = sizeof(ClosureRecord);
    type->tp_dealloc = closure_dealloc;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = closure_traverse;
    type->tp_clear = closure_clear;
    type->tp_weaklistoffset = offsetof(ClosureRecord, weakrefs);
    check_status(PyType_Ready(type));
}

// ---- Making objects -----------------------------------------------------------

PyObject* code_object_for(const FunctionSpec& spec) {
    auto& codes = code_objects();
    auto found = codes.find(&spec);
    if (found != codes.end()) return found->second.get();

    Frame& module = frame();
    const auto& variable_names = spec.variable_names();
    OwnedRef names = OwnedRef::checked(PyTuple_New(static_cast<Py_ssize_t>(variable_names.size())));
    for (std::size_t i = 0; i < variable_names.size(); ++i)
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(module.name(variable_names[i])));

    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.takes_var_args()) flags |= CO_VARARGS | CO_VARKEYWORDS;
    const long argument_count = static_cast<long>(spec.parameter_count());

    // Start from the interpreter's empty code object (safe to exec) and
    // replace only the fields introspection reads.
    OwnedRef empty = OwnedRef::checked(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(module.source_path(), spec.name(), spec.line())));
    OwnedRef replace = attribute(empty, "replace");
    OwnedRef no_arguments = OwnedRef::checked(PyTuple_New(0));
    OwnedRef fields = OwnedRef::checked(Py_BuildValue(
        "{s:l,s:n,s:O,s:i}", "co_argcount", argument_count, "co_nlocals",
        PyTuple_GET_SIZE(names.get()), "co_varnames", names.get(), "co_flags", flags));
    OwnedRef code = OwnedRef::checked(PyObject_Call(replace.get(), no_arguments.get(), fields.get()));
    return codes.try_emplace(&spec, std::move(code)).first->second.get();
}

OwnedRef make_function(const FunctionSpec& spec, PyObject* globals, PyObject* closure) {
    Frame& module = frame();
    if (spec.parameter_count() > kMaxParameters) raise_error(PyExc_SystemError, kTooManyParameters, spec.name(), kMaxParameters);
    if (globals == nullptr) raise_error(PyExc_SystemError, kNoGlobals, spec.name());
    PyObject* code = code_object_for(spec);
    OwnedRef qualified_name = OwnedRef::incref(module.name(spec.qualified_name()));
    OwnedRef defaults;
    if (spec.optional_count() > 0) defaults = OwnedRef::incref(none_defaults(spec.optional_count()));
    OwnedRef annotations;
    if (!spec.parameters().annotations.empty()) {
        annotations = new_dict();
        for (const auto& [parameter, annotation] : spec.parameters().annotations)
            set_item(annotations, module.name(parameter), module.constant(annotation));
    }

    FunctionObject* self = PyObject_GC_New(FunctionObject, &the_function_type);
    if (self == nullptr) throw_error_set();
    self->spec = &spec;
    self->module_name = Py_NewRef(module.full_name_object());
    self->qualified_name = qualified_name.release();
    self->name = nullptr;
    self->doc = nullptr;
    self->dict = nullptr;
    self->globals = Py_NewRef(globals);
    self->code = Py_NewRef(code);
    self->defaults = defaults.release();
    self->kwdefaults = nullptr;
    self->annotations = annotations.release();
    self->closure = Py_XNewRef(closure);
    self->weakrefs = nullptr;
    self->doc_made = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
    return OwnedRef::steal(reinterpret_cast<PyObject*>(self));
}

OwnedRef make_closure_record(PyObject* func, PyObject* self) {
    ClosureRecord* record = PyObject_GC_New(ClosureRecord, &the_closure_record_type);
    if (record == nullptr) throw_error_set();
    record->func = Py_NewRef(func);
    record->self = Py_NewRef(self);
    record->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(record));
    return OwnedRef::steal(reinterpret_cast<PyObject*>(record));
}

}  // namespace figvault
