// The detectors as Python sees them: the `detect=` argument of a Redactor,
// the interned detector names, Redactor.scan and the module's functions
// (parse_detectors, detectors_of, scan); the engine is detect.cpp.
#include "_redact/detect/detect.h"

#include "_redact/rules.h"

namespace zentrove::redact {
namespace detect {
namespace {

constexpr std::array<std::string_view, kCount> kNames = {
    "authorization", "jwt",         "private_key", "url_credentials", "key_value",
    "aws",           "github",      "gitlab",      "slack",           "stripe",
    "google",        "card",        "tokens",      "email",           "ipv4",
    "ipv6",          "phone",       "iban",        "us_ssn",          "mac",
    "ipv4_public",   "ipv6_public",
};

// Names for sets of detectors: what detect=True means, and personal data.
struct Group {
    std::string_view name;
    uint32_t detectors;
};
constexpr std::array<Group, 2> kGroups = {{
    {"secrets", kSecretDetectors},
    {"pii", kPiiDetectors & ~((uint32_t{1} << kIpv4Public) | (uint32_t{1} << kIpv6Public))},
}};

constexpr std::string_view name_of(std::string_view name)
{
    return name;
}
constexpr std::string_view name_of(const Group& group)
{
    return group.name;
}

// "authorization, jwt, ..." for the error message, built at compile time.
template <class T, size_t N>
constexpr size_t joined_size(const std::array<T, N>& items)
{
    size_t n = 0;
    for (const T& item : items) {
        n += name_of(item).size() + 2;
    }
    return n - 1;  // two separators fewer, one NUL more
}

template <size_t Size, class T, size_t N>
constexpr std::array<char, Size> joined(const std::array<T, N>& items)
{
    std::array<char, Size> out{};
    size_t at = 0;
    for (size_t i = 0; i < N; ++i) {
        if (i > 0) {
            out[at++] = ',';
            out[at++] = ' ';
        }
        for (char c : name_of(items[i])) {
            out[at++] = c;
        }
    }
    return out;
}

constexpr auto kValidNames = joined<joined_size(kNames)>(kNames);
constexpr auto kGroupNames = joined<joined_size(kGroups)>(kGroups);

// The bits of a group's name in *bits, 0 for none: 0, or -1 with an exception.
[[nodiscard]] int group_bits(PyObject* name, uint32_t* bits)
{
    *bits = 0;
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            return -1;
        }
        PyErr_Clear();  // a lone surrogate names no group
        return 0;
    }
    for (const Group& group : kGroups) {
        if (std::string_view(text, static_cast<size_t>(size)) == group.name) {
            *bits = group.detectors;
            break;
        }
    }
    return 0;
}

// DETECTOR_GROUPS: a read-only mapping of each group's name to its names.
[[nodiscard]] int add_groups(PyObject* module)
{
    Ref groups = Ref::steal(PyDict_New());
    if (!groups) {
        return -1;
    }
    for (const Group& group : kGroups) {
        // A string_view's bytes need not end in a NUL: the key is made by size.
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(
            group.name.data(), static_cast<Py_ssize_t>(group.name.size())));
        Ref names = Ref::steal(detectors_names(group.detectors));
        if (!name || !names || PyDict_SetItem(groups.get(), name.get(), names.get()) < 0) {
            return -1;
        }
    }
    Ref proxy = Ref::steal(PyDictProxy_New(groups.get()));
    return !proxy ? -1 : PyModule_AddObjectRef(module, "DETECTOR_GROUPS", proxy.get());
}

[[gnu::cold, gnu::noinline]] int detect_type_error(PyObject* arg)
{
    PyErr_Format(PyExc_TypeError,
                 "detect= must be a bool or an iterable of detector names, not %.100s",
                 Py_TYPE(arg)->tp_name);
    return -1;
}

[[gnu::cold, gnu::noinline]] int unknown_detector(PyObject* name)
{
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "detect= must hold only str, not %.100s",
                     Py_TYPE(name)->tp_name);
    }
    else {
        PyErr_Format(PyExc_ValueError,
                     "detect= entry %R is not a detector or a group; the detectors are %s; "
                     "the groups are %s",
                     name, kValidNames.data(), kGroupNames.data());
    }
    return -1;
}

// parse_detectors(detect): the bit set for a Redactor's detect= argument.
PyObject* py_parse_detectors(PyObject*, PyObject* arg)
{
    uint32_t detectors;
    if (detectors_parse(arg, &detectors) < 0) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(detectors);
}

// detectors_of(redactor): the names of the redactor's detectors.
PyObject* py_detectors_of(PyObject*, PyObject* redactor)
{
    const Rules* rules = rules_of(redactor);
    return rules == nullptr ? nullptr : detectors_names(rules->detectors);
}

// scan(redactor, text): Redactor.scan in the module's calling convention,
// like the module's other paths.
PyObject* py_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (!_PyArg_CheckPositional("scan", nargs, 2, 2)) {
        return nullptr;
    }
    return redactor_scan(args[0], args[1]);
}

