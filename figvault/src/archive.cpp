// figvault.src.archive: the `archive` decorator. Every call of a decorated
// function snapshots the sources, checks its positional arguments, writes the
// archive record with dill, and only then runs the function.
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "figvault/calls.hpp"
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
constexpr const char kDefaultFilename[] = "myplot.figvault";

// ---- the closure record of a wrapper -----------------------------------
// Holds the decorated function and its decorator object for as long as the
// wrapper lives; takes part in cyclic garbage collection.
struct ClosureRecord {
    PyObject_HEAD
    PyObject* func;
    PyObject* self;
    PyObject* weakrefs;
};

int closure_traverse(PyObject* object, visitproc visit, void* arg) {
    auto* record = reinterpret_cast<ClosureRecord*>(object);
    Py_VISIT(record->func);
    Py_VISIT(record->self);
    return 0;
}

int closure_clear(PyObject* object) {
    auto* record = reinterpret_cast<ClosureRecord*>(object);
    Py_CLEAR(record->func);
    Py_CLEAR(record->self);
    return 0;
}

void closure_dealloc(PyObject* object) {
    PyObject_GC_UnTrack(object);
    if (reinterpret_cast<ClosureRecord*>(object)->weakrefs != nullptr) PyObject_ClearWeakRefs(object);
    closure_clear(object);
    PyObject_GC_Del(object);
}

PyTypeObject closure_record_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "figvault_archive_closure",  /* tp_name */
    sizeof(ClosureRecord),       /* tp_basicsize */
};

void prepare_closure_record_type() {
    PyTypeObject* type = &closure_record_type;
    if (type->tp_flags & Py_TPFLAGS_READY) return;
    type->tp_dealloc = closure_dealloc;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = closure_traverse;
    type->tp_clear = closure_clear;
    type->tp_weaklistoffset = offsetof(ClosureRecord, weakrefs);
    check_status(PyType_Ready(type));
}

OwnedRef make_closure_record(PyObject* func, PyObject* self) {
    ClosureRecord* record = PyObject_GC_New(ClosureRecord, &closure_record_type);
    if (record == nullptr) throw_error_set();
    record->func = Py_NewRef(func);
    record->self = Py_NewRef(self);
    record->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(record));
    return OwnedRef::steal(reinterpret_cast<PyObject*>(record));
}

// ---- archive.__init__ --------------------------------------------------
constexpr int kLineStoreDefaultFilename = 26;
constexpr int kLineStoreFilename = 28;

PyObject* archive_init(FunctionObject* function, PyObject* const* bound);

const FunctionSpec kInit{
    /*name=*/"__init__",
    /*qualified_name=*/"archive.__init__",
    /*traceback_name=*/"archive.__init__",
    /*doc=*/"archive.__init__(self, filename=None)",
    CallingConvention::kNamedParameters,
    /*parameters=*/{"self", "filename"},
    /*required=*/1,
    /*definition_line=*/kLineDefineInit,
    /*exact_dict_parameter=*/-1,
    /*locals=*/{},
    /*first_line=*/kLineDefineInit,
    /*has_none_default=*/true,
    /*annotations=*/{},
    /*no_arguments_body=*/nullptr,
    /*named_parameters_body=*/archive_init,
};

PyObject* archive_init(FunctionObject*, PyObject* const* bound) {
    return frame().run_body(kInit.traceback_name, kLineDefineInit, [bound](LineTracker& at) {
        Frame& module = frame();
        PyObject* self = bound[0];
        PyObject* filename = bound[1];
        if (filename == Py_None) {
            at(kLineStoreDefaultFilename);
            filename = module.constant(kDefaultFilename);
        } else {
            at(kLineStoreFilename);
        }
        check_status(PyObject_SetAttr(self, module.name("filename"), filename));
        return OwnedRef::none();
    });
}

// ---- archive.__call__ and the wrapper ----------------------------------
PyObject* archive_call(FunctionObject* function, PyObject* const* bound);
PyObject* wrapper(FunctionObject* function, PyObject* args, PyObject* kwargs);

const FunctionSpec kCall{
    /*name=*/"__call__",
    /*qualified_name=*/"archive.__call__",
    /*traceback_name=*/"archive.__call__",
    /*doc=*/"archive.__call__(self, func)",
    CallingConvention::kNamedParameters,
    /*parameters=*/{"self", "func"},
    /*required=*/2,
    /*definition_line=*/kLineDefineCall,
    /*exact_dict_parameter=*/-1,
    /*locals=*/{"wrapper"},
    /*first_line=*/kLineDefineCall,
    /*has_none_default=*/false,
    /*annotations=*/{},
    /*no_arguments_body=*/nullptr,
    /*named_parameters_body=*/archive_call,
};

