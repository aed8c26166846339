from typing import Final, SupportsIndex

__all__: Final[list[str]]

class PanicException(BaseException):
    """An internal fault of the analysis: a broken invariant, never a problem with the input."""

def analyze_json_string(request_json: str) -> str: ...
def analyze_csv_string(
    csv_text: str,
    channel: str = "HR1",
    ga_weeks: SupportsIndex | None = None,
    window_min: SupportsIndex | None = None,
    step_sec: SupportsIndex = 60,
    last_only: bool = False,
) -> str: ...
