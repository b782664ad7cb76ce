// Module frame: loading, module statements, global names, traceback entries.
#include "figvault/frame.hpp"

#include <frameobject.h>

#include <cstring>
#include <string>

#include "figvault/calls.hpp"
#include "figvault/errors.hpp"
#include "figvault/function.hpp"

namespace figvault {

namespace {

constexpr const char kPackage[] = "figvault.src";
constexpr const char kPackageFolder[] = "figvault/src";  // traceback file names live here
constexpr const char kInterpreterChangeMessage[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char kVersionWarning[] =
    "compiletime version %s of module '%.100s' does not match runtime version %s";
constexpr const char kNameErrorFormat[] = "name '%U' is not defined";
constexpr const char kCannotImportFormat[] = "cannot import name %S";
constexpr const char kFunctionClearedFormat[] = "%s() can no longer be called: its module namespace was cleared";
// The spec attributes copied into a new module, in this order.
constexpr const char* kSpecAttributes[][2] = {
    {"loader", "__loader__"}, {"origin", "__file__"}, {"parent", "__package__"}};
constexpr int kLineOfFrameSteps = 1;  // exec steps before and after the statements report line 1

PyObject* create_slot(PyObject* spec, PyModuleDef*) { return frame().create(spec); }
int exec_slot(PyObject* module) { return frame().exec(module); }

// Copies one attribute of the import spec into the module's dictionary;
// a missing attribute is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool skip_none) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
        PyErr_Clear();
        return;
    }
    if (skip_none && value.get() == Py_None) return;
    check_status(PyDict_SetItemString(dict, to, value.get()));
}

// Looks `key` up in `cache`, making and keeping the value on first use.
// Keyed by address: every key is a string literal (static storage). `make`
// may run Python code that fills the same key meanwhile; the value stored
// first is the one kept and returned.
template <class Make>
PyObject* cached(std::unordered_map<const char*, OwnedRef>& cache, const char* key, Make&& make) {
    auto found = cache.find(key);
    if (found != cache.end()) return found->second.get();
    OwnedRef value = make();
    return cache.try_emplace(key, std::move(value)).first->second.get();
}

}  // namespace

// ---- Scope ---------------------------------------------------------------

OwnedRef Scope::global(const char* global_name) const {
    Frame& module = frame();
    PyObject* key = module.name(global_name);
    if (function_.globals == nullptr)  // cleared by the garbage collector
        raise_error(PyExc_SystemError, kFunctionClearedFormat, function_.spec->name());
    PyObject* value = PyDict_GetItemWithError(function_.globals, key);
    if (value != nullptr) return OwnedRef::incref(value);
    if (PyErr_Occurred()) throw_error_set();
    return module.lookup_builtin(key);
}

// ---- loading -------------------------------------------------------------

Frame::Frame(ModuleDescription description)
    : description_(std::move(description)),
      full_name_text_(std::string(kPackage) + "." + description_.short_name),
      source_path_(std::string(kPackageFolder) + "/" + description_.short_name + ".py"),
      execution_entry_("init " + full_name_text_),
      reinit_message_(std::string("Module '") + description_.short_name +
                      "' has already been imported. Re-initialisation is not supported.") {
    int slot = 0;
    slots_[slot++] = {Py_mod_create, reinterpret_cast<void*>(&create_slot)};
    slots_[slot++] = {Py_mod_exec, reinterpret_cast<void*>(&exec_slot)};
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on the import system refuses, with a message of its own, a
    // module that does not declare it may be loaded into a subinterpreter
    // (into one with its own lock, for the default declaration). The create
    // slot refuses every interpreter but the first itself, before it touches
    // any state, so the declaration lets every import reach it.
    slots_[slot++] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#endif
    slots_[slot] = {0, nullptr};
    definition_ = {PyModuleDef_HEAD_INIT, description_.short_name, nullptr, 0,
                   nullptr, slots_, nullptr, nullptr, nullptr};
}

PyObject* Frame::create(PyObject* spec) {
    return guarded_object([&] {
        const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        int64_t recorded = -1;
        if (interpreter_id_.compare_exchange_strong(recorded, id)) {
            if (id == -1) throw_error_set();  // nothing was recorded: -1 means none
        } else if (id != recorded) {
            PyErr_SetString(PyExc_ImportError, kInterpreterChangeMessage);
            throw_error_set();
        }
        // Re-import after an earlier successful execution: the same object.
        if (module_) return module_;

        OwnedRef name = OwnedRef::checked(PyObject_GetAttrString(spec, "name"));
        OwnedRef module = OwnedRef::checked(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        for (const auto& attribute : kSpecAttributes)
            copy_spec_attribute(spec, dict, attribute[0], attribute[1], false);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true);
        return module;
    });
}

