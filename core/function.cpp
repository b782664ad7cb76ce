// The function type and argument binding.
#include "figvault/function.hpp"

#include <structmember.h>

#include <array>
#include <unordered_map>

#include "figvault/frame.hpp"
#include "figvault/guard.hpp"

namespace figvault {

namespace {

constexpr const char kTypeName[] = "figvault_function";
constexpr const char kReprFormat[] = "<function %U at %p>";
constexpr const char kTakesNoKeywords[] = "%.200s() takes no keyword arguments";
constexpr const char kTakesNoArguments[] = "%.200s() takes no arguments (%zd given)";
constexpr const char kCountMessage[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
constexpr const char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
constexpr const char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
constexpr const char kIncorrectType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char kExactDictTypeName[] = "dict";
constexpr std::size_t kMaxParameters = 8;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// ---- argument binding --------------------------------------------------

void set_count_error(const FunctionSpec& spec, Py_ssize_t given) {
    const Py_ssize_t minimum = spec.required;
    const Py_ssize_t maximum = static_cast<Py_ssize_t>(spec.parameters.size());
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
    PyErr_Format(PyExc_TypeError, kCountMessage, spec.name, more_or_less, expected,
                 expected == 1 ? "" : "s", given);
}

bool key_names_parameter(PyObject* key, PyObject* parameter) {
    if (key == parameter) return true;
    if (!PyUnicode_Check(key)) return false;
    const int equal = PyUnicode_Compare(key, parameter);
    if (equal == -1 && PyErr_Occurred()) throw_error_set();
    return equal == 0;
}

// Binds keywords to parameters from position `positional` on; sets a
// TypeError and returns false when a call is refused.
bool bind_keywords(const FunctionSpec& spec, PyObject* kwargs, Py_ssize_t positional,
                   std::array<OwnedRef, kMaxParameters>& bound) {
    Frame& module_frame = frame();
    const Py_ssize_t parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    Py_ssize_t unmatched = PyDict_GET_SIZE(kwargs);
    for (Py_ssize_t i = positional; i < parameter_count; ++i) {
        const bool required = i < spec.required;
        if (!required && unmatched == 0) continue;
        PyObject* value = PyDict_GetItemWithError(kwargs, module_frame.name(spec.parameters[i]));
        if (value != nullptr) {
            bound[i] = OwnedRef::incref(value);
            --unmatched;
        } else if (PyErr_Occurred()) {
            throw_error_set();
        } else if (required) {
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
            if (key_names_parameter(key, module_frame.name(spec.parameters[i]))) {
                bound[i] = held_value;
                matched = true;
            }
        }
        if (matched) continue;
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, kKeywordsMustBeStrings, spec.name);
            return false;
        }
        for (Py_ssize_t i = 0; i < positional; ++i) {
            if (key_names_parameter(key, module_frame.name(spec.parameters[i]))) {
                PyErr_Format(PyExc_TypeError, kMultipleValues, spec.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, kUnexpectedKeyword, spec.name, key);
        return false;
    }
    return true;
}

PyObject* call_named_parameters(FunctionObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& spec = *self->spec;
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const Py_ssize_t parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    std::array<OwnedRef, kMaxParameters> bound;

    bool accepted = true;
    if (positional > parameter_count || (kwargs == nullptr && positional < spec.required)) {
        set_count_error(spec, positional);
        accepted = false;
    } else {
        for (Py_ssize_t i = 0; i < positional; ++i)
            bound[i] = OwnedRef::incref(PyTuple_GET_ITEM(args, i));
        if (kwargs != nullptr) accepted = bind_keywords(spec, kwargs, positional, bound);
    }
    // Refusals return at once: raising a C++ exception here would cost more
    // than the whole binding.
    if (!accepted) {
        frame().add_function_entry(spec.traceback_name, spec.definition_line);
        return nullptr;
    }

    std::array<PyObject*, kMaxParameters> values{};
    for (Py_ssize_t i = 0; i < parameter_count; ++i)
        values[i] = bound[i] ? bound[i].get() : Py_None;  // the default is fixed: None

    if (spec.exact_dict_parameter >= 0) {
        PyObject* value = values[spec.exact_dict_parameter];
        if (value != Py_None && !PyDict_CheckExact(value)) {
            PyErr_Format(PyExc_TypeError, kIncorrectType, spec.parameters[spec.exact_dict_parameter],
                         kExactDictTypeName, Py_TYPE(value)->tp_name);
            return nullptr;
        }
    }
    return spec.named_parameters_body(self, values.data());
}

PyObject* call_no_arguments(FunctionObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& spec = *self->spec;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, kTakesNoKeywords, spec.name);
        return nullptr;
    }
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, kTakesNoArguments, spec.name, PyTuple_GET_SIZE(args));
        return nullptr;
    }
    return spec.no_arguments_body(self);
}

PyObject* call_var_args(FunctionObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& spec = *self->spec;
    OwnedRef kwargs_copy;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, kKeywordsMustBeStrings, spec.name);
                return nullptr;
            }
        }
        kwargs_copy = OwnedRef::checked(PyDict_Copy(kwargs));
    } else {
        kwargs_copy = OwnedRef::checked(PyDict_New());
    }
    return spec.var_args_body(self, args, kwargs_copy.get());
}

PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    FunctionObject* self = as_function(callable);
    try {
        switch (self->spec->convention) {
            case CallingConvention::kNoArguments:
                return call_no_arguments(self, args, kwargs);
            case CallingConvention::kVarArgs:
                return call_var_args(self, args, kwargs);
            case CallingConvention::kNamedParameters:
                return call_named_parameters(self, args, kwargs);
        }
        PyErr_SetString(PyExc_SystemError, "figvault: unknown calling convention");
        return nullptr;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// ---- attributes --------------------------------------------------------

PyObject* get_name(PyObject* object, void*) {
    FunctionObject* self = as_function(object);
    if (self->name == nullptr) {
        self->name = PyUnicode_FromString(self->spec->name);
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
        if (self->spec->doc != nullptr) {
            self->doc = PyUnicode_FromString(self->spec->doc);
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

// Pickling stores a reference to the module global named by __qualname__.
PyObject* function_reduce(PyObject* object, PyObject*) {
    return Py_NewRef(as_function(object)->qualified_name);
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
    if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(object);
    function_clear(object);
    Py_CLEAR(self->qualified_name);
    PyObject_GC_Del(object);
}

PyTypeObject the_function_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    kTypeName,                 /* tp_name */
    sizeof(FunctionObject),    /* tp_basicsize */
};

std::unordered_map<const FunctionSpec*, OwnedRef>& code_objects() {
    static auto* codes = new std::unordered_map<const FunctionSpec*, OwnedRef>();  // process lifetime
    return *codes;
}

// The defaults tuple (None,), shared by every function that has one.
PyObject* none_defaults() {
    static PyObject* defaults = nullptr;  // process lifetime
    if (defaults == nullptr) {
        defaults = PyTuple_Pack(1, Py_None);
        if (defaults == nullptr) throw_error_set();
    }
    return defaults;
}

}  // namespace

bool function_type_ready() {
    PyTypeObject* type = &the_function_type;
    if (type->tp_flags & Py_TPFLAGS_READY) return true;
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
    return PyType_Ready(type) == 0;
}

PyTypeObject* function_type() { return &the_function_type; }

PyObject* code_object_for(const FunctionSpec& spec) {
    auto& codes = code_objects();
    auto found = codes.find(&spec);
    if (found != codes.end()) return found->second.get();

    Frame& module_frame = frame();
    const bool named = spec.convention == CallingConvention::kNamedParameters;
    std::vector<const char*> variable_names = named ? spec.parameters : std::vector<const char*>{};
    variable_names.insert(variable_names.end(), spec.locals.begin(), spec.locals.end());
    OwnedRef names = OwnedRef::checked(PyTuple_New(static_cast<Py_ssize_t>(variable_names.size())));
    for (std::size_t i = 0; i < variable_names.size(); ++i)
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(module_frame.name(variable_names[i])));

    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.convention == CallingConvention::kVarArgs) flags |= CO_VARARGS | CO_VARKEYWORDS;
    const long argument_count = named ? static_cast<long>(spec.parameters.size()) : 0;

    // Start from the interpreter's empty code object (safe to exec) and
    // replace only the fields introspection reads.
    OwnedRef empty = OwnedRef::checked(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(module_frame.description().source_path, spec.name, spec.first_line)));
    OwnedRef replace = OwnedRef::checked(PyObject_GetAttrString(empty.get(), "replace"));
    OwnedRef no_arguments = OwnedRef::checked(PyTuple_New(0));
    OwnedRef fields = OwnedRef::checked(Py_BuildValue(
        "{s:l,s:n,s:O,s:i}", "co_argcount", argument_count, "co_nlocals",
        PyTuple_GET_SIZE(names.get()), "co_varnames", names.get(), "co_flags", flags));
    OwnedRef code = OwnedRef::checked(PyObject_Call(replace.get(), no_arguments.get(), fields.get()));
    PyObject* result = code.get();
    codes.emplace(&spec, std::move(code));
    return result;
}

OwnedRef make_function(const FunctionSpec& spec, PyObject* closure) {
    Frame& module_frame = frame();
    if (spec.parameters.size() > kMaxParameters) {  // binding holds them in fixed arrays
        PyErr_Format(PyExc_SystemError, "figvault: %s() has more than %zu parameters", spec.name,
                     kMaxParameters);
        throw_error_set();
    }
    PyObject* code = code_object_for(spec);
    OwnedRef qualified_name = OwnedRef::incref(module_frame.name(spec.qualified_name));
    OwnedRef defaults;
    if (spec.has_none_default) defaults = OwnedRef::incref(none_defaults());
    OwnedRef annotations;
    if (!spec.annotations.empty()) {
        annotations = OwnedRef::checked(PyDict_New());
        for (const auto& [parameter, annotation] : spec.annotations)
            check_status(PyDict_SetItem(annotations.get(), module_frame.name(parameter),
                                        module_frame.constant(annotation)));
    }

    FunctionObject* self = PyObject_GC_New(FunctionObject, &the_function_type);
    if (self == nullptr) throw_error_set();
    self->spec = &spec;
    self->module_name = Py_NewRef(module_frame.full_name_object());
    self->qualified_name = qualified_name.release();
    self->name = nullptr;
    self->doc = nullptr;
    self->dict = nullptr;
    self->globals = Py_NewRef(module_frame.module_dict());
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

}  // namespace figvault
