"""Times in the fixed-width shapes monitors write are read on a fast path; any other text takes the
general grammar. A leading space takes a time off the fixed-width shapes without changing what it
means, so the two readings of one time must give the same report, or the same message up to the
quoted input."""

import json

from hypothesis import given, settings
from hypothesis import strategies as st

from pulsequill import _native

NEAR_SHAPE = "0123456789-:. TZ+x\u00a0\u3000"


@st.composite
def fixed_width_times(draw) -> str:
    year, month, day = draw(st.integers(0, 9999)), draw(st.integers(0, 13)), draw(st.integers(0, 32))
    hour, minute, second = draw(st.integers(0, 24)), draw(st.integers(0, 60)), draw(st.integers(0, 60))
    gap = draw(st.sampled_from(" T"))
    text = f"{year:04}-{month:02}-{day:02}{gap}{hour:02}:{minute:02}:{second:02}"
    digits = draw(st.integers(0, 4))
    if digits:
        text += "." + draw(st.text("0123456789", min_size=digits - 1, max_size=digits - 1))
    return text + "Z" * draw(st.integers(0, 2))


@st.composite
def near_shape_times(draw) -> str:
    text = draw(fixed_width_times())
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(text)))
        replacement = draw(st.text(NEAR_SHAPE, max_size=1))
        text = text[:at] + replacement + text[at + draw(st.integers(0, 1)):]
    return text


def outcome(time_text: str) -> str:
    # A second, fixed sample makes the report's duration show the first one's instant to the millisecond.
    body = {"episode_id": "e", "sent_at": "s",
            "samples": [{"t": time_text, "hr1": 140}, {"t": "2024-03-01 10:00:00", "hr1": 141}]}
    try:
        return _native.analyze_json_string(json.dumps(body))
    except ValueError as refused:
        return "refused: " + str(refused)


@settings(max_examples=400, deadline=None)
@given(near_shape_times())
def test_fixed_width_and_general_readings_agree(time_text: str) -> None:
    fast = outcome(time_text)
    general = outcome(" " + time_text)
    assert general in (fast, fast.replace(time_text, " " + time_text, 1))
