"""zentrove.dask on a real two-process cluster: results equal the
single-process result, redactors travel by pickle, workers' global lists play
no part, failed partitions leave nothing behind, bad lines are never dropped."""

import copy
import gzip
import io
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

distributed = pytest.importorskip("distributed")
import dask  # noqa: E402
import dask.bag as db  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402

import zentrove.dask as zd  # noqa: E402
from zentrove import Redactor, cli, omit  # noqa: E402
from zentrove._dask_tasks import redact_series, task_engine  # noqa: E402

pytestmark = pytest.mark.slow  # a cluster of two worker processes

RECORDS = [
    {"user": "bob", "password": "hunter2", "n": 1e2},
    {"token": ["ab", ["c\u00e9"]], "nested": {"password": 'x\\y"z', "id": 7}},
    ["top", {"password": "\ud83d\ude00\ud800"}],
    "plain",
    {"user": "\u0000ctl", "password": None, "tokens": {"token": "t"}},
]


def jsonl(count):
    rows = [json.dumps(RECORDS[i % len(RECORDS)]) for i in range(count)]
    rows[3] = "  \r"  # blank: not a value
    rows[5] += "\r"
    return "\ufeff" + "\n".join(rows) + "\n"


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    )
    with cluster, distributed.Client(cluster) as client:
        # Workers whose global lists would change every result if they were
        # used: the redactors must carry their own lists.
        client.run(omit.always_omit, ["user", "id", "n"])
        client.run(omit.always_trust, ["password", "token"])
        yield client


def single_process(redactor, paths, tmp_path):
    """The output for some files in one process: the native text path of a
    Redactor, or else zentrove.dask itself, one partition per file and no
    cluster."""
    if not isinstance(redactor, Redactor):
        with dask.config.set(scheduler="sync"):
            summary = zd.redact_text_files(
                paths, str(tmp_path / "single"), redactor, blocksize=None
            )
        return read_outputs(summary)
    out = io.BytesIO()
    for path in map(pathlib.Path, paths):
        data = gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()
        if path.suffix == ".json":
            out.write(redactor.redact_json(data))
        else:
            redactor.redact_json_lines(io.BytesIO(data), out)
    return out.getvalue()


def walk(redactor, value):
    """A redacted copy by the object walk; a non-object has no key."""
    holder = {None: copy.deepcopy(value)}
    return redactor.omit(holder)[None]


def read_outputs(summary):
    return b"".join(pathlib.Path(path).read_bytes() for path in summary.outputs)


class WriteFails:
    """Passes JSON through, but hands back no bytes for one line: the
    partition fails while its output is being written."""

    def redact_json(self, data):
        return None if b"plain" in data else data


@pytest.mark.parametrize(
    "make, clear",
    [
        (lambda: omit.Omitter(["password"]), b'"token": ["**", ["**"]]'),
        (lambda: omit.NoTrustOmitter(["n"]), b'"user": "bob"'),
        (lambda: Redactor(omit=["password", "token"]), b'"token": ["**", ["**"]]'),
        (lambda: Redactor(trust=["n", "user"]), b'"user": "bob"'),
    ],
)
def test_same_as_single_process(client, tmp_path, make, clear):
    # Built while the driver's global lists name "token" and "user": they
    # travel as part of an Omitter's own lists.
    omit.always_omit(["token"]), omit.always_trust(["user"])
    redactor = make()
    omit.reset_omissions(), omit.reset_trusted()
    lines, doc, packed = tmp_path / "a.jsonl", tmp_path / "b.json", tmp_path / "c.jsonl.gz"
    lines.write_text(jsonl(40)[:-1], encoding="utf-8")  # no line end at the end
    doc.write_text(json.dumps(RECORDS[1], indent=4), encoding="utf-8")
    packed.write_bytes(gzip.compress(jsonl(7).encode()))
    summary = zd.redact_text_files(
        str(tmp_path / "*.json*"), str(tmp_path / "out"), redactor, blocksize=300
    )

    expected = single_process(redactor, [str(lines), str(doc), str(packed)], tmp_path)
    assert read_outputs(summary) == expected and clear in expected
    assert len(summary.outputs) > 5 and summary.outputs[-1].endswith(
        f"part-{len(summary.outputs) - 1:05d}.jsonl"
    )
    assert summary == zd.Summary(39 + 1 + 6, None, 0, (), summary.outputs)


