"""What a helper server (nginx, the proxy) adds to a failing test's message:
its output and logs, read at the moment of the failure."""

import contextlib


def files_text(named_paths):
    """Each file's name, path and text, or "(none)" where it is missing."""
    parts = []
    for name, path in named_paths:
        text = path.read_text("latin-1") if path and path.is_file() else "(none)"
        parts.append("%s %s:\n%s" % (name, path, text.rstrip() or "(empty)"))
    return "\n".join(parts)


@contextlib.contextmanager
def on_failure(describe):
    """Adds describe()'s text to an assertion's message."""
    try:
        yield
    except AssertionError as error:
        raise AssertionError("%s\n\n%s" % (error, describe())) from None
