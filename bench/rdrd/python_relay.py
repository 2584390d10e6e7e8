# A minimal relay of the kind in use today, for rdrd's benchmark: pyserial's
# readline on the reader's port, each line as a JSON message to every
# WebSocket client (python3-websockets).
#
#   python_relay.py PORT_PATH WEBSOCKET_PORT
import asyncio
import json
import sys
import threading
import time

import serial
import websockets

port_path, websocket_port = sys.argv[1], int(sys.argv[2])
clients = set()


async def handler(websocket, path=None):
    clients.add(websocket)
    try:
        await websocket.wait_closed()
    finally:
        clients.discard(websocket)


def relay(loop):
    with serial.Serial(port_path, 9600, timeout=None) as port:
        while True:
            line = port.readline()
            message = json.dumps({"type": "code", "ts": time.time(), "code": line.rstrip(b"\r\n").decode("cp1252")})
            loop.call_soon_threadsafe(websockets.broadcast, set(clients), message)


async def main():
    loop = asyncio.get_running_loop()
    async with websockets.serve(handler, "127.0.0.1", websocket_port):
        print("listening", flush=True)
        threading.Thread(target=relay, args=(loop,), daemon=True).start()
        await asyncio.Future()


asyncio.run(main())
