"""Stand-in for the framework's ``kovra.configuration`` package, which is not shipped here.

The reporter only imports it; nothing is configured.
"""

settings = {}
