// The native snapshot of create_file_dict (see snapshot.hpp).
//
// How it stays equal to the Python-level steps:
//  * Folder walk: the order of glob (CPython 3.11 to 3.13) for
//    "./**/*<suffix>" with recursive=True. glob lists the working directory's
//    files (os.scandir of "./"; from 3.13 on only once os.path.isdir(".")
//    holds), then its subfolders (os.scandir of "."), and for each non-hidden
//    subfolder in the order scandir gave them: its files, then (recursively)
//    its subfolders. A listing opens the folder by the same path string glob
//    would pass (so ENAMETOOLONG and ELOOP stop the walk where they stop
//    glob), and lists nothing when the folder cannot be read, as glob's
//    _iterdir swallows OSError. A subfolder is an entry that is a folder once
//    symbolic links are followed (DirEntry.is_dir()); a match is any
//    non-hidden name ending in the suffix, whatever it is.
//  * One listing per folder: glob lists every folder four times (files and
//    subfolders, for each pattern). Between those listings only code run by
//    an audit hook or by a signal handler could change the tree, so while no
//    audit hook is installed each folder is read once and that listing serves
//    all four; a signal that may have run a handler drops what was kept.
//    With audit hooks, every "os.scandir" event is raised as glob raises it
//    (same argument, same order, as deep in the recursion budget) and the
//    folder is read right after it.
//  * Files: open(path, "r") amounts to the "open" audit event, open(2) with
//    O_RDONLY | O_CLOEXEC (blocking on a FIFO with the GIL released, again
//    after EINTR), the descriptor's status (fstat(2), here read with
//    statx(2)) to refuse a folder with EISDIR, and
//    FileIO.readall()'s read(2) calls. While no audit hook is installed, the
//    file is opened relative to its folder's descriptor kept from the
//    listing wherever that resolves to the same file (no symbolic link on the
//    way, a path shorter than PATH_MAX), and read straight into the str that
//    is returned when it is ASCII without "\r"; otherwise the bytes are
//    decoded as UTF-8 and "\r\n" and "\r" become "\n". With audit hooks the
//    file is opened through io.FileIO itself.
//    Any failure after the open goes through the very objects open() makes
//    (the codec's incremental decoder, TextIOWrapper), so the exception, its
//    traceback and the "unclosed file" ResourceWarning are theirs.
//  * Recursion: audit hooks run, and glob's recursion runs out, at the same
//    depth of the recursion budget as under the Python-level steps: one
//    budget on 3.11, Python frames and C-level calls apart from 3.12 on, each
//    version's own units measured against its own glob.
//  * Tools that watch Python code: with a trace or profile function on the
//    thread, or (from 3.12 on) a sys.monitoring tool that could see glob's
//    frames, the Python-level steps run.
//  * What it mirrors: glob, fnmatch, re.compile, contextlib.closing, the
//    os.path functions and the UTF-8 codec are recorded when the module
//    executes, and their code is checked against the code this walk was
//    written for (a digest of every function's code, constants and defaults,
//    and the names of the built-ins they reach, known for one release of
//    each version); any other code takes the Python-level steps. Everything
//    that differs between versions is guarded by PY_VERSION_HEX: a version
//    without its own branch fails to build or takes the Python-level steps.
#include "figvault/snapshot.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "figvault/calls.hpp"
#include "figvault/descriptor.hpp"
#include "figvault/errors.hpp"
#include "figvault/interpreter_watch.h"

namespace figvault {

#if FIGVAULT_NATIVE_SNAPSHOT

namespace {

// ---- constants ----------------------------------------------------------------

// The pattern shape the walk implements: this prefix, then a literal suffix.
constexpr const char kRecursivePrefix[] = "./**/*";
constexpr const char kMagicCharacters[] = "*?[/";
// How glob names the working directory to os.scandir: "./" when it lists the
// files there, "." when it lists the subfolders.
constexpr const char kRootForFiles[] = "./";
constexpr const char kRootForFolders[] = ".";
constexpr const char kSeparator[] = "/";
constexpr const char kUtf8ModeEncoding[] = "utf-8";
constexpr const char kEmptyCodesetEncoding[] = "UTF-8";
constexpr const char kStrictErrors[] = "strict";
constexpr const char kFileSystemEncoding[] = "utf-8";
constexpr const char kFileSystemErrors[] = "surrogateescape";
constexpr const char kRecursionMessage[] = "maximum recursion depth exceeded";
constexpr const char kDecodedNotTextMessage[] = "decoder should return a string result, not '%.200s'";
constexpr const char kUnboundedReadMessage[] =
    "unbounded read returned more bytes than a Python bytes object can hold";
constexpr const char kScandirEvent[] = "os.scandir";
constexpr const char kGlobEvent[] = "glob.glob";
constexpr const char kGlobEvent2[] = "glob.glob/2";

// open(path, "r") opens with these flags.
constexpr int kFileOpenFlags = O_RDONLY | O_CLOEXEC;
constexpr const char kFileMode[] = "r";
// Folders are opened as opendir() opens them for os.scandir, and read in
// chunks of glibc's readdir buffer; signals are checked after each chunk, so
// that Ctrl-C is answered inside a folder of any size.
constexpr int kFolderOpenFlags = O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC;
constexpr size_t kFolderChunk = 32768;
// A folder opened again only to open its files from.
constexpr int kFolderPathFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
// FileIO.readall()'s buffer sizes: the file's size plus one when it has
// one, else a small chunk; then grown in proportion to what was read.
constexpr size_t kSmallChunk = 8192;
constexpr size_t kLargeBufferCutoff = 65536;
// Regular files up to this size, on a plain file system, are read without
// giving up the GIL.
constexpr Py_ssize_t kLargestReadWithTheGil = 1 << 18;
// Folder descriptors kept open for opening their files: at most this many,
// and at most this share of the process's descriptor limit.
constexpr size_t kMostFoldersHeld = 1024;
constexpr rlim_t kDescriptorShareDivisor = 4;

// File systems where a read(2) of a regular file that returns fewer bytes
// than asked for has reached the end of the file: another read could only
// find bytes written since, so readall's confirming read is left out there.
constexpr long kPlainFileSystems[] = {TMPFS_MAGIC,     EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC,      BTRFS_SUPER_MAGIC,
                                      RAMFS_MAGIC,     OVERLAYFS_SUPER_MAGIC, F2FS_SUPER_MAGIC};

// Recursion budget. CPython 3.11 has one, PyThreadState.recursion_remaining,
// spent by every Python frame and every C-level call; from 3.12 on, Python
// frames spend py_recursion_remaining, and C-level calls (entering the
// evaluation loop from C among them) c_recursion_remaining. `Units` counts
// both; on 3.11 its `python` member is that one budget and `c` stays 0.
struct Units {
    int python;
    int c;
};

#if PY_VERSION_HEX < 0x030C0000
// What create_file_dict must have left to take the native path at all, so
// that only the walk's depth can exhaust it, as it alone can under the
// Python-level steps.
constexpr Units kMinimumRecursionBudget{250, 0};
// The units the Python-level steps have in use beyond create_file_dict's own
// when they raise each audit event: hooks written in Python run as deep here.
constexpr Units kUnitsAtGlobEvents{3, 0};
constexpr Units kUnitsAtFileListing{5, 0};
constexpr Units kUnitsAtFolderListing{7, 0};  // for the working directory; one more per level
constexpr Units kUnitsAtOpen{1, 0};
// glob's recursion spends one generator frame per folder level; listing the
// subfolders of the folder at `level` needs this many units (of `python`)
// plus `level`.
constexpr int kUnitsAtFolderLevelPeak = 8;
// When an audit hook's exception leaves that listing, glob's `with
// contextlib.closing(...)` calls __exit__ on the way out, one unit deeper,
// and may run out there (the interpreter then names the call).
#define FIGVAULT_EXIT_CAN_RUN_OUT 1
constexpr int kUnitsAtFolderListingExit = 9;
constexpr const char kRecursionAtExitMessage[] = "maximum recursion depth exceeded while calling a Python object";
#elif PY_VERSION_HEX < 0x030E0000
// 3.12 and 3.13 (measured on each, with the same result): the same stretches
// of the Python-level steps, in Python frames and in C-level units. A Python
// frame is one unit wherever it is entered from; C-level calls are far from
// their budget at these depths, which the minimum keeps them.
constexpr Units kMinimumRecursionBudget{250, 250};
constexpr Units kUnitsAtGlobEvents{2, 2};
constexpr Units kUnitsAtFileListing{5, 6};
constexpr Units kUnitsAtFolderListing{7, 10};  // for the working directory; one more Python frame per level
constexpr Units kUnitsAtOpen{0, 1};
constexpr int kUnitsAtFolderLevelPeak = 7;
// __exit__ runs as deep in Python frames as the listing it leaves: it cannot
// run out where the listing did not.
#define FIGVAULT_EXIT_CAN_RUN_OUT 0
#else
#error "the recursion accounting of this interpreter version is not known"
#endif

// The digests of the code the walk mirrors (see CodeDigest), for every
// release whose glob, fnmatch, re, contextlib, posixpath and UTF-8 codec it
// was checked against. Build with -DFIGVAULT_REPORT_SNAPSHOT_DIGEST=ON to
// have the module print the digest of the interpreter it is imported into.
#if PY_VERSION_HEX < 0x030C0000
constexpr uint64_t kKnownCodeDigests[] = {
    0xd42fdd275874e2b3ULL,  // CPython 3.11.7
};
#elif PY_VERSION_HEX < 0x030D0000
constexpr uint64_t kKnownCodeDigests[] = {
    0x1a66abf008e8efe1ULL,  // CPython 3.12.1
};
#else
constexpr uint64_t kKnownCodeDigests[] = {
    0x4737c777eef65fcaULL,  // CPython 3.13.0
};
#endif

// ---- what the Python-level steps reach, recorded when the module executes ----

// One name whose value must stay what it was: a global in a dict (value null:
// the name must stay absent, so that the built-in of that name is used) or an
// attribute found on a class through its MRO.
struct NamePin {
    OwnedRef owner;
    OwnedRef name;
    OwnedRef value;
    bool on_type;
};

// A Python function whose code and defaults must stay what they were.
struct FunctionPin {
    OwnedRef function;
    OwnedRef code;
    OwnedRef defaults;
    OwnedRef keyword_defaults;
    OwnedRef keyword_defaults_copy;  // its items, which may be changed in place
};

// A class that the steps call: its metaclass (whose __call__ makes the
// instance) must stay what it was.
struct ClassPin {
    OwnedRef cls;
    OwnedRef metaclass;
};

struct State {
    bool ready = false;
    bool utf8_mode = false;
    OwnedRef glob_module;
    std::string suffixes[2];
    std::vector<NamePin> names;
    std::vector<FunctionPin> functions;
    std::vector<ClassPin> classes;
    std::vector<OwnedRef> codes;  // of the functions pinned, nested code included
    OwnedRef utf8_decoder_class;  // encodings.utf_8.IncrementalDecoder
    OwnedRef codec_lookup;        // _codecs.lookup
    OwnedRef file_io_type;
    OwnedRef buffered_reader_type;
    OwnedRef text_wrapper_type;
    OwnedRef newline_decoder_type;
    OwnedRef name_attribute;  // "name"
    OwnedRef mode_attribute;  // "mode"
};

State& state() {
    static State* the_state = new State();  // process lifetime, like the module frame
    return *the_state;
}

[[noreturn]] void refuse_to_record(const char* what) { raise_error(PyExc_RuntimeError, "%s", what); }

OwnedRef interned(const char* text) { return OwnedRef::checked(PyUnicode_InternFromString(text)); }

// FNV-1a over everything that decides what a piece of code does: bytecode,
// exception table, argument counts and flags, names, constants (nested code
// included), defaults, and for built-ins their module and name. Source
// file names and line numbers are left out: they differ between
// installations of the same release and change nothing the walk relies on.
class CodeDigest {
public:
    uint64_t value() const { return hash_; }

