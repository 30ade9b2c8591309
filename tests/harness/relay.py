"""A far server on 127.0.0.1: a relay that forwards each TCP connection it
takes to a port on 127.0.0.1 and holds every chunk `delay_ms` before passing
it on, each way (25 ms each way: a 50 ms round trip). It delays and never
throttles: a chunk read at t is written at t + delay, whatever came before,
so a transfer pays the round trips a real link would make it wait for.

It runs on an event loop in a thread of its own, started and stopped by
the test or benchmark that made it, and counts the connections it held
open at once (`peak`). `python3 tests/harness/relay.py PORT TARGET MS`
runs one in the foreground.
"""

import asyncio
import socket
import sys
import threading


class Relay:
    def __init__(self, port, target, delay_ms):
        self.port, self.target, self.delay = port, target, delay_ms / 1000.0
        self.open = self.peak = self.accepted = 0
        self._loop = self._thread = self._server = None
        self._writers = set()

    def start(self):
        loop = asyncio.new_event_loop()
        # Bound here, so that a taken port fails the caller at once.
        listener = socket.create_server(("127.0.0.1", self.port), backlog=128)
        self.port = listener.getsockname()[1]  # port 0: one the system chose
        self._server = loop.run_until_complete(asyncio.start_server(self._connection, sock=listener))
        self._loop = loop
        self._thread = threading.Thread(target=loop.run_forever, name="relay", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._loop is None:
            return
        loop, self._loop = self._loop, None

        async def close():
            # Connections end as after a reset, each closing its own sockets.
            self._server.close()
            for writer in list(self._writers):
                writer.transport.abort()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            if tasks:
                await asyncio.wait(tasks, timeout=5)
            loop.stop()

        asyncio.run_coroutine_threadsafe(close(), loop)
        self._thread.join(10)
        loop.close()

    async def _connection(self, client_in, client_out):
        self.accepted += 1
        # A chunk goes out whole at once: left to Nagle, a body written after
        # its headers would wait for their acknowledgement (up to 40 ms).
        # Set before the first wait, while the client's socket is surely open;
        # asyncio sets it on the connections it makes itself.
        client_out.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            server_in, server_out = await asyncio.open_connection("127.0.0.1", self.target)
        except OSError:
            client_out.transport.abort()
            return
        self.open += 1
        self.peak = max(self.peak, self.open)
        self._writers |= {client_out, server_out}
        ways = [asyncio.ensure_future(self._forward(client_in, server_out)),
                asyncio.ensure_future(self._forward(server_in, client_out))]
        try:
            # A reset on one side ends both: the other would wait for ever.
            done, _ = await asyncio.wait(ways, return_when=asyncio.FIRST_EXCEPTION)
            if any(way.exception() for way in done):
                client_out.transport.abort()
                server_out.transport.abort()
        finally:
            for way in ways:
                way.cancel()
            await asyncio.gather(*ways, return_exceptions=True)
            self.open -= 1
            self._writers -= {client_out, server_out}
            client_out.close()
            server_out.close()

    async def _forward(self, source, sink):
        """Reads chunks as they come and writes each `delay` after it came;
        the end of the stream (a half close) is passed on the same way."""
        loop = asyncio.get_running_loop()
        held = asyncio.Queue()

        async def deliver():
            while True:
                due, chunk = await held.get()
                await asyncio.sleep(due - loop.time())
                if not chunk:
                    sink.write_eof()
                    return
                sink.write(chunk)
                await sink.drain()

        writer = asyncio.ensure_future(deliver())
        try:
            while not writer.done():
                chunk = await source.read(1 << 16)
                held.put_nowait((loop.time() + self.delay, chunk))
                if not chunk:
                    break
            await writer
        finally:
            writer.cancel()


if __name__ == "__main__":
    port, target, delay = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    relay = Relay(port, target, delay).start()
    print("relay: 127.0.0.1:%d -> 127.0.0.1:%d, %g ms each way (Ctrl-C ends it)" % (port, target, delay))
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        relay.stop()
