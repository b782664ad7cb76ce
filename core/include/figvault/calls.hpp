// Small, throwing wrappers over the C API calls the module bodies make, so a
// body reads like the Python statements it performs.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <vector>

#include "figvault/frame.hpp"
#include "figvault/refs.hpp"

namespace figvault {

// getattr(object, name), with `name` interned once.
inline OwnedRef attribute(BorrowedRef object, const char* name) {
    return OwnedRef::checked(PyObject_GetAttr(object.get(), frame().name(name)));
}

// callable(*positional, **keywords); `keywords` may be null.
inline OwnedRef call(BorrowedRef callable, std::initializer_list<PyObject*> positional,
                     PyObject* keywords = nullptr) {
    if (keywords == nullptr) {
        std::vector<PyObject*> arguments(positional);
        return OwnedRef::checked(PyObject_Vectorcall(callable.get(), arguments.data(),
                                                     arguments.size(), nullptr));
    }
    OwnedRef arguments = OwnedRef::checked(PyTuple_New(static_cast<Py_ssize_t>(positional.size())));
    Py_ssize_t i = 0;
    for (PyObject* argument : positional) PyTuple_SET_ITEM(arguments.get(), i++, Py_NewRef(argument));
    return OwnedRef::checked(PyObject_Call(callable.get(), arguments.get(), keywords));
}

// object.name(*positional)
inline OwnedRef call_method(BorrowedRef object, const char* name,
                            std::initializer_list<PyObject*> positional) {
    OwnedRef method = attribute(object, name);
    return call(method, positional);
}

// Next item of an iterator; empty at the end, throws on error.
inline OwnedRef next_item(BorrowedRef iterator) {
    OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()));
    if (!item && PyErr_Occurred()) throw_error_set();
    return item;
}

inline OwnedRef iterate(BorrowedRef iterable) {
    return OwnedRef::checked(PyObject_GetIter(iterable.get()));
}

inline OwnedRef new_dict() { return OwnedRef::checked(PyDict_New()); }

inline void set_item(BorrowedRef mapping, PyObject* key, PyObject* value) {
    check_status(PyObject_SetItem(mapping.get(), key, value));
}

inline bool is_true(BorrowedRef object) { return check_status(PyObject_IsTrue(object.get())) != 0; }

}  // namespace figvault
