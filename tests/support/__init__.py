"""Helpers the tests share: start-up checks in fresh interpreters, the report
page fixtures, the hostile cases, and the reference-leak check (refleak.py)
with its scenarios (leak_scenarios*.py, one file per module)."""