int Frame::exec(PyObject* module) {
    if (module_) {
        if (module_.get() == module) return 0;  // statements never run twice
        PyErr_SetString(PyExc_RuntimeError, reinit_message_.c_str());
        return -1;
    }
    return guarded_status([&] {
        check_version();
        try {
            ready_function_type();
            ready_closure_record_type();
        } catch (const PyErrorSet&) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, execution_entry_.c_str());
            throw;
        }
        module_ = OwnedRef::incref(module);
        module_dict_ = OwnedRef::incref(PyModule_GetDict(module));
        try {
            execute(module);
        } catch (...) {
            set_error_from_current_exception();
            try {
                add_execution_entry(execution_line_);
            } catch (...) {
                set_error_from_current_exception();
            }
            // Function objects made so far keep their own reference to the
            // dictionary; the frame lets go of the failed module.
            module_.reset();
            module_dict_.reset();
            return -1;
        }
        return 0;
    });
}

void Frame::check_version() {
    if (std::strncmp(Py_GetVersion(), PY_VERSION, 4) == 0) return;
    char build_version[16];
    char runtime_version[16];
    PyOS_snprintf(build_version, sizeof build_version, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    PyOS_snprintf(runtime_version, sizeof runtime_version, "%d.%d",
                  static_cast<int>((Py_Version >> 24) & 0xff),
                  static_cast<int>((Py_Version >> 16) & 0xff));
    check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1, kVersionWarning, build_version,
                                  full_name(), runtime_version));
}

void Frame::execute(PyObject* module) {
    at_line(kLineOfFrameSteps);
    builtins_module_ = OwnedRef::checked(PyImport_ImportModule("builtins"));
    check_status(PyObject_SetAttrString(module, "__builtins__", builtins_module_.get()));

    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemWithError(modules, full_name_object());
    if (registered == nullptr) {
        if (PyErr_Occurred()) throw_error_set();
        check_status(PyDict_SetItem(modules, full_name_object(), module));
    }

    fetch_builtins();
    for (const FunctionSpec* spec : function_specs()) code_object_for(*spec);
    description_.run_statements(*this);

    at_line(kLineOfFrameSteps);
    OwnedRef test_dict = new_dict();
    bind("__test__", test_dict.get());
}

void Frame::fetch_builtins() {
    if (!builtins_.empty()) return;  // fetched once per process
    std::vector<std::pair<const char*, OwnedRef>> fetched;
    for (const char* builtin_name : description_.builtins)
        fetched.emplace_back(builtin_name, lookup_builtin(name(builtin_name)));
    builtins_ = std::move(fetched);
}

PyObject* Frame::full_name_object() {
    if (!full_name_) full_name_ = OwnedRef::checked(PyUnicode_InternFromString(full_name()));
    return full_name_.get();
}

// ---- names and built-ins ---------------------------------------------------

PyObject* Frame::name(const char* text) {
    return cached(names_, text, [text] { return OwnedRef::checked(PyUnicode_InternFromString(text)); });
}

PyObject* Frame::constant(const char* text) {
    return cached(constants_, text, [text] { return OwnedRef::checked(PyUnicode_FromString(text)); });
}

OwnedRef Frame::lookup_builtin(PyObject* key) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(builtins_module_.get(), key));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_error(PyExc_NameError, kNameErrorFormat, key);
        }
        throw_error_set();
    }
    return value;
}

PyObject* Frame::builtin(const char* builtin_name) {
    for (auto& entry : builtins_)
        if (std::strcmp(entry.first, builtin_name) == 0) return entry.second.get();
    raise_error(PyExc_SystemError, "figvault: built-in '%s' was not fetched", builtin_name);
}

PyObject* Frame::builtin_on_first_use(const char* builtin_name) {
    return cached(lazy_builtins_, builtin_name, [&] { return lookup_builtin(name(builtin_name)); });
}

// ---- module statements -------------------------------------------------------

