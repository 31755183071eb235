// Matchers of markup: `<key>value</key>`, and the tag whose name= or key=
// attribute names the key of a `value` attribute (`<add key="password"
// value="x"/>`), for match_pair in detect/pairs.cpp.
#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {

bool tag_name(Scan& s, Py_ssize_t key, Py_ssize_t* begin, Py_ssize_t* end) noexcept
{
    // The tag starts after its '<' within 512 bytes, or 512 bytes back; a
    // '>' or a line's end in between: no tag.  Attributes in a row share
    // their tag and its name, so these searches are remembered.
    Py_ssize_t bound = s.memos().tag_bound.last(key, [&s](Py_ssize_t i) {
        unsigned char c = s.text[i];
        return c == '<' || c == '>' || c == '\n';
    });
    Py_ssize_t tag = key > 512 ? key - 512 : 0;
    if (bound >= 0 && key - bound <= 512) {
        if (s.text[bound] != '<') {
            return false;
        }
        tag = bound + 1;
    }
    Py_ssize_t a = s.memos().attribute.next(tag + 1, key - 6, 0, [&s](Py_ssize_t i) {
        return (s.has(i, "name=") || s.has(i, "key=")) && space(s.text[i - 1]) &&
               quote(s.at(i + (s.text[i] == 'n' ? 5 : 4)));
    });
    if (a < 0) {
        return false;
    }
    Py_ssize_t q = a + (s.text[a] == 'n' ? 5 : 4);
    unsigned char mark = s.text[q];
    Py_ssize_t close = s.memos().quote_close.next(q + 1, key, q, [&s, mark](Py_ssize_t i) {
        return s.text[i] == mark;
    });
    if (close < 0) {
        return false;
    }
    *begin = q + 1;
    *end = close;
    return *end > *begin;
}

// `<key>value</key>`: the value of an element with no attributes and no
// child, closed by its own end tag.
Py_ssize_t match_element(Scan& scan, Py_ssize_t at, int detector)
{
    Py_ssize_t name = at;
    while (name > 0 && at - name < kLongestKey && is(scan.text[name - 1], kKey)) {
        --name;
    }
    if (name == at || scan.at(name - 1) != '<' || scan.rules == nullptr) {
        return 0;
    }
    Py_ssize_t n = at - name;
    Py_ssize_t rest = scan.size - at - 1;
    Py_ssize_t end =
        at + 1 +
        searched(scan.text + at + 1,
                 std::memchr(scan.text + at + 1, '<', static_cast<size_t>(rest)), rest);
    if (end == scan.size || end == at + 1 || scan.at(end + 1) != '/' ||
        scan.at(end + 2 + n) != '>') {
        return 0;
    }
    examined(n);
    if (std::memcmp(scan.text + end + 2, scan.text + name, static_cast<size_t>(n)) != 0) {
        return 0;
    }
    // An element's own name is no more than a word of the vocabulary
    // (`<key>`, a property list's): the rules alone decide.
    int sensitive = scan.key_sensitive(name, n);
    if (sensitive != kRuleKey) {
        return sensitive < 0 ? -1 : 0;
    }
    if (scan.add(at + 1, end, detector) < 0) {
        return -1;
    }
    return end;
}

}  // namespace zentrove::redact::detect