    void add(PyObject* object) {
        if (object == nullptr) return tag('0');
        if (PyFunction_Check(object)) {
            auto* function = reinterpret_cast<PyFunctionObject*>(object);
            tag('f');
            add(function->func_code);
            add(function->func_defaults);
            keyword_defaults = true;
            add(function->func_kwdefaults);
            keyword_defaults = false;
        } else if (PyCode_Check(object)) {
            add_code(reinterpret_cast<PyCodeObject*>(object));
        } else if (PyUnicode_CheckExact(object)) {
            tag('s');
            bytes(PyUnicode_DATA(object), PyUnicode_GET_LENGTH(object) * PyUnicode_KIND(object));
        } else if (PyBytes_CheckExact(object)) {
            tag('b');
            bytes(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
        } else if (PyTuple_CheckExact(object)) {
            tag('(');
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) add(PyTuple_GET_ITEM(object, i));
            tag(')');
        } else if (PyDict_CheckExact(object) && keyword_defaults) {
            tag('{');
            Py_ssize_t position = 0;
            PyObject *key, *item;
            while (PyDict_Next(object, &position, &key, &item)) {
                add(key);
                add(item);
            }
            tag('}');
        } else if (PyFrozenSet_CheckExact(object)) {
            // Iteration order follows string hashes, which change per process.
            std::vector<uint64_t> members;
            OwnedRef iterator = OwnedRef::checked(PyObject_GetIter(object));
            while (OwnedRef item = next_item(iterator)) {
                CodeDigest member;
                member.add(item.get());
                members.push_back(member.value());
            }
            std::sort(members.begin(), members.end());
            tag('z');
            for (uint64_t member : members) bytes(&member, sizeof member);
        } else if (PyModule_Check(object)) {
            tag('m');
            text(OwnedRef::checked(PyObject_GetAttrString(object, "__name__")).get());
        } else if (PyType_Check(object)) {
            tag('t');
            bytes(reinterpret_cast<PyTypeObject*>(object)->tp_name,
                  std::strlen(reinterpret_cast<PyTypeObject*>(object)->tp_name));
        } else if (PyCFunction_Check(object)) {
            auto* function = reinterpret_cast<PyCFunctionObject*>(object);
            tag('c');
            if (function->m_module != nullptr && PyUnicode_Check(function->m_module)) text(function->m_module);
            bytes(function->m_ml->ml_name, std::strlen(function->m_ml->ml_name));
        } else if (PyLong_Check(object) || PyFloat_Check(object) || PyComplex_Check(object) || object == Py_None ||
                   object == Py_Ellipsis || has_stable_repr(Py_TYPE(object))) {
            // Numbers, compiled patterns, slot wrappers and the like: their
            // type and repr.
            tag('o');
            bytes(Py_TYPE(object)->tp_name, std::strlen(Py_TYPE(object)->tp_name));
            text(OwnedRef::checked(PyObject_Repr(object)).get());
        } else {
            // Anything else (a cache, say) only by its type: its contents
            // change as the process runs.
            tag('v');
            bytes(Py_TYPE(object)->tp_name, std::strlen(Py_TYPE(object)->tp_name));
        }
    }

private:
    // Types whose repr shows all there is to them, and never changes.
    static bool has_stable_repr(PyTypeObject* type) {
        static const char* const kStableTypes[] = {"re.Pattern", "wrapper_descriptor", "method_descriptor",
                                                   "classmethod_descriptor", "getset_descriptor",
                                                   "member_descriptor", "method-wrapper"};
        for (const char* name : kStableTypes)
            if (std::strcmp(type->tp_name, name) == 0) return true;
        return false;
    }

    void add_code(PyCodeObject* code) {
        tag('k');
        OwnedRef bytecode = OwnedRef::checked(PyCode_GetCode(code));
        add(bytecode.get());
        add(code->co_exceptiontable);
        const int counts[] = {code->co_argcount, code->co_posonlyargcount, code->co_kwonlyargcount, code->co_flags,
                              code->co_nlocalsplus, code->co_stacksize};
        bytes(counts, sizeof counts);
        add(code->co_names);
        add(code->co_localsplusnames);
        add(code->co_localspluskinds);
        add(code->co_name);
        add(code->co_consts);
    }

    void text(PyObject* object) {
        if (!PyUnicode_Check(object)) return tag('?');
        bytes(PyUnicode_DATA(object), PyUnicode_GET_LENGTH(object) * PyUnicode_KIND(object));
    }
    void tag(char kind) { bytes(&kind, 1); }
    void bytes(const void* data, Py_ssize_t size) {
        const auto* in = static_cast<const unsigned char*>(data);
        for (Py_ssize_t i = 0; i < size; ++i) hash_ = (hash_ ^ in[i]) * 0x100000001b3ULL;
        hash_ = (hash_ ^ static_cast<uint64_t>(size)) * 0x100000001b3ULL;
    }

    uint64_t hash_ = 0xcbf29ce484222325ULL;
    bool keyword_defaults = false;  // a dict is digested only as a function's keyword defaults
};

class Recorder {
public:
    explicit Recorder(State& state) : state_(state) {}

    // `owner.name` as it is now, pinned: a module global, or a class
    // attribute as the MRO finds it; on anything else the value is only read.
    OwnedRef pin(BorrowedRef owner, const char* name) {
        OwnedRef key = interned(name);
        OwnedRef value;
        if (PyModule_CheckExact(owner.get())) {
            PyObject* dict = PyModule_GetDict(owner.get());
            value = OwnedRef::incref(PyDict_GetItemWithError(dict, key.get()));
            if (!value) refuse_to_record(name);
            pin_name(dict, key.get(), value.get(), false);
        } else if (PyType_Check(owner.get())) {
            value = OwnedRef::incref(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(owner.get()), key.get()));
            if (!value) refuse_to_record(name);
            pin_name(owner.get(), key.get(), value.get(), true);
        } else {
            value = OwnedRef::checked(PyObject_GetAttr(owner.get(), key.get()));
        }
        if (PyFunction_Check(value.get())) pin_function(value.get());
        return value;
    }