#ifdef ZR_COUNT_WORK
// _bytes_examined(): the bytes of scanned text that matchers have read so
// far; only in builds that count (debug interpreter, ZENTROVE_COUNT_WORK).
PyObject* py_bytes_examined(PyObject*, PyObject*)
{
    return PyLong_FromSsize_t(__atomic_load_n(&bytes_examined, __ATOMIC_RELAXED));
}
#endif

#if defined(ZR_COUNT_WORK) && defined(__SSE2__)
// _candidate_pass(name): scans from now on mark their candidates with the
// named pass; False if this machine has none such.
PyObject* py_candidate_pass(PyObject*, PyObject* name)
{
    Py_ssize_t n;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &n) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "_candidate_pass() takes a str");
        }
        return nullptr;
    }
    return PyBool_FromLong(choose_candidate_pass(std::string_view(text, static_cast<size_t>(n))));
}
#endif

PyMethodDef functions[] = {
#ifdef ZR_COUNT_WORK
    {"_bytes_examined", py_bytes_examined, METH_NOARGS,
     "_bytes_examined()\n--\n\nBytes of text the matchers have read, for tests of linear work."},
#endif
#if defined(ZR_COUNT_WORK) && defined(__SSE2__)
    {"_candidate_pass", py_candidate_pass, METH_O,
     "_candidate_pass(name, /)\n--\n\nThe candidate pass that scans use: ssse3, sse2 or "
     "portable."},
#endif
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_scan)), METH_FASTCALL,
     "scan(redactor, text, /)\n--\n\nRedactor.scan(text) as a function."},
    {"parse_detectors", py_parse_detectors, METH_O,
     "parse_detectors(detect, /)\n--\n\nThe bit set of a detect= argument."},
    {"detectors_of", py_detectors_of, METH_O,
     "detectors_of(redactor, /)\n--\n\nThe names of a redactor's detectors."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace detect

const char redactor_scan_doc[] = "scan($self, text, /)\n--\n\n"
                                 "The text with every secret that the detectors find masked.";

PyObject* redactor_scan(PyObject* self, PyObject* text)
{
    const Rules* rules = rules_of(self);
    if (rules == nullptr) {
        return nullptr;
    }
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "scan() argument must be str, not %.100s",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    return scan_value(*rules, text, nullptr, 0, nullptr);
}

PyObject* scan_value(const Rules& rules, PyObject* value, const char* key, Py_ssize_t key_size,
                     uint32_t* fired, bool copy)
{
    return detect::scan_text(value, rules.detectors, &rules, rules.mask, fired, copy, key,
                             key_size);
}

int detectors_parse(PyObject* arg, uint32_t* detectors)
{
    if (arg == Py_True || arg == Py_False || arg == Py_None) {
        *detectors = arg == Py_True ? detect::kSecretDetectors : 0;
        return 0;
    }
    if (PyUnicode_Check(arg) || PyBytes_Check(arg)) {
        return detect::detect_type_error(arg);
    }
    Ref iter = Ref::steal(PyObject_GetIter(arg));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return detect::detect_type_error(arg);
        }
        return -1;
    }
    uint32_t bits = 0;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        uint32_t found = 0;
        if (PyUnicode_Check(item.get())) {
            for (int d = 0; d < detect::kCount; ++d) {
                if (PyUnicode_Compare(item.get(), g.detector_names[d]) == 0) {
                    found = uint32_t{1} << d;
                    break;
                }
            }
            if (found == 0 && detect::group_bits(item.get(), &found) < 0) {
                return -1;
            }
        }
        if (found == 0) {
            return detect::unknown_detector(item.get());
        }
        bits |= found;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    *detectors = bits;
    return 0;
}

PyObject* detectors_names(uint32_t detectors)
{
    PyObject* names = PyTuple_New(__builtin_popcount(detectors & detect::kAllDetectors));
    if (names == nullptr) {
        return nullptr;
    }
    Py_ssize_t at = 0;
    for (int d = 0; d < detect::kCount; ++d) {
        if (detectors & (uint32_t{1} << d)) {
            PyTuple_SET_ITEM(names, at++, Py_NewRef(g.detector_names[d]));
        }
    }
    return names;
}

PyObject* detector_name(int detector)
{
    return g.detector_names[detector];
}

int detect_exec(PyObject* module)
{
    if (PyModule_AddFunctions(module, detect::functions) < 0) {
        return -1;
    }
    for (int d = 0; d < detect::kCount; ++d) {
        if (g.detector_names[d] == nullptr) {
            std::string_view name = detect::kNames[static_cast<size_t>(d)];
            g.detector_names[d] =
                PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
            if (g.detector_names[d] == nullptr) {
                return -1;
            }
            PyUnicode_InternInPlace(&g.detector_names[d]);
        }
    }
    Ref all = Ref::steal(detectors_names(detect::kAllDetectors));
    if (!all || PyModule_AddObjectRef(module, "DETECTORS", all.get()) < 0) {
        return -1;
    }
    return detect::add_groups(module);
}

}  // namespace zentrove::redact
