// SeenMap: the containers one walk has already walked (cycles, shared
// data), each held and mapped to its copy, in an open-addressing table that
// starts inline and grows on the PyMem heap.
#include "_redact/walk/walk.h"

#include <cstring>

namespace zentrove::redact {

SeenMap::~SeenMap()
{
    for (size_t i = 0; used_ > 0 && i < capacity_; ++i) {
        if (slots_[i].key != 0) {
            Py_DECREF(slots_[i].obj);
            Py_XDECREF(slots_[i].copy);
        }
    }
    if (slots_ != inline_) {
        PyMem_Free(slots_);
    }
}

namespace {
[[nodiscard]] inline uintptr_t seen_key(PyObject* obj, bool sensitive) noexcept
{
    return reinterpret_cast<uintptr_t>(obj) | (sensitive ? 1 : 0);
}
[[nodiscard]] inline size_t seen_hash(uintptr_t key) noexcept
{
    // Objects are 16-byte aligned: mix the address bits above that.
    return static_cast<size_t>((key >> 4) * 0x9E3779B97F4A7C15u >> 17) ^ key;
}
}  // namespace

PyObject* SeenMap::find(PyObject* obj, bool sensitive, bool* found) const noexcept
{
    if (used_ == 0) {
        *found = false;
        return nullptr;
    }
    const uintptr_t key = seen_key(obj, sensitive);
    for (size_t i = seen_hash(key) & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
        if (slots_[i].key == key) {
            *found = true;
            return slots_[i].copy;
        }
        if (slots_[i].key == 0) {
            *found = false;
            return nullptr;
        }
    }
}

int SeenMap::grow()
{
    const size_t capacity = capacity_ * 4;
    auto* slots = static_cast<Entry*>(PyMem_Calloc(capacity, sizeof(Entry)));
    if (slots == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (size_t i = 0; i < capacity_; ++i) {
        if (slots_[i].key == 0) {
            continue;
        }
        size_t j = seen_hash(slots_[i].key) & (capacity - 1);
        while (slots[j].key != 0) {
            j = (j + 1) & (capacity - 1);
        }
        slots[j] = slots_[i];
    }
    if (slots_ != inline_) {
        PyMem_Free(slots_);
    }
    slots_ = slots;
    capacity_ = capacity;
    return 0;
}

int SeenMap::add(PyObject* obj, bool sensitive, PyObject* copy)
{
    if (used_ == 0 && slots_ == inline_) {
        std::memset(inline_, 0, sizeof inline_);  // zeroed on first use only
    }
    if ((used_ + 1) * 2 > capacity_ && grow() < 0) {
        return -1;
    }
    const uintptr_t key = seen_key(obj, sensitive);
    size_t i = seen_hash(key) & (capacity_ - 1);
    while (slots_[i].key != 0) {
        i = (i + 1) & (capacity_ - 1);
    }
    slots_[i] = {key, Py_NewRef(obj), Py_XNewRef(copy)};
    ++used_;
    return 0;
}

}  // namespace zentrove::redact
