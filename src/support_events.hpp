// Functions of pulsequill._support that expose what the report text leaves
// out: the samples as the readers understood them, and the times of each
// window's accelerations, decelerations and contractions. Both read their input
// with the same readers and settings rules as _native, so what they return
// belongs to the report made from the same text and options.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pulsequill {

// window_events(text, kind="csv", channel="HR1", ga_weeks=None, window_min=None, step_sec=60, last_only=False)
// -> list of one dict per window of the report, with its bounds and its
// "accelerations", "decelerations" and "contractions" (dicts of texts, epoch
// milliseconds and figures). kind "json" reads an analysis request, which
// carries its own settings; the options must then be left out.
PyObject* window_events(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// recording_trace(text, kind="csv") -> dict of equal-length lists:
// "timestamp_ms" (int) and "hr1", "hr2", "hr3", "hrm", "toco" (float or None),
// the samples in the order the analysis reads them (sorted by time).
PyObject* recording_trace(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The method-table entries of the two functions.
#define PULSEQUILL_SUPPORT_EVENTS_METHODS                                                                            \
    {"window_events", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pulsequill::window_events)),      \
     METH_FASTCALL | METH_KEYWORDS,                                                                                 \
     "window_events(text, kind=\"csv\", channel=\"HR1\", ga_weeks=None, window_min=None, step_sec=60, "             \
     "last_only=False)\n--\n\nThe accelerations, decelerations and contractions of each analysis window."},        \
    {"recording_trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pulsequill::recording_trace)),  \
     METH_FASTCALL | METH_KEYWORDS,                                                                                 \
     "recording_trace(text, kind=\"csv\")\n--\n\nThe samples of a recording, sorted by time, as lists per channel."}

}  // namespace pulsequill
