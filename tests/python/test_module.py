"""The Python module against the command: same reports, same error messages, the GIL
released while the engine runs."""
import json
import sys
import threading
import time

import pytest

import tracedx
from conftest import FIXTURES, IMPORTS, big_trace, report_figure, run_tracedx, same

FIXTURE_FILES = sorted(FIXTURES.glob("*.json"))


@pytest.mark.parametrize("path", FIXTURE_FILES, ids=lambda p: p.stem)
def test_diagnosis_equals_command(path):
    command = run_tracedx("diagnose", path, "--compact", "--signals")
    assert command.returncode == 0, command.stderr
    expected = json.loads(command.stdout)
    text = path.read_text()
    assert same(tracedx.diagnose(text, signals=True), expected)
    # Bytes and the decoded document give the same report.
    assert same(tracedx.diagnose(text.encode(), signals=True), expected)
    assert same(tracedx.diagnose(json.loads(text), signals=True), expected)


OPTION_ROWS = [
    (["--slow-threshold-ms", "1"], dict(slow_threshold_ms=1)),
    (["--slow-threshold-ms", "18446744073709551615"], dict(slow_threshold_ms=2**64 - 1)),
    (["--no-secondary"], dict(secondary_issues=False)),
    (["--no-recommendations"], dict(recommendations=False)),
    (["--no-secondary", "--no-recommendations", "--signals"],
     dict(secondary_issues=False, recommendations=False, signals=True)),
]


@pytest.mark.parametrize("flags,kwargs", OPTION_ROWS)
@pytest.mark.parametrize("name", ["slow_retrieval_success", "grounding_failure", "stale_memory"])
def test_options_equal_command_flags(name, flags, kwargs):
    path = FIXTURES / f"{name}.json"
    expected = json.loads(run_tracedx("diagnose", path, "--compact", *flags).stdout)
    assert same(tracedx.diagnose(path.read_text(), **kwargs), expected)


COMPARE_PAIRS = sorted({p.name.split("__")[0] for p in FIXTURES.glob("compare_*__primary.json")})


@pytest.mark.parametrize("pair", COMPARE_PAIRS + ["healthy_run|timeout"])
def test_comparison_equals_command(pair):
    if "|" in pair:
        a, b = (FIXTURES / f"{n}.json" for n in pair.split("|"))
    else:
        a, b = FIXTURES / f"{pair}__primary.json", FIXTURES / f"{pair}__compared.json"
    expected = json.loads(run_tracedx("compare", a, b, "--compact").stdout)
    assert same(tracedx.compare(a.read_text(), json.loads(b.read_text())), expected)


@pytest.mark.parametrize("path", sorted(IMPORTS.iterdir()), ids=lambda p: p.name)
def test_imported_traces_equal_command(path):
    source = "chat" if ".chat." in path.name else "otlp"
    expected = json.loads(run_tracedx("diagnose", "--from", source, path, "--compact").stdout)
    text = path.read_text()
    assert same(tracedx.diagnose(text, source=source), expected)
    if path.suffix == ".json":
        assert same(tracedx.diagnose(json.loads(text), source=source), expected)


RUN_STATUS_ROWS = [
    ("fixture", FIXTURES / "healthy_run.json", "failed"),
    ("otlp", IMPORTS / "genai_tool_failure.otlp.json", "completed"),
    ("chat", IMPORTS / "group_chat_search_loop.chat.json", "failed"),
]


@pytest.mark.parametrize("source,path,stated", RUN_STATUS_ROWS, ids=lambda v: str(v))
def test_run_status_equals_command(source, path, stated):
    command = run_tracedx("diagnose", "--from", source, path, "--compact", "--signals", "--run-status", stated)
    assert command.returncode == 0, command.stderr
    text = path.read_text()
    report = tracedx.diagnose(text, source=source, signals=True, run_status=stated)
    assert same(report, json.loads(command.stdout))
    assert report["signals"]["run_status"] == stated
    assert tracedx.diagnose(text, source=source, signals=True)["signals"]["run_status"] != stated
    if path.suffix == ".json":
        assert same(tracedx.diagnose(json.loads(text), source=source, signals=True, run_status=stated), report)


def test_compare_run_statuses_equal_command():
    a = FIXTURES / "healthy_run.json"
    for flags, kwargs in [(["--run-status", "failed"], dict(run_status="failed")),
                          (["--compared-run-status", "failed"], dict(compared_run_status="failed"))]:
        expected = json.loads(run_tracedx("compare", a, a, "--compact", *flags).stdout)
        assert same(tracedx.compare(a.read_text(), a.read_text(), **kwargs), expected)
        assert expected != json.loads(run_tracedx("compare", a, a, "--compact").stdout)


