"""The reporter server: jobs stored in SQLite or PostgreSQL, read node by node over HTTP.

``create_app(settings)`` (app.py) gives the ASGI application; ``python -m kovra.reporter serve``
runs it under uvicorn.
"""
