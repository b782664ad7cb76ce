// The module frame every figvault extension module is built on: loading
// (create and exec slots), the module statements (imports, definitions, the
// class statement), global-name lookup, built-ins fetched once, interned
// names, and synthetic traceback entries.
//
// Each shared object links its own copy of this code and so holds exactly one
// Frame: the state is process-wide for that module.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "figvault/function.hpp"
#include "figvault/guard.hpp"
#include "figvault/python_version.hpp"
#include "figvault/refs.hpp"

namespace figvault {

class Frame;

// What differs between the modules; every other name is derived from the
// short name (see Frame).
struct ModuleDescription {
    const char* short_name;                      // "files"
    std::vector<const char*> builtins;            // fetched once at execution, in this order
    void (*run_statements)(Frame&);               // the module statements, in order
};

// One running call of a function object: its current source line (the line
// a failure's traceback entry shows), and the names it can reach.
class Scope {
public:
    explicit Scope(FunctionObject& function) : function_(function), line_(function.spec->line()) {}

    // The statement now running.
    void at(int line) { line_ = line; }
    int line() const { return line_; }

    FunctionObject& function() const { return function_; }
    // A module global: the function's own globals first, then `builtins`,
    // else NameError.
    OwnedRef global(const char* name) const;

private:
    FunctionObject& function_;
    int line_;
};

class Frame {
public:
    explicit Frame(ModuleDescription description);

    // Module definition slots (see module_definition()).
    PyObject* create(PyObject* spec);
    int exec(PyObject* module);
    // Made by the constructor and only read afterwards.
    PyModuleDef* module_definition() { return &definition_; }

    const ModuleDescription& description() const { return description_; }
    const char* full_name() const { return full_name_text_.c_str(); }    // "figvault.src.files"
    const char* source_path() const { return source_path_.c_str(); }     // "figvault/src/files.py"
    PyObject* full_name_object();
    PyObject* builtins_module() const { return builtins_module_.get(); }
    // A name bound so far by the module statements (borrowed; null if none).
    PyObject* module_global(const char* name);

    // An interned string made once and kept for the life of the process.
    // `text` must be a string literal (or other static storage).
    PyObject* name(const char* text);
    // A non-interned string constant, likewise kept; `text` likewise static.
    PyObject* constant(const char* text);

    // Built-in fetched at execution (one of description().builtins).
    PyObject* builtin(const char* name);
    // Built-in fetched on first use and kept from then on.
    PyObject* builtin_on_first_use(const char* name);
    // getattr(builtins, key); a missing name raises NameError.
    OwnedRef lookup_builtin(PyObject* key);

    // ---- module statements (run while the module executes) ----
    // `import a.b` at `line`: imports relative to the package first, then
    // absolutely, and binds the top-level package `a`.
    void import_statement(int line, const char* dotted_name);
    // `from X import name` at `line`; X absolute (relative first), or "" for
    // `from . import name`.
    void import_from(int line, const char* module_name, const char* name);
    // `def`: makes the function object of `spec` and binds its name.
    void define(const FunctionSpec& spec);
    // `class name(object)` with a docstring and methods, made the way a class
    // statement makes it; binds `name`.
    void define_class(int line, const char* name, const char* doc,
                      std::initializer_list<const FunctionSpec*> methods);

    // ---- traceback entries ----
    // One entry for a function ("<full module name>.<traceback name>") at
    // `line`, with `globals` (may be null) as the entry frame's globals.
    void add_function_entry(const char* traceback_name, int line, PyObject* globals);
    // One entry for module execution ("init <full module name>").
    void add_execution_entry(int line);

private:
    OwnedRef import_module_relative_first(const char* module_name, PyObject* from_list);
    void bind(const char* name, PyObject* value);
    void execute(PyObject* module);
    void check_version();
    void fetch_builtins();
    // `key` is a text of static storage naming the entry: the traceback name
    // of a function (prefixed with the module name) or the execution entry.
    void add_traceback_entry(const char* key, bool prefix_module, int line, PyObject* globals);
    // The line reported if module execution fails now.
    void at_line(int line) { execution_line_ = line; }

    ModuleDescription description_;
    std::string full_name_text_;
    std::string source_path_;
    std::string execution_entry_;
    std::string reinit_message_;
    PyModuleDef definition_{};
    PyModuleDef_Slot slots_[4]{};
    // Compared and recorded in one step: from CPython 3.12 on, interpreters
    // with a lock of their own may run the create slot at the same time.
    std::atomic<int64_t> interpreter_id_{-1};
    OwnedRef module_;
    OwnedRef module_dict_;
    OwnedRef builtins_module_;
    OwnedRef full_name_;
    std::vector<std::pair<const char*, OwnedRef>> builtins_;
    // Keyed by the address of a string literal: cheap on every call.
    std::unordered_map<const char*, OwnedRef> lazy_builtins_;
    std::unordered_map<const char*, OwnedRef> names_;
    std::unordered_map<const char*, OwnedRef> constants_;
    // Code objects of traceback entries, by (address of the entry's key, line);
    // kept for the life of the process.
    std::map<std::pair<const char*, int>, OwnedRef> traceback_codes_;
    int execution_line_ = 1;
};

// The frame of the shared object this code is linked into. Each module
// defines it once (see FIGVAULT_DEFINE_MODULE).
Frame& frame();

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
