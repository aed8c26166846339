"""Fetal heart-rate (cardiotocography) analysis.

Hand a recording to :func:`analyze_csv_string` (a monitor's CSV export) or
:func:`analyze_json_string` (a JSON analysis request) and get back the JSON
report: per analysis window, baseline, variability, accelerations,
decelerations, contractions, signal quality and the three-tier category.
"""

from ._native import analyze_csv_string, analyze_json_string

__all__ = ["analyze_csv_string", "analyze_json_string"]
