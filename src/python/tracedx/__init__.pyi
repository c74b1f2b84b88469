# Type stubs of the tracedx package (the functions are pure Python over the extension).
import os
from typing import Any, Iterable, Literal, Mapping, Optional, Tuple, Union, overload

__version__: str
__all__: list[str]
RECORD_FIELDS: Tuple[str, ...]

class TraceError(ValueError): ...

# A path, a JSON text or the decoded document of a trace.
TraceInput = Union[
    str, bytes, bytearray, memoryview, "os.PathLike[str]", Mapping[str, Any], list[Any]
]
Source = Optional[Literal["fixture", "otlp", "chat"]]
RunStatus = Literal["failed", "completed", "success"]
# Batch records: a path of a JSON Lines file, or the records (dicts or JSON texts).
Records = Union[str, bytes, "os.PathLike[str]", Iterable[Union[Mapping[str, Any], str, bytes]]]

def diagnose(
    trace: TraceInput,
    *,
    slow_threshold_ms: int = ...,
    secondary_issues: bool = ...,
    recommendations: bool = ...,
    signals: bool = ...,
    source: Source = ...,
    trace_id: Optional[str] = ...,
    name: str = ...,
    run_status: Optional[RunStatus] = ...,
    exact: bool = ...,
) -> dict[str, Any]: ...
def compare(
    primary: TraceInput,
    compared: TraceInput,
    *,
    source: Source = ...,
    trace_id: Optional[str] = ...,
    compared_trace_id: Optional[str] = ...,
    primary_name: str = ...,
    compared_name: str = ...,
    run_status: Optional[RunStatus] = ...,
    compared_run_status: Optional[RunStatus] = ...,
) -> dict[str, Any]: ...
@overload
def report(
    records: Records,
    *,
    format: Literal["dict"] = ...,
    reports_dir: Union[str, "os.PathLike[str]", None] = ...,
) -> dict[str, Any]: ...
@overload
def report(
    records: Records,
    *,
    format: Literal["text", "html"],
    reports_dir: Union[str, "os.PathLike[str]", None] = ...,
) -> str: ...
@overload
def gate(
    baseline: Records,
    candidate: Records,
    *,
    key: Literal["title", "file", "id", "service", "agent"] = ...,
    max_regressions: int = ...,
    max_rate_increase: float = ...,
    alpha: float = ...,
    format: Literal["dict"] = ...,
) -> dict[str, Any]: ...
@overload
def gate(
    baseline: Records,
    candidate: Records,
    *,
    key: Literal["title", "file", "id", "service", "agent"] = ...,
    max_regressions: int = ...,
    max_rate_increase: float = ...,
    alpha: float = ...,
    format: Literal["text", "html", "junit"],
) -> Tuple[bool, str]: ...

# A pandas.DataFrame (pandas ships no type information, so it is typed as Any here).
def to_frame(results: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]]) -> Any: ...
