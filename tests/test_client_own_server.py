"""wirelet.Client against wirelet's own server (`python -m wirelet serve`):
HTTP/1.1, HTTP/2 by prior knowledge and HTTP/2 by ALPN over TLS."""

import asyncio
import importlib.util
import os
import subprocess
import sys
import tempfile

import pytest

import wirelet

from client_peers import client_tls, free_port, tls_files  # noqa: F401
from server_util import wait_listening
from test_client_h1 import run

pytestmark = pytest.mark.skipif(importlib.util.find_spec("wirelet.server") is None,
                                reason="the package has no server")


@pytest.fixture(scope="module")
def own_server(tls_files):
    certfile, keyfile, cafile = tls_files
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here] + sys.path))
    procs, urls = [], []
    try:
        for tls in (False, True):
            port = free_port()
            args = [sys.executable, "-m", "wirelet", "serve", "client_peers:echo_app", "--port", str(port),
                    "--log-level", "error", "--lifespan", "off"]
            if tls:
                args += ["--certfile", certfile, "--keyfile", keyfile]
            log = tempfile.TemporaryFile()
            procs.append(subprocess.Popen(args, cwd=here, env=env, stdout=log, stderr=subprocess.STDOUT))
            urls.append(f"{'https' if tls else 'http'}://127.0.0.1:{port}")
            wait_listening(procs[-1], port, output=log)
        yield urls[0], urls[1], cafile
    finally:
        for p in procs:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


@pytest.mark.parametrize("mode", ["h1", "h2c", "h2"])
def test_round_trips_against_our_own_server(own_server, mode):
    plain, secure, cafile = own_server
    base, kw, version = {
        "h1": (plain, {}, "HTTP/1.1"),
        "h2c": (plain, {"http2": "prior-knowledge"}, "HTTP/2"),
        "h2": (secure, {"http2": True, "verify": client_tls(cafile)}, "HTTP/2"),
    }[mode]
    upload = os.urandom(200_000)

    async def scenario():
        async with wirelet.Client(**kw) as client:
            rs = await asyncio.gather(*[client.get(f"{base}/g{i}") for i in range(20)])
            posted = await client.post(base + "/up", content=upload)
            big = await client.get(base + "/bytes/3000000")
            return rs, posted, big
    rs, posted, big = run(scenario())
    assert {r.http_version for r in rs} == {version}
    assert [r.content for r in rs] == [f"GET /g{i} {version[5:]} 0\n".encode() for i in range(20)]
    assert posted.content == f"POST /up {version[5:]} 200000\n".encode() + upload
    assert len(big.content) == 3000000
