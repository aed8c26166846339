"""pytest plugin for the sanitizer run of scripts/sanitize.sh.

That run starts pytest with the AddressSanitizer runtime preloaded, which the
instrumented extension needs loaded before anything else. Other programs the
tests start (a browser, a database server) must not run under it, so the
preload is taken out of the environment of every program started through
subprocess that is not this same interpreter. The interpreter's own children
keep it, also those that multiprocessing starts (spawn, fork server), since
they may import the extension too.
"""

import os
import subprocess
import sys

RUNTIME = os.environ.get("LD_PRELOAD", "")
INTERPRETER = os.path.realpath(sys.executable)
_popen_init = subprocess.Popen.__init__


def _runs_this_interpreter(args, kwargs) -> bool:
    if kwargs.get("shell"):
        return False
    program = kwargs.get("executable") or args
    if not isinstance(program, (str, bytes, os.PathLike)):
        program = program[0] if program else ""
    return os.path.realpath(os.fsdecode(program)) == INTERPRETER


def _popen_init_with_runtime(self, args, *rest, **kwargs):
    if RUNTIME:
        env = dict(os.environ if kwargs.get("env") is None else kwargs["env"])
        if _runs_this_interpreter(args, kwargs):
            env["LD_PRELOAD"] = RUNTIME
        else:
            env.pop("LD_PRELOAD", None)
        kwargs["env"] = env
    _popen_init(self, args, *rest, **kwargs)


subprocess.Popen.__init__ = _popen_init_with_runtime  # type: ignore[method-assign]


def pytest_report_header() -> str:
    import pulsequill._native

    return f"sanitizer run: {pulsequill._native.__file__} with {RUNTIME or 'no runtime preloaded'}"
