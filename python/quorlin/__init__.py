"""quorlin: a multi-threaded event-loop runtime for Python coroutines on free-threaded CPython."""

from quorlin import _quorlin

__version__ = _quorlin.__version__
