"""The command line of the local crash server."""

import argparse
import ipaddress
import signal
import sys
import threading
from typing import List, Optional

from . import behaviour, throttle, tls
from .server import CrashServer

# A quota in MiB at most: a pebibyte, far beyond any disk that holds reports.
MAX_QUOTA_MB = 1 << 30

STORAGE_HELP = """\
Reports land in the storage folder, one folder per report named by its id:
  fields.json          the form fields, a JSON object in the order received
  archive.zip          the file part "file" as received
  crashlog.txt         the archive's crashlog.txt, unpacked
  metadata.json        received time, remote address, user agent, request
                       path, content length, boundary, parts, sizes
  first_request.json   the first request that handed out the upload's
                       stacktraceId (its headers, e-mail query, time)
  request_body.bin     the whole request body, with --keep-body
A report is written under .incoming-<random>/ and renamed when complete.

Stdout: one line when listening ("crash server listening on http://HOST:PORT/
(storage DIR)"), then one per stored report ("report ID: N fields, crashlog
SIZE bytes, FOLDER"). Requests and rejections are logged on stderr.

Pages for people (any client but the reporter, e.g. a web browser):
  GET  /                              the stored reports, grouped by crash
                                      signature (stored and declined counts,
                                      versions with their counts, first and
                                      last seen, a link per report)
  GET  /reports/ID                    one report: summary, the crashed
                                      thread's frames (symbolized with
                                      --symbols), registers, annotations,
                                      form fields, modules
  GET  /reports/ID/crashlog.txt       the raw crash log
Every other GET is a first request, and so is every GET whose User-Agent
starts with "TavraCrashReporter/" (the reporter's), "/" included: point
TAVRA_CRASH_SERVER_URL at http://HOST:PORT/ as before.

Throttle (--throttle N/SECONDS, repeatable; without it nothing is throttled):
a first request whose X-Tavra-Crash-Signature header (the crash's signature
hash, 12 lower-case hex digits) already has N reports stored within the last
SECONDS, counting those answered 303 whose upload is still to come (for at
most 2 minutes), gets 503. Every rule given applies. A signature is made of
module offsets, so each build of the product has signatures of its own: the
rules count per signature and so per version. The page / shows per signature
the stored reports (per version) and the first requests declined since the
server started; stored reports count again after a restart, declines do not.

https (--tls-cert FILE --tls-key FILE): every connection is TLS 1.2 or later
with that certificate (PEM, the server's first, then any intermediates) and its
key (PEM); plain HTTP to that port is answered 400. The first request's
redirect names --public-url when given, else the address listened on (with its
scheme); never the request's Host header. Listening on every address (--host
0.0.0.0 or ::) needs --public-url, since no client can reach those.

Storage quota (--quota-mb N): the stored reports' files may take N MiB in
all, counted from disk at start and then as each report is stored; uploads
in progress reserve their Content-Length and what their log unpacks to. An
upload that does not fit is refused (507, with the reason in the body);
once less than 64 KiB is left, first requests get 503.

Control while running (from this machine only):
  GET  /_control   current modes and number of reports, as JSON
  POST /_control   {"first_request": MODE, "upload": MODE}, either key optional,
                   each a string, sent as Content-Type: application/json (else
                   415)"""


def _mode_type(kind: str):
    def parse(text: str) -> behaviour.Mode:
        try:
            return behaviour.parse_mode(text, kind)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    return parse


