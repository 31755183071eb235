// RedactorBase, the native base type of zentrove.Redactor: its object
// layout, which holds the compiled rules (redactor.cpp: its type; rules.cpp:
// rules_of, which reads them).
#pragma once

#include "_redact/rules.h"

namespace zentrove::redact {

// RedactorBase: the native base of zentrove.Redactor.  `rules` is valid once
// `ready` is set by __init__, which succeeds at most once per object.
struct RedactorObject {
    PyObject_HEAD bool ready;
    Rules rules;
    PyObject* keys;      // owned tuple of the listed keys (exact str), or NULL
    PyObject* contains;  // owned tuple of the contains= entries, or NULL
};

extern PyTypeObject RedactorType;

}  // namespace zentrove::redact
