"""Mutation run of zentrove._redact: does the suite notice a one-line fault?

Each row of FAULTS below is (area, file under src/zentrove/_redact/, the exact
original text, its replacement).  For each row the script puts the fault
into a copy of the tree, builds the copy incrementally (the copy's build
directory is kept between rows and runs), and runs the tests of the row's
area against the copy's build with -x; a run that fails (or crashes, or
times out) kills the fault, one that passes leaves it "survived".  A row
whose original text is no longer in its file (the code was rewritten) is
reported "stale", and a fault that does not compile "no build"; neither
counts.  The checkout and its install are never touched.

Usage, from the checkout with the venv of the set-up commands:

    .venv/bin/python tests/mutants/run.py                   # every row
    .venv/bin/python tests/mutants/run.py --area json       # one area
    .venv/bin/python tests/mutants/run.py --row 3 --row 17  # rows by number
    .venv/bin/python tests/mutants/run.py --list            # rows, nothing run

The copy lives in --workdir (default: zentrove-mutants in the temporary
directory).  Exit status 0 when every fault that ran was killed, 1 otherwise.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SOURCES = "src/zentrove/_redact"

# The tests run per area, with -x: each run stays within about 30 s on two
# shared cores.
AREAS = {
    "keys": [
        "tests/test_redactor.py",
        "tests/test_text.py",
        "tests/test_detect.py",
        "tests/test_detect_keyed.py",
    ],
    "walks": ["tests/test_redactor_walk.py", "tests/test_model.py", "tests/test_detect.py"],
    "json": ["tests/test_text.py", "tests/test_detect_json.py"],
    "detect": [
        "tests/test_detect.py",
        "tests/test_detect_commands.py",
        "tests/test_text.py",
        "tests/test_detect_keyed.py",
    ],
}

FAULTS = [
    # ------------------------------------------------------------ key rules
    (
        "keys",
        "keytext.cpp",
        "c >= 'A' && c <= 'Z' ? c + 32 : c",
        "c >= 'A' && c < 'Z' ? c + 32 : c",
    ),
    (
        "keys",
        "keytext.cpp",
        "c >= 'A' && c <= 'Z' ? c + 32 : c",
        "c > 'A' && c <= 'Z' ? c + 32 : c",
    ),
    (
        "keys",
        "keytext.cpp",
        "table['_'] = table['-'] = table['.'] = table[' '] = kDrop;",
        "table['_'] = table['-'] = table['.'] = kDrop;",
    ),
    (
        "keys",
        "../_common/utf8.h",
        "    if (cp < 0x80) {\n        *out++ = static_cast<char>(cp);",
        "    if (cp <= 0x80) {\n        *out++ = static_cast<char>(cp);",
    ),
    ("keys", "../_common/utf8.h", "else if (cp < 0x800) {", "else if (cp <= 0x800) {"),
    ("keys", "../_common/utf8.h", "else if (cp < 0x10000) {", "else if (cp <= 0x10000) {"),
    (
        "keys",
        "keytext.cpp",
        "extra = 2, cp = lead & 0x0F, least = 0x800;",
        "extra = 2, cp = lead & 0x0F, least = 0x801;",
    ),
    (
        "keys",
        "keytext.cpp",
        "if (lead >= 0xC2 && lead <= 0xDF) {",
        "if (lead >= 0xC2 && lead < 0xDF) {",
    ),
    (
        "keys",
        "keytext.cpp",
        "else if (lead >= 0xF0 && lead <= 0xF4) {",
        "else if (lead >= 0xF0 && lead < 0xF4) {",
    ),
    ("keys", "rules.cpp", "        start = end;\n", ""),
    (
        "keys",
        "rules.cpp",
        "return contains_any(rules, folded, n) ? 1 : 0;",
        "return contains_any(rules, text, size) ? 1 : 0;",
    ),
    (
        "keys",
        "rules.cpp",
        "if (!PyUnicode_Check(key)) {\n        return rules.allow ? 1 : 0;",
        "if (!PyUnicode_Check(key)) {\n        return 0;",
    ),
    (
        "keys",
        "rules.cpp",
        "    if (rules.exact) {\n        return verdict(rules, text, size, fold);",
        "    if (true) {\n        return verdict(rules, text, size, fold);",
    ),
    # ---------------------------------------------------------------- walks
    (
        "walks",
        "walk/walk.cpp",
        "return w.rules.detectors == 0 ? Leaf::Keep : Leaf::Descend;",
        "return Leaf::Keep;",
    ),
    (
        "walks",
        "walk/tuple.cpp",
        "if (M == Mode::InPlace && result.get() != item) {",
        "if (M == Mode::Report && result.get() != item) {",
    ),
    (
        "walks",
        "walk/scalars.cpp",
        "if (PyBool_Check(v)) {\n            return -2;",
        "if (PyBool_Check(v)) {\n            return 1;",
    ),
    (
        "walks",
        "walk/scalars.cpp",
        "if (PyTuple_GET_SIZE(v) == 0) {\n            return -2;",
        "if (PyTuple_GET_SIZE(v) == 0) {\n            return 0;",
    ),
    ("walks", "walk/scalars.cpp", "return PyByteArray_GET_SIZE(v);", "return -2;"),
    (
        "walks",
        "walk/seen_map.cpp",
        "return reinterpret_cast<uintptr_t>(obj) | (sensitive ? 1 : 0);",
        "return reinterpret_cast<uintptr_t>(obj);",
    ),
    (
        "walks",
        "walk/generic.cpp",
        "    if (now == expected) {\n        return true;",
        "    if (now >= 0) {\n        return true;",
    ),
    # -------------------------------------------------------- JSON scanner
    (
        "json",
        "json/scan.cpp",
        "else if ((c | 0x20) == 'e' && s.parse.num != kExp) {",
        "else if ((c | 0x20) == 'e') {",
    ),
    (
        "json",
        "json/string.cpp",
        "if (s.parse.high != 0 && cp >= 0xDC00 && cp <= 0xDFFF) {",
        "if (s.parse.high != 0 && cp >= 0xDC00 && cp < 0xDFFF) {",
    ),
    (
        "json",
        "json/string.cpp",
        "if (cp >= 0xD800 && cp <= 0xDBFF) {",
        "if (cp >= 0xD800 && cp < 0xDBFF) {",
    ),
    (
        "json",
        "json/string.cpp",
        "cp = 0x10000 + ((s.parse.high - 0xD800) << 10) + (cp - 0xDC00);",
        "cp = 0x10000 + ((s.parse.high - 0xD800) << 10) + (cp - 0xDC01);",
    ),
    ("json", "json/string.cpp", "cp = '\\b';", "cp = 'b';"),
    (
        "json",
        "json/string.cpp",
        "s.parse.utf8_lo = c == 0xE0 ? 0xA0 : 0x80;",
        "s.parse.utf8_lo = 0x80;",
    ),
    ("json", "json/string.cpp", "return c == '\\n' && s.cfg.lines;", "return c == '\\n';"),
    (
        "json",
        "json/scan.cpp",
        "if (c == ' ' || c == '\\t' || c == '\\r') {",
        "if (c == ' ' || c == '\\t') {",
    ),
    (
        "json",
        "json/scan.cpp",
        "return step_failed(error, back, ScanError::kLeadingZero, 1);",
        "return step_failed(error, back, ScanError::kLeadingZero, 0);",
    ),
    (
        "json",
        "json/scan.cpp",
        "if (s.parse.state == kKeyAfterComma) {\n                return structure_failed(error, ScanError::kTrailingCommaObject);",
        "if (s.parse.state == kKeyOrClose) {\n                return structure_failed(error, ScanError::kTrailingCommaObject);",
    ),
    (
        "json",
        "json/end.cpp",
        "s.pos.cols_before += code_points(data, end);",
        "s.pos.cols_before = code_points(data, end);",
    ),
    (
        "json",
        "json/end.cpp",
        "s.output.committed = s.parse.state == kString && s.parse.str_kind == kScan\n"
        "                                 ? s.output.scan_mark\n"
        "                                 : s.output.out.len;",
        "s.output.committed = s.output.out.len;",
    ),
    (
        "json",
        "json/stream.cpp",
        "    if (self->busy) {\n        return busy_error();\n    }\n    if (self->closed) {\n"
        "        return closed_error();",
        "    if (self->closed) {\n        return closed_error();",
    ),
    ("json", "json/stream.cpp", "self->head_done = bom == 0;", "self->head_done = bom != 0;"),
    (
        "json",
        "json/bytes.cpp",
        "if (c == 0xED && p[1] < 0xA0) {",
        "if (c == 0xED && p[1] < 0x9F) {",
    ),
    (
        "json",
        "json/bytes.cpp",
        "*p == '\\\\' || *p < 0x20 || *p == 0xED) {",
        "*p == '\\\\' || *p < 0x1f || *p == 0xED) {",
    ),
    (
        "json",
        "json/bytes.cpp",
        ": append_stars(out, code_points(w.text + begin, w.text + end))) < 0) {",
        ": append_stars(out, static_cast<uint64_t>(end - begin))) < 0) {",
    ),
    (
        "detect",
        "detect/detect.h",
        "Py_ssize_t begin = span.begin > offset ? span.begin - offset : 0;",
        "Py_ssize_t begin = span.begin - offset;",
    ),
    (
        "keys",
        "rules.h",
        "    if (sensitive != 0 || rules.allow) {\n        return sensitive;",
        "    if (sensitive != 0) {\n        return sensitive;",
    ),
    (
        "json",
        "json/scan.cpp",
        "FAIL(ScanError::kExpectValue, p, s.parse.lit_idx);",
        "FAIL(ScanError::kExpectValue, p, 0);",
    ),
    (
        "json",
        "json/bytes.cpp",
        "uint64_t cont = w & ~(w << 1) & 0x8080808080808080ULL;",
        "uint64_t cont = w & 0x8080808080808080ULL;",
    ),
    (
        "json",
        "json/stream.cpp",
        "s.output.scan_mark = s.output.scan_mark >= n ? s.output.scan_mark - n : 0;",
        "s.output.scan_mark = 0;",
    ),
    (
        "json",
        "json/stream.cpp",
        "if (self->head_len == kUtf8BomSize ||\n            std::memcmp(self->head, kUtf8Bom, self->head_len) != 0) {",
        "if (self->head_len == kUtf8BomSize) {",
    ),
    (
        "json",
        "json/scan.cpp",
        "s.parse.state == kSkipLine ||\n"
        "                                 (s.parse.state == kNumber && s.parse.num_masked)",
        "s.parse.state == kSkipLine",
    ),
    (
        "json",
        "json/end.cpp",
        "        s.parse.count += static_cast<uint64_t>(end - s.parse.num_from);\n",
        "",
    ),
    (
        "json",
        "json/end.cpp",
        "s.parse.num == kExpE ||\n            s.parse.num == kExpSign) {",
        "s.parse.num == kExpE) {",
    ),
    (
        "json",
        "json/string.cpp",
        "            --s.parse.utf8_need;\n            if (s.parse.str_kind >= kKey && s.output.key_direct == nullptr) {",
        "            --s.parse.utf8_need;\n            if (false) {",
    ),
    (
        "json",
        "json/string.cpp",
        "            s.parse.esc = 0;\n            TRY(settle_high(s));\n            TRY(take_code_point(s, cp));",
        "            s.parse.esc = 0;\n            TRY(take_code_point(s, cp));",
    ),
    # ------------------------------------------------------------ detectors
    (
        "detect",
        "detect/card.cpp",
        "if (n < 13 || !issuer_known(digits, n) || !luhn_valid(digits, n)) {",
        "if (n < 12 || !issuer_known(digits, n) || !luhn_valid(digits, n)) {",
    ),
    (
        "detect",
        "detect/card.cpp",
        "if (is(after, kWord) || ((after == '-' || after == '.')",
        "if (((after == '-' || after == '.')",
    ),
    (
        "detect",
        "detect/card.cpp",
        "d = d * 2 > 9 ? d * 2 - 9 : d * 2;",
        "d = d * 2 > 9 ? d * 2 - 8 : d * 2;",
    ),
    (
        "detect",
        "detect/card.cpp",
        "return n == 13 || n == 16 || n == 19;",
        "return n == 13 || n == 16;",
    ),
    (
        "detect",
        "detect/pii.cpp",
        "if (n == 0 || octets[k] > 255 || (n > 1 && s.at(i) == '0')) {",
        "if (n == 0 || octets[k] > 256 || (n > 1 && s.at(i) == '0')) {",
    ),
    (
        "detect",
        "detect/pii.cpp",
        "if (area == 0 || area == 666 || area >= 900 || group == 0 || serial == 0) {",
        "if (area == 0 || area >= 900 || group == 0 || serial == 0) {",
    ),
    (
        "detect",
        "detect/pii.cpp",
        "return rest == 1 ? i : 0;",
        "return rest != 0 ? i : 0;",
    ),
    (
        "detect",
        "detect/pii.cpp",
        'if (digits < 8 || joined_after(s, end, "-./", kDigit)) {',
        'if (digits < 7 || joined_after(s, end, "-./", kDigit)) {',
    ),
    (
        "detect",
        "detect/pii.cpp",
        "if (gap ? groups > 7 || !any_digit : groups != 8) {",
        "if (gap ? groups > 7 : groups != 8) {",
    ),
    (
        "detect",
        "detect/pii.cpp",
        "if (labels >= 2 && letters && i - l >= 2) {",
        "if (labels >= 2 && i - l >= 2) {",
    ),
    (
        "detect",
        "detect/pii.cpp",
        "(o[0] == 192 && o[1] == 168) || (o[0] == 169 && o[1] == 254);",
        "(o[0] == 192 && o[1] == 168);",
    ),
    (
        "detect",
        "detect/card.cpp",
        "if (before == '/') {",
        "if (before == '\\\\') {",
    ),
    (
        "detect",
        "detect/tokens.cpp",
        "if (n >= 20) {\n        return true;",
        "if (n > 20) {\n        return true;",
    ),
    (
        "detect",
        "detect/tokens.cpp",
        "Py_ssize_t n = scan.run(body, p.body, p.max + 1);",
        "Py_ssize_t n = scan.run(body, p.body, p.max);",
    ),
    (
        "detect",
        "detect/tokens.cpp",
        "if (n < 6) {\n        return false;",
        "if (n < 5) {\n        return false;",
    ),
    (
        "detect",
        "detect/tokens.cpp",
        "if (payload < 2 || (!json",
        "if (payload < 1 || (!json",
    ),
    (
        "detect",
        "detect/families.cpp",
        "p.extra.empty() ? scan.run(at, p.cls, p.max + 1)",
        "p.extra.empty() ? scan.run(at, p.cls, p.max)",
    ),
    (
        "detect",
        "detect/families.cpp",
        "return (seen & kDigit) && (seen & (kUpper | kLower));",
        "return (seen & (kUpper | kLower)) != 0;",
    ),
    (
        "detect",
        "detect/families.cpp",
        "if ((!f.mark.empty() && !scan.has(body + f.mark_at, f.mark)) ||",
        "if (false ||",
    ),
    (
        "detect",
        "detect/pairs.cpp",
        "return c == 0 || space(c) || quote(c) || closer(c) || c == '&';",
        "return c == 0 || space(c) || quote(c) || closer(c);",
    ),
    (
        "detect",
        "detect/pairs.cpp",
        "return next != ':' && next != '=' && prev != ':' && !s.has(at + 1, \"//\");",
        "return next != ':' && next != '=' && prev != ':';",
    ),
    (
        "detect",
        "detect/pairs.cpp",
        "if (begin == end || is(s.text[begin], kDigit)) {",
        "if (begin == end) {",
    ),
    (
        "detect",
        "detect/url.cpp",
        " ||\n        !is(scan.at(user - 4), kUpper | kLower | kDigit)) {",
        ") {",
    ),
    (
        "detect",
        "detect/commands.cpp",
        'if (word.starts_with("mysql") || word.starts_with("mariadb")) {',
        'if (word.starts_with("mysql") || word == "mariadb") {',
    ),
    (
        "detect",
        "detect/commands.cpp",
        "if ((c == 'm' || c == 'c' || c == 'l') && !is(before, kKey)) {",
        "if (c == 'm' || c == 'c' || c == 'l') {",
    ),
    (
        "detect",
        "detect/commands.cpp",
        "        if (s.text[begin] != '-') {\n            return false;\n        }\n",
        "",
    ),
    (
        "detect",
        "detect/commands.cpp",
        "(shell && command_end(s, e, c))) {",
        "false) {",
    ),
    (
        "detect",
        "detect/commands.cpp",
        "named = named || !digit(c);",
        "named = true;",
    ),
    (
        "detect",
        "detect/commands.cpp",
        'if (pairs > 0 && token_is(scan, vb, ve, "default")) {',
        'if (token_is(scan, vb, ve, "default")) {',
    ),
    (
        "detect",
        "detect/pii.cpp",
        "bytes = bytes && s.text[g] == '0';",
        "bytes = false;",
    ),
    (
        "detect",
        "detect/pii.cpp",
        "if (sep == ' ' && listed) {",
        "if (false) {",
    ),
    (
        "detect",
        "detect/pii.cpp",
        "if (second < 3 || second > 4 || area + m < 10 || area + m > 11) {",
        "if (second < 3 || second > 4 || area + m < 10) {",
    ),
]


def run(cmd, cwd, env=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


class Tree:
    """The copy of the checkout that faults go into, with its own build."""

    def __init__(self, workdir):
        self.dir = workdir
        self.build = workdir / "build"
        self.env = dict(os.environ)
        # The checkout's editable install puts a finder of its own first on
        # sys.meta_path; the shim's sitecustomize takes it away, so that the
        # copy's src/ (and its freshly built modules) is what gets imported,
        # also by the tests' subprocesses.
        self.env["PYTHONPATH"] = os.pathsep.join([str(workdir / "shim"), str(workdir / "src")])
        self.env.pop("ZENTROVE_HYPOTHESIS_PROFILE", None)

    def sync(self):
        """Copies the checkout's sources and tests over the copy's, only
        the files that differ and with a fresh time (an older time would
        hide a change from the build, which stays incremental)."""
        files = [ROOT / name for name in ("CMakeLists.txt", "pyproject.toml", "README.md")]
        for part in ("src", "tests"):
            files += [
                f
                for f in (ROOT / part).rglob("*")
                if f.is_file() and "__pycache__" not in f.parts and f.suffix != ".so"
            ]
        for source in files:
            target = self.dir / source.relative_to(ROOT)
            if not target.exists() or target.read_bytes() != source.read_bytes():
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source, target)
        shim = self.dir / "shim"
        shim.mkdir(exist_ok=True)
        (shim / "sitecustomize.py").write_text(
            "import sys\n"
            "sys.meta_path[:] = [f for f in sys.meta_path\n"
            "                    if not type(f).__name__.startswith('ScikitBuild')]\n"
        )
        if not (self.build / "build.ninja").exists():
            done = run(
                [
                    "cmake",
                    "-S",
                    str(self.dir),
                    "-B",
                    str(self.build),
                    "-G",
                    "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}",
                ],
                self.dir,
            )
            if done.returncode != 0:
                sys.exit("cmake configure failed:\n" + done.stdout + done.stderr)

    def compile(self):
        done = run(["cmake", "--build", str(self.build)], self.dir)
        if done.returncode != 0:
            return False
        for so in self.build.glob("*.so"):
            shutil.copy2(so, self.dir / "src" / "zentrove" / so.name)
        return True

    def check_imports(self):
        """The tests must import the copy's modules, not the checkout's."""
        done = run(
            [sys.executable, "-c", "import zentrove._redact as m; print(m.__file__)"],
            self.dir,
            env=self.env,
        )
        where = Path(done.stdout.strip())
        if done.returncode != 0 or not where.is_relative_to(self.dir):
            sys.exit(f"the tests would import {where}, not the copy's build:\n{done.stderr}")

    def tests(self, area, timeout):
        cmd = [
            sys.executable,
            "-m",
            "pytest",
            "-x",
            "-q",
            "-p",
            "no:cacheprovider",
            "-m",
            "not slow and not leak",
            *AREAS[area],
        ]
        try:
            done = run(cmd, self.dir, env=self.env, timeout=timeout)
        except subprocess.TimeoutExpired:
            return False, "timeout"
        lines = done.stdout.strip().splitlines() or [""]
        # The first failing test, else pytest's summary line.
        failed = [line.split(" - ")[0] for line in lines if line.startswith(("FAILED ", "ERROR "))]
        return done.returncode == 0, (failed or lines)[-1 if not failed else 0]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--area", action="append", choices=sorted(AREAS))
    parser.add_argument("--row", action="append", type=int, help="row number, from 1")
    parser.add_argument("--list", action="store_true", help="print the rows and stop")
    parser.add_argument(
        "--workdir", type=Path, default=Path(tempfile.gettempdir()) / "zentrove-mutants"
    )
    parser.add_argument("--timeout", type=float, default=300, help="seconds per test run")
    args = parser.parse_args(argv)

    rows = [
        (i, row)
        for i, row in enumerate(FAULTS, 1)
        if (not args.area or row[0] in args.area) and (not args.row or i in args.row)
    ]
    if args.list:
        for i, (area, name, old, new) in rows:
            print(f"{i:3} {area:6} {name}: {old!r} -> {new!r}")
        return 0

    args.workdir.mkdir(parents=True, exist_ok=True)
    tree = Tree(args.workdir)
    tree.sync()
    if not tree.compile():
        sys.exit("the unchanged copy does not build")
    tree.check_imports()
    for area in sorted({row[0] for _, row in rows}):
        ok, last = tree.tests(area, args.timeout)
        if not ok:
            sys.exit(f"the unchanged copy fails the {area} tests: {last}")

    outcomes = {}
    for i, (area, name, old, new) in rows:
        path = tree.dir / SOURCES / name
        original = path.read_text(encoding="utf-8")
        found = original.count(old)
        if found != 1:
            outcome, detail = (
                ("stale", "original text not found")
                if found == 0
                else ("ambiguous", f"original text found {found} times")
            )
        else:
            started = time.monotonic()
            try:
                path.write_text(original.replace(old, new), encoding="utf-8")
                if not tree.compile():
                    outcome, detail = "no build", ""
                else:
                    passed, detail = tree.tests(area, args.timeout)
                    outcome = "survived" if passed else "killed"
            finally:
                path.write_text(original, encoding="utf-8")
            detail = f"{detail} ({time.monotonic() - started:.0f} s)"
        outcomes.setdefault(outcome, []).append(i)
        print(f"{i:3} {area:6} {name:18} {outcome:9} {detail}", flush=True)
    tree.compile()  # leave the copy's modules built from the unchanged sources

    killed, survived = len(outcomes.get("killed", [])), outcomes.get("survived", [])
    ran = killed + len(survived)
    print(", ".join(f"{name} {len(ids)}" for name, ids in sorted(outcomes.items())))
    if ran:
        print(
            f"killed {killed} of {ran} ({100 * killed / ran:.0f}%)"
            + (f"; survived: rows {', '.join(map(str, survived))}" if survived else "")
        )
    return 1 if survived or outcomes.get("ambiguous") else 0


if __name__ == "__main__":
    sys.exit(main())
