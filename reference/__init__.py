"""Plain-Python references of the native modules, in straightforward Python:
the oracle of the differential tests and the baseline of the benchmarks.

    from reference import runset, ledgrin
    from reference.job import build_job
"""
