"""The `lsp` subcommand's arguments, kept apart from the server so that the
other commands do not import the protocol libraries."""

from __future__ import annotations

import argparse
from typing import TextIO


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--tcp", metavar="HOST:PORT", help="listen on a TCP port instead of stdio (for debugging)")
    parser.add_argument("--log-file", metavar="FILE", help="write the server's log to FILE")
    parser.add_argument("--log-level", default="WARNING", metavar="LEVEL",
                        help="DEBUG, INFO, WARNING (default) or ERROR")


def command(args: argparse.Namespace, out: TextIO) -> int:
    from . import lsp
    return lsp.run(args)