def test_failed_partition_leaves_nothing_and_rerun_overwrites(client, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "part-00001.jsonl").write_bytes(b"old\n")
    (out / "part-00009.jsonl").write_bytes(b"stale\n")
    (out / "notes.txt").write_bytes(b"mine\n")
    sources = [tmp_path / "in0.jsonl", tmp_path / "in1.jsonl"]
    sources[0].write_text(json.dumps(RECORDS[0]) + "\n")
    sources[1].write_text("".join(json.dumps(r) + "\n" for r in RECORDS))
    glob = str(tmp_path / "in*.jsonl")
    with pytest.raises(TypeError) as caught:
        zd.redact_text_files(glob, str(out), WriteFails(), blocksize=None)
    assert str(caught.value) == "a bytes-like object is required, not 'NoneType'"
    where = f"while redacting {sources[1]} from byte 0 into {out}/part-00001.jsonl:\n"
    assert caught.value.__notes__[0].startswith(where)
    # The call returned once every task had ended: the good partition is
    # written, the failed one left the old file as it was.
    assert sorted(os.listdir(out)) == [
        "notes.txt",
        "part-00000.jsonl",
        "part-00001.jsonl",
        "part-00009.jsonl",
    ]
    assert (out / "part-00001.jsonl").read_bytes() == b"old\n"

    redactor = Redactor(omit=["password"])
    summary = zd.redact_text_files(glob, str(out), redactor)
    expected = single_process(redactor, map(str, sources), tmp_path)
    assert read_outputs(summary) == expected
    assert sorted(os.listdir(out)) == ["notes.txt", "part-00000.jsonl", "part-00001.jsonl"]
    packed = zd.redact_text_files(glob, str(out), redactor, output_compression="gzip")
    assert gzip.decompress(read_outputs(packed)) == expected
    assert sorted(os.listdir(out)) == ["notes.txt", "part-00000.jsonl.gz", "part-00001.jsonl.gz"]


BAD = '{"password": "a"}\n{"password": \n\n{"password": "b"}\n[1,]\n\xff\n'


EXPECTING, COMMA = (
    "invalid JSON: Expecting value",
    "invalid JSON: Illegal trailing comma before end of array",
)


@pytest.mark.parametrize("keep_going", [False, True])
@pytest.mark.parametrize(
    "redactor, bad, tail",
    [
        (
            omit.Omitter(["password"]),
            [
                (2, 4, EXPECTING),
                (32, 14, EXPECTING),
                (35, 4, EXPECTING),
                (36, None, "invalid UTF-8: invalid start byte"),
            ],
            b'{"ok": 1}\n{"password": "*"}\n{"password": "*"}\n',
        ),
        (
            Redactor(omit=["password"]),  # the text path keeps the blank line
            [(2, 4, COMMA), (32, 14, EXPECTING), (35, 4, COMMA), (36, 1, EXPECTING)],
            b'{"ok": 1}\n{"password": "*"}\n\n{"password": "*"}\n',
        ),
    ],
)
def test_bad_lines_are_reported_never_dropped(client, tmp_path, keep_going, redactor, bad, tail):
    source, doc = tmp_path / "bad.jsonl", tmp_path / "bad.json"
    source.write_bytes(b'{"ok": 1}\n' * 30 + BAD.encode("latin-1"))
    doc.write_text('{"a": [1,\n 2,]}')
    expected = tuple(
        zd.BadLine(str(doc if i == 0 else source), *where) for i, where in enumerate(bad)
    )
    run = lambda: zd.redact_text_files(  # noqa: E731
        str(tmp_path / "bad.json*"),
        str(tmp_path / "out"),
        redactor,
        keep_going=keep_going,
        blocksize=100,
    )
    if not keep_going:
        with pytest.raises(zd.BadInputError) as caught:
            run()
        assert str(caught.value) == f"{doc}:2:4: {bad[0][2]}"
        assert caught.value.bad == expected[0]
        # Neither the bad document nor a temporary file is left behind.
        assert all(
            re.fullmatch(r"part-\d{5}\.jsonl", name) for name in os.listdir(tmp_path / "out")
        )
        return
    summary = run()
    assert (summary.lines, summary.bad_lines, summary.first_bad) == (32, 4, expected)
    assert all(
        path.endswith(".jsonl") for path in summary.outputs
    )  # no output for the bad document
    assert read_outputs(summary).endswith(tail)


