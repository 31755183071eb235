// What the walk files share: the per-call state of one walk (its mode, the
// objects seen so far, the masks made, the report and its path), and the
// container walks that each mode instantiates.
#pragma once

#include "_redact/rules.h"

#include "_common/guards.h"

namespace zentrove::redact {

enum class Mode : uint8_t {
    InPlace,  // redact(): change containers, return the same object
    Copy,     // redacted(): new containers, the original untouched
    Report,   // report(): list what would be masked, change nothing
};

// Objects already walked in this call, each with a strong reference so its
// address cannot be reused by a new object while the walk runs; in Copy mode
// with the copy made of it.  The key is the address with the sensitivity of
// the walk in its low bit: a list walked under a harmless key must be
// walked again under a sensitive one.
class SeenMap {
public:
    SeenMap() noexcept = default;
    SeenMap(const SeenMap&) = delete;
    SeenMap& operator=(const SeenMap&) = delete;
    ~SeenMap();

    // The copy recorded for (obj, sensitive) (borrowed), or NULL; `found`
    // tells a recorded NULL (walked, no copy) from nothing recorded.
    [[nodiscard]] PyObject* find(PyObject* obj, bool sensitive, bool* found) const noexcept;
    // Records (obj, sensitive) with its copy (or NULL); -1 with MemoryError.
    [[nodiscard]] int add(PyObject* obj, bool sensitive, PyObject* copy);

private:
    struct Entry {
        uintptr_t key;   // 0 for an empty slot
        PyObject* obj;   // owned
        PyObject* copy;  // owned, or NULL
    };
    static constexpr size_t kInline = 32;
    [[nodiscard]] int grow();
    Entry inline_[kInline];  // zeroed by the first add: 0 is an empty slot
    Entry* slots_ = inline_;
    size_t capacity_ = kInline;
    size_t used_ = 0;
};

// Where a value sits: its key (borrowed; the walk holds the key while it
// walks below it) or, with key NULL, its index, and the step above.  The
// chain lives on the C stack of the walk; NULL is the top.  `held` counts
// the references to the value that the walk holds itself (its own, and a
// copy's slot filled ahead), beside the one of the container it sits in.
struct Path {
    const Path* up;
    PyObject* key;
    Py_ssize_t index;
    Py_ssize_t held;
};

// Whether a container must be recorded in the SeenMap.  One that no other
// reference leads to (its count is the container's one and the walk's
// own) cannot be reached again, so it is walked once without being
// recorded; a reference that Python code adds later raises the count
// before it can be followed.  The top level has only the caller's.
[[nodiscard]] inline bool tracked(PyObject* container, const Path* at) noexcept
{
    return Py_REFCNT(container) > 1 + (at != nullptr ? at->held : 0);
}

// The state of one call of redact/redacted/report.
struct Walk {
    const Rules& rules;
    Mode mode;
    SeenMap seen;
    PyObject* report = nullptr;  // owned: the report list (Report mode)

    int depth = 0;              // containers being walked, nested
    uintptr_t stack_floor = 0;  // the lowest safe C stack address once looked up (1: unknown)

    Walk(const Rules& r, Mode m) noexcept : rules(r), mode(m) {}
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;
    ~Walk();

