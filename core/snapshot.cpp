// The native snapshot of create_file_dict (see snapshot.hpp).
//
// How it stays equal to the Python-level steps:
//  * Folder walk: the order of CPython 3.11's glob for "./**/*<suffix>" with
//    recursive=True. glob lists the working directory's files (os.scandir of
//    "./"), then its subfolders (os.scandir of "."), and for each non-hidden
//    subfolder in the order scandir gave them: its files, then (recursively)
//    its subfolders. Each listing reads the folder opened by the same path
//    string glob would pass (so ENAMETOOLONG and ELOOP stop the walk where
//    they stop glob), raises the same "os.scandir" audit event, and lists
//    nothing when the folder cannot be read, as glob's _iterdir swallows
//    OSError. A subfolder is an entry that is a folder once symbolic links
//    are followed (DirEntry.is_dir()); a match is any non-hidden name ending
//    in the suffix, whatever it is.
//  * Files: each one is opened by io.FileIO exactly as open(path, "r") opens
//    it (same audit event, same errors, blocking on a FIFO with the GIL
//    released) and read whole with the read(2) calls of FileIO.readall, the
//    call TextIOWrapper.read() ends in. The bytes are decoded as UTF-8 and
//    "\r\n" and "\r" become "\n".
//    Any failure after the open goes through the very objects open() makes
//    (the codec's incremental decoder, TextIOWrapper), so the exception, its
//    traceback and the "unclosed file" ResourceWarning are theirs.
//  * Recursion: audit hooks run, and glob's recursion runs out, at the same
//    depth of the recursion budget as under the Python-level steps.
#include "figvault/snapshot.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "figvault/calls.hpp"
#include "figvault/errors.hpp"

