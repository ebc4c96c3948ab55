"""Builds the quorlin runtime, registers it and prints what it is."""

import sys

from quorlin import _quorlin


def main():
    runtime = _quorlin.Runtime(2, 4, 10, True, b"\x02\x0f")
    _quorlin.set_runtime(runtime)
    registered = _quorlin.get_runtime()
    print(f"quorlin {_quorlin.__version__} ({_quorlin.__build_profile__}) on {sys.version.split()[0]}, "
          f"GIL enabled: {sys._is_gil_enabled()}")
    print(f"registered {type(registered).__name__}: signals {sorted(registered._sigset)}, "
          f"context {registered._context}, clock {registered._clock} us since construction")


if __name__ == "__main__":
    main()
