"""The release tool tools/publish, for everything that tests or drives it:
run as a program, or imported as a module (its file has no .py suffix)."""

import functools
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

TOOL = Path(__file__).resolve().parents[2] / "tools" / "publish"


@functools.lru_cache(maxsize=None)
def load():
    """The tool as a module, for its functions; loaded once."""
    loader = importlib.machinery.SourceFileLoader("publish_tool", str(TOOL))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def run(*args, cwd=None, timeout=120):
    """Runs the tool with these arguments; its output is captured as text."""
    return subprocess.run([sys.executable, str(TOOL)] + [str(a) for a in args], cwd=cwd,
                          env=dict(os.environ, PYTHONIOENCODING="utf-8"), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, encoding="utf-8", timeout=timeout)