@pytest.mark.parametrize(
    "redactor, out",
    [
        (omit.Omitter(["pw"]), b'{"pw": "*"}\n{"pw": "**"}\n{"pw": "**"}\n'),
        # The text path keeps the file's own mark.
        (Redactor(omit=["pw"]), b'\xef\xbb\xbf{"pw": "*"}\n{"pw": "**"}\n{"pw": "**"}\n'),
    ],
)
def test_a_byte_order_mark_counts_at_the_start_of_a_file_only(tmp_path, redactor, out):
    lines = [
        b'\xef\xbb\xbf{"pw": "a"}',
        b'{"pw": "bb"}',
        b'\xef\xbb\xbf{"pw": "c"}',
        b'{"pw": "dd"}',
    ]
    source = tmp_path / "a.jsonl"
    source.write_bytes(b"\n".join(lines) + b"\n")
    third = source.read_bytes().index(lines[2])
    # One partition; the third line opening a partition; a partition
    # starting after it; one partition per line.
    for blocksize in (None, third - 1, third, 5):
        with dask.config.set(scheduler="sync"):
            summary = zd.redact_text_files(
                str(source),
                str(tmp_path / f"out{blocksize}"),
                redactor,
                keep_going=True,
                blocksize=blocksize,
            )
        assert (read_outputs(summary), summary.bad_lines, summary.first_bad) == (
            out,
            1,
            (zd.BadLine(str(source), 3, 1, "invalid JSON: Expecting value"),),
        ), blocksize


@pytest.mark.parametrize(
    "redactor",
    [omit.Omitter(["password", "token"]), Redactor(omit=["password", "token"], exact=True)],
)
def test_bag_copies_and_column(client, redactor):
    model = omit.Omitter(["password", "token"])
    original = copy.deepcopy(RECORDS)
    expected = [walk(model, r) for r in RECORDS]
    with dask.config.set(scheduler="sync"):  # shared objects, no pickling
        assert (
            zd.redact_bag(db.from_sequence(RECORDS, npartitions=2), redactor).compute() == expected
        )
    assert RECORDS == original
    assert zd.redact_bag(db.from_sequence(RECORDS, npartitions=3), redactor).compute() == expected

    texts = [json.dumps(r) for r in RECORDS] + [None]
    frame = dd.from_pandas(pd.DataFrame({"j": texts, "k": range(6)}), npartitions=2)
    result = zd.redact_column(frame, "j", redactor).compute()
    assert [json.loads(text) for text in result["j"][:5]] == [
        walk(model, json.loads(t)) for t in texts[:5]
    ]
    assert result["j"].isna().tolist() == [False] * 5 + [True] and list(result["k"]) == list(
        range(6)
    )

    bad = dd.from_pandas(pd.DataFrame({"j": ["[1]", "[1] x", 5]}, index=[7, 8, 9]), npartitions=1)
    with pytest.raises(ValueError) as caught:
        zd.redact_column(bad, "j", redactor).compute()
    assert str(caught.value) == "column 'j', row 8, column 5: invalid JSON: Extra data"


