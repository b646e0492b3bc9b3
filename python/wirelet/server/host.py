"""One task per HTTP/1.1 connection that its requests' applications run on.

A keep-alive connection serves its requests one after the other, so they
can share a task: the request's application starts inside the read callback,
with the connection's task made current (so `asyncio.current_task()`,
timeouts and cancel scopes see a real task), in a fresh copy of the context.
An application that answers without waiting is done there, and the request
has cost no task, no scheduled callback and no extra trip through the loop.
One that waits is handed to the task, which drives it on from the point
where it stopped; it stays the same task throughout.

Cancelling the task is cancelling the request it runs. A cancellation that
outlives its request (it was asked for by a request that then finished
without waiting) ends the task instead of reaching the next request; the
next request gets a new task.

Where the interpreter lacks the hooks this needs, `Host.supported` is false
and each request runs as a task of its own.
"""

from __future__ import annotations

import asyncio
import types
from contextvars import copy_context

try:
    from asyncio.tasks import _enter_task, _leave_task
    _HOOKS = True
except ImportError:  # pragma: no cover - interpreters without the hooks
    _HOOKS = False

_CancelledError = asyncio.CancelledError


# What a runner yields when the coroutine it runs has ended.
_DONE = object()


@types.coroutine
def _runner():
    """Runs each coroutine sent to it to its end, then yields _DONE and waits
    for the next. The end of a request's coroutine thus costs no
    StopIteration: creating, raising and catching one per request was a
    sizeable share of a small request's cost."""
    coro = yield
    while True:
        yield from coro
        coro = yield _DONE


def _new_runner():
    runner = _runner()
    runner.send(None)
    return runner


@types.coroutine
def _resume(runner, ctx, yielded, exc=None):
    """Drives the runner's coroutine, which stopped by yielding `yielded`, to
    its end in ctx; the task awaiting this sees exactly what a task running
    the coroutine would."""
    send = runner.send
    throw = runner.throw
    run = ctx.run
    if exc is not None:
        if isinstance(yielded, asyncio.Future):
            yielded.cancel()
        yielded = run(throw, exc)
    while yielded is not _DONE:
        try:
            value = yield yielded
        except GeneratorExit:
            runner.close()
            raise
        except BaseException as e:  # noqa: BLE001 - handed to the coroutine, as a task would
            yielded = run(throw, e)
        else:
            yielded = run(send, value)


async def _carry_on(runner, ctx, yielded, exc):
    await _resume(runner, ctx, yielded, exc)


class Host:
    """The task that a connection's requests run on."""

    __slots__ = ("loop", "task", "job", "waiter", "closed", "started", "runner", "runner_send")

    supported = _HOOKS

    def __init__(self, loop):
        self.loop = loop
        self.job = None
        self.waiter = None
        self.closed = False
        self.started = False
        # Runs requests up to their first wait; one that waits takes it along
        # and the next request gets a new one.
        self.new_runner()
        self.task = loop.create_task(self.main())

    def new_runner(self) -> None:
        self.runner = runner = _new_runner()
        self.runner_send = runner.send  # bound once: each request saves a method lookup

    def usable(self) -> bool:
        task = self.task
        return not self.closed and not task.done() and not task.cancelling()

    def run(self, coro) -> None:
        """Runs coro now, on this task, up to its first wait; the task goes on from there."""
        loop = self.loop
        task = self.task
        ctx = copy_context()
        try:
            _enter_task(loop, task)
        except RuntimeError:
            # Called from inside another task: the request gets its own.
            loop.create_task(coro, context=ctx)
            return
        runner = self.runner
        try:
            yielded = ctx.run(self.runner_send, coro)
        except BaseException:
            self.new_runner()  # the coroutine's exception ended this one
            raise
        finally:
            _leave_task(loop, task)
        if yielded is _DONE:
            return
        self.new_runner()
        if not self.started and task.cancelling():
            # The request cancelled the task before its first step, which
            # will therefore only raise: the request goes on by itself.
            self.closed = True
            loop.create_task(_carry_on(runner, ctx, yielded, _CancelledError()))
            return
        self.job = (runner, ctx, yielded)
        waiter = self.waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def close(self) -> None:
        """Ends the task once it has no request left to run."""
        self.closed = True
        waiter = self.waiter
        if self.job is None and waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def main(self):
        # With an eager task factory this runs inside __init__, before
        # self.task is set: it is read only after the first wait.
        self.started = True
        while True:
            job = self.job
            exc = None
            if job is None:
                if self.closed:
                    return
                waiter = self.waiter = self.loop.create_future()
                try:
                    await waiter
                except _CancelledError as e:
                    if self.job is None:
                        self.closed = True
                        raise
                    exc = e  # meant for the request that was handed over meanwhile
                finally:
                    self.waiter = None
                job = self.job
                if job is None:
                    continue
            self.job = None
            await _resume(*job, exc)
            if self.task.cancelling():
                # The request ended without absorbing a cancellation.
                self.closed = True
                return