namespace figvault {

// The native path follows CPython 3.11's glob, io and recursion accounting.
// On any other version it is left out and create_file_dict always takes the
// Python-level steps.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000

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
constexpr const char kRecursionInCallMessage[] = "maximum recursion depth exceeded while calling a Python object";
constexpr const char kDecodedNotTextMessage[] = "decoder should return a string result, not '%.200s'";
constexpr const char kStandardGlobFile[] = "/glob.py";
constexpr const char kUnboundedReadMessage[] =
    "unbounded read returned more bytes than a Python bytes object can hold";

// Folders are opened as opendir() opens them for os.scandir, and read in
// chunks of glibc's readdir buffer.
constexpr int kFolderOpenFlags = O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC;
constexpr size_t kFolderChunk = 32768;
// FileIO.readall()'s buffer sizes: the file's size plus one when it has
// one, else a small chunk; then grown in proportion to what was read.
constexpr size_t kSmallChunk = 8192;
constexpr size_t kLargeBufferCutoff = 65536;

// Recursion budget, in CPython 3.11's units (PyThreadState.recursion_remaining,
// spent by every Python frame and C-level call): what create_file_dict must
// have left to take the native path at all, so that only the walk's depth can
// exhaust it, as it alone can under the Python-level steps.
constexpr int kMinimumRecursionBudget = 250;
// The units the Python-level steps have in use beyond create_file_dict's own
// when they raise each audit event: hooks written in Python run as deep here.
constexpr int kUnitsAtGlobEvents = 3;
constexpr int kUnitsAtFileListing = 5;
constexpr int kUnitsAtFolderListing = 7;  // for the working directory; one more per level
constexpr int kUnitsAtOpen = 1;
// glob's recursion spends one generator frame per folder level; listing the
// subfolders of the folder at `level` needs this many units plus `level`.
constexpr int kUnitsAtFolderLevelPeak = 8;
// When an audit hook's exception leaves that listing, glob's `with
// contextlib.closing(...)` calls __exit__ on the way out, this deep.
constexpr int kUnitsAtFolderListingExit = 9;

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

struct State {
    bool ready = false;
    bool utf8_mode = false;
    OwnedRef glob_module;
    std::string python_suffix;
    std::string notebook_suffix;
    std::vector<NamePin> names;
    std::vector<FunctionPin> functions;
    OwnedRef utf8_decoder_class;  // encodings.utf_8.IncrementalDecoder
    OwnedRef file_io_type;
    OwnedRef buffered_reader_type;
    OwnedRef text_wrapper_type;
    OwnedRef newline_decoder_type;
};

State& state() {
    static State* the_state = new State();  // process lifetime, like the module frame
    return *the_state;
}

[[noreturn]] void refuse_to_record(const char* what) { raise_error(PyExc_RuntimeError, "%s", what); }

OwnedRef interned(const char* text) { return OwnedRef::checked(PyUnicode_InternFromString(text)); }

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
constexpr const char* kGlobNames[] = {"glob",    "iglob",    "_iglob", "_glob1",    "_glob2",      "_rlistdir",
                                      "_listdir", "_iterdir", "_join",  "_ishidden", "_isrecursive", "has_magic"};
constexpr const char* kOsNames[] = {"scandir", "fspath", "fsencode", "open", "close", "curdir"};
constexpr const char* kPathNames[] = {"join", "split", "normcase", "_get_sep"};
constexpr const char* kFnmatchNames[] = {"filter", "_compile_pattern.__wrapped__", "translate"};
constexpr const char* kContextlibNames[] = {"closing.__new__", "closing.__init__", "closing.__enter__",
                                            "closing.__exit__"};
// What TextIOWrapper decodes with, for UTF-8.
constexpr const char kUtf8CodecModule[] = "encodings.utf_8";
constexpr const char* kUtf8DecoderNames[] = {"IncrementalDecoder.__init__", "IncrementalDecoder.decode",
                                             "IncrementalDecoder._buffer_decode"};
constexpr const char kCodecsModule[] = "codecs";
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

// The codec's incremental decoder class that TextIOWrapper would use for
// `encoding`; empty when the codec is unknown.
OwnedRef decoder_class_for(const char* encoding) {
    OwnedRef info = OwnedRef::steal(_PyCodec_Lookup(encoding));
    if (!info) return info;
    return OwnedRef::steal(PyObject_GetAttrString(info.get(), "incrementaldecoder"));
}

void record(State& state, PyObject* glob_module, PyObject* open_builtin, const SnapshotSteps& steps) {
    state.python_suffix = suffix_of(steps.python_pattern);
    state.notebook_suffix = suffix_of(steps.notebook_pattern);

    // File names are decoded and encoded with UTF-8 and surrogateescape, so
    // the walk may build paths from bytes; open() must warn about nothing.
    OwnedRef sys_module = OwnedRef::checked(PyImport_ImportModule("sys"));
    OwnedRef encoding = OwnedRef::checked(PyObject_CallMethod(sys_module.get(), "getfilesystemencoding", nullptr));
    OwnedRef errors = OwnedRef::checked(PyObject_CallMethod(sys_module.get(), "getfilesystemencodeerrors", nullptr));
    if (!text_equals(encoding.get(), kFileSystemEncoding) || !text_equals(errors.get(), kFileSystemErrors))
        refuse_to_record("file-system encoding");
    if (flag("warn_default_encoding")) refuse_to_record("warn_default_encoding");
    state.utf8_mode = flag("utf8_mode");

    // glob must be the standard library's own module.
    if (!PyModule_CheckExact(glob_module)) refuse_to_record("glob");
    OwnedRef glob_file = OwnedRef::checked(PyObject_GetAttrString(glob_module, "__file__"));
    OwnedRef stdlib_dir = sys_attribute("_stdlib_dir");
    if (!PyUnicode_Check(glob_file.get()) || !PyUnicode_Check(stdlib_dir.get())) refuse_to_record("glob");
    OwnedRef expected_file =
        OwnedRef::checked(PyUnicode_FromFormat("%U%s", stdlib_dir.get(), kStandardGlobFile));
    if (PyUnicode_Compare(glob_file.get(), expected_file.get()) != 0) refuse_to_record("glob");

    // open must be io.open, which builds FileIO, BufferedReader and TextIOWrapper.
    OwnedRef io_module = OwnedRef::checked(PyImport_ImportModule("_io"));
    OwnedRef io_open = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "open"));
    if (open_builtin != io_open.get()) refuse_to_record("open");
    state.file_io_type = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "FileIO"));
    state.buffered_reader_type = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "BufferedReader"));
    state.text_wrapper_type = OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "TextIOWrapper"));
    state.newline_decoder_type =
        OwnedRef::checked(PyObject_GetAttrString(io_module.get(), "IncrementalNewlineDecoder"));

    Recorder recorder(state);
    for (const char* name : kGlobNames) recorder.pin(glob_module, name);
    OwnedRef os_module = recorder.pin(glob_module, "os");
    for (const char* name : kOsNames) recorder.pin(os_module, name);
    OwnedRef path_module = recorder.pin(os_module, "path");
    for (const char* name : kPathNames) recorder.pin(path_module, name);
    OwnedRef fnmatch_module = recorder.pin(glob_module, "fnmatch");
    for (const char* name : kFnmatchNames) recorder.pin_path(fnmatch_module, name);
    OwnedRef contextlib_module = recorder.pin(glob_module, "contextlib");
    for (const char* name : kContextlibNames) recorder.pin_path(contextlib_module, name);
    recorder.pin(recorder.pin(glob_module, "sys"), "audit");

    OwnedRef utf8_module = OwnedRef::checked(PyImport_ImportModule(kUtf8CodecModule));
    for (const char* name : kUtf8DecoderNames) recorder.pin_path(utf8_module, name);
    state.utf8_decoder_class = recorder.pin(utf8_module, "IncrementalDecoder");
    OwnedRef codecs_module = OwnedRef::checked(PyImport_ImportModule(kCodecsModule));
    for (const char* name : kCodecsNames) recorder.pin_path(codecs_module, name);
    OwnedRef registered = decoder_class_for(kUtf8ModeEncoding);
    if (registered.get() != state.utf8_decoder_class.get()) refuse_to_record("utf-8 codec");

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
    OwnedRef decoder_class = decoder_class_for(default_text_encoding(state));
    if (!decoder_class) {
        PyErr_Clear();
        return false;
    }
    return decoder_class.get() == state.utf8_decoder_class.get();
}

