#!/usr/bin/python3
# WebSocket echo round trips per second against a running server (json-api's /ws, say): each of
# CLIENTS connections sends a 32-byte text and waits for it back, over and over, at most
# ROUNDS round trips or SECONDS each; three runs, then the median, with the load average.
#
#   bench/websocket-echo/run.py URL [clients=4] [seconds=5] [rounds=200000]
#   bench/websocket-echo/run.py wss://127.0.0.1:8443/ws
import asyncio
import os
import ssl
import statistics
import sys
import time

import websockets

RUNS = 3


async def client(url, seconds, rounds):
    tls = None
    if url.startswith("wss:"):
        tls = ssl.create_default_context()
        tls.check_hostname = False
        tls.verify_mode = ssl.CERT_NONE
    message = "x" * 32
    done = 0
    async with websockets.connect(url, ssl=tls) as ws:
        end = time.monotonic() + seconds
        while done < rounds and time.monotonic() < end:
            await ws.send(message)
            assert await ws.recv() == message
            done += 1
    return done


async def run(url, clients, seconds, rounds):
    start = time.monotonic()
    counts = await asyncio.gather(*(client(url, seconds, rounds) for _ in range(clients)))
    return sum(counts) / (time.monotonic() - start)


def main():
    url = sys.argv[1]
    clients = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 5
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 200000
    rates = []
    for i in range(RUNS):
        rates.append(asyncio.run(run(url, clients, seconds, rounds)))
        print(f"run {i + 1}: {rates[-1]:.0f} round trips/s ({clients} clients)")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"median {statistics.median(rates):.0f} round trips/s; load average {load}")


main()