    // A dotted path of pins below `owner`, such as "closing.__init__".
    OwnedRef pin_path(BorrowedRef owner, const char* dotted) {
        OwnedRef current = OwnedRef::incref(owner);
        std::string path(dotted);
        size_t start = 0;
        for (;;) {
            const size_t dot = path.find('.', start);
            const std::string part = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            current = pin(current, part.c_str());
            if (dot == std::string::npos) return current;
            start = dot + 1;
        }
    }

    // A class the steps call: its metaclass, and the __call__ that the
    // metaclass's MRO gives (abc.ABCMeta.__call__ for contextlib.closing).
    void pin_calls_of(BorrowedRef cls) {
        if (!PyType_Check(cls.get())) refuse_to_record("class");
        PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(cls.get()));
        state_.classes.push_back(ClassPin{OwnedRef::incref(cls), OwnedRef::incref(metaclass)});
        pin(metaclass, "__call__");
    }

    // The digest of everything pinned, in the order it was pinned.
    uint64_t digest() const {
        CodeDigest digest;
        for (const NamePin& pin : state_.names) {
            digest.add(pin.name.get());
            digest.add(pin.value.get());
        }
        for (const ClassPin& pin : state_.classes) digest.add(pin.metaclass.get());
        return digest.value();
    }

private:
    void pin_name(PyObject* owner, PyObject* name, PyObject* value, bool on_type) {
        if (!seen_names_.insert({owner, name}).second) return;
        state_.names.push_back(
            NamePin{OwnedRef::incref(owner), OwnedRef::incref(name), OwnedRef::incref(value), on_type});
    }

    // The function's code and defaults, and every global its code (and the
    // code nested in it) looks up: the built-ins it falls back on included.
    void pin_function(PyObject* function) {
        if (!seen_functions_.insert(function).second) return;
        auto* object = reinterpret_cast<PyFunctionObject*>(function);
        FunctionPin pin{OwnedRef::incref(function), OwnedRef::incref(object->func_code),
                        OwnedRef::incref(object->func_defaults), OwnedRef::incref(object->func_kwdefaults),
                        OwnedRef()};
        if (object->func_kwdefaults != nullptr)
            pin.keyword_defaults_copy = OwnedRef::checked(PyDict_Copy(object->func_kwdefaults));
        state_.functions.push_back(std::move(pin));
        pin_globals_of(object->func_code, object->func_globals, object->func_builtins);
    }

    void pin_globals_of(PyObject* code, PyObject* globals, PyObject* builtins) {
#if FIGVAULT_WATCHES_MONITORING
        state_.codes.push_back(OwnedRef::incref(code));
#endif
        auto* code_object = reinterpret_cast<PyCodeObject*>(code);
        PyObject* names = code_object->co_names;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
            PyObject* name = PyTuple_GET_ITEM(names, i);
            if (PyObject* value = PyDict_GetItemWithError(globals, name)) {
                pin_name(globals, name, value, false);
            } else if (PyErr_Occurred()) {
                throw_error_set();
            } else if (PyDict_Check(builtins)) {
                PyObject* builtin = PyDict_GetItemWithError(builtins, name);
                if (builtin == nullptr && PyErr_Occurred()) throw_error_set();
                if (builtin != nullptr) {
                    pin_name(globals, name, nullptr, false);
                    pin_name(builtins, name, builtin, false);
                }
            }
        }
        PyObject* constants = code_object->co_consts;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants); ++i) {
            PyObject* constant = PyTuple_GET_ITEM(constants, i);
            if (PyCode_Check(constant)) pin_globals_of(constant, globals, builtins);
        }
    }

    State& state_;
    std::set<std::pair<PyObject*, PyObject*>> seen_names_;
    std::set<PyObject*> seen_functions_;
};

// The functions glob.glob runs for a recursive pattern, and what they call.
// From 3.13 on, glob asks os.path.isdir whether the folder a "**" starts
// from is one before it names it.
#if PY_VERSION_HEX < 0x030D0000
constexpr const char* kGlobNames[] = {"glob",    "iglob",    "_iglob", "_glob1",    "_glob2",      "_rlistdir",
                                      "_listdir", "_iterdir", "_join",  "_ishidden", "_isrecursive", "has_magic"};
constexpr const char* kOsNames[] = {"scandir", "fspath", "fsencode", "open", "close", "curdir"};
constexpr const char* kPathNames[] = {"join", "split", "normcase", "_get_sep"};
#else
constexpr const char* kGlobNames[] = {"glob",     "iglob",     "_iglob",    "_glob1",       "_glob2",
                                      "_rlistdir", "_listdir",  "_iterdir",  "_join",        "_ishidden",
                                      "_isrecursive", "has_magic", "_isdir"};
constexpr const char* kOsNames[] = {"scandir", "fspath", "fsencode", "open", "close", "curdir", "stat"};
constexpr const char* kPathNames[] = {"join", "split", "normcase", "_get_sep", "isdir"};
constexpr const char* kStatNames[] = {"S_ISDIR"};
#endif
// fnmatch.filter compiles its pattern through an lru_cache; when the cache
// misses (after _compile_pattern.cache_clear(), say), translate() and
// re.compile run.
#if PY_VERSION_HEX < 0x030D0000
constexpr const char* kFnmatchNames[] = {"filter", "_compile_pattern.__wrapped__", "translate"};
#else
constexpr const char* kFnmatchNames[] = {"filter", "_compile_pattern.__wrapped__", "translate", "_translate",
                                         "_join_translated_parts"};
#endif
constexpr const char* kReNames[] = {"compile", "_compile", "_compiler.compile"};
constexpr const char* kContextlibNames[] = {"closing.__new__", "closing.__init__", "closing.__enter__",
                                            "closing.__exit__"};
// What TextIOWrapper decodes with, for UTF-8.
constexpr const char kUtf8CodecModule[] = "encodings.utf_8";
constexpr const char* kUtf8DecoderNames[] = {"IncrementalDecoder.__init__", "IncrementalDecoder.decode",
                                             "IncrementalDecoder._buffer_decode"};
constexpr const char kCodecsModule[] = "codecs";
constexpr const char kCodecsBuiltinModule[] = "_codecs";
constexpr const char* kCodecsNames[] = {"IncrementalDecoder.__init__"};

// The suffix of a pattern "./**/*<suffix>": ASCII, without wildcards or "/".
std::string suffix_of(PyObject* pattern) {
    if (!PyUnicode_CheckExact(pattern) || !PyUnicode_IS_ASCII(pattern)) refuse_to_record("pattern");
    const std::string text(PyUnicode_AsUTF8(pattern));
    const size_t prefix = std::strlen(kRecursivePrefix);
    if (text.compare(0, prefix, kRecursivePrefix) != 0 || text.size() == prefix) refuse_to_record("pattern");
    std::string suffix = text.substr(prefix);
    if (suffix.find_first_of(kMagicCharacters) != std::string::npos) refuse_to_record("pattern");
    return suffix;
}

bool text_equals(PyObject* object, const char* text) {
    return object != nullptr && PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, text) == 0;
}

OwnedRef sys_attribute(const char* name) {
    PyObject* value = PySys_GetObject(name);  // borrowed; no error set when missing
    if (value == nullptr) refuse_to_record(name);
    return OwnedRef::incref(value);
}

bool flag(const char* name) {
    OwnedRef value = OwnedRef::checked(PyObject_GetAttrString(sys_attribute("flags").get(), name));
    return is_true(value);
}

// The CodecInfo that TextIOWrapper gets for `encoding`, from the
// interpreter's own lookup (the built-in _codecs.lookup, held since the
// module executed); empty, with the error set, when the codec is unknown.
OwnedRef codec_info(const State& state, const char* encoding) {
    return OwnedRef::steal(PyObject_CallFunction(state.codec_lookup.get(), "s", encoding));
}

// The codec's incremental decoder class that TextIOWrapper would use for
// `encoding`; empty when the codec is unknown.
OwnedRef decoder_class_for(const State& state, const char* encoding) {
    OwnedRef info = codec_info(state, encoding);
    if (!info) return info;
    return OwnedRef::steal(PyObject_GetAttrString(info.get(), "incrementaldecoder"));
}

bool is_known_digest(uint64_t digest) {
    for (uint64_t known : kKnownCodeDigests)
        if (known == digest) return true;
    return false;
}

