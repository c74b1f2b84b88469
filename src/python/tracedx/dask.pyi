# Type stubs of tracedx.dask.
import os
from typing import Any, Iterable, Literal, Optional, Union

# A dask.bag.Bag and a dask.delayed.Delayed: typed as Any, since Dask's own annotations
# are partial (calling its untyped methods fails mypy --strict anyway) and checking
# against them would make every check analyse all of Dask.
Bag = Any
Delayed = Any

__all__: list[str]
DEFAULT_BLOCKSIZE: int
FILES_PER_PARTITION: int

Paths = Union[str, bytes, "os.PathLike[str]", Iterable[Union[str, bytes, "os.PathLike[str]"]]]

def diagnose_bag(
    paths: Paths,
    *,
    source: Literal["fixture", "otlp", "chat"] = ...,
    blocksize: Optional[int] = ...,
    slow_threshold_ms: int = ...,
    secondary_issues: bool = ...,
    recommendations: bool = ...,
    run_status: Optional[Literal["failed", "completed", "success"]] = ...,
) -> Bag: ...

# A dask.dataframe.DataFrame of flat records (typed as Any: it needs pandas).
def diagnose_frame(
    paths: Paths,
    *,
    source: Literal["fixture", "otlp", "chat"] = ...,
    blocksize: Optional[int] = ...,
    slow_threshold_ms: int = ...,
    secondary_issues: bool = ...,
    recommendations: bool = ...,
    run_status: Optional[Literal["failed", "completed", "success"]] = ...,
) -> Any: ...
def label_counts(bag: Bag, *, compute: bool = ...) -> Union[dict[str, int], Delayed]: ...
