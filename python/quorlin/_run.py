"""`quorlin.run`: the process's one runtime, its signal plumbing and the life of one run.

One run, in order: check the caller, the interpreter and the arguments (the root coroutine is made
before anything is registered, so a run refused on its arguments fixes no configuration); register
the runtime on first use (its configuration is fixed for the process); make a fresh non-blocking
socket pair for signal bytes; install a do-nothing Python handler for every signal the run handles
and a relaying handler in place of every other Python handler (the native loop ends a run when an
interruption brings no byte it knows, so every such signal must be registered with `_sig_add`);
start the init task, which runs the system task group, the signal pumps and the root task; hand
the main thread to `_run()` until the init task sets `_stopping`; then restore the handlers and
the wake-up descriptor.

Python signal handlers during a run
-----------------------------------
CPython runs a Python-level handler only on the main thread, when that thread executes bytecode.
During a run the main thread sits in the native loop, which executes Python code only for
descriptor callbacks.  So each `_run` also watches two descriptors whose read callbacks are Python
functions (`_HandlerRelay`): every signal makes the loop call one of them on the main thread, and
the interpreter runs the pending handlers as the callback starts.  Handlers of the run's own
signals do nothing there (their bytes reach the pumps through the native registrations); every
other Python handler is wrapped, so that what it raises (KeyboardInterrupt from the default SIGINT
handler, say) cancels the root task and is raised by `run` once the run has unwound, instead of
escaping into the loop.
"""

from __future__ import annotations

import functools
import math
import os
import signal
import socket
import sys
import threading
from collections.abc import Awaitable, Callable, Coroutine, Iterable
from typing import Any, TypeVar

from quorlin import _io, _quorlin
from quorlin._core import (
    CancelScope,
    ParkingLot,
    Task,
    TaskGroup,
    _launch,
    _make_coroutine,
    _running_task_code,
    _runtime_box,
    _spawn,
    _task_name,
)
from quorlin._errors import Cancelled, RunFinishedError

T = TypeVar("T")

_DEFAULT_BLOCKING_THREADS = 64
_DEFAULT_IDLE_TIMEOUT = 10
_DEFAULT_SIGNALS = (signal.SIGINT,)


class _Config:
    __slots__ = ("threads", "blocking_threads", "blocking_idle_timeout", "signals")

    def __init__(self, threads: int, blocking_threads: int, blocking_idle_timeout: int, signals: tuple[int, ...]):
        self.threads = threads
        self.blocking_threads = blocking_threads
        self.blocking_idle_timeout = blocking_idle_timeout
        self.signals = signals

    def as_dict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self.__slots__}


class _Process:
    """Process-wide state: the registered configuration and the run in progress."""

    lock = threading.Lock()
    config: _Config | None = None
    current: _RunState | None = None


