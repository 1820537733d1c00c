"""Stand-in for the framework's ``kovra.utils.utils`` module, which is not shipped here."""

import datetime


def get_time():
    """Return the current local time as a naive ``datetime.datetime``."""
    return datetime.datetime.now()