void record(State& state, PyObject* glob_module, PyObject* open_builtin, const SnapshotSteps& steps) {
    state.suffixes[0] = suffix_of(steps.python_pattern);
    state.suffixes[1] = suffix_of(steps.notebook_pattern);

    // File names are decoded and encoded with UTF-8 and surrogateescape, so
    // the walk may build paths from bytes; open() must warn about nothing.
    OwnedRef sys_module = OwnedRef::checked(PyImport_ImportModule("sys"));
    OwnedRef encoding = OwnedRef::checked(PyObject_CallMethod(sys_module.get(), "getfilesystemencoding", nullptr));
    OwnedRef errors = OwnedRef::checked(PyObject_CallMethod(sys_module.get(), "getfilesystemencodeerrors", nullptr));
    if (!text_equals(encoding.get(), kFileSystemEncoding) || !text_equals(errors.get(), kFileSystemErrors))
        refuse_to_record("file-system encoding");
    if (flag("warn_default_encoding")) refuse_to_record("warn_default_encoding");
    state.utf8_mode = flag("utf8_mode");

    if (!PyModule_CheckExact(glob_module)) refuse_to_record("glob");

    // open must be io.open, which builds FileIO, BufferedReader and TextIOWrapper.
    OwnedRef io_module = OwnedRef::checked(PyImport_ImportModule("_io"));
    OwnedRef io_open = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "open"));
    if (open_builtin != io_open.get()) refuse_to_record("open");
    state.file_io_type = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "FileIO"));
    state.buffered_reader_type = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "BufferedReader"));
    state.text_wrapper_type = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "TextIOWrapper"));
    state.newline_decoder_type =
        OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "IncrementalNewlineDecoder"));
    state.name_attribute = interned("name");
    state.mode_attribute = interned("mode");

    Recorder recorder(state);
    for (const char* name : kGlobNames) recorder.pin(glob_module, name);
    OwnedRef os_module = recorder.pin(glob_module, "os");
    for (const char* name : kOsNames) recorder.pin(os_module, name);
    OwnedRef path_module = recorder.pin(os_module, "path");
    for (const char* name : kPathNames) recorder.pin(path_module, name);
    OwnedRef fnmatch_module = recorder.pin(glob_module, "fnmatch");
    for (const char* name : kFnmatchNames) recorder.pin_path(fnmatch_module, name);
    OwnedRef re_module = recorder.pin(fnmatch_module, "re");
    for (const char* name : kReNames) recorder.pin_path(re_module, name);
    OwnedRef contextlib_module = recorder.pin(glob_module, "contextlib");
    for (const char* name : kContextlibNames) recorder.pin_path(contextlib_module, name);
    recorder.pin_calls_of(recorder.pin(contextlib_module, "closing"));
    recorder.pin(recorder.pin(glob_module, "sys"), "audit");
#if PY_VERSION_HEX >= 0x030D0000
    OwnedRef stat_module = recorder.pin(glob_module, "stat");
    for (const char* name : kStatNames) recorder.pin(stat_module, name);
#endif

    OwnedRef utf8_module = OwnedRef::checked(PyImport_ImportModule(kUtf8CodecModule));
    for (const char* name : kUtf8DecoderNames) recorder.pin_path(utf8_module, name);
    state.utf8_decoder_class = recorder.pin(utf8_module, "IncrementalDecoder");
    recorder.pin_calls_of(state.utf8_decoder_class);
    OwnedRef codecs_module = OwnedRef::checked(PyImport_ImportModule(kCodecsModule));
    for (const char* name : kCodecsNames) recorder.pin_path(codecs_module, name);
    OwnedRef codecs_builtins = OwnedRef::checked(PyImport_ImportModule(kCodecsBuiltinModule));
    state.codec_lookup = OwnedRef::checked(PyObject_GetAttrString(codecs_builtins.get(), "lookup"));
    OwnedRef registered = decoder_class_for(state, kUtf8ModeEncoding);
    if (registered.get() != state.utf8_decoder_class.get()) refuse_to_record("utf-8 codec");

    // The walk mirrors one glob: the code it was written for, not merely a
    // module of that name.
    const uint64_t digest = recorder.digest();
#ifdef FIGVAULT_REPORT_SNAPSHOT_DIGEST
    std::fprintf(stderr, "figvault: the snapshot's code digest is 0x%016llx\n",
                 static_cast<unsigned long long>(digest));
#endif
    if (!is_known_digest(digest)) refuse_to_record("code digest");

    state.glob_module = OwnedRef::incref(glob_module);
}