# Inputs the command refuses, written to a file: the module given the same bytes and the
# file's name raises TraceError with the message the command prints after "Error: ".
TWO_OTLP_TRACES = json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [
    {"traceId": "aa", "spanId": "01", "name": "a", "startTimeUnixNano": "1", "endTimeUnixNano": "2"},
    {"traceId": "bb", "spanId": "02", "name": "b", "startTimeUnixNano": "1", "endTimeUnixNano": "2"},
]}]}]})
ERROR_ROWS = [
    ("fixture", "{", None),
    ("fixture", "", None),
    ("fixture", '{"steps": []}', None),
    ("fixture", '{"run": {}}', None),
    ("fixture", "[1, 2]", None),
    ("fixture", "[" * 129 + "]" * 129, None),
    ("fixture", '{"run": {}, "steps": []} trailing', None),
    ("otlp", TWO_OTLP_TRACES, None),
    ("otlp", TWO_OTLP_TRACES, "cc"),
    ("otlp", '{"resourceSpans": []}', None),
    ("otlp", "not json", None),
    ("chat", '{"nothing": 1}', None),
    ("chat", '[{"foo": 1}]', None),
    ("chat", '[{"task_id": 0, "reward": 0.0, "traj": [{"role": "user", "content": "hi"}]}]', None),
    ("chat", "[1", None),
]


def python_words(message):
    """The command's message as Python callers read it: a flag named as the parameter."""
    return message.replace("pick one with --trace-id", "pick one with trace_id=")


@pytest.mark.parametrize("source,content,trace_id", ERROR_ROWS)
def test_errors_carry_the_command_message(tmp_path, source, content, trace_id):
    (tmp_path / "bad.json").write_text(content)
    args = ["diagnose", "--from", source, "bad.json"] + (["--trace-id", trace_id] if trace_id else [])
    command = run_tracedx(*args, cwd=tmp_path)
    assert command.returncode == 1 and command.stdout == ""
    assert command.stderr.startswith("Error: ")
    with pytest.raises(tracedx.TraceError) as raised:
        tracedx.diagnose(content, source=source, trace_id=trace_id, name="bad.json")
    assert str(raised.value) == python_words(command.stderr[len("Error: "):].rstrip("\n"))
    # With the default name the message reads as for standard input.
    stdin = run_tracedx(*[a if a != "bad.json" else "-" for a in args], stdin=content)
    with pytest.raises(tracedx.TraceError) as raised:
        tracedx.diagnose(content, source=source, trace_id=trace_id)
    assert stdin.returncode == 1 and str(raised.value) == python_words(stdin.stderr[len("Error: "):].rstrip("\n"))


def test_compare_names_the_failing_side():
    good = (FIXTURES / "healthy_run.json").read_text()
    with pytest.raises(tracedx.TraceError, match="^b.json: invalid JSON at line 1, column 1"):
        tracedx.compare(good, "x", primary_name="a.json", compared_name="b.json")
    with pytest.raises(tracedx.TraceError, match="^fixture.run missing$"):
        tracedx.compare("{}", good)


def test_compare_picks_a_trace_per_side(tmp_path):
    """One OTLP file compared with itself, a trace per side, as the command's per-side options."""
    path = tmp_path / "two.json"
    path.write_text(TWO_OTLP_TRACES)
    expected = json.loads(run_tracedx("compare", path, path, "--left-trace-id", "aa",
                                      "--right-trace-id", "bb", "--compact").stdout)
    assert same(tracedx.compare(path, path, trace_id="aa", compared_trace_id="bb"), expected)
    assert same(tracedx.compare(TWO_OTLP_TRACES, TWO_OTLP_TRACES, source="otlp", trace_id="aa",
                                compared_trace_id="bb"), expected)
    # The side that still needs a pick is named by its parameter.
    one = tmp_path / "one.json"
    one.write_text(json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [
        {"traceId": "aa", "spanId": "01", "name": "a"}]}]}]}))
    with pytest.raises(tracedx.TraceError, match="pick one with compared_trace_id="):
        tracedx.compare(one, path)


def nested(depth):
    """A fixture whose containers nest `depth` levels, the top object being level 1."""
    value = []
    for _ in range(depth - 3):
        value = [value]
    return {"run": {"x": value}, "steps": []}


