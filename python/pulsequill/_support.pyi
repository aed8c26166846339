from typing import Any, Final, SupportsIndex

__all__: Final[list[str]]

def parse_timestamp(text: str, /) -> int: ...
def window_events(
    text: str,
    kind: str = "csv",
    channel: str | None = "HR1",
    ga_weeks: SupportsIndex | None = None,
    window_min: SupportsIndex | None = None,
    step_sec: SupportsIndex | None = 60,
    last_only: bool | None = False,
) -> list[Any]: ...
def recording_trace(text: str, kind: str = "csv") -> Any: ...
