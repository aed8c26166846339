"""Fetal heart-rate (cardiotocography) analysis.

Hand a recording to :func:`analyze_csv_string` (a monitor's CSV export) or
:func:`analyze_json_string` (a JSON analysis request) and get back the JSON
report: per analysis window, baseline, variability, accelerations,
decelerations, contractions, signal quality and the three-tier category.
"""

from ._native import analyze_csv_string, analyze_json_string
from ._version import __version__
from .batch import analyze_files
from .chart import plot
from .files import analyze_csv, analyze_file, analyze_request
from .guidance import InputWarning
from .report import AlertLevel, Category, Report, Window, parse_report
from .wfdb_records import read_wfdb

__all__ = [
    "AlertLevel",
    "Category",
    "InputWarning",
    "Report",
    "Window",
    "__version__",
    "analyze_csv",
    "analyze_csv_string",
    "analyze_file",
    "analyze_files",
    "analyze_json_string",
    "analyze_request",
    "parse_report",
    "plot",
    "read_wfdb",
]