bool pins_hold(const State& state) {
    for (const NamePin& pin : state.names) {
        PyObject* now;
        if (pin.on_type) {
            now = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(pin.owner.get()), pin.name.get());
        } else {
            now = PyDict_GetItemWithError(pin.owner.get(), pin.name.get());
            if (now == nullptr && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        if (now != pin.value.get()) return false;
    }
    for (const ClassPin& pin : state.classes)
        if (reinterpret_cast<PyObject*>(Py_TYPE(pin.cls.get())) != pin.metaclass.get()) return false;
#if FIGVAULT_WATCHES_MONITORING
    for (const OwnedRef& code : state.codes)
        if (figvault_code_monitored(code.get())) return false;
#endif
    for (const FunctionPin& pin : state.functions) {
        auto* function = reinterpret_cast<PyFunctionObject*>(pin.function.get());
        if (function->func_code != pin.code.get() || function->func_defaults != pin.defaults.get() ||
            function->func_kwdefaults != pin.keyword_defaults.get())
            return false;
        if (pin.keyword_defaults) {
            const int same = PyObject_RichCompareBool(pin.keyword_defaults.get(),
                                                      pin.keyword_defaults_copy.get(), Py_EQ);
            if (same != 1) {
                PyErr_Clear();
                return false;
            }
        }
    }
    return true;
}

// The encoding TextIOWrapper picks when none is given (it follows the locale,
// which may change while the process runs).
const char* default_text_encoding(const State& state) {
    if (state.utf8_mode) return kUtf8ModeEncoding;
    const char* codeset = nl_langinfo(CODESET);
    return codeset == nullptr || codeset[0] == '\0' ? kEmptyCodesetEncoding : codeset;
}

bool default_encoding_is_utf8(const State& state) {
    OwnedRef decoder_class = decoder_class_for(state, default_text_encoding(state));
    if (!decoder_class) {
        PyErr_Clear();
        return false;
    }
    return decoder_class.get() == state.utf8_decoder_class.get();
}

// ---- recursion depth ----------------------------------------------------------

// The recursion budget left to this thread.
Units recursion_budget_left() {
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX < 0x030C0000
    return Units{thread->recursion_remaining, 0};
#else
    return Units{thread->py_recursion_remaining, thread->c_recursion_remaining};
#endif
}

// For its lifetime, `units` more of the recursion budget count as spent, as
// the frames of the Python-level steps would spend them.
class Deeper {
public:
    explicit Deeper(Units units) : thread_(PyThreadState_Get()), units_(units) { spend(units_.python, units_.c); }
    ~Deeper() { spend(-units_.python, -units_.c); }
    Deeper(const Deeper&) = delete;
    Deeper& operator=(const Deeper&) = delete;

private:
    void spend(int python, [[maybe_unused]] int c) {
#if PY_VERSION_HEX < 0x030C0000
        thread_->recursion_remaining -= python;
#else
        thread_->py_recursion_remaining -= python;
        thread_->c_recursion_remaining -= c;
#endif
    }

    PyThreadState* thread_;
    Units units_;
};

bool audit_hooks_active() { return figvault_audit_hooks_active() != 0; }

// ---- paths ----------------------------------------------------------------------

OwnedRef decoded_path(const std::string& path) {
    return OwnedRef::checked(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

std::string joined(const std::string& folder, const std::string& name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path += folder;
    path += kSeparator;
    path += name;
    return path;
}

bool is_hidden(const char* name) { return name[0] == '.'; }

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool ends_with(const char* name, size_t length, const std::string& suffix) {
    return length >= suffix.size() && std::memcmp(name + length - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// File status as fstatat(2) gives it, the fields the walk reads (type and
// mode, size, device, inode), read with statx(2): glibc exports the stat
// family under symbol versions of 2.33, statx since 2.28, so the modules
// need no newer glibc than that (see file_status.hpp). -1 with errno set
// on failure.
int status_at(int folder, const char* path, int flags, struct stat& status) {
    struct statx found;
    constexpr unsigned kFields = STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE;
    if (::statx(folder, path, flags, kFields, &found) != 0) return -1;
    status = {};
    status.st_mode = found.stx_mode;
    status.st_size = static_cast<off_t>(found.stx_size);
    status.st_ino = found.stx_ino;
    status.st_dev = makedev(found.stx_dev_major, found.stx_dev_minor);
    return 0;
}

// fstat(2) of an open descriptor, as status_at reads it.
int status_of(int fd, struct stat& status) { return status_at(fd, "", AT_EMPTY_PATH, status); }

// DirEntry.is_dir(): the entry's type from the folder, or from stat (which
// follows symbolic links) when it is a link or unknown; any error is "no".
// `is_link` tells whether the entry itself is a symbolic link.
bool is_folder(int folder, const char* name, unsigned char type, bool& is_link) {
    is_link = type == DT_LNK;
    if (type == DT_DIR) return true;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    struct stat status;
    if (type == DT_UNKNOWN) {
        if (status_at(folder, name, AT_SYMLINK_NOFOLLOW, status) != 0) return false;
        if (!S_ISLNK(status.st_mode)) return S_ISDIR(status.st_mode);
        is_link = true;
    }
    return status_at(folder, name, 0, status) == 0 && S_ISDIR(status.st_mode);
}

// ---- one call ---------------------------------------------------------------------

// A folder whose matching files are opened relative to its descriptor.
struct HeldFolder {
    Descriptor descriptor;
    unsigned epoch;
};

// What one reading of a folder gives: the names matching each suffix, and
// the subfolders (with whether each is reached through a symbolic link).
struct Listing {
    std::vector<std::string> matches[2];
    std::vector<std::pair<std::string, bool>> folders;
    int held = -1;         // index into Call::held_, when its descriptor was kept
    bool reusable = true;  // no signal handler may have run while it was read
};

// A matched path, and where to open it from.
struct Found {
    std::string path;
    int held;            // the folder's HeldFolder, or -1
    bool via_link;       // a symbolic link lies on the folder's path
    size_t name_offset;  // where the file's own name starts in `path`
};

enum class Want { kMatches, kFolders };

// The state of one create_file_dict call: whether audit hooks may observe
// it, the listings kept for reuse, and the folder descriptors held.
class Call {
public:
    Call() {
        quiet_ = !audit_hooks_active();
        struct rlimit limit;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            most_held_ = std::min<size_t>(kMostFoldersHeld, limit.rlim_cur / kDescriptorShareDivisor);
    }

    // False once an audit hook is installed (possibly by a signal handler
    // during this call): from then on events are raised and nothing kept is used.
    bool quiet() {
        if (quiet_ && audit_hooks_active()) {
            quiet_ = false;
            forget();
        }
        return quiet_;
    }

    // PyErr_CheckSignals; a handler that may have run makes everything kept
    // stale (it could have changed the tree).
    void check_signals() {
        const bool pending = figvault_signals_pending() != 0;
        if (PyErr_CheckSignals() < 0) throw_error_set();
        if (pending) forget();
    }

    // The listing of the folder at `path` (as glob names it for this
    // listing; `key` names the folder whatever the listing), read now or kept
    // from an earlier one when nothing can have changed since.
    const Listing& listing(const std::string& path, const std::string& key, Want want) {
        if (quiet()) {
            auto kept = kept_.find(key);
            if (kept != kept_.end() && kept->second.reusable) return kept->second;
            Listing fresh = read_folder(path, true, true);
            if (!quiet()) return fresh_ = std::move(fresh);  // a handler added a hook meanwhile
            return kept_[key] = std::move(fresh);
        }
        return fresh_ = read_folder(path, want == Want::kMatches, want == Want::kFolders);
    }

    // A descriptor of the folder of `found` to open it from: the one held
    // since its listing while that is still current, else the folder opened
    // now by its path (kept for the files after it in the same folder); -1
    // when there is none (the file is then opened by its path, which gives
    // the error the folder's path gives).
    int folder_of(const Found& found) {
        if (found.held >= 0 && static_cast<size_t>(found.held) < held_.size()) {
            const HeldFolder& folder = held_[found.held];
            if (folder.epoch == epoch_ && folder.descriptor) return folder.descriptor.get();
        }
        const size_t length = found.name_offset - 1;
        if (reading_.epoch != epoch_ || reading_path_.size() != length ||
            found.path.compare(0, length, reading_path_) != 0) {
            reading_path_.assign(found.path, 0, length);
            reading_.descriptor.reset();
            int fd;
            Py_BEGIN_ALLOW_THREADS
            fd = ::open(reading_path_.c_str(), kFolderPathFlags);
            Py_END_ALLOW_THREADS
            reading_.descriptor.reset(fd);
            reading_.epoch = epoch_;
        }
        return reading_.descriptor.get();
    }

    bool holds_folders() const { return held_count_ > 0 || reading_.descriptor; }

    // Closes every held folder (the descriptors may be needed, or stale).
    void release_folders() {
        for (HeldFolder& folder : held_) folder.descriptor.reset();
        held_count_ = 0;
        reading_.descriptor.reset();
    }

    // Whether a short read of a regular file on device `device` (open as
    // `fd`) means its end.
    bool plain_file_system(dev_t device, int fd) {
        for (const auto& [known, plain] : devices_)
            if (known == device) return plain;
        struct statfs status;
        bool plain = false;
        if (fstatfs(fd, &status) == 0) {
            for (long type : kPlainFileSystems)
                if (static_cast<long>(status.f_type) == type) plain = true;
        }
        devices_.emplace_back(device, plain);
        return plain;
    }

private:
    void forget() {
        kept_.clear();
        ++epoch_;
        release_folders();
    }

    // Reads the folder at `path` as os.scandir does (without the GIL),
    // checking signals after each chunk. A folder that cannot be opened lists
    // nothing, and a read error ends the list where it happens: glob's
    // _iterdir swallows both.
    Listing read_folder(const std::string& path, bool matches, bool folders) {
        Listing listing;
        Descriptor folder = open_folder(path);
        if (!folder) return listing;
        std::unique_ptr<char[]> chunk(new char[kFolderChunk]);
        const State& the_state = state();
        for (;;) {
            bool out_of_memory = false;
            ssize_t size;
            Py_BEGIN_ALLOW_THREADS
            // The system call itself: glibc's getdents64 wrapper dates
            // from 2.30 (its dirent64 has the kernel's layout).
            size = ::syscall(SYS_getdents64, folder.get(), chunk.get(), kFolderChunk);
            try {
                for (ssize_t offset = 0; offset < size;) {
                    const auto* entry = reinterpret_cast<const dirent64*>(chunk.get() + offset);
                    offset += entry->d_reclen;
                    const char* name = entry->d_name;
                    if (is_dot_or_dot_dot(name) || is_hidden(name)) continue;
                    if (matches) {
                        const size_t length = std::strlen(name);
                        for (int kind = 0; kind < 2; ++kind)
                            if (ends_with(name, length, the_state.suffixes[kind]))
                                listing.matches[kind].emplace_back(name, length);
                    }
                    bool is_link;
                    if (folders && is_folder(folder.get(), name, entry->d_type, is_link))
                        listing.folders.emplace_back(name, is_link);
                }
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
            Py_END_ALLOW_THREADS
            if (out_of_memory) {
                PyErr_NoMemory();
                throw_error_set();
            }
            if (size <= 0) break;
            const unsigned epoch = epoch_;
            check_signals();
            if (epoch != epoch_) listing.reusable = false;
        }
        if ((!listing.matches[0].empty() || !listing.matches[1].empty()) && quiet_ && listing.reusable &&
            held_count_ < most_held_) {
            listing.held = static_cast<int>(held_.size());
            held_.push_back(HeldFolder{std::move(folder), epoch_});
            ++held_count_;
        }
        return listing;
    }

    // opendir(path): by the path string, as glob passes it. A descriptor this
    // call holds must not be why it fails.
    Descriptor open_folder(const std::string& path) {
        for (;;) {
            int fd;
            int error;
            Py_BEGIN_ALLOW_THREADS
            fd = ::open(path.c_str(), kFolderOpenFlags);
            error = errno;
            Py_END_ALLOW_THREADS
            if (fd < 0 && (error == EMFILE || error == ENFILE) && holds_folders()) {
                release_folders();
                continue;
            }
            return Descriptor(fd);
        }
    }

    bool quiet_;
    unsigned epoch_ = 0;
    size_t most_held_ = kMostFoldersHeld;
    size_t held_count_ = 0;
    std::vector<HeldFolder> held_;
    HeldFolder reading_{Descriptor(), 0};  // the folder opened for the files being read
    std::string reading_path_;
    std::unordered_map<std::string, Listing> kept_;
    Listing fresh_;
    std::vector<std::pair<dev_t, bool>> devices_;
};

// The "os.scandir" audit event of one listing, raised as deep as glob raises
// it. False when a hook refused with an OSError: glob's _iterdir swallows it
// and the folder lists nothing.
bool audit_listing(const std::string& path, Units units) {
    OwnedRef argument = decoded_path(path);
    Deeper depth(units);
    if (PySys_Audit(kScandirEvent, "O", argument.get()) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw_error_set();
    PyErr_Clear();
    return false;
}

// glob.glob(pattern, recursive=True) for pattern "./**/*<suffix>": appends the
// matching paths, in glob's order, to `found`.
class Walk {
public:
    Walk(Call& call, int kind, int budget, std::vector<Found>& found)
        : call_(call), kind_(kind), budget_(budget), found_(found) {}

    void run(PyObject* pattern) {
        if (!call_.quiet()) {
            Deeper depth(kUnitsAtGlobEvents);
            if (PySys_Audit(kGlobEvent, "OO", pattern, Py_True) < 0) throw_error_set();
            if (PySys_Audit(kGlobEvent2, "OOOO", pattern, Py_True, Py_None, Py_None) < 0) throw_error_set();
        }
        if (names_working_directory()) add_matches(kRootForFiles, kRootForFolders, false);

        // glob's _rlistdir, depth first: a folder's subfolders are listed
        // after its files, and each subfolder is walked before the next.
        struct Level {
            std::string path;
            bool via_link;
            std::vector<std::pair<std::string, bool>> folders;
            size_t next;
        };
        std::vector<Level> levels;
        levels.push_back(Level{kRootForFolders, false, subfolders(kRootForFolders, 0), 0});
        while (!levels.empty()) {
            Level& top = levels.back();
            if (top.next == top.folders.size()) {
                levels.pop_back();
                continue;
            }
            const auto& [name, is_link] = top.folders[top.next++];
            std::string path = joined(top.path, name);
            const bool via_link = top.via_link || is_link;
            add_matches(path, path, via_link);
            const int level = static_cast<int>(levels.size());
            std::vector<std::pair<std::string, bool>> folders = subfolders(path, level);
            levels.push_back(Level{std::move(path), via_link, std::move(folders), 0});
        }
    }

private:
    // Whether glob lists the working directory's own files: from 3.13 on only
    // once os.path.isdir(".") holds (os.stat without the GIL).
    static bool names_working_directory() {
#if PY_VERSION_HEX < 0x030D0000
        return true;
#else
        struct stat status;
        int result;
        Py_BEGIN_ALLOW_THREADS
        result = status_at(AT_FDCWD, kRootForFolders, 0, status);
        Py_END_ALLOW_THREADS
        return result == 0 && S_ISDIR(status.st_mode);
#endif
    }

    // glob's _glob1: the matching names listed in `listed_path`, each joined
    // to `folder` as glob joins them.
    void add_matches(const std::string& listed_path, const std::string& folder, bool via_link) {
        if (call_.quiet() || audit_listing(listed_path, kUnitsAtFileListing)) {
            const Listing& listing = call_.listing(listed_path, folder, Want::kMatches);
            for (const std::string& name : listing.matches[kind_])
                found_.push_back(Found{joined(folder, name), listing.held, via_link, folder.size() + 1});
        }
        call_.check_signals();
    }

    // The subfolders of the folder at `path`, `level` folders down. Under the
    // Python-level steps each level is one more generator frame; where they
    // run out of recursion budget, so does the walk.
    std::vector<std::pair<std::string, bool>> subfolders(const std::string& path, int level) {
        if (kUnitsAtFolderLevelPeak + level > budget_) raise_error(PyExc_RecursionError, kRecursionMessage);
        bool listed = true;
        if (!call_.quiet()) {
            const Units depth{kUnitsAtFolderListing.python + level, kUnitsAtFolderListing.c};
#if FIGVAULT_EXIT_CAN_RUN_OUT
            try {
                listed = audit_listing(path, depth);
            } catch (const PyErrorSet&) {
                if (kUnitsAtFolderListingExit + level > budget_) {
                    // __exit__ ran out of budget in turn, while the hook's
                    // exception was being handled.
                    PendingError hook_error;
                    PyErr_SetString(PyExc_RecursionError, kRecursionAtExitMessage);
                    hook_error.chain_under_current();
                }
                throw;
            }
#else
            listed = audit_listing(path, depth);
#endif
        }
        std::vector<std::pair<std::string, bool>> folders;
        if (listed) folders = call_.listing(path, path, Want::kFolders).folders;
        call_.check_signals();
        return folders;
    }

    Call& call_;
    const int kind_;
    const int budget_;  // the Python-frame budget left when create_file_dict began
    std::vector<Found>& found_;
};

// ---- text -------------------------------------------------------------------------

template <class Unit>
Py_ssize_t copy_translating_newlines(const Unit* in, Py_ssize_t length, Unit* out) {
    Unit* start = out;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Unit unit = in[i];
        if (unit == '\r') {
            *out++ = '\n';
            if (i + 1 < length && in[i + 1] == '\n') ++i;
        } else {
            *out++ = unit;
        }
    }
    return out - start;
}

// `text` with "\r\n" and a lone "\r" as "\n", as universal newlines read it.
OwnedRef translate_newlines(BorrowedRef text) {
    PyObject* in = text.get();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(in);
    const int kind = PyUnicode_KIND(in);
    const void* data = PyUnicode_DATA(in);
    Py_ssize_t pairs = 0;
    for (Py_ssize_t i = 0; i + 1 < length; ++i)
        if (PyUnicode_READ(kind, data, i) == '\r' && PyUnicode_READ(kind, data, i + 1) == '\n') ++pairs;
    // Only "\r" is dropped or replaced, so the widest character stays: the
    // result has the same (canonical) kind as the input.
    OwnedRef out = OwnedRef::checked(PyUnicode_New(length - pairs, PyUnicode_MAX_CHAR_VALUE(in)));
    void* target = PyUnicode_DATA(out.get());
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            copy_translating_newlines(static_cast<const Py_UCS1*>(data), length, static_cast<Py_UCS1*>(target));
            break;
        case PyUnicode_2BYTE_KIND:
            copy_translating_newlines(static_cast<const Py_UCS2*>(data), length, static_cast<Py_UCS2*>(target));
            break;
        default:
            copy_translating_newlines(static_cast<const Py_UCS4*>(data), length, static_cast<Py_UCS4*>(target));
            break;
    }
    return out;
}

// What a text's bytes hold: any byte outside ASCII, any "\r".
struct TextScan {
    bool beyond_ascii;
    bool carriage_return;
};

TextScan scan_scalar(const unsigned char* data, size_t size, size_t start) {
    TextScan scan{false, false};
    for (size_t i = start; i < size; ++i) {
        scan.beyond_ascii |= data[i] >= 0x80;
        scan.carriage_return |= data[i] == '\r';
    }
    return scan;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) TextScan scan_avx2(const unsigned char* data, size_t size) {
    const __m256i carriage_return = _mm256_set1_epi8('\r');
    __m256i high = _mm256_setzero_si256();
    __m256i returns = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        high = _mm256_or_si256(high, block);
        returns = _mm256_or_si256(returns, _mm256_cmpeq_epi8(block, carriage_return));
        // Past the first non-ASCII byte the text is decoded anyway.
        if ((i & 4095) == 0 && _mm256_movemask_epi8(high) != 0) return TextScan{true, false};
    }
    TextScan tail = scan_scalar(data, size, i);
    tail.beyond_ascii |= _mm256_movemask_epi8(high) != 0;
    tail.carriage_return |= _mm256_movemask_epi8(returns) != 0;
    return tail;
}

TextScan scan_sse2(const unsigned char* data, size_t size) {
    const __m128i carriage_return = _mm_set1_epi8('\r');
    __m128i high = _mm_setzero_si128();
    __m128i returns = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        high = _mm_or_si128(high, block);
        returns = _mm_or_si128(returns, _mm_cmpeq_epi8(block, carriage_return));
        if ((i & 4095) == 0 && _mm_movemask_epi8(high) != 0) return TextScan{true, false};
    }
    TextScan tail = scan_scalar(data, size, i);
    tail.beyond_ascii |= _mm_movemask_epi8(high) != 0;
    tail.carriage_return |= _mm_movemask_epi8(returns) != 0;
    return tail;
}
#endif

// `beyond_ascii` is exact; `carriage_return` only when the text is ASCII.
TextScan scan_text(const unsigned char* data, size_t size) {
#if defined(__x86_64__)
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2 ? scan_avx2(data, size) : scan_sse2(data, size);
#else
    return scan_scalar(data, size, 0);
#endif
}

// ---- reading one file -----------------------------------------------------------

// read(2) as CPython's _Py_read calls it: without the GIL, again after EINTR
// unless a signal handler raised; an OSError from errno otherwise. A small
// read of a regular file on a plain file system (which neither blocks nor
// stops at a signal) keeps the GIL: giving it up and taking it back would
// cost more than the read.
Py_ssize_t read_some(Call& call, int fd, char* buffer, size_t count, bool keep_gil) {
    Py_ssize_t size;
    int error;
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX)) count = PY_SSIZE_T_MAX;
    for (;;) {
        if (keep_gil) {
            size = read(fd, buffer, count);
            error = errno;
        } else {
            Py_BEGIN_ALLOW_THREADS
            size = read(fd, buffer, count);
            error = errno;
            Py_END_ALLOW_THREADS
        }
        if (size >= 0 || error != EINTR) break;
        call.check_signals();
    }
    if (size < 0) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return size;
}

// FileIO's next buffer size after `current` bytes were read.
size_t grown_buffer_size(size_t current) {
    size_t addend = current > kLargeBufferCutoff ? current >> 3 : 256 + current;
    if (addend < kSmallChunk) addend = kSmallChunk;
    return addend + current;
}

class FileReader {
public:
    FileReader(Call& call, const State& state, const SnapshotSteps& steps)
        : call_(call), state_(state), steps_(steps) {}
    ~FileReader() { PyMem_RawFree(buffer_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // open(path, "r") as FileIO opens it, without the object, for a call no
    // audit hook observes: open(2) (relative to the folder's descriptor
    // where that opens the same file) and fstat(2), which a folder fails
    // with EISDIR. `status` gets the file's status.
    Descriptor open(const Found& found, PyObject* file, struct stat& status) {
        bool by_path = found.via_link || found.path.size() >= PATH_MAX;
        for (;;) {
            const int folder = by_path || !call_.quiet() ? -1 : call_.folder_of(found);
            int fd, error, status_result = -1;
            Py_BEGIN_ALLOW_THREADS
            fd = folder >= 0 ? ::openat(folder, found.path.c_str() + found.name_offset, kFileOpenFlags)
                             : ::open(found.path.c_str(), kFileOpenFlags);
            error = errno;
            if (fd >= 0) {
                status_result = status_of(fd, status);
                error = errno;
            }
            Py_END_ALLOW_THREADS
            if (fd < 0) {
                if (error == EINTR) {
                    call_.check_signals();
                    continue;
                }
                if ((error == EMFILE || error == ENFILE) && call_.holds_folders()) {
                    // Not for want of the descriptors this call holds.
                    call_.release_folders();
                    by_path = true;
                    continue;
                }
                errno = error;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file);
                throw_error_set();
            }
            Descriptor opened(fd);
            if (status_result != 0) {
                // FileIO tolerates a failed fstat unless the descriptor is bad.
                if (error == EBADF) {
                    errno = error;
                    PyErr_SetFromErrno(PyExc_OSError);
                    throw_error_set();
                }
                status.st_mode = 0;
                status.st_size = -1;
            } else if (S_ISDIR(status.st_mode)) {
                close_without_gil(opened);
                errno = EISDIR;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file);
                throw_error_set();
            }
            return opened;
        }
    }

    // f.read(): the whole file as FileIO.readall() reads it, decoded as
    // UTF-8 with universal newlines. `status` is the file's fstat (st_size
    // -1 when it failed).
    OwnedRef read(int fd, const struct stat& status) {
        if (S_ISREG(status.st_mode) && status.st_size > 0 && status.st_size < PY_SSIZE_T_MAX - 1)
            return read_regular(fd, status);
        Py_ssize_t size = 0;
        if (!read_all(fd, status, 0, size)) return decode_as_text_wrapper(Py_None);
        return decode(buffer_, size);
    }

    // f.close(); an error is the one FileIO.close() raises.
    void close(Descriptor& descriptor, const struct stat& status) {
        int result, error;
        const int fd = descriptor.get();
        if (S_ISREG(status.st_mode) && call_.plain_file_system(status.st_dev, fd)) {
            // Nothing to flush or wait for: not worth giving up the GIL.
            result = ::close(fd);
            error = errno;
        } else {
            Py_BEGIN_ALLOW_THREADS
            result = ::close(fd);
            error = errno;
            Py_END_ALLOW_THREADS
        }
        static_cast<void>(descriptor.release());
        if (result < 0) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error_set();
        }
    }

    // Drops a file after a failed read as the Python-level steps drop theirs:
    // the text file object open() makes is released unclosed, which warns
    // (ResourceWarning "unclosed file <_io.TextIOWrapper ...>") and closes it,
    // with the failure still pending. Made over the descriptor, its FileIO
    // raises an "open" event of its own: with an audit hook installed by now
    // (only a signal handler could have added one), the descriptor is closed
    // without the warning instead.
    void drop_unclosed(Descriptor descriptor, PyObject* file) {
        PendingError failure;
        OwnedRef text_file;
        if (!audit_hooks_active()) {
            OwnedRef raw = OwnedRef::steal(PyObject_CallFunction(state_.file_io_type.get(), "is", descriptor.get(),
                                                                 kFileMode));
            if (raw) {
                static_cast<void>(descriptor.release());
                if (PyObject_SetAttr(raw.get(), state_.name_attribute.get(), file) == 0) text_file = text_file_over(raw);
            }
            if (!text_file) PyErr_Clear();
        }
        descriptor.reset();
        failure.restore();
        text_file.reset();
    }

    // The same through io.FileIO, for a call that audit hooks may observe:
    // open(path, "r") is FileIO(path, "r"), built as deep as open() builds it.
    OwnedRef open_file_object(PyObject* path) const {
        Deeper depth(kUnitsAtOpen);
        PyObject* arguments[] = {path, steps_.read_mode};
        return OwnedRef::checked(PyObject_Vectorcall(state_.file_io_type.get(), arguments, 2, nullptr));
    }

    OwnedRef read_file_object(BorrowedRef raw) {
        const int fd = PyObject_AsFileDescriptor(raw.get());
        if (fd < 0) throw_error_set();
        struct stat status;
        int status_result;
        Py_BEGIN_ALLOW_THREADS
        status_result = status_of(fd, status);
        Py_END_ALLOW_THREADS
        if (status_result != 0) {
            status.st_mode = 0;
            status.st_size = -1;
        }
        Py_ssize_t size = 0;
        if (!read_all(fd, status, 0, size)) return decode_as_text_wrapper(Py_None);
        return decode(buffer_, size);
    }

    void close_file_object(BorrowedRef raw) const {
        OwnedRef::checked(PyObject_CallMethodNoArgs(raw.get(), frame().name("close")));
    }

    void drop_unclosed_file_object(OwnedRef raw) const {
        PendingError failure;
        OwnedRef text_file = text_file_over(raw);
        if (!text_file) PyErr_Clear();
        raw.reset();
        failure.restore();
        text_file.reset();
    }

private:
    static void close_without_gil(Descriptor& descriptor) {
        Py_BEGIN_ALLOW_THREADS
        descriptor.reset();
        Py_END_ALLOW_THREADS
    }

    // A regular file of known size, read into the str that is returned:
    // FileIO.readall() asks for the size plus one byte, which here is the
    // str's terminating NUL. Only a file that grew since its fstat fills it,
    // and is then read on as readall reads it.
    OwnedRef read_regular(int fd, const struct stat& status) {
        const Py_ssize_t expected = static_cast<Py_ssize_t>(status.st_size);
        const bool plain = call_.plain_file_system(status.st_dev, fd);
        const bool keep_gil = plain && expected <= kLargestReadWithTheGil;
        OwnedRef text = OwnedRef::checked(PyUnicode_New(expected, 127));
        char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
        const size_t capacity = static_cast<size_t>(expected) + 1;
        size_t got = 0;
        for (;;) {
            const size_t asked = capacity - got;
            const Py_ssize_t size = read_some(call_, fd, data + got, asked, keep_gil);
            if (size < 0) {
                if (errno != EAGAIN) throw_error_set();
                PyErr_Clear();
                if (got == 0) return decode_as_text_wrapper(Py_None);
                break;
            }
            if (size == 0) break;
            got += static_cast<size_t>(size);
            if (got == capacity) {
                // It grew: on into a buffer, as readall would go on.
                reserve(capacity);
                std::memcpy(buffer_, data, capacity);
                text.reset();
                Py_ssize_t total = static_cast<Py_ssize_t>(capacity);
                if (!read_all(fd, status, capacity, total)) return decode_as_text_wrapper(Py_None);
                return decode(buffer_, total);
            }
            // A short read of a plain file is its end: the confirming read
            // readall makes could only see bytes written since.
            if (static_cast<size_t>(size) < asked && plain) break;
        }
        data[got] = '\0';
        const TextScan scan = scan_text(reinterpret_cast<const unsigned char*>(data), got);
        if (scan.beyond_ascii) return decode(data, static_cast<Py_ssize_t>(got));
        Py_ssize_t length = static_cast<Py_ssize_t>(got);
        if (scan.carriage_return) {
            length = copy_translating_newlines(reinterpret_cast<Py_UCS1*>(data), length,
                                               reinterpret_cast<Py_UCS1*>(data));
        }
        if (length == expected) return text;
        data[length] = '\0';
        PyObject* resized = text.release();
        if (PyUnicode_Resize(&resized, length) < 0) throw_error_set();  // releases it on failure
        return OwnedRef::steal(resized);
    }

    // FileIO.readall() into buffer_, from `bytes_read` bytes already there
    // (the buffer then holding `buffer_size`): false when a non-blocking
    // descriptor had nothing to read (readall returns None then).
    bool read_all(int fd, const struct stat& status, size_t buffer_size, Py_ssize_t& bytes_read) {
        if (bytes_read == 0) {
            // readall sizes its buffer from the offset (lseek) and the size;
            // a regular file just opened is at offset 0.
            off_t position = 0;
            if (!S_ISREG(status.st_mode)) {
                Py_BEGIN_ALLOW_THREADS
                position = lseek(fd, 0, SEEK_CUR);
                Py_END_ALLOW_THREADS
            }
            const off_t end = status.st_size;
            buffer_size = end > 0 && end >= position && position >= 0 && end - position < PY_SSIZE_T_MAX
                              ? static_cast<size_t>(end - position + 1)
                              : kSmallChunk;
            reserve(buffer_size);
        }
        for (;;) {
            if (bytes_read >= static_cast<Py_ssize_t>(buffer_size)) {
                buffer_size = grown_buffer_size(static_cast<size_t>(bytes_read));
                if (buffer_size > static_cast<size_t>(PY_SSIZE_T_MAX) || buffer_size == 0)
                    raise_error(PyExc_OverflowError, kUnboundedReadMessage);
                reserve(buffer_size);
            }
            const Py_ssize_t size = read_some(call_, fd, buffer_ + bytes_read, buffer_size - bytes_read, false);
            if (size == 0) return true;
            if (size < 0) {
                if (errno == EAGAIN) {
                    PyErr_Clear();
                    if (bytes_read > 0) return true;
                    return false;
                }
                throw_error_set();
            }
            bytes_read += size;
        }
    }

    // Makes buffer_ hold at least `size` bytes, keeping what it holds.
    void reserve(size_t size) {
        if (size <= capacity_) return;
        char* grown = static_cast<char*>(PyMem_RawRealloc(buffer_, size));
        if (grown == nullptr) {
            PyErr_NoMemory();
            throw_error_set();
        }
        buffer_ = grown;
        capacity_ = size;
    }

    // The text of `size` bytes of UTF-8, with universal newlines.
    OwnedRef decode(const char* data, Py_ssize_t size) const {
        const bool has_carriage_return = std::memchr(data, '\r', static_cast<size_t>(size)) != nullptr;
        OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(data, size, nullptr));
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_error_set();
            PyErr_Clear();
            OwnedRef bytes = OwnedRef::checked(PyBytes_FromStringAndSize(data, size));
            return decode_as_text_wrapper(bytes);
        }
        return has_carriage_return ? translate_newlines(text) : text;
    }

    // TextIOWrapper.read()'s own decoding of `data` (bytes, or None from a
    // non-blocking read): the codec's incremental decoder under an
    // IncrementalNewlineDecoder. Reached only when the fast decoding failed,
    // so that the exception and its traceback are the codec's own.
    OwnedRef decode_as_text_wrapper(BorrowedRef data) const {
        OwnedRef info = codec_info(state_, default_text_encoding(state_));
        if (!info) throw_error_set();
        OwnedRef decoder =
            OwnedRef::checked(PyObject_CallMethod(info.get(), "incrementaldecoder", "s", kStrictErrors));
        OwnedRef newlines = OwnedRef::checked(PyObject_CallFunctionObjArgs(
            state_.newline_decoder_type.get(), decoder.get(), Py_True, nullptr));
        OwnedRef text =
            OwnedRef::checked(PyObject_CallMethod(newlines.get(), "decode", "OO", data.get(), Py_True));
        if (!PyUnicode_Check(text.get()))
            raise_error(PyExc_TypeError, kDecodedNotTextMessage, Py_TYPE(text.get())->tp_name);
        return text;
    }

    // The text file object open(path, "r") makes over `raw`.
    OwnedRef text_file_over(BorrowedRef raw) const {
        OwnedRef buffer_size = OwnedRef::steal(PyObject_GetAttrString(raw.get(), "_blksize"));
        if (!buffer_size) return buffer_size;
        OwnedRef buffer = OwnedRef::steal(PyObject_CallFunctionObjArgs(
            state_.buffered_reader_type.get(), raw.get(), buffer_size.get(), nullptr));
        if (!buffer) return buffer;
        OwnedRef text_file = OwnedRef::steal(PyObject_CallFunctionObjArgs(
            state_.text_wrapper_type.get(), buffer.get(), Py_None, Py_None, Py_None, Py_False, nullptr));
        if (!text_file) return text_file;
        if (PyObject_SetAttr(text_file.get(), state_.mode_attribute.get(), steps_.read_mode) < 0) return OwnedRef();
        return text_file;
    }

    Call& call_;
    const State& state_;
    const SnapshotSteps& steps_;
    // The bytes of a file read the way readall reads it: one buffer, grown
    // to the largest such file (from the interpreter's raw allocator, so
    // tracemalloc counts it).
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
};

