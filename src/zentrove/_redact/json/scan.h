// The JSON text scanner: one pass over UTF-8 bytes that validates strictly
// and copies the text through, replacing the body of each string that the
// rules mask.  Resumable at any byte, so input can come in chunks of any size.
#pragma once

#include "_redact/redact.h"

#include <cstddef>
#include <cstdint>

namespace zentrove::redact {

// Containers nested deeper than this are refused: the state stack is a fixed
// array, so memory stays bounded whatever the input.
inline constexpr uint32_t kMaxDepth = 10000;

// What went wrong, one message each (json_error_message); kPython means a
// Python exception is already set, or none when memory ran out.
enum class ScanError : uint8_t {
    kNone,
    kPython,
    kExpectValue,
    kExpectKey,
    kExpectColon,
    kExpectComma,
    kTrailingCommaArray,
    kTrailingCommaObject,
    kExtraData,
    kUnterminated,
    kControl,
    kEscape,
    kUnicodeEscape,
    kBadUtf8,
    kLeadingZero,
    kExpectDigit,
    kTooDeep,
};

// Growable byte buffer; the scanner's output and a key's decoded text.
struct ByteBuf {
    char* data = nullptr;  // owned (PyMem_Raw)
    size_t len = 0;
    size_t cap = 0;
};

// A small direct-mapped cache of verdicts for short decoded keys, so a key
// that repeats in every record is judged once per scanner.
struct KeyCache {
    static constexpr size_t kSlots = 1024;  // in pairs: two ways
    static constexpr size_t kMaxKey = 30;
    struct Slot {
        uint8_t len;      // length of text; 0xff for an empty slot
        uint8_t verdict;  // 0 or 1
        char text[kMaxKey];
    };
    Slot slots[kSlots];
};

// The scanner's state, by concern; one allocation holds it all (the caller's:
// it holds a fixed stack).  Zeroed by scanner_init, so each field's zero is
// its start.
struct ScanConfig {
    const Rules* rules;  // borrowed: the redactor is kept alive by the caller
    bool lines;          // JSON Lines: each line one document
    bool keep_going;     // JSON Lines: after a bad line, go on with the next
    bool surrogates;     // accept UTF-8-encoded surrogates (text from a str)
    bool scalars;        // numbers under a sensitive key are masked too
    bool detect;         // the redactor's detectors scan the strings kept
    const char* mask;    // borrowed: fixed mask, JSON-encoded body; NULL for stars
    size_t mask_len;
};

struct ParseState {
    uint8_t state;             // what is expected next (a State in json/scan.cpp)
    uint8_t str_kind;          // in a string: value kept, value masked, or key
    uint8_t esc;               // in a string: 0, after '\', or hex digits read + 2
    uint8_t utf8_need;         // continuation bytes still expected
    uint8_t utf8_lo, utf8_hi;  // allowed range of the next continuation byte
    uint8_t num;               // in a number: its sub-state
    bool num_masked;           // in a number: masked (scalars=True), written as a string
    const char* num_from;      // in a masked number: its first byte in this chunk
    uint8_t lit_idx;           // in a literal: bytes matched so far
    const char* lit;           // in a literal: the literal being matched
    bool key_sensitive;        // verdict on the key whose value comes next
    bool keyless;              // verdict on the top level, which has no key
    uint32_t hex;              // \uXXXX being read
    uint32_t high;             // pending high surrogate of an escape, or 0
    uint64_t count;            // code points of a masked string not yet written
    uint32_t depth;
    uint8_t stack[kMaxDepth];  // per level: object, or array (+ masked flag)
};

// Where the scan is, for messages.
struct ScanPositions {
    uint64_t base;           // bytes consumed before the current chunk
    const char* chunk;       // start of the current chunk, NULL between chunks
    uint64_t line;           // 1-based line of the current byte
    const char* line_start;  // in the current chunk, or NULL if before it
    uint64_t cols_before;    // code points of the current line before the chunk
};

struct ScanOutput {
    ByteBuf out;  // redacted text; [0, committed) is final
    size_t committed;
    const char* copy_from;   // input not yet copied out; NULL inside a mask
    size_t scan_mark;        // in a scanned string: where its body starts in `out`
    ByteBuf key;             // decoded text of the key (or scanned string) being read
    const char* key_direct;  // key text still in the chunk (no escape yet), or NULL
    ByteBuf value_key;       // with detectors: decoded text of the last key the rules keep
    uint64_t documents;      // JSON Lines: documents completed
};

// The last error, and where it happened.
struct ScanFailure {
    ScanError kind;
    uint8_t byte;  // the offending byte, for kBadUtf8
    uint64_t line, col;
};

// The GIL, released by the caller around a long scan (NULL when held): the
// scan takes it back for a key the cache does not know and to report a bad
// line, and nothing else in it needs Python.
struct ScanGil {
    PyThreadState* released;
};

struct ScanCaches {
    KeyCache keys;  // verdicts of short keys
};

struct Scanner {
    ScanConfig cfg;  // set by scanner_init, then fixed
    ParseState parse;
    ScanPositions pos;
    ScanOutput output;
    ScanFailure err;
    ScanGil gil;
    ScanCaches caches;
};

// Sets up a scanner (which the caller allocates: it holds a fixed stack).
void scanner_init(Scanner& s, const Rules& rules, bool lines, bool keep_going, bool surrogates,
                  const char* mask, size_t mask_len) noexcept;
void scanner_free(Scanner& s) noexcept;

// Scans one chunk, appending output.  0 on success; -1 when the scan stops
// at an error (s.err.kind; for kPython an exception is set).  In JSON Lines mode
// each bad line is passed to the callback `bad_line` (which may raise: return
// -1) and its output dropped; with keep_going the scan goes on.
[[nodiscard]] int scanner_feed(Scanner& s, const char* data, size_t size,
                               int (*bad_line)(Scanner&, void*), void* ctx) noexcept;
// The input has ended: completes or refuses the last document.
[[nodiscard]] int scanner_finish(Scanner& s, int (*bad_line)(Scanner&, void*), void* ctx) noexcept;

// Whether an error stopped the scan for good.
[[nodiscard]] bool scanner_stopped(const Scanner& s) noexcept;

// The message of an error kind, without its position.
[[nodiscard]] const char* json_error_message(ScanError error) noexcept;

// JSONRedactError (json/error.cpp): a new one for the scanner's last error;
// the same raised (nothing new for kPython, MemoryError if none is set).
[[nodiscard, gnu::cold]] PyObject* json_error(const Scanner& s);
[[gnu::cold]] void json_raise(const Scanner& s);
// The fixed mask of the rules as a JSON string body (json/api.cpp), owned
// by the caller: PyMem_Raw, like the scanner's buffers, or NULL for stars.
// 0, or -1 with an exception.
[[nodiscard]] int json_mask(const Rules& rules, char** mask, size_t* len);
// Adds the JSONStream type to the module (json/stream.cpp).
[[nodiscard]] int stream_exec(PyObject* module);

}  // namespace zentrove::redact
