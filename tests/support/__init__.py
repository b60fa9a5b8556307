"""Code shared by the test modules, and the programs and C++ sources they run.

Helpers imported by more than one test module live here (the reference model
of a signal's table, the allocation-failure walks, the thread runner, the
stress harness); so do the programs that tests run in a child process
(`*_child.py`, `cxx_alloc_failure.py`, started by conftest.run_child) and
the C++ probes that tests compile (`*.cpp`, built by conftest.compile_cxx).
"""
