"""What every part of the program harness (run_program_test.py) shares: the
limit for waits, the exit code of a skipped case, the Failure and Skip that
a case raises (check() raises Failure), and spread(), the colour count and
brightness deviation of a picture's pixels."""

WAIT_LIMIT = 60.0  # seconds for anything that should happen much sooner
SKIPPED = 77  # exit code of a case this machine cannot run (ctest SKIP_RETURN_CODE)


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def spread(pixels):
    """Number of distinct colours and the standard deviation of brightness."""
    lum = [0.299 * r + 0.587 * g + 0.114 * b for r, g, b in pixels]
    mean = sum(lum) / len(lum)
    deviation = (sum((v - mean) ** 2 for v in lum) / len(lum)) ** 0.5
    return len(set(pixels)), deviation