// One file, without a file object: open, read, close.
void read_directly(Scope& scope, const SnapshotSteps& steps, FileReader& reader, const Found& found,
                   PyObject* file, PyObject* python_files) {
    struct stat status;
    Descriptor descriptor;
    try {
        scope.at(steps.open_line);
        descriptor = reader.open(found, file, status);
    } catch (const PyErrorSet&) {
        add_note_to_current_error(steps.unreadable_note, file);
        throw;
    }
    OwnedRef text;
    try {
        scope.at(steps.read_line);
        text = reader.read(descriptor.get(), status);
    } catch (const PyErrorSet&) {
        add_note_to_current_error(steps.unreadable_note, file);
        reader.drop_unclosed(std::move(descriptor), file);
        throw;
    }
    set_item(python_files, file, text.get());
    scope.at(steps.close_line);
    reader.close(descriptor, status);
}

// One file through io.FileIO, for a call that audit hooks may observe.
void read_through_file_object(Scope& scope, const SnapshotSteps& steps, FileReader& reader, PyObject* file,
                              PyObject* python_files) {
    OwnedRef raw;
    try {
        scope.at(steps.open_line);
        raw = reader.open_file_object(file);
    } catch (const PyErrorSet&) {
        add_note_to_current_error(steps.unreadable_note, file);
        throw;
    }
    OwnedRef text;
    try {
        scope.at(steps.read_line);
        text = reader.read_file_object(raw);
    } catch (const PyErrorSet&) {
        add_note_to_current_error(steps.unreadable_note, file);
        reader.drop_unclosed_file_object(std::move(raw));
        throw;
    }
    set_item(python_files, file, text.get());
    scope.at(steps.close_line);
    reader.close_file_object(raw);
}

}  // namespace