// ---- recursion depth ----------------------------------------------------------

// For its lifetime, `units` more of the recursion budget count as spent, as
// the frames of the Python-level steps would spend them.
class Deeper {
public:
    explicit Deeper(int units) : thread_(PyThreadState_Get()), units_(units) {
        thread_->recursion_remaining -= units_;
    }
    ~Deeper() { thread_->recursion_remaining += units_; }
    Deeper(const Deeper&) = delete;
    Deeper& operator=(const Deeper&) = delete;

private:
    PyThreadState* thread_;
    int units_;
};

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_error_set();
}

// ---- the folder walk ----------------------------------------------------------

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

// DirEntry.is_dir(): the entry's type from the folder, or from stat (which
// follows symbolic links) when it is a link or unknown; any error is "no".
bool is_folder(const std::string& folder, const char* name, unsigned char type) {
    if (type == DT_DIR) return true;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    const std::string path = joined(folder, name);
    struct stat status;
    if (type == DT_UNKNOWN) {
        if (lstat(path.c_str(), &status) != 0) return false;
        if (!S_ISLNK(status.st_mode)) return S_ISDIR(status.st_mode);
    }
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Closes a descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

enum class Keep { kMatchingNames, kFolders };

// The names os.scandir(path) yields that glob keeps: the non-hidden names
// ending in `suffix` (kMatchingNames), or the non-hidden entries that are
// folders (kFolders), in the order the folder gives them. A folder that
// cannot be opened lists nothing, and a read error ends the list where it
// happens: glob's _iterdir swallows both. Runs without the GIL, as scandir.
std::vector<std::string> read_folder(const std::string& path, Keep keep, const std::string& suffix) {
    std::vector<std::string> names;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        const Descriptor folder(open(path.c_str(), kFolderOpenFlags));
        std::unique_ptr<char[]> chunk(folder.get() >= 0 ? new char[kFolderChunk] : nullptr);
        while (folder.get() >= 0) {
            const ssize_t size = getdents64(folder.get(), chunk.get(), kFolderChunk);
            if (size <= 0) break;
            for (ssize_t offset = 0; offset < size;) {
                const auto* entry = reinterpret_cast<const dirent64*>(chunk.get() + offset);
                offset += entry->d_reclen;
                const char* name = entry->d_name;
                if (is_dot_or_dot_dot(name) || is_hidden(name)) continue;
                if (keep == Keep::kFolders) {
                    if (!is_folder(path, name, entry->d_type)) continue;
                } else {
                    const size_t length = std::strlen(name);
                    if (length < suffix.size() ||
                        suffix.compare(0, suffix.size(), name + length - suffix.size()) != 0)
                        continue;
                }
                names.emplace_back(name);
            }
        }
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) {
        PyErr_NoMemory();
        throw_error_set();
    }
    return names;
}