OwnedRef Frame::import_module_relative_first(const char* module_name, PyObject* from_list) {
    OwnedRef name_object = OwnedRef::checked(PyUnicode_FromString(module_name));
    OwnedRef locals = new_dict();
    PyObject* globals = module_dict_.get();
    OwnedRef module = OwnedRef::steal(PyImport_ImportModuleLevelObject(
        name_object.get(), globals, locals.get(), from_list, 1));
    if (module || module_name[0] == '\0') {
        if (!module) throw_error_set();
        return module;
    }
    // A module of this name inside the package wins; otherwise the
    // installed one. Only ImportError (and subclasses) falls through.
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error_set();
    PyErr_Clear();
    return OwnedRef::checked(PyImport_ImportModuleLevelObject(
        name_object.get(), globals, locals.get(), from_list, 0));
}

void Frame::import_statement(int line, const char* dotted_name) {
    at_line(line);
    OwnedRef from_list = OwnedRef::checked(PyList_New(0));
    OwnedRef top_level = import_module_relative_first(dotted_name, from_list.get());
    // `import a.b` binds `a`, the module the import returns.
    const std::string top_level_name(dotted_name, std::strcspn(dotted_name, "."));
    OwnedRef bound_name = OwnedRef::checked(PyUnicode_InternFromString(top_level_name.c_str()));
    check_status(PyDict_SetItem(module_dict_.get(), bound_name.get(), top_level.get()));
}

void Frame::import_from(int line, const char* module_name, const char* imported_name) {
    at_line(line);
    PyObject* key = name(imported_name);
    OwnedRef from_list = OwnedRef::checked(PyList_New(1));
    PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(key));
    OwnedRef module = import_module_relative_first(module_name, from_list.get());
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(module.get(), key));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_error(PyExc_ImportError, kCannotImportFormat, key);
        }
        throw_error_set();
    }
    bind(imported_name, value.get());
}

void Frame::define(const FunctionSpec& spec) {
    at_line(spec.line());
    bind(spec.name(), make_function(spec, module_dict_.get()).get());
}

void Frame::define_class(int line, const char* class_name, const char* doc,
                         std::initializer_list<const FunctionSpec*> methods) {
    at_line(line);
    OwnedRef bases = OwnedRef::checked(PyTuple_Pack(1, builtin("object")));
    // The most derived metaclass of the bases.
    PyTypeObject* metaclass = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
        PyTypeObject* base_metaclass = Py_TYPE(PyTuple_GET_ITEM(bases.get(), i));
        if (PyType_IsSubtype(base_metaclass, metaclass)) metaclass = base_metaclass;
    }
    PyObject* metaclass_object = reinterpret_cast<PyObject*>(metaclass);
    PyObject* qualified_name = name(class_name);
    OwnedRef class_namespace = call(attribute(metaclass_object, "__prepare__"), {qualified_name, bases.get()});
    set_item(class_namespace, name("__module__"), full_name_object());
    set_item(class_namespace, name("__qualname__"), qualified_name);
    set_item(class_namespace, name("__doc__"), constant(doc));
    for (const FunctionSpec* method : methods) {
        at_line(method->line());
        set_item(class_namespace, name(method->name()), make_function(*method, module_dict_.get()).get());
    }
    at_line(line);
    OwnedRef made = call(metaclass_object, {qualified_name, bases.get(), class_namespace.get()});
    bind(class_name, made.get());
}

PyObject* Frame::module_global(const char* global_name) {
    PyObject* value = PyDict_GetItemWithError(module_dict_.get(), name(global_name));
    if (value == nullptr && PyErr_Occurred()) throw_error_set();
    return value;
}

void Frame::bind(const char* bound_name, PyObject* value) {
    check_status(PyDict_SetItem(module_dict_.get(), name(bound_name), value));
}

// ---- traceback entries ---------------------------------------------------------

void Frame::add_function_entry(const char* traceback_name, int line, PyObject* globals) {
    add_traceback_entry(traceback_name, true, line, globals);
}

void Frame::add_execution_entry(int line) {
    add_traceback_entry(execution_entry_.c_str(), false, line, module_dict_.get());
}

void Frame::add_traceback_entry(const char* key, bool prefix_module, int line, PyObject* globals) {
    // The exception being reported is put aside while the entry is made; if
    // making it fails, that new error replaces it.
    PendingError pending;
    OwnedRef& code = traceback_codes_[{key, line}];
    if (!code) {
        const std::string entry = prefix_module ? full_name_text_ + "." + key : std::string(key);
        code = OwnedRef::checked(
            reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_path(), entry.c_str(), line)));
    }
    OwnedRef entry_globals = globals != nullptr ? OwnedRef::incref(globals) : new_dict();
    OwnedRef python_frame = OwnedRef::checked(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), entry_globals.get(), nullptr)));
    pending.restore();
    check_status(PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(python_frame.get())));
}

}  // namespace figvault
