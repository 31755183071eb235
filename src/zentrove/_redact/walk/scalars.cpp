// The mask lengths of values that scalars=True masks: numbers by their
// decimal text, bytes by their size, flat tuples and sets by the total.
#include "_redact/walk/walk.h"

namespace zentrove::redact {

namespace {

// The length of the decimal text of an int too large for int.__repr__.
// |v| has `bits` bits, so 2**(bits-1) <= |v| < 2**bits: its digit count is
// that of 2**(bits-1), or one more, told by a comparison with a power of
// ten (no Python code: int's own arithmetic).
[[nodiscard]] Py_ssize_t huge_int_length(PyObject* v)
{
    const size_t bits = _PyLong_NumBits(v);
    if (bits == static_cast<size_t>(-1)) {
        return -1;
    }
    // A lower bound (the float product errs far below one digit); the
    // loop below corrects it upwards.
    auto digits = static_cast<Py_ssize_t>(static_cast<double>(bits - 1) * 0.30102999566398120);
    // int's own abs, never a subclass's __abs__.
    Ref magnitude = Ref::steal(PyLong_Type.tp_as_number->nb_absolute(v));
    Ref ten = Ref::steal(PyLong_FromLong(10));
    if (!magnitude || !ten) {
        return -1;
    }
    for (;;) {
        Ref exponent = Ref::steal(PyLong_FromSsize_t(digits));
        Ref power =
            exponent ? Ref::steal(PyNumber_Power(ten.get(), exponent.get(), Py_None)) : Ref();
        if (!power) {
            return -1;
        }
        const int above = PyObject_RichCompareBool(magnitude.get(), power.get(), Py_GE);
        if (above < 0) {
            return -1;
        }
        if (above == 0) {
            break;  // 10**(digits-1) <= |v| < 10**digits
        }
        ++digits;
    }
    return digits + (_PyLong_Sign(v) < 0 ? 1 : 0);
}

}  // namespace

// The mask length of a number or bytes under a sensitive key with
// scalars=True: the length of its decimal text, or of the bytes.  -2 when
// the value is no such scalar, -1 with an exception.
Py_ssize_t scalar_length(PyObject* v)
{
    if (PyLong_Check(v)) {
        if (PyBool_Check(v)) {
            return -2;
        }
        // int.__repr__ on the value, never a subclass's own __repr__.
        Ref text = Ref::steal(PyLong_Type.tp_repr(v));
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                return -1;
            }
            // Too many digits to convert: the length from the bit count.
            PyErr_Clear();
            return huge_int_length(v);
        }
        return PyUnicode_GET_LENGTH(text.get());
    }
    if (PyFloat_Check(v)) {
        Ref text = Ref::steal(PyFloat_Type.tp_repr(v));
        return text ? PyUnicode_GET_LENGTH(text.get()) : -1;
    }
    if (PyBytes_Check(v)) {
        return PyBytes_GET_SIZE(v);
    }
    if (PyByteArray_Check(v)) {
        return PyByteArray_GET_SIZE(v);
    }
    return -2;
}

// A non-empty tuple, set or frozenset of str and scalars only: the total
// of its items' mask lengths; -2 when it holds anything else, -1 on error.
Py_ssize_t flat_length(PyObject* v)
{
    Py_ssize_t total = 0;
    const auto add = [&total](PyObject* item) -> Py_ssize_t {
        if (PyUnicode_Check(item)) {
            if (PyUnicode_READY(item) < 0) {
                return -1;
            }
            total += PyUnicode_GET_LENGTH(item);
            return 0;
        }
        const Py_ssize_t n = scalar_length(item);
        total += n > 0 ? n : 0;
        return n < 0 ? n : 0;
    };
    if (PyTuple_Check(v)) {
        if (PyTuple_GET_SIZE(v) == 0) {
            return -2;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
            const Py_ssize_t r = add(PyTuple_GET_ITEM(v, i));
            if (r < 0) {
                return r;
            }
        }
        return total;
    }
    if (PySet_GET_SIZE(v) == 0) {
        return -2;
    }
    Py_ssize_t pos = 0;
    PyObject* item;
    Py_hash_t hash;
    while (_PySet_NextEntry(v, &pos, &item, &hash)) {
        // Items are exact str or scalars checked by type: no Python code
        // runs, so the set cannot change while we read it.
        const Py_ssize_t r = add(item);
        if (r < 0) {
            return r;
        }
    }
    return total;
}

}  // namespace zentrove::redact
