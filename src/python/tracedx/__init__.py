"""Deterministic, rule-based diagnosis of recorded AI-agent runs.

    import tracedx
    report = tracedx.diagnose("run.otlp.json")
    print(report["root_cause"]["label"])

``diagnose`` and ``compare`` take a path (str or os.PathLike), a JSON text (str or bytes)
or the decoded document, tell its format (OTLP, chat transcript, fixture) unless ``source``
names it, and return the same report the ``tracedx`` command prints as JSON, as dicts and
lists.
``report`` and ``gate`` take the records of ``tracedx batch`` (dicts, or the path of a
JSON Lines file) and give the triage report and the regression gate; ``to_frame`` turns
records into a pandas DataFrame. ``tracedx.dask`` diagnoses many files on a Dask cluster.
"""

import json as _json
import os as _os

from . import _tracedx
from ._records import RECORD_FIELDS, flat_record as _flat_record
from ._tracedx import TraceError, __version__

__all__ = ["TraceError", "__version__", "compare", "diagnose", "gate", "report", "to_frame",
           "RECORD_FIELDS"]

_SOURCES = _tracedx.SOURCES  # the words of the table of input formats
# The outcome words of the reports, and the run statuses they state.
_RUN_STATUSES = {"failed": "failed", "completed": "completed", "success": "completed"}
# Messages of the engine that name a command-line flag, and the parameter they mean here.
_FLAG_WORDS = (("pick one with --trace-id", "pick one with trace_id="),
               ("pick one with --compared-trace-id", "pick one with compared_trace_id="))


def _source(source):
    if source is not None and source not in _SOURCES:
        words = ", ".join(f'"{word}"' for word in _SOURCES)
        raise ValueError(f"source must be {words} or None, not {source!r}")
    return source


def _run_status(name, value):
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str or None, not {type(value).__name__}")
    if value not in _RUN_STATUSES:
        raise ValueError(f'{name} must be "failed", "completed", "success" or None, not {value!r}')
    return _RUN_STATUSES[value]


def _python_words(error):
    text = str(error)
    for flag, parameter in _FLAG_WORDS:
        text = text.replace(flag, parameter)
    return TraceError(text) if text != str(error) else error


def diagnose(trace, *, slow_threshold_ms=2500, secondary_issues=True, recommendations=True,
             signals=False, source=None, trace_id=None, name="-", run_status=None, exact=False):
    """Diagnoses one recorded run and returns the diagnosis report as a dict.

    trace: a path (os.PathLike, or a str naming an existing file), a JSON text (str, bytes,
    bytearray, memoryview) or the decoded document (dict or list). source: "otlp", "chat",
    "fixture", or None to tell the format from the input. trace_id picks one trace of an OTLP
    input that holds several. name is the input's name in error messages. run_status:
    "failed", "completed" or "success" (the reports' word for completed), the run's outcome
    as known, in place of the input's. exact: the fixed rule engine alone, also for a
    recorded run. Raises TraceError when the trace cannot be read.
    """
    try:
        return _tracedx.diagnose(
            trace, slow_threshold_ms=slow_threshold_ms, secondary_issues=secondary_issues,
            recommendations=recommendations, signals=signals, source=_source(source),
            trace_id=trace_id, name=name, run_status=_run_status("run_status", run_status),
            exact=bool(exact))
    except TraceError as e:
        raise _python_words(e) from None


def compare(primary, compared, *, source=None, trace_id=None, compared_trace_id=None,
            primary_name="-", compared_name="-", run_status=None, compared_run_status=None):
    """Compares two recorded runs of the same task and returns the comparison report as a dict.

    trace_id picks the OTLP trace of inputs that hold several (both); compared_trace_id, when
    given, picks the compared input's instead, so one file can be compared with itself.
    run_status and compared_run_status: "failed", "completed" or "success", each run's
    outcome as known. Raises TraceError when a trace cannot be read.
    """
    try:
        return _tracedx.compare(
            primary, compared, source=_source(source), trace_id=trace_id,
            compared_trace_id=compared_trace_id,
            primary_name=primary_name, compared_name=compared_name,
            run_status=_run_status("run_status", run_status),
            compared_run_status=_run_status("compared_run_status", compared_run_status))
    except TraceError as e:
        raise _python_words(e) from None


