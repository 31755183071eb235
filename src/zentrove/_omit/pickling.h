// What the pickling files share: the pickled layout of each redactor type
// and the state setter that set-state and the reconstructors both run.
#pragma once

#include "binding.h"

#include <cstddef>

namespace zentrove::omit {

// Reconstructor look-up cache: the module dict's version tag and what the
// look-up found there (borrowed: while the tag holds, the dict still holds
// it), or NULL for "not in the module".
struct LookupCache {
    uint64_t tag = ~uint64_t{0};
    PyObject* value = nullptr;
};

// Everything that differs between the pickling of the two types.
struct Layout {
    PyTypeObject* type;
    int nfields;
    size_t field_offsets[2];     // the fields in state order
    PyObject* const* checksums;  // global tuple; the first one is written
    StrId checksum_message;
    const char* reconstructor;   // the module attribute reduce names
    const char* set_state_name;  // traceback name of the state setter
    LookupCache* caches;         // [set-state form, plain form]
};

extern const Layout omitter_layout;
extern const Layout no_trust_layout;

// Lines of the reconstructor's statements that the state setter's callers
// share.
enum StateLine : int {
    kSetStateFields = 12,
    kSetStateDictTest = 13,
    kSetStateUpdate = 14,
};

// Restores the fields from `state` (an exact tuple, or None which fails);
// element N, when present, updates the instance dict.  0, or -1 with the
// setter's traceback entry.
[[nodiscard]] int set_state(const Layout& layout, PyObject* result, PyObject* state);

}  // namespace zentrove::omit
