"""The package's face: real signatures, stubs checked by mypy --strict, records as pandas
and Dask DataFrames, report and gate from Python equal to the commands, errors that name
parameters, and a public API that is only the public API."""
import inspect
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tracedx
import tracedx.dask as tdask

from conftest import FIXTURES, IMPORTS, SOURCE, run_tracedx

TAUBENCH = SOURCE / "tests" / "data" / "taubench"


def batch_lines(*args):
    r = run_tracedx("batch", *args)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.fixture(scope="module")
def trials(tmp_path_factory):
    """The two tau-bench trials as batch files, each run's recorded outcome stated."""
    out = tmp_path_factory.mktemp("trials")
    paths = []
    for trial in (0, 1):
        text = "".join(batch_lines("--from", "chat", "--run-status", outcome,
                                   TAUBENCH / f"trial{trial}" / outcome)
                       for outcome in ("failed", "completed"))
        path = out / f"trial{trial}.jsonl"
        path.write_text(text)
        paths.append(path)
    return paths


def test_signatures_are_real():
    assert list(inspect.signature(tracedx.diagnose).parameters) == [
        "trace", "slow_threshold_ms", "secondary_issues", "recommendations", "signals", "source",
        "trace_id", "name", "run_status", "exact"]
    params = inspect.signature(tracedx.compare).parameters
    assert params["run_status"].kind is inspect.Parameter.KEYWORD_ONLY
    assert params["source"].default is None  # told from the input
    for f in (tracedx.report, tracedx.gate, tracedx.to_frame, tdask.diagnose_bag,
              tdask.diagnose_frame, tdask.label_counts):
        inspect.signature(f)


def test_public_names_only():
    assert sorted(tracedx.__all__) == sorted(["TraceError", "__version__", "compare", "diagnose",
                                              "gate", "report", "to_frame", "RECORD_FIELDS"])
    assert sorted(tdask.__all__) == sorted(["diagnose_bag", "diagnose_frame", "label_counts",
                                            "DEFAULT_BLOCKSIZE", "FILES_PER_PARTITION"])
    for name in ("os", "glob", "dask", "db"):
        assert not hasattr(tdask, name), name
    namespace = {}
    exec("from tracedx.dask import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(tdask.__all__)


def test_stubs_and_marker_ship_with_the_package():
    package = Path(tracedx.__file__).parent
    for name in ("py.typed", "__init__.pyi", "dask.pyi"):
        assert (package / name).is_file(), name


def test_typed_example_passes_mypy_strict(tmp_path):
    if shutil.which("mypy") is None and subprocess.run(
            [sys.executable, "-m", "mypy", "--version"], capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed")
    env = dict(os.environ, MYPYPATH=str(Path(tracedx.__file__).parent.parent))
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                        "--cache-dir", str(tmp_path / "cache"),
                        str(Path(__file__).parent / "typed_example.py")],
                       capture_output=True, text=True, env=env)
    assert r.returncode == 0, r.stdout + r.stderr


# Outcome words: the reports' "success" is a completed run.
@pytest.mark.parametrize("word,stated", [("success", "completed"), ("completed", "completed"),
                                         ("failed", "failed")])
def test_run_status_takes_the_outcome_words(word, stated):
    text = (FIXTURES / "healthy_run.json").read_text()
    report = tracedx.diagnose(text, signals=True, run_status=word)
    assert report["signals"]["run_status"] == stated
    compared = tracedx.compare(text, text, compared_run_status=word)
    assert compared == tracedx.compare(text, text, compared_run_status=stated)