    // The mask for a str of `length` code points: a new reference (masks
    // of one length are one shared object).
    [[nodiscard]] PyObject* mask(Py_ssize_t length);
    // Report mode: appends (path of `at`, rule) to the report; the rule is
    // "key" unless a detector's name is given.
    [[nodiscard]] int emit(const Path* at, PyObject* rule = nullptr);
};

// A container this call walked before (a cycle or shared data): what it gave
// then, as a new reference (its copy, or itself), or NULL when it is new.  An
// untracked container cannot have been walked before.
template <Mode M>
[[nodiscard]] inline PyObject* walked_before(const Walk& w, PyObject* obj, bool sensitive,
                                             bool track) noexcept
{
    bool found = false;
    PyObject* done = track ? w.seen.find(obj, sensitive, &found) : nullptr;
    if (!found) {
        return nullptr;
    }
    // A tuple is recorded before its copy exists: until then it is itself.
    return Py_NewRef(M == Mode::Copy && done != nullptr ? done : obj);
}

// In place: TypeError for a value at `at` that would be masked but sits in
// an immutable container; returns NULL.
PyObject* cannot_mask_in_place(PyTypeObject* container, const Path* at);

// The walk of one value under a key of the given sensitivity, dispatching on
// its type.  A new reference: the value itself when nothing changes (always
// in Report mode), its mask, or its copy; NULL with an exception.
template <Mode M>
[[nodiscard]] PyObject* walk_value(Walk& w, PyObject* value, bool sensitive, const Path* at);

// Container walks, with the same contract as walk_value.
template <Mode M>
[[nodiscard]] PyObject* walk_dict(Walk& w, PyObject* dict, const Path* at);
template <Mode M>
[[nodiscard]] PyObject* walk_list(Walk& w, PyObject* list, bool sensitive, const Path* at);
template <Mode M>
[[nodiscard]] PyObject* walk_tuple(Walk& w, PyObject* tuple, bool sensitive, const Path* at);
template <Mode M>
[[nodiscard]] PyObject* walk_mapping(Walk& w, PyObject* mapping, const Path* at);
template <Mode M>
[[nodiscard]] PyObject* walk_sequence(Walk& w, PyObject* seq, bool sensitive, const Path* at);
template <Mode M>
[[nodiscard]] PyObject* walk_set(Walk& w, PyObject* set, bool sensitive, const Path* at);

inline constexpr int kMaxNesting = 10000;
// From this depth on (reached only under a raised recursion limit) the room
// left on the thread's C stack is checked too: frames are larger in some
// builds, and threads may have small stacks.
inline constexpr int kCheckStackFrom = 500;

// Whether the C stack of the walk's thread is nearly used up (cold).
[[nodiscard]] bool stack_low(Walk& w) noexcept;

// Entered by each container walk: Python's recursion limit, a fixed cap on
// nesting and the C stack left, none of which a recursion limit setting
// lifts, so deep data raises RecursionError before the C stack runs out.
// Not zentrove::RecursionGuard: zentrove.omit's walks, whose behaviour is
// fixed, stop at the recursion limit alone, and this one also counts the
// walk's depth and probes the stack.
class DepthGuard {
public:
    explicit DepthGuard(Walk& w) noexcept : w_(w)
    {
        if (++w.depth > kCheckStackFrom && (w.depth > kMaxNesting || stack_low(w))) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum nesting depth exceeded" ZT_NESTED_WHERE);
            return;
        }
        entered_ = Py_EnterRecursiveCall(kNestedWhere) == 0;
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard()
    {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
        --w_.depth;
    }
    [[nodiscard]] bool ok() const noexcept { return entered_; }

private:
    Walk& w_;
    bool entered_ = false;
};

// scalars=True (walk/scalars.cpp): the mask length of an int (not bool),
// float, bytes or bytearray, or of a non-empty tuple, set or frozenset of
// these and str; -2 for any other value, -1 with an exception.
[[nodiscard]] Py_ssize_t scalar_length(PyObject* v);
[[nodiscard]] Py_ssize_t flat_length(PyObject* v);

// The three walks, as methods of RedactorBase (walk/entry.cpp): redact,
// redacted and report.
[[nodiscard]] PyObject* redactor_redact(PyObject* self, PyObject* data);
[[nodiscard]] PyObject* redactor_redacted(PyObject* self, PyObject* data);
[[nodiscard]] PyObject* redactor_report(PyObject* self, PyObject* data);

// The detectors on a str with the str key it sits under, if any (a new
// reference, or NULL); `fired` and `copy` as for scan_value.  Out of line.
[[gnu::noinline]] PyObject* scan_under_key(const Rules& rules, PyObject* v, const Path* at,
                                           uint32_t* fired, bool copy);

// RuntimeError for a container changed by Python code during the walk.
PyObject* changed_during_walk(PyObject* container);

// Copies the attributes of a subclass instance (its __slots__ and its
// instance dict) onto its copy, a new object of the same type; 0 or -1.
[[nodiscard]] int copy_attributes(PyObject* from, PyObject* to);

// A new object of the type of `from`, a subclass of `base`, made by base's
// own __new__ from `args` (NULL: none), so no Python code of the subclass
// runs, with the attributes of `from`: a new reference, or NULL.
[[nodiscard]] PyObject* new_like(PyTypeObject* base, PyObject* from, PyObject* args = nullptr);

}  // namespace zentrove::redact
