"""The desk: a local web page to see and try a Corvane and a handle.

    python -m OrvexDesk [--emulate] [--port N] [--host ADDRESS]

Served by this package with the standard library alone; the page's assets are built once and
installed beside it, so the desk works offline.
"""
