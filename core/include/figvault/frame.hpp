// The module frame every figvault extension module is built on: loading
// (create and exec slots), imports at execution, global-name lookup, built-ins
// fetched once, interned names, and synthetic traceback entries.
//
// Each shared object links its own copy of this code and so holds exactly one
// Frame: the state is process-wide for that module.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "figvault/guard.hpp"
#include "figvault/refs.hpp"

namespace figvault {

class Frame;

// What differs between the three modules.
struct ModuleDescription {
    const char* short_name;          // "files"
    const char* full_name;           // "figvault.src.files"
    const char* source_path;         // traceback file name
    const char* execution_entry;     // "init figvault.src.files"
    const char* reinit_message;
    std::vector<const char*> builtins;  // fetched once, in this order
    // Exec step 9: constants, code objects, module-private types.
    void (*prepare)(Frame&);
    // Exec step 10: the module statements; reports lines via frame.at_line().
    void (*run_statements)(Frame&);
};

// The current source line of a running body, for its traceback entry.
class LineTracker {
public:
    explicit LineTracker(int line) : line_(line) {}
    void operator()(int line) { line_ = line; }
    int line() const { return line_; }
private:
    int line_;
};

class Frame {
public:
    explicit Frame(ModuleDescription description) : description_(std::move(description)) {}

    // Module definition slots (see module_definition()).
    PyObject* create(PyObject* spec);
    int exec(PyObject* module);
    PyModuleDef* module_definition();

    const ModuleDescription& description() const { return description_; }
    PyObject* module_dict() const { return module_dict_.get(); }
    PyObject* full_name_object();

    // An interned string made once and kept for the life of the process.
    // `text` must be a string literal (or other static storage).
    PyObject* name(const char* text);
    // A non-interned string constant, likewise kept; `text` likewise static.
    PyObject* constant(const char* text);

    // Built-in fetched at exec time (must be one of description().builtins).
    PyObject* builtin(const char* name);
    // Built-in fetched on first use and kept from then on.
    PyObject* builtin_on_first_use(const char* name);

    // Module global: module dict first, then `builtins`, else NameError.
    OwnedRef global(const char* name);

    // Statement-level imports, relative to the package first, then absolute.
    // `import a.b` binds the top-level package `a`.
    void import_statement(const char* module_name, const char* bind_as);
    // `from X import name`, X absolute (relative first) or "" for the package.
    void import_from_statement(const char* module_name, const char* name);

    // Binds a module-level name.
    void bind(const char* name, PyObject* value);

    // Adds one traceback entry for a function ("<full module name>.<name>")
    // or for module execution, at `line`; `qualified_name` is a literal.
    void add_function_entry(const char* qualified_name, int line);
    void add_execution_entry(int line);
    // "figvault.src.files" + "." + qualified name.
    std::string entry_name(const char* qualified_name) const;

    // Runs a function body: on a C++ exception carrying a Python error the
    // entry for `qualified_name` is added at the body's current line and
    // NULL returned.
    template <class Body>
    PyObject* run_body(const char* qualified_name, int first_line, Body&& body) noexcept;

    // The line reported if module execution fails now.
    void at_line(int line) { execution_line_ = line; }

private:
    OwnedRef import_module_relative_first(const char* module_name, PyObject* from_list);
    void execute(PyObject* module);
    void check_version();
    void fetch_builtins();
    void add_traceback_entry(const char* name_text, int line, bool prefix_module);
    // getattr(builtins, key); a missing name raises NameError.
    OwnedRef lookup_builtin(PyObject* key);

    ModuleDescription description_;
    PyModuleDef definition_{};
    PyModuleDef_Slot slots_[3]{};
    int64_t interpreter_id_ = -1;
    OwnedRef module_;
    OwnedRef module_dict_;
    OwnedRef builtins_module_;
    OwnedRef full_name_;
    std::vector<std::pair<const char*, OwnedRef>> builtins_;
    // Keyed by the address of a string literal: cheap on every call.
    std::unordered_map<const char*, OwnedRef> lazy_builtins_;
    std::unordered_map<const char*, OwnedRef> names_;
    std::unordered_map<const char*, OwnedRef> constants_;
    // Code objects of traceback entries, by (name literal, line); kept for
    // the life of the process.
    std::map<std::pair<const char*, int>, PyObject*> traceback_codes_;
    int execution_line_ = 1;
};

// The frame of the shared object this code is linked into. Each module
// defines it once (see FIGVAULT_DEFINE_MODULE).
Frame& frame();

template <class Body>
PyObject* Frame::run_body(const char* qualified_name, int first_line, Body&& body) noexcept {
    LineTracker at(first_line);
    try {
        return body(at).release();
    } catch (...) {
        set_error_from_current_exception();
    }
    try {
        add_function_entry(qualified_name, at.line());
    } catch (...) {
        set_error_from_current_exception();
    }
    return nullptr;
}

}  // namespace figvault

// Defines frame() and the init entry PyInit_<short_name> for one module.
#define FIGVAULT_DEFINE_MODULE(short_name, make_description)              \
    namespace figvault {                                                  \
    Frame& frame() {                                                      \
        /* Process lifetime: never destroyed after the interpreter. */   \
        static Frame* the_frame = new Frame(make_description());         \
        return *the_frame;                                                \
    }                                                                     \
    }                                                                     \
    PyMODINIT_FUNC PyInit_##short_name(void) {                            \
        return PyModuleDef_Init(figvault::frame().module_definition());   \
    }
