// Atomic replacement of a file, planned against its folder's descriptor.
#include "figvault/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "figvault/calls.hpp"
#include "figvault/errors.hpp"
#include "figvault/file_status.hpp"

namespace figvault {

namespace {

constexpr int kMaxSymlinkDepth = 40;           // as the kernel's own limit
constexpr mode_t kNewFileMode = 0666;          // narrowed by the umask, as open() does
// The mode bits a rewrite keeps: a write drops set-user-ID and set-group-ID.
constexpr mode_t kKeptModeBits = 01777;
constexpr std::size_t kNewNameBaseLength = 160;  // keeps ".<base>.tmp<pid>-<n>" under NAME_MAX
constexpr int kNewNameAttempts = 100;
constexpr std::size_t kCopyChunk = 1 << 16;
constexpr const char kWriteBinary[] = "wb";

// "folder/name" -> {"folder", "name"}; "name" -> {".", "name"}; "/name" -> {"/", "name"}.
std::pair<std::string, std::string> split_folder(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

int open_folder(int at_fd, const std::string& folder) {
    return ::openat(at_fd, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Writes all of `size` bytes, retrying short writes and interruptions.
bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// open_builtin(fd, "wb"). open() takes the descriptor over; if it fails
// before it has (the descriptor still names our file), it is ours to close.
OwnedRef open_descriptor(PyObject* open_builtin, int fd) {
    FileStatus before;
    const bool known = read_file_status(fd, before);
    try {
        OwnedRef descriptor = OwnedRef::checked(PyLong_FromLong(fd));
        return call(open_builtin, {descriptor.get(), frame().constant(kWriteBinary)});
    } catch (const PyErrorSet&) {
        FileStatus now;
        if (known && read_file_status(fd, now) && now.same_file_as(before))
            ::close(fd);
        throw;
    }
}

}  // namespace

AtomicFile::AtomicFile(PyObject* target) : target_(OwnedRef::incref(target)) {
    if (PyLong_Check(target)) return;  // a file descriptor: written directly
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(target, &converted)) {
        // Not a path (or one open() refuses): open() reports the problem
        // with its own message. Anything else is a real failure.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            throw_error_set();
        PyErr_Clear();
        return;
    }
    OwnedRef encoded = OwnedRef::steal(converted);
    const std::string path(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
    if (!plan(path)) folder_.reset();
}

AtomicFile::~AtomicFile() { remove_new_file(); }

// Follows symbolic links from `path` to the final target and holds its
// folder open; false when the target is to be written directly.
bool AtomicFile::plan(const std::string& path) {
    if (path.empty()) return false;
    auto [folder, base] = split_folder(path);
    folder_.reset(open_folder(AT_FDCWD, folder));
    for (int depth = 0; folder_ && !base.empty() && base != "." && base != ".."; ++depth) {
        FileStatus status;
        if (!read_file_status(folder_.get(), base.c_str(), AT_SYMLINK_NOFOLLOW, status)) {
            if (errno != ENOENT) return false;
            base_name_ = base;  // a new file
            return true;
        }
        if (S_ISLNK(status.mode)) {
            if (depth == kMaxSymlinkDepth) return false;
            std::vector<char> link(static_cast<std::size_t>(status.size) + 256);
            const ssize_t length = ::readlinkat(folder_.get(), base.c_str(), link.data(), link.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) return false;
            auto [link_folder, link_base] = split_folder(std::string(link.data(), static_cast<std::size_t>(length)));
            folder_.reset(open_folder(link_folder[0] == '/' ? AT_FDCWD : folder_.get(), link_folder));
            base = link_base;
            continue;
        }
        if (!S_ISREG(status.mode)) return false;  // a device, a pipe, a folder...
        // A file open() could not rewrite is written directly, so the caller
        // sees open()'s own error.
        if (::faccessat(folder_.get(), base.c_str(), W_OK, AT_EACCESS) != 0) return false;
        base_name_ = base;
        keep_mode_ = true;
        mode_ = status.mode & kKeptModeBits;
        in_place_ = status.owner != ::geteuid() || status.links > 1;
        return true;
    }
    return false;
}

OwnedRef AtomicFile::open(PyObject* open_builtin) {
    static std::atomic<unsigned> counter{0};
    // An existing file's mode from the start (the umask may only narrow it),
    // so the new file is never readable by more users than the old one.
    const mode_t create_mode = keep_mode_ ? (mode_ & 0777) : kNewFileMode;
    for (int attempt = 0; folder_ && attempt < kNewNameAttempts; ++attempt) {
        // ".<base>.tmp<pid>-<n>": hidden, and unique within this process.
        std::string candidate(".");
        candidate.append(base_name_, 0, kNewNameBaseLength);
        candidate.append(".tmp").append(std::to_string(::getpid())).append("-").append(std::to_string(counter++));
        const int fd = ::openat(folder_.get(), candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                create_mode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;  // the folder admits no new file: write directly
        }
        new_name_ = std::move(candidate);
        if (keep_mode_ && ::fchmod(fd, mode_) != 0) {
            ::close(fd);
            break;
        }
        return open_descriptor(open_builtin, fd);
    }
    remove_new_file();
    folder_.reset();
    return call(open_builtin, {target_.get(), frame().constant(kWriteBinary)});
}

void AtomicFile::commit() {
    if (new_name_.empty()) return;  // a direct write
    if (!in_place_) {
        if (::renameat(folder_.get(), new_name_.c_str(), folder_.get(), base_name_.c_str()) == 0) {
            new_name_.clear();
            return;
        }
        if (errno != EPERM && errno != EACCES) raise_for_target();
    }
    rewrite_target_in_place();
    remove_new_file();
}

void AtomicFile::rewrite_target_in_place() {
    const int source = ::openat(folder_.get(), new_name_.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) raise_for_target();
    const int target = ::openat(folder_.get(), base_name_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (target < 0) {
        const int error = errno;
        ::close(source);
        errno = error;
        raise_for_target();
    }
    std::vector<char> chunk(kCopyChunk);
    bool copied = true;
    for (;;) {
        const ssize_t length = ::read(source, chunk.data(), chunk.size());
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) {
            copied = length == 0;
            break;
        }
        if (!write_all(target, chunk.data(), static_cast<std::size_t>(length))) {
            copied = false;
            break;
        }
    }
    const int error = errno;
    ::close(source);
    const bool closed = ::close(target) == 0;
    if (!copied || !closed) {
        if (!copied) errno = error;
        raise_for_target();
    }
}

void AtomicFile::remove_new_file() {
    if (new_name_.empty() || !folder_) return;
    ::unlinkat(folder_.get(), new_name_.c_str(), 0);
    new_name_.clear();
}

// OSError for errno, naming the target as the caller gave it.
void AtomicFile::raise_for_target() {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target_.get());
    throw_error_set();
}

}  // namespace figvault
