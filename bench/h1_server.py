"""Requests per second of the example HTTP/1.1 server against an equivalent
server built on h11 with the same asyncio streams loop, under wrk on
loopback (or a Python keep-alive load loop when wrk is missing).

Run: python bench/h1_server.py [seconds]
"""

import asyncio
import os
import re
import shutil
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

H11_SERVER = r'''
import asyncio, sys
import h11

BODY = b"hello from wirelet: GET /\n"

async def handle(reader, writer):
    conn = h11.Connection(h11.SERVER)
    while True:
        event = conn.next_event()
        if event is h11.NEED_DATA:
            data = await reader.read(65536)
            conn.receive_data(data)
            continue
        if isinstance(event, h11.Request):
            continue
        if isinstance(event, h11.EndOfMessage):
            out = conn.send(h11.Response(status_code=200, headers=[
                ("content-type", "text/plain"), ("server", "h11-demo"),
                ("content-length", str(len(BODY)))]))
            out += conn.send(h11.Data(data=BODY)) + conn.send(h11.EndOfMessage())
            writer.write(out)
            await writer.drain()
            if conn.our_state is h11.MUST_CLOSE:
                break
            conn.start_next_cycle()
            continue
        break
    writer.close()

async def main(port):
    srv = await asyncio.start_server(handle, "127.0.0.1", port)
    async with srv:
        await srv.serve_forever()

asyncio.run(main(int(sys.argv[1])))
'''

OURS = r'''
import asyncio, sys
sys.path.insert(0, sys.argv[2])
import h1_server
asyncio.run(h1_server.main(int(sys.argv[1])))
'''


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_listening(port, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start")


def load_wrk(port, seconds):
    out = subprocess.run(["wrk", "-t1", "-c16", f"-d{seconds}s", f"http://127.0.0.1:{port}/"],
                         capture_output=True, text=True, check=True).stdout
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))


async def load_python(port, seconds):
    request = b"GET / HTTP/1.1\r\nhost: x\r\n\r\n"
    count = 0
    deadline = time.perf_counter() + seconds

    async def client():
        nonlocal count
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        while time.perf_counter() < deadline:
            writer.write(request)
            head = await reader.readuntil(b"\r\n\r\n")
            length = int(re.search(rb"content-length: (\d+)", head, re.I).group(1))
            await reader.readexactly(length)
            count += 1
        writer.close()

    await asyncio.gather(*(client() for _ in range(8)))
    return count / seconds


def measure(code, seconds, *args):
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-c", code, str(port), *args])
    try:
        wait_listening(port)
        if shutil.which("wrk"):
            return load_wrk(port, seconds)
        return asyncio.run(load_python(port, seconds))
    finally:
        proc.terminate()
        proc.wait()


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    ours = measure(OURS, seconds, os.path.join(ROOT, "examples"))
    h11 = measure(H11_SERVER, seconds)
    tool = "wrk -t1 -c16" if shutil.which("wrk") else "python load loop"
    print(f"load: {tool}, {seconds}s each")
    print(f"wirelet example server: {ours:,.0f} req/s")
    print(f"h11 server (same loop): {h11:,.0f} req/s")
    print(f"ratio: {ours / h11:.2f}x")


if __name__ == "__main__":
    main()