def _feed(records, add_record, add_file, what):
    """Records into a native session: a path of a JSON Lines file of batch records, or an
    iterable of records (dicts as the batch and tracedx.dask give them, or their JSON
    texts)."""
    if isinstance(records, (str, bytes, _os.PathLike)):
        add_file(_os.fsdecode(records))
        return
    if isinstance(records, dict):
        raise TypeError("records must be an iterable of records or a path, not one dict: wrap it "
                        "in a list")
    for number, record in enumerate(records, 1):
        where = f"{what} {number}"
        if isinstance(record, (str, bytes)):
            text = record.decode("utf-8", "surrogateescape") if isinstance(record, bytes) else record
        elif isinstance(record, dict):
            text = _json.dumps(record, ensure_ascii=False, allow_nan=False)
        else:
            raise TypeError(f"{where} must be a dict or its JSON text, not {type(record).__name__}")
        add_record(text, where)


_REPORT_FORMATS = ("dict", "text", "html")
_GATE_FORMATS = ("dict", "text", "html", "junit")


def report(records, *, format="dict", reports_dir=None):
    """The triage report over batch records: outcomes, findings, failures grouped by service
    or agent, tool and normalised error (time and cost wasted, example ids), the slowest and
    costliest runs and duration percentiles.

    records: a path of a JSON Lines file written by ``tracedx batch``, or an iterable of its
    records (dicts or JSON texts). format: "dict" (the JSON report as a dict), "text" or
    "html". reports_dir: with "html", link each run to reports_dir/NAME.html where that file
    exists (NAME: the run id percent-encoded, see docs/triage.md).
    """
    if format not in _REPORT_FORMATS:
        raise ValueError(f'format must be "dict", "text" or "html", not {format!r}')
    session = _tracedx._Triage()
    _feed(records, session.add_record, session.add_file, "record")
    out = session.finish("json" if format == "dict" else format,
                         None if reports_dir is None else _os.fsdecode(reports_dir))
    return _json.loads(out) if format == "dict" else out


def gate(baseline, candidate, *, key="title", max_regressions=0, max_rate_increase=0.0,
         alpha=0.05, format="dict"):
    """The regression gate between two batches of the same tasks.

    baseline, candidate: each a path of a JSON Lines file of batch records or an iterable of
    records. key: "title" (default; the file name when a run has no title), "file", "id",
    "service" or "agent". The gate fails when more than max_regressions tasks regressed, or
    when the failure rate rose beyond the noise (Fisher's exact test, p below alpha) by more
    than max_rate_increase (0..1). format "dict" returns the result (its "passed" says
    whether the gate passed); "text", "html" and "junit" return (passed, text).
    """
    if format not in _GATE_FORMATS:
        raise ValueError(f'format must be "dict", "text", "html" or "junit", not {format!r}')
    if not isinstance(max_regressions, int) or isinstance(max_regressions, bool):
        raise TypeError("max_regressions must be an int")
    if not 0 <= max_regressions < 2**64:
        raise ValueError("max_regressions must be from 0 to 2**64-1")
    session = _tracedx._Gate(key, max_regressions, float(max_rate_increase), float(alpha))
    _feed(baseline, lambda text, where: session.add_record(text, where, True),
          lambda path: session.add_file(path, True), "baseline record")
    _feed(candidate, lambda text, where: session.add_record(text, where, False),
          lambda path: session.add_file(path, False), "candidate record")
    passed, out = session.finish("json" if format == "dict" else format)
    return _json.loads(out) if format == "dict" else (passed, out)


def to_frame(results):
    """A pandas DataFrame of flat records, one row per result, with the fields of the batch
    records (RECORD_FIELDS): id, error, title, service, agent, status, outcome,
    duration_ms, cost, tokens, steps, tool, error_message, label and severity.

    results: batch records (dicts from ``tracedx batch`` or ``tracedx.dask``) or diagnosis
    reports from ``diagnose`` (their id is None). pandas is imported only here.
    """
    try:
        import pandas
    except ImportError as e:
        raise ImportError("tracedx.to_frame needs pandas (pip install pandas, or Debian's "
                          "python3-pandas)") from e
    if isinstance(results, dict):
        results = [results]
    rows = [_flat_record(r) for r in results]
    return pandas.DataFrame.from_records(rows, columns=list(RECORD_FIELDS))