def _throttle_rule(text: str) -> throttle.Rule:
    try:
        return throttle.parse_rule(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _port(text: str) -> int:
    try:
        port = int(text, 10)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{text} is not a port number (0 to 65535)")
    return port


def _public_url(text: str) -> str:
    try:
        return tls.public_url(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _is_any_address(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_unspecified
    except ValueError:
        return False  # a host name


def _quota_mb(text: str) -> int:
    try:
        megabytes = int(text, 10)
    except ValueError:
        megabytes = -1
    if not 1 <= megabytes <= MAX_QUOTA_MB:
        raise argparse.ArgumentTypeError(f"{text} is not a quota in MiB (1 to {MAX_QUOTA_MB})")
    return megabytes


def parse_arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="crash_server",
        description="A local crash server: answers the reporter's first request with a "
        "report id and stores its multipart uploads.",
        epilog=behaviour.describe_modes() + "\n\n" + STORAGE_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)"
    )
    parser.add_argument(
        "--port", type=_port, default=8080, help="port (default 8080; 0 picks a free one, printed)"
    )
    parser.add_argument(
        "--storage", default="crash_reports", help="folder of the reports (default ./crash_reports)"
    )
    parser.add_argument(
        "--first-request",
        type=_mode_type(behaviour.FIRST_REQUEST),
        default=behaviour.default_mode(behaviour.FIRST_REQUEST),
        metavar="MODE",
        help="how the first request is answered (default redirect; modes below)",
    )
    parser.add_argument(
        "--upload",
        type=_mode_type(behaviour.UPLOAD),
        default=behaviour.default_mode(behaviour.UPLOAD),
        metavar="MODE",
        help="how uploads are answered (default ok; modes below)",
    )
    parser.add_argument(
        "--keep-body", action="store_true", help="also store each upload's whole request body"
    )
    parser.add_argument("--quiet", action="store_true", help="log nothing on stderr")
    parser.add_argument(
        "--symbols",
        action="append",
        default=[],
        metavar="DIR",
        help="a folder of module files or their .debug files: the report pages name the "
        "functions of the crashed thread's frames (repeatable)",
    )
    parser.add_argument(
        "--throttle",
        type=_throttle_rule,
        action="append",
        default=[],
        metavar="N/SECONDS",
        help="at most N stored reports per crash signature within SECONDS: a first request "
        "over it gets 503 (repeatable, every rule applies; see Throttle below)",
    )
    parser.add_argument(
        "--quota-mb",
        type=_quota_mb,
        default=None,
        metavar="N",
        help="store at most N MiB of reports; at the quota, first requests get 503 and "
        "uploads 507 (see Storage quota below)",
    )
    parser.add_argument("--tls-cert", metavar="FILE",
                        help="serve https with this certificate chain (PEM); needs --tls-key")
    parser.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    parser.add_argument(
        "--public-url",
        type=_public_url,
        metavar="URL",
        help="the server's address as clients reach it, e.g. https://crash.example/: the first "
        "request's redirect names it (default: the address listened on)",
    )
    args = parser.parse_args(argv)
    if (args.tls_cert is None) != (args.tls_key is None):
        parser.error("--tls-cert and --tls-key go together")
    if args.public_url is None and _is_any_address(args.host):
        # The first request's redirect would name this address, which no
        # client can connect to.
        parser.error(f"--host {args.host} needs --public-url: the redirect must name an "
                     "address clients reach")
    return args


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_arguments(argv)
    server_tls = None
    if args.tls_cert is not None:
        try:
            server_tls = tls.ServerTls(tls.server_context(args.tls_cert, args.tls_key))
        except tls.TlsSetupError as e:
            print(f"crash_server: {e}", file=sys.stderr)
            return 1
    server = CrashServer(
        host=args.host,
        port=args.port,
        storage=args.storage,
        first_request=args.first_request,
        upload=args.upload,
        keep_body=args.keep_body,
        log=None if args.quiet else sys.stderr,
        symbols=args.symbols,
        throttle=args.throttle,
        tls=server_tls,
        public_url=args.public_url,
        quota_bytes=None if args.quota_mb is None else args.quota_mb << 20,
    )
    stop = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stop.set())
    try:
        server.start()
    except OSError as e:
        print(f"crash_server: cannot listen on {args.host}:{args.port}: {e}", file=sys.stderr)
        return 1
    while not stop.wait(0.5):
        pass
    server.stop()
    server.print_line("crash server stopped")
    return 0
