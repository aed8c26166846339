from typing import Final

__all__: Final[list[str]]

def parse_timestamp(text: str, /) -> int: ...