const FunctionSpec kWrapper{
    /*name=*/"wrapper",
    /*qualified_name=*/"archive.__call__.<locals>.wrapper",
    /*traceback_name=*/"archive.__call__.wrapper",
    /*doc=*/nullptr,
    CallingConvention::kVarArgs,
    /*parameters=*/{},
    /*required=*/0,
    /*definition_line=*/kLineDefineWrapper,
    /*exact_dict_parameter=*/-1,
    /*locals=*/{"args", "kwargs", "python_files", "args_name", "args_dict", "i", "arg", "data"},
    /*first_line=*/kLineDefineWrapper,
    /*has_none_default=*/false,
    /*annotations=*/{},
    /*no_arguments_body=*/nullptr,
    /*named_parameters_body=*/nullptr,
    /*var_args_body=*/wrapper,
};

PyObject* archive_call(FunctionObject*, PyObject* const* bound) {
    return frame().run_body(kCall.traceback_name, kLineDefineCall, [bound](LineTracker& at) {
        at(kLineDefineCall);
        OwnedRef record = make_closure_record(bound[1], bound[0]);
        at(kLineDefineWrapper);
        return make_function(kWrapper, record.get());
    });
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

bool is_instance(PyObject* object, PyObject* kind) {
    return check_status(PyObject_IsInstance(object, kind)) != 0;
}

// The kinds of positional argument an archive accepts, tested in this order;
// the array and tensor classes are looked up anew for every argument.
bool is_accepted_kind(PyObject* arg) {
    Frame& module = frame();
    OwnedRef ndarray = module.global("ndarray");
    OwnedRef tensor = attribute(module.global("torch"), "Tensor");
    return PyLong_Check(arg) || PyFloat_Check(arg) ||
           is_instance(arg, reinterpret_cast<PyObject*>(&PyBool_Type)) || PyBytes_Check(arg) ||
           PyUnicode_Check(arg) || PyList_Check(arg) || PyTuple_Check(arg) || PyDict_Check(arg) ||
           is_instance(arg, ndarray.get()) || is_instance(arg, tensor.get());
}

// Raises TypeError("Unrecognized argument type for <name>:<type>").
[[noreturn]] void refuse_argument(PyObject* args_name, Py_ssize_t i, PyObject* arg) {
    Frame& module = frame();
    OwnedRef index = OwnedRef::checked(PyLong_FromSsize_t(i));
    OwnedRef name = OwnedRef::checked(PyObject_GetItem(args_name, index.get()));
    OwnedRef empty_spec = OwnedRef::checked(PyUnicode_New(0, 0));
    OwnedRef name_text = OwnedRef::checked(PyObject_Format(name.get(), empty_spec.get()));
    OwnedRef type_text = OwnedRef::checked(
        PyObject_Format(reinterpret_cast<PyObject*>(Py_TYPE(arg)), empty_spec.get()));
    OwnedRef message = OwnedRef::checked(PyUnicode_FromFormat(
        "%s%U%s%U", kRefusalStart, name_text.get(), kRefusalSeparator, type_text.get()));
    OwnedRef error = call(module.builtin("TypeError"), {message.get()});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error_set();
}

// ---- writing the archive file -------------------------------------------
// When the target is a regular file, or does not exist yet, the record is
// written to a new file beside it that replaces the target atomically once
// dump and close have succeeded: a failed write never destroys the previous
// archive, and concurrent writers never leave a mix. Anything else (a file
// descriptor, a device, a pipe, a folder that admits no new file) is written
// directly.
constexpr int kMaxSymlinkDepth = 40;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as open() does

struct ReplacementPlan {
    bool atomic = false;
    std::string target;  // the final path, symbolic links followed
    bool keep_mode = false;
    mode_t mode = 0;
};

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

ReplacementPlan plan_replacement(PyObject* filename) {
    ReplacementPlan plan;
    if (PyLong_Check(filename)) return plan;  // a file descriptor
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(filename, &converted)) {
        PyErr_Clear();  // not a path: open() reports the problem
        return plan;
    }
    OwnedRef encoded = OwnedRef::steal(converted);
    std::string path(PyBytes_AS_STRING(converted), PyBytes_GET_SIZE(converted));
    if (path.empty() || path.find('\0') != std::string::npos) return plan;

    for (int depth = 0;; ++depth) {
        struct stat link_status;
        if (lstat(path.c_str(), &link_status) != 0) {
            if (errno != ENOENT) return plan;
            plan.atomic = true;  // a new file
            break;
        }
        if (S_ISLNK(link_status.st_mode)) {
            if (depth == kMaxSymlinkDepth) return plan;
            std::string link(static_cast<std::size_t>(link_status.st_size) + 256, '\0');
            const ssize_t length = readlink(path.c_str(), link.data(), link.size());
            if (length < 0 || static_cast<std::size_t>(length) >= link.size()) return plan;
            link.resize(static_cast<std::size_t>(length));
            path = link[0] == '/' ? link : folder_of(path) + "/" + link;
            continue;
        }
        if (!S_ISREG(link_status.st_mode)) return plan;  // device, pipe, folder...
        // A file open() could not rewrite is written directly, so the caller
        // sees open()'s own error.
        if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return plan;
        plan.atomic = true;
        plan.keep_mode = true;
        plan.mode = link_status.st_mode & 07777;
        break;
    }
    plan.target = path;
    return plan;
}

