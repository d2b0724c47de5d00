"""The records of the review road as tests write them: a finding as the host hands it over, and
a review comment with its suggestion blocks as suggest_fixes gives it back."""


def finding(path, line, code, body=None):
    return {"path": path, "line": line, "message-id": code, "body": body or f"{code} here"}


def block(text):
    return f"```suggestion\n{text}\n```"


def comment(path, line, body, start_line=None):
    record = {"body": body, "path": path, "side": "RIGHT"}
    if start_line is not None:
        record["start_line"] = start_line
    record["line"] = line
    return record