DECODED_ROWS = [
    # A decoded document is held to what its JSON text could say.
    (nested(128), None),
    (nested(129), tracedx.TraceError),
    ({"run": {"a": float("nan")}, "steps": []}, tracedx.TraceError),
    ({"run": {"a": float("inf")}, "steps": []}, tracedx.TraceError),
    ({"run": {"a": 10**400}, "steps": []}, tracedx.TraceError),
    ({"run": {"a": "\ud800"}, "steps": []}, tracedx.TraceError),
    ({"run": {1: "x"}, "steps": []}, TypeError),
    ({"run": {"a": {1, 2}}, "steps": []}, TypeError),
    ({"run": {"a": b"raw"}, "steps": []}, TypeError),
    (42, TypeError),
    (None, TypeError),
]


@pytest.mark.parametrize("document,raises", DECODED_ROWS)
def test_decoded_documents(document, raises):
    if raises is None:
        assert same(tracedx.diagnose(document), tracedx.diagnose(json.dumps(document)))
    else:
        with pytest.raises(raises):
            tracedx.diagnose(document)
    if raises is tracedx.TraceError and document is DECODED_ROWS[1][0]:
        with pytest.raises(tracedx.TraceError, match="nesting deeper than 128 levels"):
            tracedx.diagnose(json.dumps(document))


def test_numbers_of_a_decoded_document_read_as_in_text():
    # Integers beyond 64 bits read as floats, as the parser reads them: not a step_index.
    for index in (0, 2**63, 2**64 - 1, 2**64, -1):
        doc = {"run": {"status": "failed"}, "steps": [{"step_index": index, "status": "error", "type": "tool"}]}
        text = json.dumps(doc)
        assert same(tracedx.diagnose(doc), tracedx.diagnose(text)), index
    # Tuples are arrays; bytearray and memoryview are texts.
    doc = json.loads((FIXTURES / "tool_failure.json").read_text())
    as_tuple = dict(doc, steps=tuple(doc["steps"]))
    raw = json.dumps(doc).encode()
    for value in (as_tuple, bytearray(raw), memoryview(raw)):
        assert same(tracedx.diagnose(value), tracedx.diagnose(doc))


ARGUMENT_ROWS = [
    (dict(source="xml"), ValueError),
    (dict(slow_threshold_ms=-1), ValueError),
    (dict(slow_threshold_ms=2**64), ValueError),
    (dict(slow_threshold_ms="10"), TypeError),
    (dict(slow_threshold_ms=True), TypeError),
    (dict(unknown=1), TypeError),
    (dict(run_status="succeeded"), ValueError),
    (dict(run_status="Failed"), ValueError),
    (dict(run_status=1), TypeError),
]


@pytest.mark.parametrize("kwargs,raises", ARGUMENT_ROWS)
def test_bad_arguments(kwargs, raises):
    with pytest.raises(raises):
        tracedx.diagnose((FIXTURES / "healthy_run.json").read_text(), **kwargs)


def test_trace_error_is_a_value_error():
    assert issubclass(tracedx.TraceError, ValueError)


def test_threads_diagnose_in_parallel():
    corpus = [big_trace(4000) for _ in range(8)]
    expected = tracedx.diagnose(corpus[0])

    def run(threads):
        results = [None] * len(corpus)

        def work(k):
            for i in range(k, len(corpus), threads):
                results[i] = tracedx.diagnose(corpus[i])

        start = time.perf_counter()
        pool = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        return time.perf_counter() - start, results

    one, results_one = run(1)
    two, results_two = run(2)
    assert all(same(r, expected) for r in results_one + results_two)
    mb = sum(map(len, corpus)) / 2**20
    report_figure("threads", f"8 traces of 4,000 steps ({mb:.0f} MB): 1 thread {one:.2f} s, "
                  f"2 threads {two:.2f} s, speed-up {one / two:.2f}")


