"""The records of the review road as tests write them: a finding as the host hands it over, and
a review comment with its suggestion blocks as suggest_fixes gives it back."""
from vettor.staticanalysis import checker


def finding(path, line, code, body=None):
    return {"path": path, "line": line, "message-id": code, "body": body or f"{code} here"}


def block(text):
    return f"```suggestion\n{text}\n```"


def unsafe(code):
    """The paragraph after the blocks of a suggestion whose fix may change what the program
    does, as the rule module declares it."""
    return f"\n\nUnsafe fix: it may change {checker.fix_safety_store[code][1]}."


def comment(path, line, body, start_line=None):
    record = {"body": body, "path": path, "side": "RIGHT"}
    if start_line is not None:
        record["start_line"] = start_line
    record["line"] = line
    return record
