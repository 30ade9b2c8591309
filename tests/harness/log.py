"""The launcher's run log (Launcher\\log.txt): every line it writes, spelled
once, and the one builder of a whole log's exact bytes. Tests, the demo
and the benchmarks take their lines from here."""

import re
from pathlib import Path

from harness.wine import windows_path

PATH = Path("Launcher", "log.txt")
FAIL = "[FAIL]"

FETCHING = "[ OK ] Downloading update manifest file."
VALID = ("[ OK ] Update manifest file is valid.", "[ OK ] Backup of update manifest created.")
USING_BACKUP = "[ OK ] Update manifest file not available or invalid. Using backup copy..."
FALLBACK = (USING_BACKUP, "[ OK ] Backup update manifest file is valid. Continuing...")
FALLBACK_FAILED = (USING_BACKUP, "[FAIL] Invalid or no update manifest. Aborting.")
NO_UPDATE = "[ OK ] No update required."
# What a run with nothing to update logs before the launch.
NO_UPDATE_LINES = (FETCHING,) + VALID + (NO_UPDATE,)
CANCELLED = "[ OK ] User cancelled update."
CHILD_CREATED = "[ OK ] Child process created. Waiting for termination..."

# A build with a public key.
FETCHING_SIGNATURE = "[ OK ] Downloading update manifest signature."
SIGNATURE_VALID = "[ OK ] Update manifest signature is valid."
SIGNATURE_INVALID = "[FAIL] Update manifest signature is invalid."
BACKUP_SIGNATURE_VALID = "[ OK ] Backup update manifest signature is valid."
BACKUP_SIGNATURE_INVALID = "[FAIL] Backup update manifest signature is invalid."

DOWNLOADING = '[ OK ] Downloading "%s" from "%s"'
CREATE_PROCESS_FAILED = "[FAIL] CreateProcess failed: "
# The beginnings of the lines after which the launcher shows an error box and waits for an answer.
BOX_LINES = (CREATE_PROCESS_FAILED, FALLBACK_FAILED[1])


def terminated(code):
    return "[ OK ] Child process terminated with exit code: %d" % code


def launched(code):
    return (CHILD_CREATED, terminated(code))


def create_process_failed(error):
    return CREATE_PROCESS_FAILED + str(error)


def downloading(path, url):
    """The line of one entry's download; the manifest's "/" is logged as "\\"."""
    return DOWNLOADING % (path.replace("/", "\\"), url)


def created_directory(folder):
    """The line of a folder made for a download (or for the log itself), given its Linux path."""
    return '[ OK ] Created directory: "%s"' % windows_path(folder)


def failed_to_download(url, error):
    """A connection, name, certificate or read failure, with WinINet's error."""
    return '[FAIL] Failed to download "%s" (error %d).' % (url, error)


def refused_redirect(from_url, to_url):
    return '[FAIL] Refused redirect from "%s" to "%s" (error 12156).' % (from_url, to_url)


def retrying(url, error, seconds):
    """A file's failed attempt, and the wait before the next one (seconds as logged, one decimal)."""
    return '[FAIL] Download of "%s" failed (error %d), retrying in %.1f s.' % (url, error, seconds)


def retry_waits(config):
    """A build's waits before the three retries of a file, in seconds as logged."""
    return [config["retry_delay_ms"] / 1000.0 * 2 ** n for n in range(3)]


def tried_four_times(fail_line, url, error, config, resumed=()):
    """The lines of a file the network failed on every attempt: each attempt's
    own line, and between them the wait before the next (and the lines
    `resumed` with which each later attempt begins)."""
    lines = [fail_line]
    for wait in retry_waits(config):
        lines += [retrying(url, error, wait)] + list(resumed) + [fail_line]
    return lines


def resuming(path, offset):
    return '[ OK ] Resuming "%s" at byte %d.' % (path.replace("/", "\\"), offset)


def failed_to_replace(path, error):
    """A staged file that could not be moved over its target (held open, say)."""
    return '[FAIL] Failed to replace "%s" (error %d).' % (path.replace("/", "\\"), error)


def staged_earlier(path):
    """An entry that arrived whole in a run that then failed: used, not fetched again."""
    return '[ OK ] Using "%s" as received by an earlier run.' % path.replace("/", "\\")


def staged_for_earlier_entry(path):
    """A target the manifest lists again (in any spelling), received once."""
    return '[ OK ] Using "%s" as received for an earlier entry.' % path.replace("/", "\\")


def refused_resume(url, status):
    """A resumed request answered with neither the rest nor the whole file."""
    return '[FAIL] "%s" answered a resumed request with status %d (error 12152).' % (url, status)


def fetching_again(path):
    """A resumed copy whose digest failed (its bytes may be of two uploads): fetched once more, whole."""
    return ('[FAIL] "%s" did not match its digest after resuming; downloading it again from the start.'
            % path.replace("/", "\\"))


def serial_lower(serial, backup_serial):
    return "[FAIL] Update manifest serial %d is lower than the backup's serial %d." % (serial, backup_serial)


def no_data(url, seconds):
    return '[FAIL] No data from "%s" for %d s (error 12002).' % (url, seconds)


def too_slow(url, seconds):
    return '[FAIL] Download of "%s" took longer than %d s (error 12002).' % (url, seconds)


def too_large(url, size):
    return '[FAIL] "%s" is larger than %d bytes (error 223).' % (url, size)


def too_many_redirects(url):
    return '[FAIL] More than 10 redirects from "%s" (error 12156).' % url


def log_of(*parts):
    """The exact bytes of a run log: each part is a line or a tuple of lines.
    The log has one byte per character, "?" for one beyond Latin-1."""
    lines = []
    for part in parts:
        lines.extend([part] if isinstance(part, str) else part)
    return "".join(line + "\r\n" for line in lines).encode("latin-1", "replace")


def split(data):
    """A whole log's lines without their CR LF ends, asserting every line has one."""
    assert data is not None, "no run log was written"
    assert data.endswith(b"\r\n"), "the run log does not end with CR LF: %r" % data[-40:]
    lines = data[:-2].split(b"\r\n")
    for line in lines:
        assert b"\r" not in line and b"\n" not in line, "a run log line has a stray line end: %r" % line
    return [line.decode("latin-1") for line in lines]


def read_lines(path):
    """The lines of a log that may still be growing (none when there is no log yet)."""
    try:
        return Path(path).read_bytes().decode("latin-1").splitlines()
    except OSError:
        return []


def downloads(lines):
    """The manifest path ("/" separated) of each download line."""
    pattern = re.compile(re.escape(DOWNLOADING).replace("%s", "(.*)"))
    return [match.group(1).replace("\\", "/") for match in map(pattern.fullmatch, lines) if match]