def test_buffer_views_read_their_own_bytes():
    raw = (FIXTURES / "tool_failure.json").read_bytes()
    expected = tracedx.diagnose(raw)
    doubled = bytes(b for c in raw for b in (c, 0x20))
    views = [
        memoryview(doubled)[::2],                 # every other byte
        memoryview(raw[::-1])[::-1],              # negative stride, pointer at the last byte
        memoryview(raw).cast("B", (len(raw),)),   # a plain one-dimensional cast
        memoryview(bytearray(raw))[0:],           # a view of a mutable buffer
    ]
    if len(raw) % 2 == 0:
        views.append(memoryview(raw).cast("B", (2, len(raw) // 2)))  # two dimensions
    for view in views:
        assert same(tracedx.diagnose(view), expected)
    # A strided view of something else is that something else, not the memory around it.
    with pytest.raises(tracedx.TraceError):
        tracedx.diagnose(memoryview(raw)[::3])


# A list subclass whose __getitem__ empties the dict holding it: read with borrowed
# references this freed the key and the list while they were in use. Run in a child with
# Python's debug allocator, which turns such a use into a crash.
EVIL_CONTAINERS = r"""
import json, tracedx
class Evil(list):
    def __getitem__(self, i):
        parent.clear()
        return list.__getitem__(self, i)
def build():
    # The key and the list are held by the dict alone.
    return {"run": {"status": "failed"}, "".join(["k"] * 40): Evil([{"a": 1}]),
            "steps": [{"status": "failed", "raw_output": {"".join(["v"] * 9): Evil([2])}}]}
parent = build()
result = tracedx.diagnose(parent)
assert len(parent) == 3, "the converter called __getitem__"
assert result == tracedx.diagnose(json.dumps(build()))
parent = build()["steps"][0]["raw_output"]
assert tracedx.diagnose({"run": {}, "steps": [{"raw_output": parent}]})
print("ok")
"""


def test_containers_mutated_by_their_items():
    import os
    import subprocess
    import sys
    env = dict(os.environ, PYTHONMALLOC="debug")
    if "LD_PRELOAD" in env:  # under AddressSanitizer, which finds the same faults itself
        env["PYTHONMALLOC"] = "malloc"
    r = subprocess.run([sys.executable, "-c", EVIL_CONTAINERS], env=env, capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0 and r.stdout == "ok\n", r.stderr[-3000:]


def test_error_messages_are_whole():
    # A parse error quotes bytes that are not UTF-8: they arrive as backslash escapes.
    with pytest.raises(tracedx.TraceError) as raised:
        tracedx.diagnose(b'{"run": "\xff\xfe"}')
    message = str(raised.value)
    assert message.startswith("-: invalid JSON at line 1, column "), message
    assert "\\xff" in message
    # A name holding a NUL is kept whole.
    with pytest.raises(tracedx.TraceError) as raised:
        tracedx.diagnose("{", name="a\0b.json")
    assert str(raised.value).startswith("a\0b.json: invalid JSON at line 1"), str(raised.value)
    with pytest.raises(tracedx.TraceError, match="^fixture.run missing$"):
        tracedx.diagnose("[]", name="x\0y")


def test_the_gil_is_released_while_the_engine_runs():
    # Measured by events, not by time: with a switch interval far longer than the run, the
    # main thread can only act while the worker is inside diagnose if diagnose released
    # the GIL. It then sets `answered` before diagnose returns.
    trace = big_trace(6000)
    started, answered = threading.Event(), threading.Event()
    seen = []

    def work():
        started.set()
        tracedx.diagnose(trace)
        seen.append(answered.is_set())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        answered.set()
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert seen == [True]


SAMPLE_IMPORTS = sorted(IMPORTS.glob("*.json*"))


@pytest.mark.parametrize("path", SAMPLE_IMPORTS, ids=lambda p: p.name)
def test_any_input_form_gives_the_command_verdict(path):
    """A path (str or os.PathLike), the bytes, the text or the decoded document of a recording,
    its format told from itself: the verdict `tracedx diagnose FILE` gives."""
    command = run_tracedx("diagnose", path, "--compact")
    assert command.returncode == 0, command.stderr
    expected = json.loads(command.stdout)
    assert expected["analysis"] == "recorded"
    assert same(tracedx.diagnose(path), expected)
    assert same(tracedx.diagnose(str(path)), expected)
    assert same(tracedx.diagnose(path.read_bytes()), expected)
    if path.suffix == ".json":
        assert same(tracedx.diagnose(json.loads(path.read_text())), expected)
    exact = json.loads(run_tracedx("diagnose", path, "--compact", "--exact").stdout)
    assert "analysis" not in exact
    assert same(tracedx.diagnose(path, exact=True), exact)


def test_a_missing_path_is_named():
    with pytest.raises(tracedx.TraceError, match="^nope/run.json: No such file or directory"):
        tracedx.diagnose(__import__("pathlib").Path("nope/run.json"))