// The interpreter state that interpreter_watch.c reads is laid out as in the
// headers of the release the modules were built with; another release of the
// same minor version may differ, so the native path runs only on that one.
namespace {
bool running_the_build_release() {
    const char* running = Py_GetVersion();
    const size_t length = std::strlen(PY_VERSION);
    return std::strncmp(running, PY_VERSION, length) == 0 && (running[length] == ' ' || running[length] == '\0');
}
}  // namespace

void prepare_native_snapshot(PyObject* glob_module, PyObject* open_builtin, const SnapshotSteps& steps) {
    State& the_state = state();
    if (the_state.ready || !running_the_build_release()) return;
    try {
        record(the_state, glob_module, open_builtin, steps);
        the_state.ready = true;
    } catch (...) {
        // Anything unusual only means the Python-level steps always run.
        PyErr_Clear();
        the_state.names.clear();
        the_state.functions.clear();
        the_state.classes.clear();
        the_state.codes.clear();
    }
}

bool native_snapshot_applies(PyObject* module_dict) {
    const State& the_state = state();
    if (!the_state.ready) return false;
    PyThreadState* thread = PyThreadState_Get();
    if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr) return false;
#if FIGVAULT_WATCHES_MONITORING
    if (figvault_monitoring_active()) return false;
#endif
    const Units left = recursion_budget_left();
    if (left.python < kMinimumRecursionBudget.python || left.c < kMinimumRecursionBudget.c) return false;
    PyObject* glob_module = PyDict_GetItemWithError(module_dict, frame().name("glob"));
    if (glob_module != the_state.glob_module.get()) {
        PyErr_Clear();
        return false;
    }
    return pins_hold(the_state) && default_encoding_is_utf8(the_state);
}

