// figvault.src.archive: the `archive` decorator. Every call of a decorated
// function snapshots the sources, checks its positional arguments, writes the
// archive record with dill, and only then runs the function.
#include <Python.h>

#include "figvault/atomic_file.hpp"
#include "figvault/calls.hpp"
#include "figvault/errors.hpp"
#include "figvault/frame.hpp"
#include "figvault/function.hpp"
#include "figvault/refs.hpp"

namespace figvault {
namespace {

// ---- module statements and their lines --------------------------------
constexpr int kLineImportNdarray = 1;
constexpr int kLineImportTorch = 2;
constexpr int kLineImportDill = 3;
constexpr int kLineImportInspect = 4;
constexpr int kLineImportFiles = 6;
constexpr int kLineClassArchive = 17;
constexpr int kLineDefineInit = 23;
constexpr int kLineDefineCall = 30;
constexpr int kLineDefineWrapper = 31;

constexpr const char kClassName[] = "archive";
constexpr const char kClassDoc[] =
    "\n    figvault.archive is the main function to save your code\n\n\n    ";

// ---- archive.__init__ --------------------------------------------------
constexpr const char kDefaultFilename[] = "myplot.figvault";
constexpr const char kFunctionAsFilename[] =
    "archive() takes a file name, not %R: decorate with @archive() or @archive(\"name.figvault\")";

constexpr int kLineCheckFilename = 25;
constexpr int kLineStoreDefaultFilename = 26;
constexpr int kLineStoreFilename = 28;

OwnedRef archive_init(Scope& scope, BoundArguments bound);

const FunctionSpec kInit = FunctionSpec::with_parameters(
    {.name = "__init__",
     .line = kLineDefineInit,
     .doc = "archive.__init__(self, filename=None)",
     .qualified_name = "archive.__init__"},
    {.names = {"self", "filename"}, .required = 1},
    archive_init);

// A callable where the file name belongs: `@archive` written without the
// parentheses hands the decorated function to __init__. Such a decorator
// would never write an archive, so it is refused at once.
bool is_function_not_filename(PyObject* filename) {
    if (PyUnicode_Check(filename) || PyBytes_Check(filename) || PyLong_Check(filename)) return false;
    if (!PyCallable_Check(filename)) return false;
    // Path-like objects are file names, callable or not: found on the type
    // as os.fspath finds __fspath__, without running any code.
    return _PyType_Lookup(Py_TYPE(filename), frame().name("__fspath__")) == nullptr;
}

OwnedRef archive_init(Scope& scope, BoundArguments bound) {
    Frame& module = frame();
    PyObject* self = bound[0];
    PyObject* filename = bound[1];
    scope.at(kLineCheckFilename);
    if (is_function_not_filename(filename)) raise_error(PyExc_TypeError, kFunctionAsFilename, filename);
    if (filename == Py_None) {
        scope.at(kLineStoreDefaultFilename);
        filename = module.constant(kDefaultFilename);
    } else {
        scope.at(kLineStoreFilename);
    }
    check_status(PyObject_SetAttr(self, module.name("filename"), filename));
    return OwnedRef::none();
}

// ---- archive.__call__ and the wrapper ----------------------------------
OwnedRef archive_call(Scope& scope, BoundArguments bound);
OwnedRef wrapper(Scope& scope, PyObject* args, PyObject* kwargs);

const FunctionSpec kCall = FunctionSpec::with_parameters(
    {.name = "__call__",
     .line = kLineDefineCall,
     .doc = "archive.__call__(self, func)",
     .locals = {"wrapper"},
     .qualified_name = "archive.__call__"},
    {.names = {"self", "func"}, .required = 2},
    archive_call);

const FunctionSpec kWrapper = FunctionSpec::with_var_args(
    {.name = "wrapper",
     .line = kLineDefineWrapper,
     .locals = {"python_files", "args_name", "args_dict", "i", "arg", "data"},
     .qualified_name = "archive.__call__.<locals>.wrapper",
     .made_by = "archive.__call__"},
    wrapper);

OwnedRef archive_call(Scope& scope, BoundArguments bound) {
    scope.at(kLineDefineCall);
    OwnedRef record = make_closure_record(bound[1], bound[0]);
    scope.at(kLineDefineWrapper);
    return make_function(kWrapper, scope.function().globals, record.get());
}

constexpr int kLineSnapshotSources = 33;
constexpr int kLineGetArgumentNames = 35;
constexpr int kLinePairArguments = 36;
constexpr int kLineForEachArgument = 38;
constexpr int kLineCheckKind = 39;
constexpr int kLineRefuseKind = 40;
constexpr int kLineBuildRecord = 42;
constexpr int kLineWriteRecord = 43;
constexpr int kLineCallFunction = 45;

constexpr const char kRefusalStart[] = "Unrecognized argument type for ";
constexpr const char kRefusalSeparator[] = ":";
constexpr const char kClosureCleared[] = "figvault: wrapper closure was cleared";
// inspect.Parameter kinds up to POSITIONAL_OR_KEYWORD fill by position.
constexpr long kLastPositionalKind = 1;

// The parameters a call's positional arguments fill: `positional` (the
// names, in order), its length `named`, and `varargs` (the name of *args, or
// None; read only when some argument has no name of its own).
struct ArgumentNames {
    OwnedRef positional;
    Py_ssize_t named;
    OwnedRef varargs;
};

// getfullargspec lists the first parameter of a bound method or a callable
// object (self) although the call fills it implicitly; inspect.signature
// leaves it out. The leading names it leaves out are dropped. Both must
// describe the same callable: getfullargspec never follows __wrapped__, so
// neither does the signature here (a class-based decorator made with
// functools.update_wrapper has the parameters of its __call__, not those of
// the function it wraps).
OwnedRef without_implicitly_bound(Scope& scope, PyObject* func, OwnedRef args_name) {
    Frame& module = frame();
    OwnedRef keywords = new_dict();
    set_item(keywords, module.name("follow_wrapped"), Py_False);
    OwnedRef signature = call(attribute(scope.global("inspect"), "signature"), {func}, keywords.get());
    OwnedRef parameters = iterate(call_method(attribute(signature, "parameters"), "values", {}));
    Py_ssize_t filled_by_position = 0;
    while (OwnedRef parameter = next_item(parameters)) {
        const long kind = PyLong_AsLong(attribute(parameter, "kind").get());
        if (kind == -1 && PyErr_Occurred()) throw_error_set();
        if (kind > kLastPositionalKind) break;
        ++filled_by_position;
    }
    const Py_ssize_t listed = PyObject_Size(args_name.get());
    if (listed < 0) throw_error_set();
    if (listed <= filled_by_position) return args_name;
    return OwnedRef::checked(PySequence_GetSlice(args_name.get(), listed - filled_by_position, listed));
}

ArgumentNames argument_names(Scope& scope, PyObject* func, PyObject* args) {
    OwnedRef spec = call(attribute(scope.global("inspect"), "getfullargspec"), {func});
    OwnedRef args_name = OwnedRef::checked(PySequence_GetItem(spec.get(), 0));
    if (!PyFunction_Check(func)) args_name = without_implicitly_bound(scope, func, std::move(args_name));
    const Py_ssize_t named = PyObject_Size(args_name.get());
    if (named < 0) throw_error_set();
    OwnedRef varargs = OwnedRef::none();
    if (PyTuple_GET_SIZE(args) > named) varargs = OwnedRef::checked(PySequence_GetItem(spec.get(), 1));
    return {std::move(args_name), named, std::move(varargs)};
}

// dict(zip(args_name, args)); positional arguments beyond the named
// parameters that fill *name are archived as one tuple under that name.
OwnedRef pair_arguments(const ArgumentNames& names, PyObject* args) {
    OwnedRef pairs = call(frame().builtin("zip"), {names.positional.get(), args});
    OwnedRef args_dict = call(reinterpret_cast<PyObject*>(&PyDict_Type), {pairs.get()});
    if (names.varargs.get() != Py_None) {
        OwnedRef rest = OwnedRef::checked(PyTuple_GetSlice(args, names.named, PyTuple_GET_SIZE(args)));
        set_item(args_dict, names.varargs.get(), rest.get());
    }
    return args_dict;
}

bool is_instance(PyObject* object, PyObject* kind) {
    return check_status(PyObject_IsInstance(object, kind)) != 0;
}

// The kinds of positional argument an archive accepts, tested in this order;
// the array and tensor classes are looked up anew for every argument.
bool is_accepted_kind(Scope& scope, PyObject* arg) {
    OwnedRef ndarray = scope.global("ndarray");
    OwnedRef tensor = attribute(scope.global("torch"), "Tensor");
    return PyLong_Check(arg) || PyFloat_Check(arg) ||
           is_instance(arg, reinterpret_cast<PyObject*>(&PyBool_Type)) || PyBytes_Check(arg) ||
           PyUnicode_Check(arg) || PyList_Check(arg) || PyTuple_Check(arg) || PyDict_Check(arg) ||
           is_instance(arg, ndarray.get()) || is_instance(arg, tensor.get());
}

// The parameter the i-th positional argument fills: its name, or the
// *name it lands in. Without *name a surplus argument has no parameter and
// the subscription raises IndexError.
OwnedRef parameter_name(const ArgumentNames& names, Py_ssize_t i) {
    if (i >= names.named && names.varargs.get() != Py_None) return names.varargs;
    OwnedRef index = OwnedRef::checked(PyLong_FromSsize_t(i));
    return OwnedRef::checked(PyObject_GetItem(names.positional.get(), index.get()));
}

// Raises TypeError("Unrecognized argument type for <name>:<type>").
[[noreturn]] void refuse_argument(const ArgumentNames& names, Py_ssize_t i, PyObject* arg) {
    OwnedRef name = parameter_name(names, i);
    OwnedRef empty_spec = OwnedRef::checked(PyUnicode_New(0, 0));
    OwnedRef name_text = OwnedRef::checked(PyObject_Format(name.get(), empty_spec.get()));
    OwnedRef type_text = OwnedRef::checked(
        PyObject_Format(reinterpret_cast<PyObject*>(Py_TYPE(arg)), empty_spec.get()));
    OwnedRef message = OwnedRef::checked(PyUnicode_FromFormat(
        "%s%U%s%U", kRefusalStart, name_text.get(), kRefusalSeparator, type_text.get()));
    OwnedRef error = call(frame().builtin("TypeError"), {message.get()});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error_set();
}

// ---- writing the archive file -------------------------------------------

// file.seek(0); file.truncate(). False, with nothing set, when the file
// cannot be rewound (a pipe, a device).
bool rewind_and_empty(PyObject* file) {
    try {
        OwnedRef start = OwnedRef::checked(PyLong_FromLong(0));
        call_method(file, "seek", {start.get()});
        call_method(file, "truncate", {});
        return true;
    } catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
        return false;
    }
}

// dill.dump(data, file, recurse=True): a function saved by value (defined in
// a script or a notebook) then carries the globals it reads. If that fails
// for a reason other than the file itself (OSError) -- something the function
// reads cannot be pickled, a RecursionError -- the record is dumped again the
// plain way into the same file, rewound and emptied first, so that nothing
// that could be archived before stops working. When the file cannot be
// rewound, the first error stands.
void dump_record(PyObject* dump, PyObject* data, PyObject* file) {
    Frame& module = frame();
    OwnedRef keywords = new_dict();
    set_item(keywords, module.name("recurse"), Py_True);
    try {
        call(dump, {data, file}, keywords.get());
        return;
    } catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_OSError)) throw;
    }
    PendingError first;
    try {
        if (!rewind_and_empty(file)) {
            first.restore();
            throw_error_set();
        }
        call(dump, {data, file});
    } catch (const PyErrorSet&) {
        first.chain_under_current();  // the new error, if any, with the first as its context
        throw;
    }
}

