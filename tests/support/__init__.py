"""Code shared by the test modules, and the programs and C++ sources they run.

Helpers imported by more than one test module live here (the reference model
of a signal's table, the allocation-failure walks, the thread runner, the
stress harness, and `helpers`: child processes, C++ builds, tp_clear); so do
the programs that tests run in a child process (`*_child.py`,
`cxx_alloc_failure.py`, started by helpers.run_child) and the C++ probes that
tests compile (`*.cpp`, built by helpers.compile_cxx). tests/conftest.py
holds only fixtures and pytest hooks.
"""
