"""How every example starts: the same options, a server that listens or one
line saying why not, and Ctrl-C that works however the example was started."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from typing import Callable, Iterator, NoReturn, Protocol, TypeVar, overload

import annexb
import rtsp

DEFAULT_BIND = "0.0.0.0:8554"
PROG = os.path.basename(sys.argv[0])


def add_bind_option(parser: argparse.ArgumentParser, default: str = DEFAULT_BIND) -> None:
    parser.add_argument("--bind", default=default, metavar="HOST:PORT",
                        help=f"RTSP listen address (default {default}; [::]:PORT for IPv6)")


def add_fps_option(parser: argparse.ArgumentParser) -> None:
    def fps(text: str) -> int:
        if not text.isdigit() or not 1 <= int(text) <= 240:
            raise argparse.ArgumentTypeError("must be a whole number from 1 to 240")
        return int(text)
    parser.add_argument("--fps", type=fps, default=30, help="frame rate (default 30)")


def add_size_option(parser: argparse.ArgumentParser) -> None:
    def size(text: str) -> tuple[int, int]:
        width, _, height = text.partition("x")
        if not (width.isdigit() and height.isdigit() and int(width) and int(height)
                and int(width) % 2 == int(height) % 2 == 0):
            raise argparse.ArgumentTypeError("must look like 640x360 (even numbers)")
        return int(width), int(height)
    parser.add_argument("--size", type=size, default=(640, 360), metavar="WxH",
                        help="picture size (default 640x360)")


def fail(message: str) -> NoReturn:
    """Ends the program with one line on stderr and exit status 1."""
    sys.exit(f"{PROG}: {message}")


@contextlib.contextmanager
def debian_package(package: str) -> Iterator[None]:
    """Around the imports of an optional package: a module that is missing
    ends the program with one line naming the Debian package to install."""
    try:
        yield
    except ModuleNotFoundError as err:
        fail(f"no module named {err.name!r}: install Debian's {package}"
             " (a venv sees it if made with --system-site-packages)")


def load_stream(path: str) -> list[bytes]:
    """The access units of an Annex B file, or the end of the program."""
    try:
        return annexb.file_access_units(path)
    except OSError as err:
        fail(f"cannot read {path}: {err.strerror or err}")
    except ValueError as err:
        fail(f"{path} {err}")


class Startable(Protocol):
    """What start_server starts: an rtsp.Server, or a class with its start()."""

    def start(self) -> None: ...


S = TypeVar("S", bound=Startable)


@overload
def start_server(bind_addr: str) -> rtsp.Server: ...
@overload
def start_server(bind_addr: str, server_class: Callable[[str], S]) -> S: ...


def start_server(bind_addr: str,
                 server_class: Callable[[str], Startable] = rtsp.Server) -> Startable:
    """A started server (an rtsp.Server unless told otherwise), or the end of
    the program (address in use, malformed address)."""
    server = server_class(bind_addr)
    try:
        server.start()
    except RuntimeError as err:
        fail(f"cannot listen on {bind_addr}: {err}")
    return server


def watch_url(bind_addr: str) -> str:
    """The stream's URL as a player on this host opens it."""
    host, _, port = bind_addr.rpartition(":")
    if host in ("0.0.0.0", ""):
        host = "127.0.0.1"
    elif host == "[::]":
        host = "[::1]"
    return f"rtsp://{host}:{port}/stream"


def run(main: Callable[[], int | None]) -> NoReturn:
    """Runs main() and exits with its status. Ctrl-C and SIGTERM end it
    quietly (main's `finally` blocks still run), also when it was started in
    the background of a script, where SIGINT starts out ignored."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print(f"{PROG}: stopped", file=sys.stderr)
        sys.exit(0)
