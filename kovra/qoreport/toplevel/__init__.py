"""Stand-in for the framework's legacy report library: top-level report package."""
