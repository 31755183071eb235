// The walk of tuple storage (tuples, named tuples and other subclasses):
// a copy is made only once an item changed, and in place a change is
// refused, as a tuple cannot change.
#include "_redact/walk/walk.h"

namespace zentrove::redact {

template <Mode M>
PyObject* walk_tuple(Walk& w, PyObject* tuple, bool sensitive, const Path* at)
{
    const bool track = tracked(tuple, at);
    if (PyObject* before = walked_before<M>(w, tuple, sensitive, track)) {
        return before;
    }
    DepthGuard guard(w);
    if (!guard.ok()) {
        return nullptr;
    }
    // A copy is made only once an item changed, and recorded only once
    // complete: a tuple that reaches itself through a list is then copied
    // again inside, and the inner copy is the one kept.
    if (M != Mode::Copy && track && w.seen.add(tuple, sensitive, nullptr) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    Ref items;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        const Path here{at, nullptr, i, 1};
        Ref held = Ref::borrow(item);  // the walk's reference, as for lists
        Ref result = Ref::steal(walk_value<M>(w, item, sensitive, &here));
        if (!result) {
            return nullptr;
        }
        if (M == Mode::InPlace && result.get() != item) {
            return cannot_mask_in_place(Py_TYPE(tuple), &here);
        }
        if (M == Mode::Copy && !items && result.get() != item) {
            items = Ref::steal(PyTuple_New(n));
            if (!items) {
                return nullptr;
            }
            // Out of the collector's sight until its last slot is filled:
            // a gc callback could reach the empty slots (gc.get_objects()).
            PyObject_GC_UnTrack(items.get());
            for (Py_ssize_t j = 0; j < i; ++j) {
                PyTuple_SET_ITEM(items.get(), j, Py_NewRef(PyTuple_GET_ITEM(tuple, j)));
            }
        }
        if (items) {
            PyTuple_SET_ITEM(items.get(), i, result.release());
        }
    }
    if constexpr (M != Mode::Copy) {
        return Py_NewRef(tuple);
    }
    if (items) {
        PyObject_GC_Track(items.get());  // every slot is filled
    }
    // A cycle through the tuple may have recorded its copy meanwhile.
    if (PyObject* before = walked_before<M>(w, tuple, sensitive, true)) {
        return before;
    }
    Ref copy;
    if (!items) {
        copy = Ref::borrow(tuple);  // nothing to mask: shared, as it is immutable
    }
    else if (Py_IS_TYPE(tuple, &PyTuple_Type)) {
        copy = std::move(items);
    }
    else {
        // tuple.__new__ keeps the subclass (a named tuple too) and runs none
        // of its Python code.
        Ref args = Ref::steal(PyTuple_Pack(1, items.get()));
        if (!args) {
            return nullptr;
        }
        copy = Ref::steal(new_like(&PyTuple_Type, tuple, args.get()));
        if (!copy) {
            return nullptr;
        }
    }
    if (w.seen.add(tuple, sensitive, copy.get()) < 0) {
        return nullptr;
    }
    return copy.release();
}

template PyObject* walk_tuple<Mode::InPlace>(Walk&, PyObject*, bool, const Path*);
template PyObject* walk_tuple<Mode::Copy>(Walk&, PyObject*, bool, const Path*);
template PyObject* walk_tuple<Mode::Report>(Walk&, PyObject*, bool, const Path*);

}  // namespace zentrove::redact