// A new, empty file beside the target, open for writing, with the mode the
// archive is to have (an existing archive's; otherwise 0666 less the umask).
struct SiblingFile {
    std::string path;  // empty when the folder admits no new file
    int fd = -1;
};

SiblingFile create_sibling_file(const ReplacementPlan& plan) {
    static std::atomic<unsigned> counter{0};
    const std::string folder = folder_of(plan.target);
    const std::string base = plan.target.substr(plan.target.rfind('/') + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = folder + "/." + base.substr(0, 160) + ".tmp" +
                                std::to_string(getpid()) + "-" + std::to_string(counter++);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {};
        }
        if (plan.keep_mode && fchmod(fd, plan.mode) != 0) {
            ::close(fd);
            ::unlink(candidate.c_str());
            return {};
        }
        return {candidate, fd};
    }
    return {};
}

OwnedRef open_for_writing(PyObject* path_or_fd) {
    Frame& module = frame();
    return call(module.builtin("open"), {path_or_fd, module.constant("wb")});
}

// dill.dump(data, file) and an explicit close, so that an error of the final
// flush reaches the caller.
void dump_and_close(PyObject* dump, PyObject* data, OwnedRef file) {
    try {
        call(dump, {data, file.get()});
    } catch (const PyErrorSet&) {
        PendingError failure;
        file.reset();  // released, and so closed; the dump error is reported
        if (PyErr_Occurred()) PyErr_Clear();
        failure.restore();
        throw;
    }
    call_method(file, "close", {});
}

[[noreturn]] void raise_os_error(const std::string& path) {
    const int error = errno;
    OwnedRef name = OwnedRef::checked(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
    throw_error_set();
}

// open(target, "wb").write(<bytes of source>), closed explicitly.
void copy_into(const std::string& source, PyObject* target) {
    Frame& module = frame();
    OwnedRef source_path = OwnedRef::checked(
        PyUnicode_DecodeFSDefaultAndSize(source.data(), static_cast<Py_ssize_t>(source.size())));
    OwnedRef reader = call(module.builtin("open"), {source_path.get(), module.constant("rb")});
    OwnedRef bytes = call_method(reader, "read", {});
    call_method(reader, "close", {});
    OwnedRef writer = call(module.builtin("open"), {target, module.constant("wb")});
    call_method(writer, "write", {bytes.get()});
    call_method(writer, "close", {});
}

void write_record(PyObject* self, PyObject* data) {
    Frame& module = frame();
    // Looked up before anything is opened: a missing name leaves the file as it was.
    OwnedRef dump = attribute(module.global("dill"), "dump");
    OwnedRef filename = attribute(self, "filename");

    ReplacementPlan plan = plan_replacement(filename.get());
    SiblingFile sibling = plan.atomic ? create_sibling_file(plan) : SiblingFile{};
    if (sibling.path.empty()) {
        dump_and_close(dump.get(), data, open_for_writing(filename.get()));
        return;
    }
    try {
        // open() takes the descriptor over; until it has, it is ours to close.
        OwnedRef file;
        try {
            file = open_for_writing(OwnedRef::checked(PyLong_FromLong(sibling.fd)).get());
        } catch (const PyErrorSet&) {
            ::close(sibling.fd);
            throw;
        }
        dump_and_close(dump.get(), data, std::move(file));
        if (::rename(sibling.path.c_str(), plan.target.c_str()) != 0) {
            // A folder may refuse the replacement of a file we may still
            // write (a sticky folder, another user's file): rewrite it in
            // place with the bytes already dumped, as open(name, "wb") would.
            if (errno != EPERM && errno != EACCES) raise_os_error(plan.target);
            copy_into(sibling.path, filename.get());
            ::unlink(sibling.path.c_str());
        }
    } catch (const PyErrorSet&) {
        ::unlink(sibling.path.c_str());
        throw;
    }
}

PyObject* wrapper(FunctionObject* function, PyObject* args, PyObject* kwargs) {
    return frame().run_body(kWrapper.traceback_name, kLineDefineWrapper,
                            [function, args, kwargs](LineTracker& at) {
        Frame& module = frame();
        auto* closure = reinterpret_cast<ClosureRecord*>(function->closure);
        // Held for the whole call: the record may be cleared meanwhile.
        OwnedRef func = OwnedRef::incref(closure->func);
        OwnedRef self = OwnedRef::incref(closure->self);
        if (!func || !self) {
            PyErr_SetString(PyExc_SystemError, "figvault: wrapper closure was cleared");
            throw_error_set();
        }

        at(kLineSnapshotSources);
        OwnedRef python_files = call(attribute(module.global("files"), "create_file_dict"), {});

        at(kLineGetArgumentNames);
        OwnedRef spec = call(attribute(module.global("inspect"), "getfullargspec"), {func.get()});
        OwnedRef args_name = OwnedRef::checked(PySequence_GetItem(spec.get(), 0));
        at(kLinePairArguments);
        OwnedRef pairs = call(module.builtin("zip"), {args_name.get(), args});
        OwnedRef args_dict = call(reinterpret_cast<PyObject*>(&PyDict_Type), {pairs.get()});

        at(kLineForEachArgument);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
            PyObject* arg = PyTuple_GET_ITEM(args, i);
            at(kLineCheckKind);
            if (is_accepted_kind(arg)) continue;
            at(kLineRefuseKind);
            refuse_argument(args_name.get(), i, arg);
        }

        at(kLineBuildRecord);
        OwnedRef data = new_dict();
        set_item(data, module.constant("args"), args_dict.get());
        set_item(data, module.constant("files"), python_files.get());
        set_item(data, module.constant("func"), func.get());

        at(kLineWriteRecord);
        write_record(self.get(), data.get());

        at(kLineCallFunction);
        OwnedRef keywords = OwnedRef::checked(PyDict_Copy(kwargs));
        return OwnedRef::checked(PyObject_Call(func.get(), args, keywords.get()));
    });
}

