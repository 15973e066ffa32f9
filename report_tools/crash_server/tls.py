"""https for the local crash server, and the address it names in redirects.

With a certificate and its key (--tls-cert, --tls-key) every connection is
TLS: TLS 1.2 at least (what the reporter's WinInet speaks), with Python's
default ciphers for a server. The handshake runs on the connection's own
thread, so a client that stalls in it holds only its own connection, and for
at most HANDSHAKE_TIMEOUT in all. A client that speaks plain HTTP to the
https port gets one plain-text answer saying so (400) once its head is read,
or the time is up, and the connection closes; it never reaches the request
handling.

The public address (--public-url) is what the first request's redirect
names; without it, the address the server listens on, with its scheme. The
request's Host header is never used: a client must not choose the address
that the reporter writes into the browser's crash-feedback file.

Threads: ServerTls is immutable after it is made; accept() runs on each
connection's thread.
"""

import socket
import ssl
import time
import urllib.parse
from typing import Callable, Optional

# Older versions are broken; every client the server is for speaks 1.2.
MIN_TLS_VERSION = ssl.TLSVersion.TLSv1_2
# How long a client may take from connecting to the end of its handshake:
# the handshake is a few round trips, so 10 s is ample on a loaded machine.
HANDSHAKE_TIMEOUT = 10.0
# A TLS connection starts with a handshake record; any other first byte is
# a client that does not speak TLS (plain HTTP starts with a method's
# letter).
TLS_HANDSHAKE_RECORD = 0x16
# The head of a plain request that is read before the answer, so that
# closing with unread bytes does not reset the answer away.
MAX_PLAIN_HEAD_BYTES = 16 << 10
PLAIN_ANSWER_BODY = b"this server speaks https only\n"
PLAIN_ANSWER = (
    b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
    b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(PLAIN_ANSWER_BODY)
) + PLAIN_ANSWER_BODY
# A public address is written into redirects and from there into the
# browser's crash-feedback file, where the reporter accepts at most 2 KiB of
# printable ASCII; the base leaves room for the path and query after it.
MAX_PUBLIC_URL_CHARS = 1024
# What the reporter refuses in a location (blanks, quotes, angle brackets,
# backslashes), and what would end the base early (query, fragment).
_UNUSABLE_URL_CHARACTERS = set(" \"'`<>\\?#")


class TlsSetupError(Exception):
    """The certificate or key cannot be used; the message says why."""


def server_context(cert_file: str, key_file: str) -> ssl.SSLContext:
    """A server context with the certificate chain in `cert_file` (PEM, the
    server's certificate first) and its key in `key_file` (PEM)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = MIN_TLS_VERSION
    try:
        context.load_cert_chain(cert_file, key_file)
    except (OSError, ssl.SSLError) as e:
        raise TlsSetupError(
            f"cannot use the certificate {cert_file} with the key {key_file}: {e}"
        ) from None
    return context


class ServerTls:
    """Turns accepted connections into TLS connections."""

    def __init__(self, context: ssl.SSLContext):
        self.context = context

    def accept(
        self, connection: socket.socket, log: Callable[[str], None]
    ) -> Optional[ssl.SSLSocket]:
        """The connection after its handshake, or None when it failed, the
        client spoke plain HTTP or went away; `connection` is then closed.
        Either way `connection` itself is no longer to be used."""
        # One deadline for all of it: a time-out per read alone would let a
        # client that sends a byte now and then hold the connection for ever.
        deadline = time.monotonic() + HANDSHAKE_TIMEOUT
        try:
            connection.settimeout(HANDSHAKE_TIMEOUT)
            first = connection.recv(1, socket.MSG_PEEK)
            if not first:
                connection.close()
                return None
            if first[0] != TLS_HANDSHAKE_RECORD:
                self._answer_plain(connection, deadline)
                log(f"{_address(connection)} - plain HTTP on the https port: answered 400")
                return None
            # The handshake keeps to the time left as a whole.
            connection.settimeout(_left(deadline))
            secure = self.context.wrap_socket(connection, server_side=True)
        except (OSError, ValueError) as e:  # ssl.SSLError is an OSError
            # Closing a socket that wrap_socket took over does nothing.
            connection.close()
            log(f"TLS handshake failed: {e}")
            return None
        return secure

    @staticmethod
    def _answer_plain(connection: socket.socket, deadline: float) -> None:
        try:
            head = b""
            while b"\r\n\r\n" not in head and len(head) < MAX_PLAIN_HEAD_BYTES:
                connection.settimeout(_left(deadline))
                try:
                    data = connection.recv(MAX_PLAIN_HEAD_BYTES - len(head))
                except TimeoutError:
                    break  # out of time: answered all the same
                if not data:
                    break
                head += data
            connection.sendall(PLAIN_ANSWER)
            connection.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the client went away
        finally:
            connection.close()


def _left(deadline: float) -> float:
    """The time left until `deadline`; a time-out of 0 would make the socket
    non-blocking, so what has run out waits a moment, then times out."""
    return max(deadline - time.monotonic(), 0.001)


def _address(connection: socket.socket) -> str:
    try:
        return str(connection.getpeername()[0])
    except OSError:
        return "?"


def public_url(text: str) -> str:
    """A --public-url as the base of redirects: an absolute http or https
    address with a host and no query or fragment, ending in "/". Raises
    ValueError saying what is wrong."""
    if len(text) > MAX_PUBLIC_URL_CHARS:
        raise ValueError(f"a public URL is at most {MAX_PUBLIC_URL_CHARS} characters")
    if not text.isascii() or not text.isprintable() or _UNUSABLE_URL_CHARACTERS & set(text):
        raise ValueError(
            "a public URL is printable ASCII without blanks, quotes, angle brackets, "
            "backslashes, '?' or '#'"
        )
    parts = urllib.parse.urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"{text} is no http:// or https:// address with a host")
    return text if text.endswith("/") else text + "/"
