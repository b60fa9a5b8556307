"""Helpers that several test modules share: child processes, C++ builds,
and reaching below the public surface (the collector's tp_clear, the weak
reference a connection holds)."""

import os
import shutil
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path

import pytest

# Child programs and C++ probes live here, beside this module.
SUPPORT = Path(__file__).resolve().parent
SRC = SUPPORT.parent.parent / "src"


def gc_clear(obj):
    """Calls the type's tp_clear directly, as the collector would."""
    import ctypes

    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    py_tp_clear = 51
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), py_tp_clear))
    assert clear(obj) == 0


def run_child(program, *args, flags=(), env=None, timeout=120, crashes=False):
    """Runs tests/support/PROGRAM with this interpreter (and its FLAGS, such as "-W
    error") in a child process, with ARGS; fails unless it exits with 0 (with
    `crashes`: unless it fails). Returns its stdout and stderr."""
    done = subprocess.run([sys.executable, *flags, str(SUPPORT / program), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)
    assert (done.returncode != 0) == crashes, (
        f"exit status {done.returncode}\n{done.stdout[-2000:]}\n{done.stderr[-4000:]}")
    return done.stdout, done.stderr


def without_leak_check():
    """The environment for a child that leaves things at exit on purpose (a
    loop never closed, a Qt application's own allocations): the sanitizer
    stage's leak check at exit would count them."""
    return dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")


def compile_cxx(source, output, *flags, compiler=None):
    """Builds tests/support/SOURCE into OUTPUT with `compiler`, else the one the
    extension would use (CXX, else g++, c++ or clang++), warnings as errors,
    src/ on the include path; skips the test without one. FLAGS: "-shared"
    and so on."""
    compiler = next((c for c in (compiler, os.environ.get("CXX"), "g++", "c++", "clang++")
                     if c and shutil.which(c)), None)
    if compiler is None:
        pytest.skip("no C++ compiler found")
    # A sanitizer runtime preloaded into the tests' interpreter is no business
    # of the compiler's: under it, the compiler's own leaks would fail the build.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-O1", f"-I{SRC}",
                    *flags, str(SUPPORT / source), "-o", str(output)], check=True, timeout=300, env=env)
    return output


def compile_extension(source, directory, *flags):
    """Builds tests/support/SOURCE as an extension module for this interpreter in
    DIRECTORY and imports it from there."""
    import importlib.util

    name = Path(source).stem
    ext = Path(directory) / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    # Under ThreadSanitizer the module is instrumented too, by the compiler
    # that built the interpreter: its runtime is the one loaded.
    tsan = "thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")
    compiler = (sysconfig.get_config_var("CXX") or "").split()[:1] if tsan else []
    compile_cxx(source, ext, "-shared", "-fPIC", "-pthread", f"-I{sysconfig.get_paths()['include']}",
                *(["-fsanitize=thread"] if tsan else []), *flags, compiler=(compiler or [None])[0])
    found = importlib.util.spec_from_file_location(name, ext)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


_weak_method_patch = threading.Lock()


def connect_weak_through(connect, method, reference, **options):
    """connect(method, weak=True, **options) with `reference` standing in for
    the weakref.WeakMethod the entry would hold: an emission resolves the
    entry by calling reference(), which may raise or return anything. One
    thread at a time replaces weakref.WeakMethod, so threads running this at
    once never leave another's stand-in in place."""
    import weakref

    with _weak_method_patch:
        original = weakref.WeakMethod
        weakref.WeakMethod = lambda m: reference
        try:
            return connect(method, weak=True, **options)
        finally:
            weakref.WeakMethod = original


free_threaded = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)() is False,
    reason="needs a free-threaded interpreter",
)