// The "os.scandir" audit event of one listing, raised as deep as glob raises
// it. False when a hook refused with an OSError: glob's _iterdir swallows it
// and the folder lists nothing.
bool audit_listing(const std::string& path, int units) {
    OwnedRef argument = decoded_path(path);
    Deeper depth(units);
    if (PySys_Audit("os.scandir", "O", argument.get()) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw_error_set();
    PyErr_Clear();
    return false;
}

// glob.glob(pattern, recursive=True) for pattern "./**/*<suffix>": appends the
// matching paths, in glob's order, to `paths`.
class Walk {
public:
    Walk(const std::string& suffix, int budget, std::vector<std::string>& paths)
        : suffix_(suffix), budget_(budget), paths_(paths) {}

    void run(PyObject* pattern) {
        {
            Deeper depth(kUnitsAtGlobEvents);
            if (PySys_Audit("glob.glob", "OO", pattern, Py_True) < 0) throw_error_set();
            if (PySys_Audit("glob.glob/2", "OOOO", pattern, Py_True, Py_None, Py_None) < 0) throw_error_set();
        }
        add_matches(kRootForFiles, kRootForFolders);

        // glob's _rlistdir, depth first: a folder's subfolders are listed
        // after its files, and each subfolder is walked before the next.
        struct Level {
            std::string path;
            std::vector<std::string> folders;
            size_t next;
        };
        std::vector<Level> levels;
        levels.push_back(Level{kRootForFolders, subfolders(kRootForFolders, 0), 0});
        while (!levels.empty()) {
            Level& top = levels.back();
            if (top.next == top.folders.size()) {
                levels.pop_back();
                continue;
            }
            std::string path = joined(top.path, top.folders[top.next++]);
            add_matches(path, path);
            const int level = static_cast<int>(levels.size());
            std::vector<std::string> folders = subfolders(path, level);
            levels.push_back(Level{std::move(path), std::move(folders), 0});
        }
    }

private:
    // glob's _glob1: the matching names listed in `listed_path`, each joined
    // to `folder` as glob joins them.
    void add_matches(const std::string& listed_path, const std::string& folder) {
        if (audit_listing(listed_path, kUnitsAtFileListing)) {
            for (const std::string& name : read_folder(listed_path, Keep::kMatchingNames, suffix_))
                paths_.push_back(joined(folder, name));
        }
        check_signals();
    }

    // The subfolders of the folder at `path`, `level` folders down. Under the
    // Python-level steps each level is one more generator frame; where they
    // run out of recursion budget, so does the walk.
    std::vector<std::string> subfolders(const std::string& path, int level) {
        if (kUnitsAtFolderLevelPeak + level > budget_) raise_error(PyExc_RecursionError, kRecursionMessage);
        bool listed;
        try {
            listed = audit_listing(path, kUnitsAtFolderListing + level);
        } catch (const PyErrorSet&) {
            if (kUnitsAtFolderListingExit + level > budget_) {
                // __exit__ ran out of budget in turn, while the hook's
                // exception was being handled.
                PendingError hook_error;
                PyErr_SetString(PyExc_RecursionError, kRecursionInCallMessage);
                hook_error.chain_under_current();
            }
            throw;
        }
        std::vector<std::string> folders;
        if (listed) folders = read_folder(path, Keep::kFolders, suffix_);
        check_signals();
        return folders;
    }

    const std::string& suffix_;
    const int budget_;  // recursion_remaining when create_file_dict began
    std::vector<std::string>& paths_;
};

// ---- reading one file -----------------------------------------------------------

template <class Unit>
void copy_translating_newlines(const Unit* in, Py_ssize_t length, Unit* out) {
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Unit unit = in[i];
        if (unit == '\r') {
            *out++ = '\n';
            if (i + 1 < length && in[i + 1] == '\n') ++i;
        } else {
            *out++ = unit;
        }
    }
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

// read(2) as CPython's _Py_read calls it: without the GIL, again after EINTR
// unless a signal handler raised; an OSError from errno otherwise.
Py_ssize_t read_some(int fd, char* buffer, size_t count) {
    Py_ssize_t size;
    int error;
    int handler_failed = 0;
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX)) count = PY_SSIZE_T_MAX;
    do {
        Py_BEGIN_ALLOW_THREADS
        errno = 0;
        size = read(fd, buffer, count);
        error = errno;
        Py_END_ALLOW_THREADS
    } while (size < 0 && error == EINTR && !(handler_failed = PyErr_CheckSignals()));
    if (handler_failed) {
        errno = error;
        return -1;
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
    FileReader(const State& state, const SnapshotSteps& steps) : state_(state), steps_(steps) {}
    ~FileReader() { PyMem_RawFree(buffer_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // open(path, "r"): FileIO(path, "r"), built as deep as open() builds it.
    OwnedRef open(PyObject* path) const {
        Deeper depth(kUnitsAtOpen);
        PyObject* arguments[] = {path, steps_.read_mode};
        return OwnedRef::checked(PyObject_Vectorcall(state_.file_io_type.get(), arguments, 2, nullptr));
    }

    // f.read(): the whole file as FileIO.readall() reads it (the same
    // read(2) calls on the file's descriptor), decoded as UTF-8 with
    // universal newlines.
    OwnedRef read(BorrowedRef raw) {
        const int fd = PyObject_AsFileDescriptor(raw.get());
        if (fd < 0) throw_error_set();
        Py_ssize_t size = 0;
        if (!read_all(fd, size)) return decode_as_text_wrapper(Py_None);
        const bool has_carriage_return = std::memchr(buffer_, '\r', static_cast<size_t>(size)) != nullptr;
        OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(buffer_, size, nullptr));
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_error_set();
            PyErr_Clear();
            OwnedRef data = OwnedRef::checked(PyBytes_FromStringAndSize(buffer_, size));
            return decode_as_text_wrapper(data);
        }
        return has_carriage_return ? translate_newlines(text) : text;
    }

    // f.close()
    void close(BorrowedRef raw) const {
        OwnedRef::checked(PyObject_CallMethodNoArgs(raw.get(), frame().name("close")));
    }

    // Drops an open file after a failed read as the Python-level steps drop
    // theirs: the text file object open() made is released unclosed, which
    // warns (ResourceWarning "unclosed file <_io.TextIOWrapper ...>") and
    // closes it, with the failure still pending.
    void drop_unclosed(OwnedRef raw) const {
        PendingError failure;
        OwnedRef text_file = text_file_over(raw);
        if (!text_file) PyErr_Clear();
        raw.reset();
        failure.restore();
        text_file.reset();
    }

private:
    // FileIO.readall() into buffer_: false when a non-blocking descriptor
    // had nothing to read (readall returns None then).
    bool read_all(int fd, Py_ssize_t& bytes_read) {
        struct stat status;
        int status_result;
        Py_BEGIN_ALLOW_THREADS
        status_result = fstat(fd, &status);
        Py_END_ALLOW_THREADS
        // readall sizes its buffer from the offset (lseek) and the size; a
        // regular file just opened is at offset 0.
        off_t position = 0;
        if (status_result != 0 || !S_ISREG(status.st_mode)) {
            Py_BEGIN_ALLOW_THREADS
            position = lseek(fd, 0, SEEK_CUR);
            Py_END_ALLOW_THREADS
        }
        const off_t end = status_result == 0 ? status.st_size : -1;
        size_t buffer_size = end > 0 && end >= position && position >= 0 && end - position < PY_SSIZE_T_MAX
                                 ? static_cast<size_t>(end - position + 1)
                                 : kSmallChunk;
        reserve(buffer_size);
        bytes_read = 0;
        for (;;) {
            if (bytes_read >= static_cast<Py_ssize_t>(buffer_size)) {
                buffer_size = grown_buffer_size(static_cast<size_t>(bytes_read));
                if (buffer_size > static_cast<size_t>(PY_SSIZE_T_MAX) || buffer_size == 0)
                    raise_error(PyExc_OverflowError, kUnboundedReadMessage);
                reserve(buffer_size);
            }
            const Py_ssize_t size = read_some(fd, buffer_ + bytes_read, buffer_size - bytes_read);
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

    // TextIOWrapper.read()'s own decoding of `data` (bytes, or None from a
    // non-blocking read): the codec's incremental decoder under an
    // IncrementalNewlineDecoder. Reached only when the fast decoding failed,
    // so that the exception and its traceback are the codec's own.
    OwnedRef decode_as_text_wrapper(BorrowedRef data) const {
        OwnedRef info = OwnedRef::checked(_PyCodec_Lookup(default_text_encoding(state_)));
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
        if (PyObject_SetAttrString(text_file.get(), "mode", steps_.read_mode) < 0) return OwnedRef();
        return text_file;
    }

    const State& state_;
    const SnapshotSteps& steps_;
    // The bytes of the file being read: one buffer, grown to the largest
    // file (from the interpreter's raw allocator, so tracemalloc counts it).
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
};

}  // namespace

void prepare_native_snapshot(PyObject* glob_module, PyObject* open_builtin, const SnapshotSteps& steps) {
    State& the_state = state();
    if (the_state.ready) return;
    try {
        record(the_state, glob_module, open_builtin, steps);
        the_state.ready = true;
    } catch (...) {
        // Anything unusual only means the Python-level steps always run.
        PyErr_Clear();
        the_state.names.clear();
        the_state.functions.clear();
    }
}

bool native_snapshot_applies(PyObject* module_dict) {
    const State& the_state = state();
    if (!the_state.ready) return false;
    PyThreadState* thread = PyThreadState_Get();
    if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr) return false;
    if (thread->recursion_remaining < kMinimumRecursionBudget) return false;
    PyObject* glob_module = PyDict_GetItemWithError(module_dict, frame().name("glob"));
    if (glob_module != the_state.glob_module.get()) {
        PyErr_Clear();
        return false;
    }
    return pins_hold(the_state) && default_encoding_is_utf8(the_state);
}

