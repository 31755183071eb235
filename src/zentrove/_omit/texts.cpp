// The string objects of the texts in the callables' rows (names, parameter
// names, locals, file names), made once at start-up and found by content.
#include "binding.h"

#include <cstring>

namespace zentrove::omit {

namespace {

// The string objects of the rows' texts, keyed by content: open addressing
// over a table sized for every text the module's rows hold.
struct TextSlot {
    const char* text;  // static string
    PyObject* object;  // owned, lives until the process ends
};
constexpr size_t kTextSlots = 128;
TextSlot text_slots[kTextSlots];

[[nodiscard]] TextSlot* text_slot(const char* text) noexcept
{
    size_t h = 1469598103934665603ULL;
    for (const char* p = text; *p; ++p) {
        h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    }
    for (size_t k = 0; k < kTextSlots; ++k) {
        TextSlot& slot = text_slots[(h + k) % kTextSlots];
        if (slot.text == nullptr || std::strcmp(slot.text, text) == 0) {
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

int add_text(const char* text, bool interned)
{
    TextSlot* slot = text_slot(text);
    if (slot == nullptr) {
        PyErr_SetString(PyExc_SystemError, "too many texts in the rows");
        return -1;
    }
    if (slot->object == nullptr) {
        PyObject* s = interned ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
        if (s == nullptr || PyObject_Hash(s) == -1) {
            Py_XDECREF(s);
            return -1;
        }
        *slot = TextSlot{text, s};
    }
    return 0;
}

PyObject* row_text(const char* text) noexcept
{
    TextSlot* slot = text_slot(text);
    return slot != nullptr ? slot->object : nullptr;
}

}  // namespace zentrove::omit