DEEP = "[" * 100000 + "]" * 100000


@pytest.mark.parametrize(
    "redactor, value, error, message",
    [
        (omit.Omitter(["a"]), DEEP, ValueError, "column 'j', row 7: nested too deeply"),
        (
            Redactor(omit=["a"]),
            DEEP,
            ValueError,
            "column 'j', row 7, column 10001: invalid JSON: Nesting deeper than 10000 levels",
        ),
        (
            omit.Omitter(["a"]),
            b"\xff",
            ValueError,
            "column 'j', row 7: invalid UTF-8: invalid start byte",
        ),
        (Redactor(omit=["a"]), 5, TypeError, "column 'j', row 7: expected JSON text, got int"),
    ],
)
def test_a_column_value_error_names_its_row(redactor, value, error, message):
    series = pd.Series([value], index=[7], name="j")
    with pytest.raises(error) as caught:
        redact_series(series, task_engine(redactor), "j")
    assert str(caught.value) == message


def test_command_line(client, tmp_path, capsys):
    source, out = tmp_path / "in.jsonl", tmp_path / "out"
    source.write_bytes(b'{"password": "ab"}\n{bad\n{"password": "c"}\n')
    argv = ["--dask", client.scheduler.address, "--omit", "password", str(source)]
    assert cli.main([*argv, "-o", str(out), "--keep-going"]) == cli.EXIT_DATA
    assert (out / "part-00000.jsonl").read_bytes() == b'{"password": "**"}\n{"password": "*"}\n'
    message = "invalid JSON: Expecting property name enclosed in double quotes"
    assert capsys.readouterr().err == f"zentrove: {source}:2:2: {message}\n"
    for extra, error in [
        (
            ["-j2", "-o", str(out)],
            "--dask takes no --jobs or --lines: the cluster splits the work, "
            "and files ending in .json are documents",
        ),
        ([], "--dask reads named inputs and needs --output DIRECTORY"),
        (["-o", "-"], "--dask reads named inputs and needs --output DIRECTORY"),
        (["-o", str(source)], f"output directory {str(source)!r} is a file"),
    ]:
        assert cli.main(argv + extra) == cli.EXIT_USAGE
        assert capsys.readouterr().err.endswith(f"zentrove: error: {error}\n")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: zd.redact_bag(db.from_sequence([1]), 1),
            TypeError,
            "expected a zentrove redactor, got int",
        ),
        (
            lambda: zd.redact_text_files("/nonexistent/*.jsonl", "/tmp/x", omit.Omitter()),
            FileNotFoundError,
            "no input file matches '/nonexistent/*.jsonl'",
        ),
        (
            lambda: zd.redact_text_files(__file__, "/tmp/x", omit.Omitter(), blocksize=0),
            ValueError,
            "blocksize must be a positive number of bytes, not 0",
        ),
        (
            lambda: zd.redact_text_files(
                __file__, "/tmp/x", omit.Omitter(), output_compression="rar"
            ),
            ValueError,
            "unknown output_compression 'rar'",
        ),
        (
            lambda: zd.redact_text_files(
                pathlib.Path(__file__), pathlib.Path(__file__).parent, omit.Omitter()
            ),
            ValueError,
            f"input {__file__!r} is inside the output directory",
        ),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_import_without_dask():
    script = (
        "import sys, zentrove, zentrove.cli, zentrove.logs\n"
        "assert 'dask' not in sys.modules\n"
        "sys.modules['dask'] = None\n"
        "try:\n    import zentrove.dask\n"
        "except ImportError as exc:\n    print(exc)\n"
    )
    ran = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    assert ran.stdout == "zentrove.dask needs Dask: pip install 'zentrove[dask]'\n"