// ---- class archive -----------------------------------------------------

// Makes class `archive` the way a class statement does: the most derived
// metaclass of the bases, its __prepare__ namespace, then the metaclass call.
void define_archive_class(Frame& module) {
    module.at_line(kLineClassArchive);
    OwnedRef bases = OwnedRef::checked(PyTuple_Pack(1, module.builtin("object")));
    PyTypeObject* metaclass = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
        PyTypeObject* base_metaclass = Py_TYPE(PyTuple_GET_ITEM(bases.get(), i));
        if (PyType_IsSubtype(base_metaclass, metaclass)) metaclass = base_metaclass;
    }
    PyObject* metaclass_object = reinterpret_cast<PyObject*>(metaclass);
    PyObject* name = module.name(kClassName);
    OwnedRef namespace_ = call(attribute(metaclass_object, "__prepare__"), {name, bases.get()});
    set_item(namespace_, module.name("__module__"), module.full_name_object());
    set_item(namespace_, module.name("__qualname__"), name);
    set_item(namespace_, module.name("__doc__"), module.constant(kClassDoc));

    module.at_line(kLineDefineInit);
    set_item(namespace_, module.name("__init__"), make_function(kInit).get());
    module.at_line(kLineDefineCall);
    set_item(namespace_, module.name("__call__"), make_function(kCall).get());

    module.at_line(kLineClassArchive);
    OwnedRef archive_class = call(metaclass_object, {name, bases.get(), namespace_.get()});
    module.bind(kClassName, archive_class.get());
}

// ---- module ------------------------------------------------------------

void prepare(Frame& module) {
    code_object_for(kInit);
    code_object_for(kCall);
    code_object_for(kWrapper);
    prepare_closure_record_type();
    for (const char* text : {kDefaultFilename, kClassDoc, "args", "files", "func", "wb", "rb"})
        module.constant(text);
}

void run_statements(Frame& module) {
    module.at_line(kLineImportNdarray);
    module.import_from_statement("numpy", "ndarray");
    module.at_line(kLineImportTorch);
    module.import_statement("torch", "torch");
    module.at_line(kLineImportDill);
    module.import_statement("dill", "dill");
    module.at_line(kLineImportInspect);
    module.import_statement("inspect", "inspect");
    module.at_line(kLineImportFiles);
    module.import_from_statement("", "files");
    define_archive_class(module);
}

ModuleDescription describe_module() {
    return ModuleDescription{
        /*short_name=*/"archive",
        /*full_name=*/"figvault.src.archive",
        /*source_path=*/"figvault/src/archive.py",
        /*execution_entry=*/"init figvault.src.archive",
        /*reinit_message=*/
        "Module 'archive' has already been imported. Re-initialisation is not supported.",
        /*builtins=*/{"object", "zip", "enumerate", "TypeError", "open"},
        /*prepare=*/prepare,
        /*run_statements=*/run_statements,
    };
}

}  // namespace
}  // namespace figvault

FIGVAULT_DEFINE_MODULE(archive, figvault::describe_module)
