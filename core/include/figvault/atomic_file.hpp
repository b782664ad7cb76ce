// Writing a whole file the way `open(name, "wb")` does, except that the old
// content survives a write that fails.
//
// When the target is a regular file, or does not exist yet (symbolic links
// followed), the bytes go to a new file beside it, which replaces the target
// in one rename once they are written and closed; a failed write leaves the
// old file as it was and removes the new one. The replacement keeps the mode
// `open(name, "wb")` would have left: an existing file's, otherwise 0666 less
// the umask. A file that another user owns, or that has other hard links, is
// rewritten in place once the new bytes are complete, so that its owner and
// its other names stay. Anything else is written directly, as
// `open(name, "wb")` does: a file descriptor, a device, a pipe, a file we may
// not replace.
//
// The write is planned once, against a descriptor of the target's folder, so
// that it behaves like `open(name, "wb")` resolved when the write started:
// changing the working directory meanwhile does not move it.
#pragma once

#include <Python.h>

#include <string>

#include "figvault/descriptor.hpp"
#include "figvault/refs.hpp"

namespace figvault {

class AtomicFile {
public:
    // Plans the write of `target`: anything the built-in open() accepts.
    explicit AtomicFile(PyObject* target);
    ~AtomicFile();  // removes the new file unless it was committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // The binary file object to write into, made by `open_builtin`: the new
    // file beside the target, or the target itself for a direct write.
    OwnedRef open(PyObject* open_builtin);

    // Puts the written (and closed) new file in place of the target. A folder
    // that refuses the replacement while the target itself may be written (a
    // sticky folder, another user's file) gets the bytes rewritten in place,
    // as `open(name, "wb")` would have written them. Nothing to do for a
    // direct write.
    void commit();

private:
    bool plan(const std::string& path);
    void rewrite_target_in_place();
    void remove_new_file();
    [[noreturn]] void raise_for_target();

    OwnedRef target_;
    Descriptor folder_;       // the folder holding the final target; none: direct write
    std::string base_name_;   // the target's name in that folder
    bool keep_mode_ = false;  // an existing file: its mode is kept
    bool in_place_ = false;   // an existing file whose identity must stay: rewritten in place
    unsigned mode_ = 0;
    std::string new_name_;    // the new file's name in the folder, once made
};

}  // namespace figvault
