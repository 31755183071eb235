// What a walk hands out besides the values it walks: masks (the star masks
// of short lengths shared for the process), report entries with the path
// of each, and the errors that name a path or a changed container.
#include "_redact/walk/walk.h"

#include "_common/mask.h"

namespace zentrove::redact {

Walk::~Walk()
{
    Py_XDECREF(report);
}

namespace {

constexpr Py_ssize_t kSharedStars = sizeof g.stars / sizeof g.stars[0];

// A new star mask, kept in g.stars when it is short.  Out of line, so that
// the hit in Walk::mask stays a few loads.
[[gnu::noinline]] PyObject* new_stars(Py_ssize_t length)
{
    PyObject* stars = star_mask(length);
    if (stars != nullptr && length < kSharedStars) {
        g.stars[length] = Py_NewRef(stars);
    }
    return stars;
}

}  // namespace

PyObject* Walk::mask(Py_ssize_t length)
{
    if (rules.mask != nullptr) {
        return Py_NewRef(rules.mask);
    }
    if (length < kSharedStars && g.stars[length] != nullptr) {
        return Py_NewRef(g.stars[length]);
    }
    return new_stars(length);
}

namespace {

// The keys and indices from the top down to `at`, as a tuple.
[[nodiscard]] PyObject* path_tuple(const Path* at)
{
    Py_ssize_t depth = 0;
    for (const Path* p = at; p != nullptr; p = p->up) {
        ++depth;
    }
    Ref where = Ref::steal(PyTuple_New(depth));
    if (!where) {
        return nullptr;
    }
    for (const Path* p = at; p != nullptr; p = p->up) {
        PyObject* element = p->key != nullptr ? Py_NewRef(p->key) : PyLong_FromSsize_t(p->index);
        if (element == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(where.get(), --depth, element);
    }
    return where.release();
}

}  // namespace

int Walk::emit(const Path* at, PyObject* rule)
{
    Ref where = Ref::steal(path_tuple(at));
    if (!where) {
        return -1;
    }
    PyObject* entry = PyTuple_New(2);
    if (entry == nullptr) {
        return -1;
    }
    PyTuple_SET_ITEM(entry, 0, where.release());
    PyTuple_SET_ITEM(entry, 1, Py_NewRef(rule != nullptr ? rule : g.rule_key));
    const int appended = PyList_Append(report, entry);
    Py_DECREF(entry);
    return appended;
}

PyObject* cannot_mask_in_place(PyTypeObject* container, const Path* at)
{
    Ref where = Ref::steal(path_tuple(at));
    if (where) {
        PyErr_Format(PyExc_TypeError,
                     "cannot mask %R in place: it is inside a %.200s; use "
                     "redacted() for a redacted copy",
                     where.get(), container->tp_name);
    }
    return nullptr;
}

PyObject* changed_during_walk(PyObject* container)
{
    PyErr_Format(PyExc_RuntimeError, "%.200s changed during redaction",
                 Py_TYPE(container)->tp_name);
    return nullptr;
}

}  // namespace zentrove::redact
