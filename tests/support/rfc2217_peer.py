#!/usr/bin/env python3
"""A second RFC 2217 implementation for the network-port tests: pyserial's
server side (serial.rfc2217.PortManager) in front of pyserial's loopback port.

  rfc2217_peer.py PORTFILE

Listens on 127.0.0.1 and a free port, writes the port number to PORTFILE, and
serves one client after another. Data comes back as it was sent; DSR follows
DTR and CTS follows RTS (carrier on, ring off), and the changes go to the
client as modem-state notifications. Every request the client makes is one
line on standard output: "baud 9600", "data 7", "parity E", "stop 2",
"flow rtscts", "DTR on", "RTS off", "break on", "purge in", ...
"""

import os
import socket
import sys
import threading

import serial.rfc2217
import serial.urlhandler.protocol_loop as loop

PRINT_LOCK = threading.Lock()


def say(line):
    with PRINT_LOCK:
        print(line, flush=True)


class LoggedLoop(loop.Serial):
    """The loopback port, telling what it is asked to do."""

    def _reconfigure_port(self):
        super()._reconfigure_port()
        if self.is_open:
            flow = "rtscts" if self._rtscts else "xonxoff" if self._xonxoff else "none"
            say("line baud {} data {} parity {} stop {} flow {}".format(
                self._baudrate, self._bytesize, self._parity, self._stopbits, flow))

    def _update_dtr_state(self):
        if self.is_open:
            say("DTR " + ("on" if self._dtr_state else "off"))

    def _update_rts_state(self):
        if self.is_open:
            say("RTS " + ("on" if self._rts_state else "off"))

    def _update_break_state(self):
        say("break " + ("on" if self._break_state else "off"))

    def reset_input_buffer(self):
        super().reset_input_buffer()
        if self.is_open:
            say("purge in")

    def reset_output_buffer(self):
        super().reset_output_buffer()
        if self.is_open:
            say("purge out")


class Connection:
    """The client's socket, written whole by one thread at a time."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def serve(sock):
    port = LoggedLoop()
    port.port = "loop://"
    port.timeout = 0.02
    port.open()
    conn = Connection(sock)
    manager = serial.rfc2217.PortManager(port, conn)
    done = threading.Event()

    def device_to_network():
        while not done.is_set():
            try:
                data = port.read(max(1, port.in_waiting))
                if data:
                    conn.write(b"".join(manager.escape(data)))
                manager.check_modem_lines()
            except OSError:
                break

    pump = threading.Thread(target=device_to_network, daemon=True)
    pump.start()
    try:
        while True:
            data = sock.recv(4096)
            if not data:
                break
            port.write(b"".join(manager.filter(data)))
    except OSError:
        pass
    done.set()
    pump.join()
    port.close()
    sock.close()
    say("closed")


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    temporary = sys.argv[1] + ".new"
    with open(temporary, "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(temporary, sys.argv[1])
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        say("connected")
        serve(sock)


if __name__ == "__main__":
    main()