ERROR_ROWS = [
    (lambda: tracedx.diagnose("{}", source="xml"), ValueError,
     "source must be \"otlp\", \"chat\", \"fixture\" or None, not 'xml'"),
    (lambda: tracedx.diagnose("{}", run_status="succeeded"), ValueError,
     "run_status must be \"failed\", \"completed\", \"success\" or None, not 'succeeded'"),
    (lambda: tracedx.compare("{}", "{}", compared_run_status=0), TypeError,
     "compared_run_status must be a str or None, not int"),
    (lambda: tracedx.report([{"id": "a"}]), tracedx.TraceError,
     "record 1: expected a batch record (an object with \"id\" and \"diagnosis\" or \"error\")"),
    (lambda: tracedx.report({"id": "a", "error": "x"}), TypeError,
     "records must be an iterable of records or a path, not one dict: wrap it in a list"),
    (lambda: tracedx.report([], format="junit"), ValueError,
     "format must be \"dict\", \"text\" or \"html\", not 'junit'"),
    (lambda: tracedx.gate([], [], key="name"), ValueError,
     "key must be one of title, file, id, service, agent, not \"name\""),
    (lambda: tracedx.gate([], [], max_rate_increase=2), ValueError,
     "max_rate_increase must be from 0 to 1"),
    (lambda: tracedx.gate([], ["{"]), tracedx.TraceError,
     "candidate record 1: invalid JSON (The JSON document has an improper structure: missing or "
     "superfluous commas, braces, missing keys, etc.); expected a batch record (an object with "
     "\"id\" and \"diagnosis\" or \"error\")"),
    (lambda: tdask.diagnose_bag([], run_status="Failed"), ValueError,
     "run_status must be \"failed\", \"completed\", \"success\" or None, not 'Failed'"),
    (lambda: tdask.diagnose_bag([], source="xml"), ValueError,
     "source must be one of \"otlp\", \"chat\", \"fixture\", not 'xml'"),
]


@pytest.mark.parametrize("call,raises,message", ERROR_ROWS)
def test_errors_name_parameters(call, raises, message):
    with pytest.raises(raises) as e:
        call()
    assert str(e.value) == message
    assert "--" not in str(e.value)


def test_trace_id_is_named_as_a_parameter(tmp_path):
    lines = (IMPORTS / "openinference_rag_empty_retrieval.otlp.jsonl").read_text()
    two = lines + (IMPORTS / "genai_tool_failure.otlp.json").read_text().replace("\n", " ") + "\n"
    with pytest.raises(tracedx.TraceError) as e:
        tracedx.diagnose(two, source="otlp")
    assert "pick one with trace_id= (traces: " in str(e.value)


def test_report_and_gate_equal_the_commands(trials):
    base, cand = trials
    expected = json.loads(run_tracedx("report", "--format", "json", base).stdout)
    assert tracedx.report(base) == expected
    records = [json.loads(line) for line in base.read_text().splitlines()]
    assert tracedx.report(records) == expected
    assert tracedx.report(base.read_text().splitlines(), format="text") == \
        run_tracedx("report", base).stdout
    command = run_tracedx("gate", "--key", "file", base, cand, "--format", "junit")
    assert command.returncode == 3
    assert tracedx.gate(str(base), cand, key="file", format="junit") == (False, command.stdout)
    result = tracedx.gate(base, [json.loads(l) for l in cand.read_text().splitlines()], key="file",
                          max_regressions=2)
    assert result["passed"] is True
    assert [t["key"] for t in result["tasks"] if t["change"] == "regressed"] == ["task06", "task11"]


def test_to_frame_has_the_batch_record_fields(trials):
    pandas = pytest.importorskip("pandas")
    records = [json.loads(l) for l in trials[0].read_text().splitlines()]
    records.append({"id": "broken.json", "error": "broken.json: invalid JSON"})
    frame = tracedx.to_frame(records)
    assert list(frame.columns) == list(tracedx.RECORD_FIELDS)
    assert len(frame) == 26
    assert (frame["status"] == "failed").sum() == 19
    assert frame.iloc[-1]["error"] == "broken.json: invalid JSON"
    assert pandas.isna(frame.iloc[-1]["outcome"])
    one = tracedx.to_frame(tracedx.diagnose((FIXTURES / "tool_failure.json").read_text()))
    assert one.iloc[0]["label"] == "Tool failure or misuse"
    assert one.iloc[0]["id"] is None


def test_dask_frame_equals_the_bag():
    pytest.importorskip("pandas")
    paths = [str(FIXTURES)]
    frame = tdask.diagnose_frame(paths, blocksize=64 * 1024).compute(scheduler="sync")
    bag = tdask.diagnose_bag(paths, blocksize=64 * 1024).compute(scheduler="sync")
    assert list(frame.columns) == list(tracedx.RECORD_FIELDS)
    assert list(frame["id"]) == [r["id"] for r in bag]
    assert list(frame["outcome"]) == [r["diagnosis"]["outcome"] for r in bag]


def test_to_frame_without_pandas_says_so(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError) as e:
        tracedx.to_frame([])
    assert "tracedx.to_frame needs pandas" in str(e.value)
