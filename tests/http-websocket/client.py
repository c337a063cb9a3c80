# Python's websockets client against a test server: prints what it sees, a line each.
#
#   python3 client.py echo|big|badtext|origin|plain|hold URL
#   echo: a text, a binary, a fragmented text and a ping, then close 4000 "bye"
#   big: one message over the server's limit; badtext: a text frame that is not UTF-8;
#   origin: a page of another site asking;
#   plain: a GET without the upgrade;
#   hold: waits for what the server sends until the server closes
import asyncio
import http.client
import ssl
import sys

import websockets


def context(url):
    if not url.startswith("wss:"):
        return None
    tls = ssl.create_default_context()
    tls.check_hostname = False
    tls.verify_mode = ssl.CERT_NONE
    return tls


def closed(socket):
    print("closed", socket.close_code, socket.close_reason, flush=True)


async def echo(url):
    async with websockets.connect(url, ssl=context(url)) as ws:
        for message in ["héllo", b"\x00\x01\xff", ["frag", "mented"]]:
            await ws.send(message)
            print("echo", repr(await ws.recv()))
        await (await ws.ping(b"p"))
        print("pong")
        await ws.close(4000, "bye")
    closed(ws)


async def big(url):
    async with websockets.connect(url, ssl=context(url)) as ws:
        await ws.send("x" * 2000)
        try:
            await ws.recv()
        except websockets.ConnectionClosed:
            pass
    closed(ws)


async def badtext(url):
    async with websockets.connect(url, ssl=context(url)) as ws:
        await ws.write_frame(True, websockets.frames.OP_TEXT, b"\xc3\x28")
        try:
            await ws.recv()
        except websockets.ConnectionClosed:
            pass
    closed(ws)


async def origin(url):
    try:
        async with websockets.connect(url, ssl=context(url), origin="http://evil.example"):
            print("opened")
    except websockets.InvalidStatusCode as refused:
        print("refused", refused.status_code)


async def plain(url):
    host, port = url.split("/")[2].split(":")
    if url.startswith("wss:"):
        connection = http.client.HTTPSConnection(host, int(port), context=context(url))
    else:
        connection = http.client.HTTPConnection(host, int(port))
    connection.request("GET", "/ws")
    reply = connection.getresponse()
    print(reply.status, reply.getheader("Upgrade"), reply.getheader("Sec-WebSocket-Version"))


async def hold(url):
    async with websockets.connect(url, ssl=context(url)) as ws:
        print("open", flush=True)
        try:
            async for message in ws:
                print("got", repr(message), flush=True)
        except websockets.ConnectionClosed:
            pass
    closed(ws)


asyncio.run(globals()[sys.argv[1]](sys.argv[2]))
