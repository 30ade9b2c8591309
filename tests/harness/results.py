"""One group's counts for the test command's summary, from the JUnit XML
that pytest (--junitxml) and CTest (--output-junit) write:

    python3 tests/harness/results.py NAME STATUS FILE...

prints "NAME: R ran, P passed, F failed, S skipped". A group whose runner
failed (STATUS not 0) without a failed case on record, or that left no
results, counts one failure more, so that it can never read as passed."""

import sys
import xml.etree.ElementTree as ElementTree


def counts(paths):
    ran = failed = skipped = 0
    for path in paths:
        try:
            root = ElementTree.parse(path).getroot()
        except (OSError, ElementTree.ParseError):
            continue
        for case in root.iter("testcase"):
            if case.find("skipped") is not None:
                skipped += 1
                continue
            ran += 1
            if case.find("failure") is not None or case.find("error") is not None:
                failed += 1
    return ran, failed, skipped


def main(name, status, *paths):
    ran, failed, skipped = counts(paths)
    if int(status) != 0 and failed == 0:
        ran, failed = ran + 1, failed + 1
    print("%s: %d ran, %d passed, %d failed, %d skipped" % (name, ran, ran - failed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