OwnedRef native_snapshot(Scope& scope, const SnapshotSteps& steps) {
    const State& the_state = state();
    const int budget = recursion_budget_left().python;
    OwnedRef python_files = new_dict();
    Call call;

    std::vector<Found> found;
    scope.at(steps.glob_python_line);
    Walk(call, 0, budget, found).run(steps.python_pattern);
    scope.at(steps.glob_notebooks_line);
    Walk(call, 1, budget, found).run(steps.notebook_pattern);

    FileReader reader(call, the_state, steps);
    for (const Found& each : found) {
        scope.at(steps.for_each_file_line);
        call.check_signals();
        OwnedRef file = decoded_path(each.path);
        if (call.quiet()) {
            read_directly(scope, steps, reader, each, file.get(), python_files.get());
        } else {
            read_through_file_object(scope, steps, reader, file.get(), python_files.get());
        }
    }
    return python_files;
}

#else  // the native snapshot is not built for this interpreter version

void prepare_native_snapshot(PyObject*, PyObject*, const SnapshotSteps&) {}

bool native_snapshot_applies(PyObject*) { return false; }

OwnedRef native_snapshot(Scope&, const SnapshotSteps&) {
    raise_error(PyExc_SystemError, "the native snapshot is not built for this Python version");
}

#endif

}  // namespace figvault
