"""TLS for the process tests: a throwaway certificate made by `openssl req`,
and a TLS client (Python's ssl module, OpenSSL underneath) that speaks SMTP
over a connection after STARTTLS."""

import os
import socket
import ssl
import subprocess


def make_certificate(directory, name="mx", host="mx.test.example", passphrase=None):
    """Writes NAME-cert.pem and NAME-key.pem (an EC P-256 key) into directory;
    returns their paths."""
    cert = os.path.join(directory, f"{name}-cert.pem")
    key = os.path.join(directory, f"{name}-key.pem")
    argv = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-days", "2",
            "-subj", f"/CN={host}", "-addext", f"subjectAltName=DNS:{host}", "-keyout", key, "-out", cert]
    argv += ["-passout", f"pass:{passphrase}"] if passphrase else ["-noenc"]
    subprocess.run(argv, check=True, capture_output=True)
    return cert, key


def client_context(cert):
    """A client that trusts only the throwaway certificate and checks the name."""
    context = ssl.create_default_context(cafile=cert)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    return context


class TlsClient:
    """The client's side after "220 2.0.0 Ready to start TLS": the handshake on
    the plain socket, then SMTP lines over TLS."""

    def __init__(self, sock, cert, host="mx.test.example", timeout=15):
        sock.settimeout(timeout)
        self.sock = client_context(cert).wrap_socket(sock, server_hostname=host)
        self.buffer = b""

    def version(self):
        return self.sock.version()

    def send(self, data):
        self.sock.sendall(data)

    def recv_line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError(f"connection ended after {self.buffer!r}")
            self.buffer += chunk
        end = self.buffer.index(b"\n") + 1
        line, self.buffer = self.buffer[:end], self.buffer[end:]
        return line

    def recv_reply(self):
        """One whole reply: its lines up to the one with a blank after the code."""
        lines = [self.recv_line()]
        while lines[-1][3:4] == b"-":
            lines.append(self.recv_line())
        return b"".join(lines)

    reply = recv_reply

    def command(self, data):
        """Sends data and gives the next whole reply."""
        self.send(data)
        return self.recv_reply()

    def close(self):
        self.sock.close()

    def recv_all(self):
        """Everything until the server ends TLS or the connection."""
        data, self.buffer = self.buffer, b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except (ssl.SSLEOFError, ConnectionResetError):
                break
            if not chunk:
                break
            data += chunk
        return data


def connect_plain(port):
    return socket.create_connection(("127.0.0.1", port), timeout=15)
