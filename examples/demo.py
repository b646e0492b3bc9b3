"""End-to-end demo on loopback: the example HTTP/1.1 server and client, plus curl.

Starts the server in this process, makes a handful of requests with the
package's client (connection reuse, a POST, a streamed response, the idle
watcher noticing that the server closed an idle connection) and with curl
(keep-alive over several URLs, Expect: 100-continue), prints what came back
and exits.
"""

import asyncio
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import wirelet  # noqa: E402
from wirelet import __version__  # noqa: E402
from wirelet import _wirelet as w  # noqa: E402
from wirelet.http import HeaderMap  # noqa: E402

import h1_server  # noqa: E402


def show(label, resp, client):
    body = resp.content.decode(errors="replace").strip().replace("\n", " | ")
    print(f"  {label:<28} -> {resp.status}, {client._live} connection(s) open: {body}")


async def curl(*args):
    proc = await asyncio.create_subprocess_exec(
        "curl", "-sS", *args, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
    out, _ = await proc.communicate()
    return out.decode(errors="replace")


async def main():
    print(f"wirelet {__version__}: HTTP/1.1 demo on loopback")
    server = h1_server.Server(idle_timeout=0.3)
    srv = await asyncio.start_server(server.handle, "127.0.0.1", 0)
    port = srv.sockets[0].getsockname()[1]
    base = f"http://127.0.0.1:{port}"
    print(f"server listening on {base}\n")

    print("wirelet.Client (H1ClientState + H1Codec):")
    async with wirelet.Client() as client:
        show("GET /hello", await client.get(base + "/hello"), client)
        show("GET /again (reused)", await client.get(base + "/again"), client)
        show("POST /echo", await client.post(base + "/echo", headers={"content-type": "text/plain"},
                                             content=b"ping"), client)
        show("GET /stream (chunked)", await client.get(base + "/stream"), client)
        await asyncio.sleep(0.6)  # longer than the server's idle timeout
        print(f"  after the server's idle timeout: {client._live} connection(s) open (the watcher saw the close)")
        show("GET /after-idle", await client.get(base + "/after-idle"), client)

    if shutil.which("curl"):
        print("\ncurl, keep-alive over three URLs:")
        out = await curl("-v", f"{base}/a", f"{base}/b", f"{base}/c")
        for line in out.splitlines():
            if line.startswith(("hello", "* Re-using", "< HTTP")):
                print("  " + line)
        print("\ncurl, POST with Expect: 100-continue:")
        out = await curl("-i", "-H", "Expect: 100-continue", "--data-binary", "x" * 2048, f"{base}/upload")
        for line in out.splitlines():
            if line.startswith(("HTTP/", "echo")):
                print("  " + line[:60])
    else:
        print("\n(curl not installed: skipping the curl part)")

    print("\nheaders and URLs:")
    headers = HeaderMap([("Accept", "text/html"), ("accept", "*/*")])
    print("  HeaderMap:", headers, "get_all('ACCEPT') =", headers.get_all("ACCEPT"))
    print("  uri_parts:", w.uri_parts("https://[::1]:8443/api?q=1"))

    srv.close()
    server.shutdown()
    await srv.wait_closed()
    print("\nserver shut down; bye")


if __name__ == "__main__":
    asyncio.run(main())