OwnedRef native_snapshot(Scope& scope, const SnapshotSteps& steps) {
    const State& the_state = state();
    const int budget = PyThreadState_Get()->recursion_remaining;
    OwnedRef python_files = new_dict();

    std::vector<std::string> paths;
    scope.at(steps.glob_python_line);
    Walk(the_state.python_suffix, budget, paths).run(steps.python_pattern);
    scope.at(steps.glob_notebooks_line);
    Walk(the_state.notebook_suffix, budget, paths).run(steps.notebook_pattern);

    FileReader reader(the_state, steps);
    for (const std::string& path : paths) {
        scope.at(steps.for_each_file_line);
        check_signals();
        OwnedRef file = decoded_path(path);
        OwnedRef raw;
        try {
            scope.at(steps.open_line);
            raw = reader.open(file.get());
        } catch (const PyErrorSet&) {
            add_note_to_current_error(steps.unreadable_note, file.get());
            throw;
        }
        OwnedRef text;
        try {
            scope.at(steps.read_line);
            text = reader.read(raw);
        } catch (const PyErrorSet&) {
            add_note_to_current_error(steps.unreadable_note, file.get());
            reader.drop_unclosed(std::move(raw));
            throw;
        }
        set_item(python_files, file.get(), text.get());
        scope.at(steps.close_line);
        reader.close(raw);
    }
    return python_files;
}

#else  // not CPython 3.11

void prepare_native_snapshot(PyObject*, PyObject*, const SnapshotSteps&) {}

bool native_snapshot_applies(PyObject*) { return false; }

OwnedRef native_snapshot(Scope&, const SnapshotSteps&) {
    raise_error(PyExc_SystemError, "the native snapshot is not built for this Python version");
}

#endif

}  // namespace figvault
