"""The relay the benchmarks put between a client and nginx (harness.relay):
what goes in comes out whole and in order, each way, over many connections
at once, and an end or a reset on one side reaches the other. Its delay is
measured by bench/run, not asserted here."""

import socket
import struct
import threading

import pytest

from harness.relay import Relay


class Target:
    """A server that answers each connection with handler(connection)."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.handler = None
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.handler, args=(connection,), daemon=True).start()


@pytest.fixture
def target():
    made = Target()
    yield made
    made.listener.close()


@pytest.fixture
def relay(target):
    made = Relay(0, target.port, 5).start()
    yield made
    made.stop()


def receive_all(connection):
    got = b""
    while True:
        chunk = connection.recv(1 << 16)
        if not chunk:
            return got
        got += chunk


def echo(connection):
    """Sends back what came, then ends its side once the client ended its own."""
    connection.settimeout(20)
    with connection:
        while chunk := connection.recv(1 << 16):
            connection.sendall(chunk)
        connection.shutdown(socket.SHUT_WR)


@pytest.mark.parametrize("clients, size, pieces", [(1, 1, 1), (1, 3 << 20, 48), (24, 200_000, 7)])
def test_bytes_pass_whole_and_in_order_on_many_connections_at_once(target, relay, clients, size, pieces):
    target.handler = echo
    together = threading.Barrier(clients)
    results = {}

    def client(number):
        data = bytes((number + i * 7) % 251 for i in range(size))
        with socket.create_connection(("127.0.0.1", relay.port), timeout=20) as connection:
            together.wait(10)  # every connection open before any ends
            step = -(-size // pieces)

            def send():
                for i in range(0, size, step):
                    connection.sendall(data[i:i + step])
                connection.shutdown(socket.SHUT_WR)

            sender = threading.Thread(target=send)
            sender.start()
            results[number] = receive_all(connection) == data
            sender.join()

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert results == {n: True for n in range(clients)}
    assert (relay.accepted, relay.peak) == (clients, clients)


def test_an_answer_sent_after_the_request_ended_still_arrives(target, relay):
    def answer_after_end(connection):
        connection.settimeout(20)
        with connection:
            request = receive_all(connection)
            connection.sendall(b"got " + request)

    target.handler = answer_after_end
    with socket.create_connection(("127.0.0.1", relay.port), timeout=20) as connection:
        connection.sendall(b"request")
        connection.shutdown(socket.SHUT_WR)
        assert receive_all(connection) == b"got request"


def test_a_reset_by_the_client_ends_the_connection_to_the_target(target, relay):
    ended = threading.Event()

    def wait_for_end(connection):
        with connection:
            try:
                receive_all(connection)
            except ConnectionResetError:
                pass
            ended.set()

    target.handler = wait_for_end
    connection = socket.create_connection(("127.0.0.1", relay.port))
    connection.sendall(b"partial")
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()
    assert ended.wait(10), "the target's side stayed open after the client's reset"


def test_a_target_that_refuses_closes_the_client_connection():
    with socket.create_server(("127.0.0.1", 0)) as gone:
        nobody = gone.getsockname()[1]
    relay = Relay(0, nobody, 5).start()
    try:
        with socket.create_connection(("127.0.0.1", relay.port), timeout=10) as connection:
            assert connection.recv(1) == b""
        assert relay.open == 0
    finally:
        relay.stop()