// Writes the record to the file the decorator's `filename` names, closed
// explicitly so that an error of the final flush reaches the caller. A
// failed write leaves the previous archive as it was (see AtomicFile).
void write_record(Scope& scope, PyObject* self, PyObject* data) {
    // Looked up before anything is opened: a missing name leaves the file as it was.
    OwnedRef dump = attribute(scope.global("dill"), "dump");
    OwnedRef filename = attribute(self, "filename");

    AtomicFile target(filename.get());
    OwnedRef file = target.open(frame().builtin("open"));
    try {
        dump_record(dump.get(), data, file.get());
        call_method(file, "close", {});
    } catch (const PyErrorSet&) {
        PendingError failure;  // the file is released (and so closed) with no error set
        file.reset();
        failure.restore();
        throw;
    }
    target.commit();
}

OwnedRef wrapper(Scope& scope, PyObject* args, PyObject* kwargs) {
    auto* closure = reinterpret_cast<ClosureRecord*>(scope.function().closure);
    // Held for the whole call: the record may be cleared meanwhile.
    OwnedRef func = OwnedRef::incref(closure != nullptr ? closure->func : nullptr);
    OwnedRef self = OwnedRef::incref(closure != nullptr ? closure->self : nullptr);
    if (!func || !self) raise_error(PyExc_SystemError, kClosureCleared);

    scope.at(kLineSnapshotSources);
    OwnedRef python_files = call(attribute(scope.global("files"), "create_file_dict"), {});

    scope.at(kLineGetArgumentNames);
    ArgumentNames names = argument_names(scope, func.get(), args);
    scope.at(kLinePairArguments);
    OwnedRef args_dict = pair_arguments(names, args);

    scope.at(kLineForEachArgument);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args, i);
        scope.at(kLineCheckKind);
        if (is_accepted_kind(scope, arg)) continue;
        scope.at(kLineRefuseKind);
        refuse_argument(names, i, arg);
    }

    scope.at(kLineBuildRecord);
    Frame& module = frame();
    OwnedRef data = new_dict();
    set_item(data, module.constant("args"), args_dict.get());
    set_item(data, module.constant("files"), python_files.get());
    set_item(data, module.constant("func"), func.get());

    scope.at(kLineWriteRecord);
    write_record(scope, self.get(), data.get());

    scope.at(kLineCallFunction);
    OwnedRef keywords = OwnedRef::checked(PyDict_Copy(kwargs));
    return OwnedRef::checked(PyObject_Call(func.get(), args, keywords.get()));
}

// ---- module ------------------------------------------------------------

void run_statements(Frame& module) {
    module.import_from(kLineImportNdarray, "numpy", "ndarray");
    module.import_statement(kLineImportTorch, "torch");
    module.import_statement(kLineImportDill, "dill");
    module.import_statement(kLineImportInspect, "inspect");
    module.import_from(kLineImportFiles, "", "files");
    module.define_class(kLineClassArchive, kClassName, kClassDoc, {&kInit, &kCall});
}

ModuleDescription describe_module() {
    return {.short_name = "archive",
            .builtins = {"object", "zip", "enumerate", "TypeError", "open"},
            .run_statements = run_statements};
}

}  // namespace
}  // namespace figvault

FIGVAULT_DEFINE_MODULE(archive, figvault::describe_module)