def _positive_int(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be >= {minimum}, got {value}")
    return value


def _signal_numbers(signals: Iterable[int]) -> tuple[int, ...]:
    if isinstance(signals, (str, bytes)) or not isinstance(signals, Iterable):
        raise TypeError(f"signals must be an iterable of signal numbers, got {type(signals).__name__}")
    numbers = []
    valid = signal.valid_signals()
    for sig in signals:
        if isinstance(sig, bool) or not isinstance(sig, int):
            raise TypeError(f"a signal must be an int, got {type(sig).__name__}")
        number = int(sig)
        if (number not in valid or not 1 <= number < min(signal.NSIG, 256)
                or number in (signal.SIGKILL, signal.SIGSTOP)):
            raise ValueError(f"signal {sig!r} cannot be handled")
        if number not in numbers:
            numbers.append(number)
    return tuple(numbers)


def _resolve_config(threads: int | None, blocking_threads: int | None, blocking_idle_timeout: int | None,
                    signals: Iterable[int] | None) -> _Config:
    registered = _Process.config
    if registered is None:
        return _Config(
            _positive_int("threads", os.process_cpu_count() or 1 if threads is None else threads, 1),
            _positive_int("blocking_threads",
                          _DEFAULT_BLOCKING_THREADS if blocking_threads is None else blocking_threads, 1),
            _positive_int("blocking_idle_timeout",
                          _DEFAULT_IDLE_TIMEOUT if blocking_idle_timeout is None else blocking_idle_timeout, 0),
            _signal_numbers(_DEFAULT_SIGNALS if signals is None else signals),
        )
    requested = {
        "threads": threads,
        "blocking_threads": blocking_threads,
        "blocking_idle_timeout": blocking_idle_timeout,
        "signals": None if signals is None else _signal_numbers(signals),
    }
    for name, value in requested.items():
        have = getattr(registered, name)
        if value is not None and (set(value) != set(have) if name == "signals" else value != have):
            raise RuntimeError(
                f"the quorlin runtime of this process is already configured with {name}={have!r};"
                f" it cannot change to {value!r}"
            )
    return registered


def configure(*, threads: int | None = None, blocking_threads: int | None = None,
              blocking_idle_timeout: int | None = None, signals: Iterable[int] | None = None) -> None:
    """Fixes the runtime configuration before the first `run` (optional).

    `threads` coroutine workers (default: the usable CPUs), up to `blocking_threads` threads for
    `to_thread` (default 64) that retire after `blocking_idle_timeout` idle seconds (default 10),
    and the `signals` a run handles (default SIGINT).  The runtime exists once per process: later
    calls, and `run()` arguments, must match.
    """
    with _Process.lock:
        _register(_resolve_config(threads, blocking_threads, blocking_idle_timeout, signals))


def _register(config: _Config) -> Any:
    """Creates and registers the runtime for `config` unless it exists; returns it."""
    if _Process.config is not None:
        return _runtime_box[0]
    if sys._is_gil_enabled():
        raise RuntimeError(_GIL_MESSAGE)
    runtime = _quorlin.Runtime(config.threads, config.blocking_threads, config.blocking_idle_timeout, True,
                               bytes(config.signals))
    try:
        _quorlin.set_runtime(runtime)
    except _quorlin.RuntimeAlreadyInitializedError:
        raise RuntimeError("another runtime (not created by quorlin) is already registered in this process") from None
    _Process.config = config
    _runtime_box[0] = runtime
    return runtime


_GIL_MESSAGE = (
    "quorlin needs the GIL to be disabled, but it is enabled (an imported extension module may have"
    " re-enabled it, or the interpreter runs with -X gil=1 / PYTHON_GIL=1)"
)


class _Descriptor:
    """Hands a raw descriptor number to the native loop, which closes it when the run ends."""

    __slots__ = ("_fd",)

    def __init__(self, fd: int) -> None:
        self._fd = fd

    def fileno(self) -> int:
        return self._fd


def _ignore_signal(signum: int, frame: Any) -> None:
    # The byte written to the wake-up descriptor is what counts; see open_signal_receiver.
    return None


class _RunState:
    """The run in progress: its root task, system task group and signal routing."""

    def __init__(self, runtime: Any, config: _Config) -> None:
        self.runtime = runtime
        self.config = config
        self.lock = threading.Lock()
        self.root: Task[Any] | None = None
        self.system_group: TaskGroup | None = None
        self.system_ready = threading.Event()
        self.finished = False
        self.interrupted = False
        # The first exception a relayed Python signal handler raised; `run` raises it.
        self.handler_error: BaseException | None = None
        self.closing = False
        self.receivers: dict[int, list[Any]] = {}
        self.pumps: list[tuple[int, Any]] = []
        self.pumps_live = 0
        self.pumps_done = ParkingLot()
        self.relay = _HandlerRelay()
        self.blocking_calls = 0
        self.pending_calls: set[Any] = set()

    def fail_pending_calls(self) -> None:
        """Ends the `from_thread.run_sync` calls whose callbacks the finished run never ran."""
        with self.lock:
            self.finished = True
            pending = [future for future in self.pending_calls if not future.running() and not future.done()]
            for future in pending:
                future.set_running_or_notify_cancel()
        for future in pending:
            future.set_exception(RunFinishedError("the run ended before the call ran"))

    # -- signals --

    def dispatch_signal(self, signum: int) -> None:
        if signum not in self.config.signals:
            self.relay.poke()  # a Python handler's signal: the main thread runs the handler
            return
        with self.lock:
            receivers = list(self.receivers.get(signum, ()))
        if receivers:
            for receiver in receivers:
                receiver._deliver(signum)
        elif signum == signal.SIGINT and self.root is not None:
            self.interrupted = True
            self.root.cancel()

    def handler_raised(self, error: BaseException) -> None:
        """A Python signal handler raised `error` during the run: cancel the run, raise it later."""
        with self.lock:
            first = self.handler_error is None
            if first:
                self.handler_error = error
        if first and self.root is not None:
            self.root.cancel()

    def relayed(self, handler: Callable[[int, Any], Any]) -> Callable[[int, Any], None]:
        """`handler` wrapped so that nothing it raises reaches the native loop."""

        @functools.wraps(handler)
        def relay(signum: int, frame: Any) -> None:
            try:
                handler(signum, frame)
            except BaseException as error:  # noqa: BLE001 - ends the run, raised by run()
                self.handler_raised(error)

        return relay

    async def pump(self, signum: int, event: Any) -> None:
        # A raw coroutine (not a quorlin task): it waits on the native event the run loop sets for
        # the signal byte, and ends when `closing` is set and the event is set once more.
        try:
            while True:
                await event.waiter(None)
                event.clear()
                if self.closing:
                    return
                self.dispatch_signal(signum)
        finally:
            with self.lock:
                self.pumps_live -= 1
                last = self.pumps_live == 0
            if last:
                self.pumps_done.unpark_all()

    def stop_pumps(self) -> None:
        self.closing = True
        for _, event in self.pumps:
            event.set()


async def _init(state: _RunState) -> None:
    root = state.root
    assert root is not None
    try:
        async with TaskGroup() as system_group:
            state.system_group = system_group
            state.system_ready.set()
            await _wait_root(root)
            system_group.cancel_scope.cancel()
    except BaseException as exc:  # noqa: BLE001 - system tasks must never end a run with a traceback
        if not isinstance(exc, Cancelled):
            sys.unraisablehook(_internal(exc))
    finally:
        state.stop_pumps()
        with CancelScope(shield=True):
            if state.pumps_live:
                await state.pumps_done._park_unless(lambda: state.pumps_live == 0)
        state.finished = True
        state.runtime._stopping = True


async def _wait_root(root: Task[Any]) -> None:
    with CancelScope(shield=True):
        await root._waiter_lot()._park_unless(root.done)


def _internal(exc: BaseException) -> Any:
    import types

    return types.SimpleNamespace(exc_type=type(exc), exc_value=exc, exc_traceback=exc.__traceback__,
                                 err_msg="quorlin internal error in the init task", object=None)


def _python_handled_signals() -> list[int]:
    handled = []
    for number in range(1, min(signal.NSIG, 256)):
        try:
            handler = signal.getsignal(number)
        except (OSError, ValueError):
            continue
        if callable(handler) and handler not in (signal.SIG_DFL, signal.SIG_IGN):
            handled.append(number)
    return handled


def _socket_inode(fd: int) -> int | None:
    try:
        return os.fstat(fd).st_ino
    except OSError:
        return None


def _close_if_still_ours(fd: int, inode: int | None) -> None:
    if inode is not None and _socket_inode(fd) == inode:
        os.close(fd)


class _HandlerRelay:
    """Gets the main thread to run pending Python signal handlers while it is in the native loop.

    The loop calls a Python function on the main thread when one of two descriptors becomes
    readable, and the interpreter runs the pending handlers as that function starts:

    - a duplicate of the signal socket's read end, which becomes readable with the signal's own
      byte and needs no worker; but the loop drains that socket for the native registrations,
      and a byte that arrives while the loop is dispatching may be gone before this duplicate is
      next polled, which an edge-triggered report then leaves out;
    - so also an eventfd that only this relay reads, written by `poke` from the pump of every
      relayed signal (the native registration hands each byte to a pump, which never misses one).

    One `_run` at a time: `attach` (main thread, before `_run`) makes both descriptors and queues
    the arming; `_arm` (a worker, once `_run` is up) makes the two `ScheduledIO`s, stores the
    callbacks and pokes once, for a signal that came before; `detach` (main thread, after `_run`)
    closes the descriptors, whose registrations the loop's shutdown has dropped.  `token` names
    the `_run` an arming belongs to: one still queued when its `_run` ended must do nothing.
    """

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.token: object | None = None
        self.wake_fd: int | None = None  # written under `lock`; read by `_on_wake` during `_run`
        self.signal_watch: Any = None
        self.wake_watch: Any = None
        # One bound method each, stored again by every re-arm.
        self.on_signal_byte = self._on_signal_byte
        self.on_wake = self._on_wake

    def attach(self, runtime: Any, read_fd: int) -> tuple[int, int]:
        signal_fd = os.dup(read_fd)
        wake_fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
        token = object()
        with self.lock:
            self.token = token
            self.wake_fd = wake_fd
            self.signal_watch = self.wake_watch = None
        runtime._call_soon(functools.partial(self._arm, token, signal_fd, wake_fd))
        return signal_fd, wake_fd

    def detach(self, fds: tuple[int, int]) -> None:
        with self.lock:
            self.token = None
            self.wake_fd = None
            self.signal_watch = self.wake_watch = None
        for fd in fds:
            os.close(fd)

    def poke(self) -> None:
        """Any thread: makes the loop call the relay on the main thread soon."""
        with self.lock:
            if self.wake_fd is not None:
                os.eventfd_write(self.wake_fd, 1)

    def _arm(self, token: object, signal_fd: int, wake_fd: int) -> None:
        with self.lock:
            if token is not self.token:
                return
            try:
                signal_watch = _quorlin.ScheduledIO(signal_fd)
                wake_watch = _quorlin.ScheduledIO(wake_fd)
            except (RuntimeError, OSError):
                return  # the loop is shutting down: nothing is left to relay to
            self.signal_watch, self.wake_watch = signal_watch, wake_watch
            _store(signal_watch, self.on_signal_byte)
            _store(wake_watch, self.on_wake)
            os.eventfd_write(wake_fd, 1)

    # Both callbacks are called by the loop on the main thread.  Entering them is what counts:
    # the interpreter runs the pending Python signal handlers before their first line.

    def _on_signal_byte(self) -> None:
        if self.signal_watch is not None:
            _store(self.signal_watch, self.on_signal_byte)

    def _on_wake(self) -> None:
        if self.wake_watch is not None:
            try:
                os.eventfd_read(self.wake_fd)  # type: ignore[arg-type]
            except BlockingIOError:
                pass
            _store(self.wake_watch, self.on_wake)


def _store(watch: Any, callback: Callable[[], None]) -> None:
    """Stores `callback` for the next read report of `watch`, taking back readiness already seen."""
    while watch._arm_r_cb(callback):
        watch.consume_r()


def _drive(state: _RunState, start: Callable[[], None] | None) -> None:
    """Hands the main thread to the native loop until the init task stops it.

    `start` launches the run's tasks once the first relay arming is queued, so that the arming
    comes before them even when they keep every worker busy.
    """
    runtime = state.runtime
    relay = state.relay
    while not state.finished:
        reader, writer = socket.socketpair()
        reader.setblocking(False)
        writer.setblocking(False)
        writer_dup = os.dup(writer.fileno())
        read_fd = reader.fileno()
        inodes = (_socket_inode(read_fd), _socket_inode(writer_dup))
        reader.detach()
        runtime._ssock_r = _Descriptor(read_fd)
        runtime._ssock_w = _Descriptor(writer_dup)
        relay_fds = relay.attach(runtime, read_fd)
        if start is not None:
            start()
            start = None
        previous_wakeup = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
        try:
            runtime._sig_listening = True
            runtime._run()
        except BaseException:
            _close_if_still_ours(read_fd, inodes[0])
            _close_if_still_ours(writer_dup, inodes[1])
            raise
        finally:
            runtime._sig_listening = False
            signal.set_wakeup_fd(previous_wakeup)
            relay.detach(relay_fds)
            writer.close()
            runtime._ssock_r = None
            runtime._ssock_w = None


def run(async_fn: Callable[..., Awaitable[T]], *args: Any, threads: int | None = None,
        blocking_threads: int | None = None, blocking_idle_timeout: int | None = None,
        signals: Iterable[int] | None = None) -> T:
    """Runs ``async_fn(*args)`` as the root task on all workers and returns its result.

    Blocks the calling (main) thread until the root task and everything it started have finished,
    then returns the root's return value or raises its exception.  Ctrl-C (SIGINT) cancels the
    root task and `run` then raises KeyboardInterrupt.  Python signal handlers of other signals
    run on the main thread during the run; one that raises cancels the root task, and `run` then
    raises that exception.  The keyword arguments configure the process's runtime on the first
    run (see `configure`); later runs must not change them.  May be called again after it
    returns, but not while a run is in progress.
    """
    try:
        _check_caller()
        if sys._is_gil_enabled():
            raise RuntimeError(_GIL_MESSAGE)
    except BaseException:
        if isinstance(async_fn, Coroutine):
            async_fn.close()  # a coroutine handed to run() is run()'s to finish
        raise
    coro = _make_coroutine(async_fn, args)
    try:
        with _Process.lock:
            if _Process.current is not None:
                raise RuntimeError(_ALREADY_RUNNING)
            config = _resolve_config(threads, blocking_threads, blocking_idle_timeout, signals)
            runtime = _register(config)
            state = _RunState(runtime, config)
            _Process.current = state
    except BaseException:
        coro.close()
        raise
    try:
        return _run_once(state, coro, _task_name(async_fn, None))
    finally:
        with _Process.lock:
            _Process.current = None


_ALREADY_RUNNING = (
    "quorlin.run() is already running in this process; a thread can call into that run with"
    " quorlin.from_thread.run() or run_sync()"
)


def _check_caller() -> None:
    if _running_task_code():
        raise RuntimeError(
            "quorlin.run() was called from inside a quorlin task: runs do not nest; await the"
            " async function instead, or start it in a task group"
        )
    if threading.current_thread() is not threading.main_thread():
        if _Process.current is not None:
            raise RuntimeError(_ALREADY_RUNNING)
        raise RuntimeError(
            "quorlin.run() must be called from the main thread, where Python runs signal handlers"
        )


def _run_once(state: _RunState, coro: Any, name: str) -> Any:
    runtime = state.runtime
    root = _spawn(coro, name, None)
    state.root = root
    handled = list(state.config.signals)
    handled += [sig for sig in _python_handled_signals() if sig not in handled]
    previous_handlers: dict[int, Any] = {}
    try:
        for sig in handled:
            previous = signal.getsignal(sig)
            if previous is None:
                continue  # installed outside Python: it cannot be restored, so leave it alone
            ours = sig in state.config.signals
            signal.signal(sig, _ignore_signal if ours else state.relayed(previous))
            previous_handlers[sig] = previous
            state.pumps.append((sig, runtime._sig_add(sig)))
        runtime._stopping = False
        state.pumps_live = len(state.pumps)
        for sig, event in state.pumps:
            runtime._spawn_coro(state.pump(sig, event))

        def start() -> None:
            _launch(_spawn(_init(state), "quorlin.init", None))
            _launch(root)

        _drive(state, start)
    finally:
        state.fail_pending_calls()
        _io._forget_run()
        # Restoring a handler first runs the handlers still pending (`signal.signal` does so
        # before it changes anything), through the relays that are still installed.
        for sig, handler in previous_handlers.items():
            runtime._sig_rem(sig)
            signal.signal(sig, handler)
    if not root.done():
        raise RuntimeError("the quorlin run ended before its root task finished")
    if state.handler_error is not None:
        raise state.handler_error
    if state.interrupted:
        raise KeyboardInterrupt
    if root._cancelled and root._error is None:
        raise Cancelled()
    if root._error is not None:
        raise root._error
    return root._value


def _current_run() -> _RunState:
    state = _Process.current
    if state is None or state.finished:
        raise RunFinishedError("no quorlin run is in progress")
    return state


def current_root_task() -> Task[Any]:
    """The root task of the run in progress."""
    state = _current_run()
    assert state.root is not None
    return state.root


def runtime_configuration() -> dict[str, Any] | None:
    """The process's runtime configuration, or None before the first run."""
    config = _Process.config
    return None if config is None else config.as_dict()
