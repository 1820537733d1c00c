"""Stand-in for the framework's ``kovra.utils`` package, which is not shipped here.

Only the helpers the reporter uses are provided.
"""

from . import dicts, utils  # noqa: F401  (so ``kovra.utils.dicts`` works after ``import kovra.utils``)
