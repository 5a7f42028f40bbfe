"""JSON-configured application plugin.

One JSON layout document gives a host application a SQLite user store, a
key-driven page engine, a plugin layer and a web face. The modules are C++
extensions; import the one you need (``vantrel_app_plugin.sarnet``, ...).
"""

__version__ = "0.1.0"
