"""What the command exits with."""
import signal

CLEAN = 0  # nothing found
FOUND = 1  # findings (files that could not be analysed included; with --diff: fixes to make)
USAGE = 2  # a mistake on the command line or in the project's configuration
INTERRUPTED = 128 + signal.SIGINT
TERMINATED = 128 + signal.SIGTERM  # ended by SIGTERM, as a shell reports it
