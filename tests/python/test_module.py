"""The Python face: argument binding and conversion, defaults, failures, the
module's shape and its one-interpreter rule, and the command line."""

import decimal
import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pulsequill
from ctg_synth import Recording, to_csv, to_request
from pulsequill import __main__ as cli
from pulsequill import _native

csv_fn = _native.analyze_csv_string
json_fn = _native.analyze_json_string

HEADER = "Date,HR1,HR2,HR3,HRM,TOCO\n"
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE_FOR_C_LONG = "Python int too large to convert to C long"


def recording_csv(minutes: float, hz: float = 1.0) -> str:
    return to_csv(Recording(minutes=minutes, hz=hz).rows())


# A short recording the reader accepts: conversion tests need the call to get
# past the reader to show that a value was accepted.
SHORT = recording_csv(2)


class Holder:
    class Nested:
        """A type whose qualified name differs from its name."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def error_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return caught.value


def assert_not_chained(error):
    assert error.__cause__ is None
    assert error.__context__ is None
    assert error.__suppress_context__ is False


# ------------------------------------------------------------------- binding

BINDING_CASES = [
    ("csv: seven positionals", csv_fn, (SHORT, "HR1", None, None, 60, False, 1), {},
     "analyze_csv_string() takes from 1 to 6 positional arguments but 7 were given"),
    ("json: two positionals", json_fn, ("{}", "{}"), {},
     "analyze_json_string() takes 1 positional arguments but 2 were given"),
    ("csv: unknown keyword", csv_fn, (SHORT,), {"x": 1},
     "analyze_csv_string() got an unexpected keyword argument 'x'"),
    ("json: unknown keyword", json_fn, (), {"request": "{}"},
     "analyze_json_string() got an unexpected keyword argument 'request'"),
    ("csv: keyword differing in case only", csv_fn, (SHORT,), {"Channel": "HR1"},
     "analyze_csv_string() got an unexpected keyword argument 'Channel'"),
    ("csv: keyword for a positional csv_text", csv_fn, (SHORT,), {"csv_text": SHORT},
     "analyze_csv_string() got multiple values for argument 'csv_text'"),
    ("csv: keyword for a positional channel", csv_fn, (SHORT, "HR1"), {"channel": "HR2"},
     "analyze_csv_string() got multiple values for argument 'channel'"),
    ("json: keyword for the positional", json_fn, ("{}",), {"request_json": "{}"},
     "analyze_json_string() got multiple values for argument 'request_json'"),
    ("json: no argument", json_fn, (), {},
     "analyze_json_string() missing 1 required positional argument: 'request_json'"),
    ("csv: no argument", csv_fn, (), {},
     "analyze_csv_string() missing 1 required positional argument: 'csv_text'"),
    ("csv: only optional keywords", csv_fn, (), {"channel": "HR2", "last_only": True},
     "analyze_csv_string() missing 1 required positional argument: 'csv_text'"),
    # Order of the checks, all before any conversion.
    ("count before keywords", csv_fn, (None,) * 7, {"x": 1},
     "analyze_csv_string() takes from 1 to 6 positional arguments but 7 were given"),
    ("unknown keyword before missing", csv_fn, (), {"x": 1},
     "analyze_csv_string() got an unexpected keyword argument 'x'"),
    ("keywords in the order given: multiple first", csv_fn, (SHORT,), {"csv_text": SHORT, "x": 1},
     "analyze_csv_string() got multiple values for argument 'csv_text'"),
    ("keywords in the order given: unknown first", csv_fn, (SHORT,), {"x": 1, "csv_text": SHORT},
     "analyze_csv_string() got an unexpected keyword argument 'x'"),
    ("binding before conversion", csv_fn, (None,), {"bogus": None},
     "analyze_csv_string() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("function, args, kwargs, message",
                         [case[1:] for case in BINDING_CASES], ids=[case[0] for case in BINDING_CASES])
def test_binding_failures_are_type_errors_with_python_wording(function, args, kwargs, message):
    error = error_of(lambda: function(*args, **kwargs))
    assert type(error) is TypeError
    assert str(error) == message


# ---------------------------------------------------------------- conversion

TYPE_CASES = [
    ("csv_text None", csv_fn, {"csv_text": None},
     "argument 'csv_text': 'NoneType' object cannot be converted to 'PyString'"),
    ("csv_text bytes", csv_fn, {"csv_text": SHORT.encode()},
     "argument 'csv_text': 'bytes' object cannot be converted to 'PyString'"),
    ("channel None", csv_fn, {"csv_text": SHORT, "channel": None},
     "argument 'channel': 'NoneType' object cannot be converted to 'PyString'"),
    ("channel int", csv_fn, {"csv_text": SHORT, "channel": 1},
     "argument 'channel': 'int' object cannot be converted to 'PyString'"),
    ("channel: qualified type name", csv_fn, {"csv_text": SHORT, "channel": Holder.Nested()},
     "argument 'channel': 'Holder.Nested' object cannot be converted to 'PyString'"),
    ("request_json None", json_fn, {"request_json": None},
     "argument 'request_json': 'NoneType' object cannot be converted to 'PyString'"),
    ("request_json dict", json_fn, {"request_json": {}},
     "argument 'request_json': 'dict' object cannot be converted to 'PyString'"),
    ("ga_weeks 38.0", csv_fn, {"csv_text": SHORT, "ga_weeks": 38.0},
     "argument 'ga_weeks': 'float' object cannot be interpreted as an integer"),
    ("ga_weeks 38.5", csv_fn, {"csv_text": SHORT, "ga_weeks": 38.5},
     "argument 'ga_weeks': 'float' object cannot be interpreted as an integer"),
    ("ga_weeks text", csv_fn, {"csv_text": SHORT, "ga_weeks": "38"},
     "argument 'ga_weeks': 'str' object cannot be interpreted as an integer"),
    ("window_min 20.0", csv_fn, {"csv_text": SHORT, "window_min": 20.0},
     "argument 'window_min': 'float' object cannot be interpreted as an integer"),
    ("window_min Decimal", csv_fn, {"csv_text": SHORT, "window_min": decimal.Decimal(20)},
     "argument 'window_min': 'decimal.Decimal' object cannot be interpreted as an integer"),
    ("step_sec None", csv_fn, {"csv_text": SHORT, "step_sec": None},
     "argument 'step_sec': 'NoneType' object cannot be interpreted as an integer"),
    ("step_sec numpy float", csv_fn, {"csv_text": SHORT, "step_sec": np.float64(60)},
     "argument 'step_sec': 'numpy.float64' object cannot be interpreted as an integer"),
    ("last_only 1", csv_fn, {"csv_text": SHORT, "last_only": 1},
     "argument 'last_only': 'int' object cannot be converted to 'PyBool'"),
    ("last_only 0", csv_fn, {"csv_text": SHORT, "last_only": 0},
     "argument 'last_only': 'int' object cannot be converted to 'PyBool'"),
    ("last_only None", csv_fn, {"csv_text": SHORT, "last_only": None},
     "argument 'last_only': 'NoneType' object cannot be converted to 'PyBool'"),
    ("last_only text", csv_fn, {"csv_text": SHORT, "last_only": "yes"},
     "argument 'last_only': 'str' object cannot be converted to 'PyBool'"),
    ("last_only numpy int", csv_fn, {"csv_text": SHORT, "last_only": np.int64(1)},
     "argument 'last_only': 'int64' object cannot be converted to 'PyBool'"),
    ("last_only numpy array", csv_fn, {"csv_text": SHORT, "last_only": np.array(True)},
     "argument 'last_only': 'ndarray' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("function, kwargs, message",
                         [case[1:] for case in TYPE_CASES], ids=[case[0] for case in TYPE_CASES])
def test_wrong_types_name_the_argument(function, kwargs, message):
    error = error_of(lambda: function(**kwargs))
    assert type(error) is TypeError
    assert str(error) == message
    assert_not_chained(error)


OVERFLOW_CASES = [
    ("ga_weeks 256", {"ga_weeks": 256}, OUT_OF_RANGE),
    ("ga_weeks -1", {"ga_weeks": -1}, OUT_OF_RANGE),
    ("window_min -1", {"window_min": -1}, OUT_OF_RANGE),
    ("window_min 2**32", {"window_min": 2**32}, OUT_OF_RANGE),
    ("step_sec -1", {"step_sec": -1}, OUT_OF_RANGE),
    ("step_sec 2**32", {"step_sec": 2**32}, OUT_OF_RANGE),
    ("step_sec 2**63 - 1", {"step_sec": 2**63 - 1}, OUT_OF_RANGE),
    ("ga_weeks index object 300", {"ga_weeks": Index(300)}, OUT_OF_RANGE),
    ("ga_weeks 2**63", {"ga_weeks": 2**63}, TOO_LARGE_FOR_C_LONG),
    ("ga_weeks 2**64", {"ga_weeks": 2**64}, TOO_LARGE_FOR_C_LONG),
    ("window_min -(2**64)", {"window_min": -(2**64)}, TOO_LARGE_FOR_C_LONG),
    ("step_sec 2**100", {"step_sec": 2**100}, TOO_LARGE_FOR_C_LONG),
]


@pytest.mark.parametrize("kwargs, message", [case[1:] for case in OVERFLOW_CASES],
                         ids=[case[0] for case in OVERFLOW_CASES])
def test_whole_numbers_out_of_range_raise_unwrapped_overflow(kwargs, message):
    error = error_of(lambda: csv_fn(SHORT, **kwargs))
    assert type(error) is OverflowError
    assert str(error) == message
    assert_not_chained(error)


@given(st.integers(min_value=-(2**70), max_value=2**70))
@settings(max_examples=60, deadline=None)
def test_ga_weeks_is_accepted_exactly_from_0_to_255(weeks):
    if 0 <= weeks <= 255:
        assert shown_settings(csv_fn(SHORT, ga_weeks=weeks)) == shown_settings(csv_fn(SHORT))
        return
    error = error_of(lambda: csv_fn(SHORT, ga_weeks=weeks))
    assert type(error) is OverflowError
    assert str(error) == (OUT_OF_RANGE if -(2**63) <= weeks < 2**63 else TOO_LARGE_FOR_C_LONG)


def test_type_error_from_index_keeps_its_cause_but_not_itself():
    root = KeyError("root cause")

    class Refusing:
        def __index__(self):
            raise TypeError("not a week count") from root

    error = error_of(lambda: csv_fn(SHORT, ga_weeks=Refusing()))
    assert type(error) is TypeError
    assert str(error) == "argument 'ga_weeks': not a week count"
    assert error.__cause__ is root
    assert error.__context__ is None


@pytest.mark.parametrize("raised", [ValueError("bad week"), ZeroDivisionError("zero"), OverflowError("big")],
                         ids=lambda e: type(e).__name__)
def test_other_errors_from_index_pass_unwrapped(raised):
    class Failing:
        def __index__(self):
            raise raised

    error = error_of(lambda: csv_fn(SHORT, window_min=Failing()))
    assert error is raised


SURROGATE_CASES = [
    ("csv_text", lambda: csv_fn("Date\udc80")),
    ("channel", lambda: csv_fn(SHORT, channel="HR\ud800")),
    ("request_json", lambda: json_fn('{"x": "\udfff"}')),
    ("csv_text before a bad channel", lambda: csv_fn("\udc80", channel=None)),
]


@pytest.mark.parametrize("call", [case[1] for case in SURROGATE_CASES], ids=[case[0] for case in SURROGATE_CASES])
def test_lone_surrogates_raise_pythons_own_encoding_error(call):
    error = error_of(call)
    assert type(error) is UnicodeEncodeError
    assert "surrogates not allowed" in str(error)


CONVERSION_ORDER_CASES = [
    ("channel before ga_weeks", {"channel": None, "ga_weeks": 38.0}, TypeError,
     "argument 'channel': 'NoneType' object cannot be converted to 'PyString'"),
    ("ga_weeks before window_min", {"ga_weeks": 38.0, "window_min": -1}, TypeError,
     "argument 'ga_weeks': 'float' object cannot be interpreted as an integer"),
    ("ga_weeks range before step_sec", {"ga_weeks": 256, "step_sec": None}, OverflowError, OUT_OF_RANGE),
    ("window_min before last_only", {"window_min": 1.5, "last_only": 1}, TypeError,
     "argument 'window_min': 'float' object cannot be interpreted as an integer"),
    ("step_sec before last_only", {"step_sec": None, "last_only": 1}, TypeError,
     "argument 'step_sec': 'NoneType' object cannot be interpreted as an integer"),
    ("conversion before the reader", {"csv_text": "no header", "last_only": 1}, TypeError,
     "argument 'last_only': 'int' object cannot be converted to 'PyBool'"),
    ("conversion before window_min's range", {"window_min": 5, "channel": 2}, TypeError,
     "argument 'channel': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("kwargs, error_type, message", [case[1:] for case in CONVERSION_ORDER_CASES],
                         ids=[case[0] for case in CONVERSION_ORDER_CASES])
def test_first_refused_argument_in_parameter_order_wins(kwargs, error_type, message):
    kwargs = {"csv_text": SHORT, **kwargs}
    error = error_of(lambda: csv_fn(**kwargs))
    assert type(error) is error_type
    assert str(error) == message


# ------------------------------------------------------------- value checks

def csv_error(kwargs):
    error = error_of(lambda: csv_fn(**kwargs))
    assert type(error) is ValueError
    assert len(error.args) == 1
    return error.args[0]


VALUE_CASES = [
    ("empty CSV", {"csv_text": ""}, "CSV is empty; expected a header row"),
    ("CSV error over window_min", {"csv_text": "", "window_min": 5}, "CSV is empty; expected a header row"),
    ("CSV error over channel", {"csv_text": "", "channel": "HR4"}, "CSV is empty; expected a header row"),
    ("window_min 9", {"window_min": 9}, "window_min must be between 10 and 30"),
    ("window_min 31", {"window_min": 31}, "window_min must be between 10 and 30"),
    ("window_min 0", {"window_min": 0}, "window_min must be between 10 and 30"),
    ("window_min 2**32 - 1", {"window_min": 2**32 - 1}, "window_min must be between 10 and 30"),
    ("window_min over channel", {"window_min": 9, "channel": "HR4"}, "window_min must be between 10 and 30"),
    ("channel HR4", {"channel": "HR4"}, "unsupported fetal channel: HR4"),
    ("channel trimmed and upper-cased", {"channel": "  hrm\t"}, "unsupported fetal channel: HRM"),
    ("channel empty", {"channel": ""}, "unsupported fetal channel: "),
]


@pytest.mark.parametrize("kwargs, message", [case[1:] for case in VALUE_CASES], ids=[case[0] for case in VALUE_CASES])
def test_refused_values_raise_value_error_with_the_message_alone(kwargs, message):
    assert csv_error({"csv_text": SHORT, **kwargs}) == message


def test_message_quoting_the_input_keeps_an_embedded_nul():
    # Messages end with the offending text; a NUL inside it must not cut it short.
    message = csv_error({"csv_text": HEADER + "2024-03-01\x0008:00:00,140,,,,\n"})
    assert message.endswith(": 2024-03-01\x0008:00:00")


def test_json_reader_failure_is_a_value_error():
    error = error_of(lambda: json_fn("not json"))
    assert type(error) is ValueError
    assert len(error.args) == 1 and error.args[0]


# ---------------------------------------------------------- settings shown

def report(**kwargs):
    return json.loads(csv_fn(**{"csv_text": SHORT, **kwargs}))


def shown_settings(text):
    parsed = json.loads(text)
    return {key: parsed[key] for key in ("channel", "analysis_mode", "requested_window_minutes", "step_seconds")}


SETTINGS_CASES = [
    ("defaults", {}, ("HR1", "chunk", None, 60)),
    ("ga_weeks None", {"ga_weeks": None}, ("HR1", "chunk", None, 60)),
    ("window_min None", {"window_min": None}, ("HR1", "chunk", None, 60)),
    ("window_min 10", {"window_min": 10}, ("HR1", "rolling", 10, 60)),
    ("window_min 30", {"window_min": 30}, ("HR1", "rolling", 30, 60)),
    ("step_sec 0 shows 1", {"step_sec": 0}, ("HR1", "chunk", None, 1)),
    ("step_sec 45", {"step_sec": 45, "window_min": 20}, ("HR1", "rolling", 20, 45)),
    ("step_sec largest", {"step_sec": 2**32 - 1}, ("HR1", "chunk", None, 4294967295)),
    ("step_sec True", {"step_sec": True}, ("HR1", "chunk", None, 1)),
    ("window_min index object", {"window_min": Index(20)}, ("HR1", "rolling", 20, 60)),
    ("window_min numpy int", {"window_min": np.int32(15)}, ("HR1", "rolling", 15, 60)),
    ("channel hr2 with blanks", {"channel": " hr2 "}, ("HR2", "chunk", None, 60)),
    ("channel HR3", {"channel": "HR3"}, ("HR3", "chunk", None, 60)),
    ("positional arguments", {"channel": "HR2", "window_min": 12}, ("HR2", "rolling", 12, 60)),
]


@pytest.mark.parametrize("kwargs, expected", [case[1:] for case in SETTINGS_CASES],
                         ids=[case[0] for case in SETTINGS_CASES])
def test_report_shows_the_settings_of_the_call(kwargs, expected):
    keys = ("channel", "analysis_mode", "requested_window_minutes", "step_seconds")
    assert shown_settings(csv_fn(SHORT, **kwargs)) == dict(zip(keys, expected, strict=True))


def test_all_six_arguments_by_position():
    text = csv_fn(SHORT, "HR2", 38, 10, 30, False)
    assert shown_settings(text) == {"channel": "HR2", "analysis_mode": "rolling",
                                    "requested_window_minutes": 10, "step_seconds": 30}


@pytest.mark.parametrize("ga_weeks", [None, 0, 31, 32, 255, True, Index(38), np.uint8(40)],
                         ids=lambda v: repr(v))
def test_gestational_age_is_accepted_and_not_written(ga_weeks):
    text = csv_fn(SHORT, ga_weeks=ga_weeks)
    assert "gestational" not in text
    assert shown_settings(text) == shown_settings(csv_fn(SHORT))


def test_header_only_csv_gives_an_empty_report():
    parsed = json.loads(csv_fn(HEADER, window_min=20))
    assert parsed["input"]["rows"] == 0
    assert parsed["input"]["start_timestamp"] is None
    assert parsed["input"]["end_timestamp"] is None
    assert parsed["windows"] == []
    assert (parsed["analysis_mode"], parsed["requested_window_minutes"]) == ("rolling", 20)


def test_json_request_by_keyword_uses_chunk_mode_and_a_minute_step():
    request = to_request(Recording(minutes=3, hz=1).rows(), channel="HR1")
    parsed = json.loads(json_fn(request_json=request))
    assert shown_settings(json.dumps(parsed)) == {"channel": "HR1", "analysis_mode": "chunk",
                                                  "requested_window_minutes": None, "step_seconds": 60}
    assert len(parsed["windows"]) == 1


# ------------------------------------------------------------- last window

LAST_FLAG_CASES = [
    ("True", True, True),
    ("False", False, False),
    ("numpy True", np.True_, True),
    ("numpy False", np.False_, False),
    ("numpy bool from a comparison", np.int64(3) > 2, True),
]


@pytest.mark.parametrize("flag, keeps_last_only", [case[1:] for case in LAST_FLAG_CASES],
                         ids=[case[0] for case in LAST_FLAG_CASES])
def test_last_only_takes_bool_and_numpy_bool(flag, keeps_last_only):
    # Ten-minute windows over 14 minutes: five windows, ending at 10 to 14.
    text = recording_csv(14)
    windows = json.loads(csv_fn(text, window_min=10, last_only=flag))["windows"]
    assert len(windows) == (1 if keeps_last_only else 5)


LAST_WINDOW_CASES = [
    # (minutes, window_min, step_sec, windows in the full report)
    ("stepping lands on the last sample", 14, 10, 60, 5),
    ("final window after the stepping", 14.5, 10, 60, 6),
    ("step longer than the rest", 25, 10, 1800, 2),
    ("shorter than one window", 8, 20, 60, 1),
    ("chunk mode", 45, None, 60, 1),
]


@pytest.mark.parametrize("minutes, window_min, step_sec, window_count", [case[1:] for case in LAST_WINDOW_CASES],
                         ids=[case[0] for case in LAST_WINDOW_CASES])
def test_last_only_keeps_exactly_the_last_window_of_the_full_report(minutes, window_min, step_sec, window_count):
    text = recording_csv(minutes)
    full = json.loads(csv_fn(text, window_min=window_min, step_sec=step_sec))
    last = json.loads(csv_fn(text, window_min=window_min, step_sec=step_sec, last_only=True))
    assert len(full["windows"]) == window_count
    assert last["windows"] == full["windows"][-1:]
    assert {k: v for k, v in last.items() if k != "windows"} == {k: v for k, v in full.items() if k != "windows"}


def test_last_only_on_a_single_window_changes_nothing():
    text = recording_csv(12)
    assert csv_fn(text, last_only=True) == csv_fn(text)


# -------------------------------------------------- absurd number of windows

def two_samples(first: str, last: str) -> str:
    return f"{HEADER}{first},140,,,,\n{last},141,,,,\n"


WINDOW_LIMIT_CASES = [
    # 50 years (18,263 days) with ten-minute windows and a one-second step.
    ("fifty years", two_samples("2000-01-01 00:00:00", "2050-01-01 00:00:00"), 1_577_922_601),
    # 10 minutes + 1,000,000 s: one more window than the limit allows.
    ("one over the limit", two_samples("2024-01-01 00:00:00", "2024-01-12 13:56:40"), 1_000_001),
]


@pytest.mark.parametrize("text, windows", [case[1:] for case in WINDOW_LIMIT_CASES],
                         ids=[case[0] for case in WINDOW_LIMIT_CASES])
def test_too_many_windows_is_refused_before_any_work(text, windows):
    error = error_of(lambda: csv_fn(text, window_min=10, step_sec=1))
    assert type(error) is MemoryError
    assert str(error) == f"the report would hold {windows} analysis windows; at most 1000000 can be built"


def test_last_only_analyses_one_window_however_long_the_recording():
    text = two_samples("2000-01-01 00:00:00", "2050-01-01 00:00:00")
    parsed = json.loads(csv_fn(text, window_min=10, step_sec=1, last_only=True))
    # The last ten minutes hold only the last sample.
    assert [(w["window_start"], w["window_end"]) for w in parsed["windows"]] == [
        ("2050-01-01 00:00:00", "2050-01-01 00:00:00")]


# ------------------------------------------------------------------- module

def test_module_shape():
    assert _native.__name__ == "pulsequill._native"
    assert _native.__doc__ == ""
    assert _native.__all__ == ["analyze_json_string", "analyze_csv_string"]
    assert "PanicException" not in _native.__all__
    assert pulsequill.analyze_csv_string is csv_fn
    assert pulsequill.analyze_json_string is json_fn


SIGNATURE_CASES = [
    ("analyze_csv_string",
     '(csv_text, channel="HR1", ga_weeks=None, window_min=None, step_sec=60, last_only=False)',
     [("csv_text", inspect.Parameter.empty), ("channel", "HR1"), ("ga_weeks", None), ("window_min", None),
      ("step_sec", 60), ("last_only", False)]),
    ("analyze_json_string", "(request_json)", [("request_json", inspect.Parameter.empty)]),
]


@pytest.mark.parametrize("name, text_signature, parameters", SIGNATURE_CASES, ids=[c[0] for c in SIGNATURE_CASES])
def test_functions_show_their_signature_and_no_docstring(name, text_signature, parameters):
    function = getattr(_native, name)
    assert function.__doc__ is None
    assert function.__text_signature__ == text_signature
    assert function.__module__ == "pulsequill._native"
    assert function.__name__ == name
    shown = inspect.signature(function).parameters.values()
    assert [(p.name, p.default) for p in shown] == parameters
    assert {p.kind for p in shown} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_panic_exception_derives_directly_from_base_exception():
    assert _native.PanicException.__bases__ == (BaseException,)
    assert not issubclass(_native.PanicException, Exception)


def test_repeated_import_returns_the_same_module():
    saved = sys.modules.pop("pulsequill._native")
    try:
        again = importlib.import_module("pulsequill._native")
        assert again is saved
        assert again.analyze_csv_string is csv_fn
    finally:
        sys.modules["pulsequill._native"] = saved


SUBINTERPRETER_CASES = [
    ("main first", """
        import _xxsubinterpreters as interpreters
        import pulsequill._native
        try:
            interpreters.run_string(interpreters.create(), "import pulsequill._native")
        except interpreters.RunFailedError as error:
            print(error)
     """),
    ("subinterpreter first", """
        import _xxsubinterpreters as interpreters
        interpreters.run_string(interpreters.create(), "import pulsequill._native")
        try:
            import pulsequill._native
        except ImportError as error:
            print("ImportError:", error)
     """),
]


@pytest.mark.parametrize("script", [case[1] for case in SUBINTERPRETER_CASES],
                         ids=[case[0] for case in SUBINTERPRETER_CASES])
def test_a_second_interpreter_cannot_import_the_module(script):
    package_parent = pathlib.Path(pulsequill.__file__).resolve().parents[1]
    env = {**os.environ, "PYTHONPATH": str(package_parent)}
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert "subinterpreters are not supported" in result.stdout


# ------------------------------------------------------------- command line

def run_cli(tmp_path, capsys, name, content, *flags):
    path = tmp_path / name
    path.write_text(content, encoding="utf-8")
    status = cli.main([str(path), *flags])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_cli_prints_the_csv_report_with_its_options(tmp_path, capsys):
    text = recording_csv(14)
    status, out, err = run_cli(tmp_path, capsys, "trace.CSV", text, "--channel", "hr1", "--window-min", "10",
                               "--step-sec", "120", "--last-only", "--ga-weeks", "38")
    assert (status, err) == (0, "")
    assert out == csv_fn(text, channel="hr1", window_min=10, step_sec=120, last_only=True, ga_weeks=38)


def test_cli_prints_the_json_report(tmp_path, capsys):
    request = to_request(Recording(minutes=3, hz=1).rows())
    status, out, err = run_cli(tmp_path, capsys, "request.json", request)
    assert (status, err) == (0, "")
    assert out == json_fn(request)


CLI_FAILURE_CASES = [
    ("CSV refused", "a.csv", "", (), "CSV is empty; expected a header row"),
    ("bad window", "a.csv", SHORT, ("--window-min", "5"), "window_min must be between 10 and 30"),
    ("gestational age too large", "a.csv", SHORT, ("--ga-weeks", "300"), OUT_OF_RANGE),
    ("options on a JSON request", "a.json", "{}", ("--channel", "HR2", "--last-only"),
     "a JSON request carries its own options"),
    ("unknown kind", "a.txt", SHORT, (),
     "cannot tell the recording's format from the suffix; expected .csv, .hea, .json"),
]


@pytest.mark.parametrize("name, content, flags, message", [case[1:] for case in CLI_FAILURE_CASES],
                         ids=[case[0] for case in CLI_FAILURE_CASES])
def test_cli_reports_failures_on_stderr(tmp_path, capsys, name, content, flags, message):
    status, out, err = run_cli(tmp_path, capsys, name, content, *flags)
    assert (status, out) == (1, "")
    assert err.startswith(f"{tmp_path / name}: {message}")
