"""`python -m wirelet serve MODULE:APP`, `wirelet.serve(app, ...)` and worker processes."""

from __future__ import annotations

import argparse
import asyncio
import importlib
import logging
import os
import signal
import sys
from typing import Any, Optional, Sequence

from .config import Config
from .server import Server, bind_socket

log = logging.getLogger("wirelet.server")


def load_app(spec: str) -> Any:
    """The object named by "package.module:attribute"."""
    module_name, sep, attr = spec.partition(":")
    if not sep or not module_name or not attr:
        raise ValueError(f"application must be given as MODULE:APP, got {spec!r}")
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    obj = importlib.import_module(module_name)
    for part in attr.split("."):
        obj = getattr(obj, part)
    return obj


def run_server(config: Config, sock=None, worker: bool = False) -> None:
    server = Server(config)
    if worker:
        # Ctrl-C reaches the whole process group; the parent turns it into
        # one SIGTERM per worker, so a worker listens to SIGTERM alone.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        asyncio.run(server.serve([sock], signals=(signal.SIGTERM,)))
    else:
        asyncio.run(server.serve([sock] if sock is not None else None))


def run_workers(config: Config) -> int:
    """N worker processes serving one listening socket; the parent forwards
    SIGINT and SIGTERM and waits for them."""
    sock = bind_socket(config)
    children = []
    for _ in range(config.workers):
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                run_server(config, sock, worker=True)
            except BaseException:  # noqa: BLE001 - a worker reports and exits
                log.exception("worker failed")
                code = 1
            finally:
                os._exit(code)
        children.append(pid)
    sock.close()
    log.info("started %d workers: %s", len(children), " ".join(map(str, children)))

    def forward(signum, _frame):
        for pid in children:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    signal.signal(signal.SIGINT, forward)
    signal.signal(signal.SIGTERM, forward)
    status = 0
    for pid in children:
        while True:
            try:
                _, code = os.waitpid(pid, 0)
                break
            except InterruptedError:
                continue
        if os.waitstatus_to_exitcode(code) != 0:
            status = 1
    return status


def serve(app: Any, **options: Any) -> None:
    """Runs `app` until SIGINT or SIGTERM; the options are Config fields."""
    if isinstance(app, str):
        app = load_app(app)
    config = Config(app=app, **options)
    if config.workers > 1:
        code = run_workers(config)
        if code:
            raise SystemExit(code)
    else:
        run_server(config)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m wirelet", description="wirelet HTTP tools")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("serve", help="serve an ASGI application over HTTP/1.1 and HTTP/2")
    defaults = Config()
    p.add_argument("app", help="the application, as MODULE:APP")
    p.add_argument("--host", default=defaults.host)
    p.add_argument("--port", type=int, default=defaults.port)
    p.add_argument("--certfile", help="TLS certificate chain (PEM); enables https with ALPN h2")
    p.add_argument("--keyfile", help="TLS private key (PEM)")
    p.add_argument("--workers", type=int, default=1, help="processes sharing the listening socket")
    p.add_argument("--lifespan", choices=["auto", "on", "off"], default=defaults.lifespan)
    p.add_argument("--root-path", default="")
    p.add_argument("--no-http2", action="store_true", help="serve HTTP/1.1 only")
    p.add_argument("--access-log", action="store_true")
    p.add_argument("--keep-alive-timeout", type=float, default=defaults.keep_alive_timeout)
    p.add_argument("--head-timeout", type=float, default=defaults.head_timeout)
    p.add_argument("--shutdown-timeout", type=float, default=defaults.shutdown_timeout)
    p.add_argument("--log-level", default="info", choices=["debug", "info", "warning", "error"])
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    try:
        app = load_app(args.app)
    except (ImportError, AttributeError, ValueError) as exc:
        print(f"error: cannot load {args.app}: {exc}", file=sys.stderr)
        return 2
    try:
        config = Config(app=app, host=args.host, port=args.port, certfile=args.certfile, keyfile=args.keyfile,
                        workers=args.workers, lifespan=args.lifespan, root_path=args.root_path,
                        http2=not args.no_http2, access_log=args.access_log,
                        keep_alive_timeout=args.keep_alive_timeout, head_timeout=args.head_timeout,
                        shutdown_timeout=args.shutdown_timeout)
    except ValueError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if config.workers > 1:
        return run_workers(config)
    try:
        run_server(config)
    except KeyboardInterrupt:
        pass
    return 0
