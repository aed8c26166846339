"""The entry functions keep nothing: called again and again, whether they
return a report or raise, they leave their arguments' reference counts and
the interpreter's traced memory where they were. (The sanitizer run checks
native memory; this loop checks Python references, which it cannot.)"""

import sys
import tracemalloc

import pytest

from pulsequill import _native

CSV = "Date,HR1,TOCO\n2024-03-01 10:00:00,140,12\n2024-03-01 10:00:01,141.5,13\n"
DECADES_APART = CSV + "2054-03-01 10:00:00,140,12\n"
REQUEST = '{"episode_id":"e","sent_at":"s","samples":[{"t":"2024-03-01T10:00:00Z","hr1":140.25}]}'

# (name, function, positional arguments, keyword arguments, exception raised or None)
CALLS = [
    ("csv report", _native.analyze_csv_string, (CSV,), {}, None),
    ("csv every option", _native.analyze_csv_string, (CSV,),
     {"channel": "hr1", "ga_weeks": 38, "window_min": 10, "step_sec": 30, "last_only": True}, None),
    ("csv refused", _native.analyze_csv_string, ("Date\nnot a time\n",), {}, ValueError),
    ("csv wrong type", _native.analyze_csv_string, (b"Date\n",), {}, TypeError),
    ("csv unknown keyword", _native.analyze_csv_string, (CSV,), {"windows": 3}, TypeError),
    ("csv out of range", _native.analyze_csv_string, (CSV,), {"ga_weeks": 256}, OverflowError),
    ("csv bad channel", _native.analyze_csv_string, (CSV,), {"channel": "HR9"}, ValueError),
    ("csv too many windows", _native.analyze_csv_string, (DECADES_APART,), {"window_min": 10, "step_sec": 1},
     MemoryError),
    ("json report", _native.analyze_json_string, (REQUEST,), {}, None),
    ("json refused", _native.analyze_json_string, (REQUEST[:-1],), {}, ValueError),
    ("json wrong type", _native.analyze_json_string, (), {"request_json": 7}, TypeError),
]

REPEATS = 300
# Traced bytes the interpreter may gain over the repeats by itself (caches,
# free lists); a leaked report or message is hundreds of bytes per call.
TOLERATED_GROWTH = 16 * 1024


def call(function, args, kwargs, raises):
    if raises is None:
        function(*args, **kwargs)
        return
    with pytest.raises(raises):
        function(*args, **kwargs)


@pytest.mark.parametrize(("function", "args", "kwargs", "raises"), [case[1:] for case in CALLS],
                         ids=[case[0] for case in CALLS])
def test_repeated_calls_keep_no_references(function, args, kwargs, raises):
    # Booleans and small integers are shared by the whole interpreter, whose
    # own bookkeeping moves their counts; only the caller's own objects tell.
    arguments = [a for a in (*args, *kwargs.values()) if not isinstance(a, bool | int) or abs(a) > 256]
    for _ in range(20):  # warm caches before measuring
        call(function, args, kwargs, raises)
    counts = [sys.getrefcount(argument) for argument in arguments]
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        for _ in range(REPEATS):
            call(function, args, kwargs, raises)
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(argument) for argument in arguments] == counts
    assert after - before < TOLERATED_GROWTH
