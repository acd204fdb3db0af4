#!/usr/bin/env python3
"""A TCP proxy on loopback that delays every byte by half a round trip in each
direction, as a long link would (bandwidth is not limited).
  delay_proxy.py RTT_MS TARGET_PORT   prints its own port on the first line."""
import asyncio
import socket
import sys
import time

HALF = float(sys.argv[1]) / 2000.0
TARGET = int(sys.argv[2])


async def pump(reader, writer):
    # Chunks keep their order: each waits until its own arrival plus HALF.
    queue = asyncio.Queue()

    async def deliver():
        while (item := await queue.get())[1] is not None:
            due, data = item
            delay = due - time.monotonic()
            if delay > 0:
                await asyncio.sleep(delay)
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.ensure_future(deliver())
    try:
        while data := await reader.read(1 << 16):
            queue.put_nowait((time.monotonic() + HALF, data))
    except ConnectionError:
        pass
    queue.put_nowait((0, None))
    try:
        await sender
    except ConnectionError:
        pass


async def serve(client_reader, client_writer):
    # asyncio turns Nagle off only for sockets it made itself as TCP; without
    # this a response written in two chunks (headers, then body) would wait for
    # the client's delayed ACK, about 40 ms, which no link adds.
    client_writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", TARGET)
    except OSError:
        client_writer.close()
        return
    # The connection itself takes a round trip to set up.
    await asyncio.sleep(2 * HALF)
    await asyncio.gather(pump(client_reader, server_writer), pump(server_reader, client_writer))


async def main():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = await asyncio.start_server(serve, sock=sock)
    print(sock.getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


asyncio.run(main())
