"""What the command does to its own process: the package's warnings on standard error (and the
templates they say were skipped, counted), and Ctrl-C and SIGTERM, which end the command and its
workers at once."""
import contextlib
import logging
import multiprocessing
import os
import signal
import sys

from vettor.staticanalysis import checker

from . import status
from .escaping import visible

TEMPLATE_LOGGER = "vettor.staticanalysis.checkers.templates"


# ---------------------------------------------------------------------------------------
# Warnings


class WarningCount(logging.Handler):
    """Counts the templates the checker skipped (it says so in a warning of its own)."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.templates_skipped = 0

    def emit(self, record):
        if record.name == TEMPLATE_LOGGER:
            self.templates_skipped += 1


def is_shown(record):
    # A Python file that could not be analysed is a finding of its own, and a file that could
    # not be fixed is listed by the command: their log lines would say it twice.
    if record.name == "vettor.staticanalysis.checker" and record.levelno >= logging.ERROR:
        return False
    # A node a rule could not judge is a fatal finding on its line.
    if record.name.startswith("vettor.staticanalysis.checkers.") and " skipped line " in str(
        record.msg
    ):
        return False
    return record.name != "vettor.staticanalysis.diff"


class VisibleFormatter(logging.Formatter):
    """A warning in one line, whatever the project's names and strings in it hold: GitHub reads
    workflow commands from standard error too, and a terminal obeys escape sequences."""

    def format(self, record):
        return visible(super().format(record))


@contextlib.contextmanager
def warnings_shown():
    """While it lasts, the package's warnings go to standard error, one line each; gives the
    counter of skipped templates."""
    logger = logging.getLogger("vettor")
    shown = logging.StreamHandler()
    shown.setLevel(logging.WARNING)
    shown.setFormatter(VisibleFormatter("%(levelname)s: %(message)s"))
    shown.addFilter(is_shown)
    count = WarningCount()
    logger.addHandler(shown)
    logger.addHandler(count)
    if logger.getEffectiveLevel() > logging.WARNING:
        logger.setLevel(logging.WARNING)
    try:
        yield count
    finally:
        for handler in (shown, count):
            logger.removeHandler(handler)


# ---------------------------------------------------------------------------------------
# Ctrl-C

_fork_hook = {"registered": False, "stopping": False}


def after_fork_in_worker():
    if _fork_hook["stopping"]:
        # pylint's pool replaces a worker that is gone; once the command stops, a new one
        # ends before it starts.
        os._exit(status.INTERRUPTED)
    # A Ctrl-C on a terminal reaches every process of the group: the workers leave it to the
    # command, which ends them, instead of each printing a traceback. SIGTERM ends a worker
    # as it ends any process, not by the command's own handler.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


def register_fork_hook():
    if not _fork_hook["registered"]:
        os.register_at_fork(after_in_child=after_fork_in_worker)
        _fork_hook["registered"] = True


def end_workers():
    # Twice over: a worker the pool started while the first ones were ended is ended too.
    for _ in range(2):
        children = multiprocessing.active_children()
        for child in children:
            child.kill()
        for child in children:
            child.join(1)


def end_workers_and_display():
    _fork_hook["stopping"] = True
    end_workers()
    for display in list(getattr(checker, "_displays", [])):
        try:
            display.stop()  # gives the terminal its cursor back
        except Exception:
            pass
    try:
        sys.stdout.flush()
    except Exception:
        pass


def ended_at_once(_signum, _frame):
    """SIGTERM (a CI job cancelled, a review bot stopping): the workers end first, so that none
    of them is left writing to a pipe nobody reads (a BrokenPipeError traceback each), then the
    command, without a word, with the status a process ended by the signal has."""
    end_workers_and_display()
    os._exit(status.TERMINATED)


def stop_at_once(_signum, _frame):
    """Ctrl-C during a lint or a fix: end the workers and the command now.

    pylint closes its worker pool and waits for it to finish every file when the lint is
    interrupted, and may wait for ever when a worker is gone; nothing of the lint needs
    tidying up (a fixed file is written whole, in place of the old one, or not at all), so the
    workers are killed and the process exits here."""
    end_workers_and_display()
    print("Interrupted.", file=sys.stderr, flush=True)
    os._exit(status.INTERRUPTED)


@contextlib.contextmanager
def interrupt_ends_at_once():
    """While it lasts, Ctrl-C ends the command and its workers at once, and so, quietly, does
    SIGTERM."""
    register_fork_hook()
    previous = {
        signal.SIGINT: signal.signal(signal.SIGINT, stop_at_once),
        signal.SIGTERM: signal.signal(signal.SIGTERM, ended_at_once),
    }
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
