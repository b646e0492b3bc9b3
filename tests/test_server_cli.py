"""`python -m wirelet serve`: worker processes, signals, graceful shutdown."""

import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from server_util import ROOT, raw, read_all, spawn_server, wait_listening


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_workers_share_one_socket_and_stop_on_a_signal(sig):
    proc, port = spawn_server(["server_util:cli_app", "--workers", "2"], start_new_session=True)
    try:
        pids = set()
        deadline = time.time() + 10
        while len(pids) < 2 and time.time() < deadline:
            out = raw(port, b"GET /info HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
            pids.add(out.split(b"x-pid: ")[1].split(b"\r\n")[0])
        assert len(pids) == 2
        # Ctrl-C signals the whole process group; the workers still shut down gracefully.
        conn = socket.create_connection(("127.0.0.1", port), 5)
        conn.sendall(b"GET /slow?0.5 HTTP/1.1\r\nhost: x\r\n\r\n")
        time.sleep(0.2)
        if sig == signal.SIGINT:
            os.killpg(proc.pid, sig)
        else:
            proc.send_signal(sig)
        out = read_all(conn, 5)
        conn.close()
        assert out.endswith(b"slow done")
        assert proc.wait(10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_signal_lets_the_exchange_in_flight_finish(sig):
    proc, port = spawn_server(["server_util:cli_app"])
    try:
        conn = socket.create_connection(("127.0.0.1", port), 5)
        conn.sendall(b"GET /slow?0.5 HTTP/1.1\r\nhost: x\r\n\r\n")
        time.sleep(0.2)
        proc.send_signal(sig)
        out = read_all(conn, 5)
        conn.close()
        assert out.startswith(b"HTTP/1.1 200") and b"connection: close" in out and out.endswith(b"slow done")
        assert proc.wait(10) == 0
        log = proc.stdout.read()
        assert b"shut down" in log
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()


def test_serve_from_code():
    port_sock = socket.socket()
    port_sock.bind(("127.0.0.1", 0))
    port = port_sock.getsockname()[1]
    port_sock.close()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "tests")] + sys.path))
    code = f"import wirelet, server_util; wirelet.serve(server_util.cli_app, port={port}, lifespan='off')"
    proc = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        wait_listening(proc, port)
        out = raw(port, b"GET /hello HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
        assert out.endswith(b"hello from wirelet\n")
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()


def test_bad_application_spec_is_refused():
    # A Python child loads this build's module, so it keeps the whole
    # environment (under the sanitizer build: its preloaded runtime too).
    out = subprocess.run([sys.executable, "-m", "wirelet", "serve", "no_such_module_here:app"],
                         capture_output=True, timeout=60, env=dict(os.environ))
    assert out.returncode == 2 and b"cannot load" in out.stderr, out.stderr
