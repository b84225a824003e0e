#!/usr/bin/env python3
"""scripts/linkproxy: what the benchmark and the frozen-link fault tests rely on.

Runs against the private server the test scripts start (KELVANE_TEST_SOCKET) with the stock
mariadb client. Timing checks are lower bounds only: a loaded machine makes things slower,
never faster than the link allows.
"""
import json
import os
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import time
import types
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROXY = os.path.join(ROOT, "scripts", "linkproxy")
SOCKET = os.environ.get("KELVANE_TEST_SOCKET") or os.environ.get("MYSQL_UNIX_PORT", "")
USER = os.environ.get("KELVANE_TEST_USER") or "kelvane"
PASSWORD = os.environ.get("KELVANE_TEST_PASSWORD") or "kelvane"


def load_proxy_module():
    # The script has no .py ending, so it is read and run as a module of its own.
    module = types.ModuleType("linkproxy")
    module.__file__ = PROXY
    sys.modules["linkproxy"] = module
    with open(PROXY, encoding="utf-8") as source:
        exec(compile(source.read(), PROXY, "exec"), module.__dict__)
    return module


def packet(sequence, payload):
    return len(payload).to_bytes(3, "little") + bytes([sequence]) + payload


class Proxy:
    """One linkproxy process on a socket in a temporary folder."""

    def __init__(self, folder, *options, listen=None):
        self.listen = listen or os.path.join(folder, "link.sock")
        self.count_file = os.path.join(folder, "counts.json")
        self.process = subprocess.Popen(
            [sys.executable, PROXY, "--listen", self.listen, "--target", SOCKET,
             "--count-file", self.count_file, *options],
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if line != "ready\n":
            self.process.kill()
            raise AssertionError("linkproxy did not start: %r" % line)

    def signal(self, number):
        self.process.send_signal(number)

    def snapshot(self):
        """The counts so far (SIGHUP), read once the new file is in place."""
        if os.path.exists(self.count_file):
            os.unlink(self.count_file)
        self.signal(signal.SIGHUP)
        for _ in range(200):
            if os.path.exists(self.count_file):
                with open(self.count_file, encoding="utf-8") as stream:
                    return json.load(stream)
            time.sleep(0.05)
        raise AssertionError("linkproxy wrote no counts on SIGHUP")

    def stop(self):
        self.signal(signal.SIGTERM)
        status = self.process.wait(timeout=30)
        self.process.stdout.close()
        return status


class Client:
    """A stock mariadb client fed one statement at a time, its answers read as they come."""

    def __init__(self, *connect):
        self.process = subprocess.Popen(
            ["mariadb", "--no-defaults", *connect, "-u" + USER, "-p" + PASSWORD,
             "--batch", "--skip-column-names", "--unbuffered"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.process.stdout, selectors.EVENT_READ)

    def send(self, statement):
        self.process.stdin.write(statement.encode() + b";\n")
        self.process.stdin.flush()

    def answer(self, timeout):
        """The next output line, or None when none came within timeout seconds."""
        if not self.selector.select(timeout):
            return None
        return self.process.stdout.readline().decode().rstrip("\n")

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        self.process.stdout.close()
        self.process.stderr.close()
        self.selector.close()
        return self.process.returncode


class PacketCounterTest(unittest.TestCase):
    """The command count follows the packet framing, however the stream is cut."""

    def setUp(self):
        module = load_proxy_module()
        self.totals = module.Counts()
        self.counter = module.PacketCounter(self.totals)

    def feed_stream(self, stream, step):
        for i in range(0, len(stream), step):
            self.counter.feed(stream[i:i + step])

    def test_commands_after_the_handshake_whatever_the_chunks(self):
        handshake = packet(1, b"\x8d\xa6\xff\x09" + b"\x00" * 60)
        auth_more = packet(3, b"secret")
        query = packet(0, b"\x03SELECT 1")
        # A statement of 16 MiB or more travels as a full packet and continuations whose
        # sequence numbers go on from 0; a continuation is not a command of its own, even
        # when its first byte looks like one.
        long_query = packet(0, b"\x03" + b"x" * 0xfffffe) + packet(1, b"\x03tail")
        ping = packet(0, b"\x0e")
        quit_ = packet(0, b"\x01")
        short = handshake + auth_more + query + ping + query + quit_
        long = handshake + query + long_query + ping + quit_
        for stream, steps in ((short, (1, 3, 4, 5, len(short))), (long, (4093, len(long)))):
            for step in steps:
                with self.subTest(length=len(stream), step=step):
                    self.setUp()
                    self.feed_stream(stream, step)
                    self.assertEqual((self.counter.queries, self.counter.other), (2, 2))
                    self.assertEqual(self.totals.by_command, {0x03: 2, 0x0e: 1, 0x01: 1})

    def test_a_tls_connection_is_marked_and_not_parsed(self):
        ssl_request = packet(1, b"\x00" * 32)
        self.counter.feed(ssl_request + b"\x16\x03\x01" + packet(0, b"\x03SELECT 1"))
        self.assertTrue(self.counter.encrypted)
        self.assertEqual((self.counter.queries, self.totals.encrypted), (0, 1))


class AddressTest(unittest.TestCase):
    def test_only_loopback_or_a_socket_path(self):
        for address in ("192.168.1.5:3306", "0.0.0.0:3306", "example.com:3306", "3306",
                        "127.0.0.1:port"):
            with self.subTest(address=address):
                result = subprocess.run(
                    [sys.executable, PROXY, "--listen", address, "--target", "/tmp/x.sock"],
                    capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")


class ThroughTheServerTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="kelvane-linkproxy.")
        self.addCleanup(self.folder.cleanup)

    def start(self, *options, **kwargs):
        proxy = Proxy(self.folder.name, *options, **kwargs)
        self.addCleanup(lambda: proxy.process.poll() is None and proxy.stop())
        return proxy

    def test_counts_each_query_and_connection(self):
        proxy = self.start()
        statements = "".join("SELECT %d;\n" % i for i in range(7))
        result = subprocess.run(
            ["mariadb", "--no-defaults", "--socket=" + proxy.listen, "-u" + USER,
             "-p" + PASSWORD, "--batch", "--skip-column-names"],
            input=statements, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split(), [str(i) for i in range(7)])
        counts = proxy.snapshot()
        self.assertEqual((counts["connections"], counts["queries"]), (1, 7))
        self.assertEqual(counts["per_connection"][0]["queries"], 7)

        # A second connection adds to the totals; the end writes them too.
        result = subprocess.run(
            ["mariadb", "--no-defaults", "--socket=" + proxy.listen, "-u" + USER,
             "-p" + PASSWORD, "-e", "SELECT 1; SELECT 2"],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        os.unlink(proxy.count_file)
        self.assertEqual(proxy.stop(), 0)
        with open(proxy.count_file, encoding="utf-8") as stream:
            counts = json.load(stream)
        self.assertEqual((counts["connections"], counts["queries"]), (2, 9))
        self.assertEqual([c["queries"] for c in counts["per_connection"]], [7, 2])
        self.assertFalse(os.path.exists(proxy.listen))

    def test_a_frozen_link_holds_the_query_until_it_heals(self):
        proxy = self.start()
        client = Client("--socket=" + proxy.listen)
        self.addCleanup(lambda: client.process.poll() is None and client.process.kill())
        client.send("SELECT 'before'")
        self.assertEqual(client.answer(60), "before")

        proxy.signal(signal.SIGUSR1)
        self.assertEqual(proxy.process.stdout.readline(), "frozen\n")
        client.send("SELECT 'held'")
        self.assertIsNone(client.answer(1.5))
        self.assertIsNone(client.process.poll(), "the client gave up on a frozen link")

        proxy.signal(signal.SIGUSR2)
        self.assertEqual(proxy.process.stdout.readline(), "healed\n")
        self.assertEqual(client.answer(60), "held")
        client.send("SELECT 'after'")
        self.assertEqual(client.answer(60), "after")
        self.assertEqual(client.close(), 0)
        self.assertEqual(proxy.snapshot()["queries"], 3)

    def test_a_round_trip_takes_at_least_the_delay(self):
        rtt_ms = 300
        # Over TCP on the loopback this time, to the server's Unix socket.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        proxy = self.start("--rtt-ms", str(rtt_ms), listen="127.0.0.1:%d" % port)
        client = Client("--protocol=TCP", "--host=127.0.0.1", "--port=%d" % port)
        self.addCleanup(lambda: client.process.poll() is None and client.process.kill())
        client.send("SELECT 'connected'")
        self.assertEqual(client.answer(60), "connected")
        for expected in ("one", "two"):
            start = time.monotonic()
            client.send("SELECT '%s'" % expected)
            self.assertEqual(client.answer(60), expected)
            self.assertGreaterEqual(time.monotonic() - start, rtt_ms / 1000.0)
        self.assertEqual(client.close(), 0)
        self.assertEqual(proxy.snapshot()["queries"], 3)


if __name__ == "__main__":
    if not SOCKET:
        print("The linkproxy tests need the private server that scripts/check starts: "
              "KELVANE_TEST_SOCKET (or MYSQL_UNIX_PORT) is not set.", file=sys.stderr)
        sys.exit(2)
    unittest.main()
