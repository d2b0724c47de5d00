"""What the command prints of a project (its file names, and the strings its findings quote:
URL names, links, field names) is shown, never obeyed: the project may be anybody's, and a
line break in a file name would start a line of its own (a forged finding, or a GitHub
workflow command such as "::error ..."), an escape sequence would reach the terminal, and a
file name that is not UTF-8 could not be printed at all.

`visible` writes every control character as an escape (a line break as \\n, ESC as \\x1b, a
byte of a file name that is not UTF-8 as \\xe9), `workflow_text` escapes as GitHub's workflow
commands do, and `json_bytes` gives JSON as valid UTF-8 whatever its strings hold.
"""
import json
import re

# C0 controls, DEL, C1 controls, the Unicode line and paragraph separators, and the lone
# surrogates by which Python names the bytes of a file name that is not UTF-8.
_UNSEEN = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match):
    char = match.group()
    code = ord(char)
    if char in _NAMED:
        return _NAMED[char]
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a name that is not UTF-8, as os.fsdecode gives it
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}"


def visible(text):
    """`text` with every control character written as an escape: one line, printable."""
    return _UNSEEN.sub(_escape, str(text))


def workflow_text(text, is_property=False):
    """`text` as a GitHub workflow command takes it: "%", a carriage return and a line break
    escaped as the runner decodes them (and in a property ":" and "," as well, which would end
    it), every other control character shown visibly."""
    text = str(text).replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    if is_property:
        text = text.replace(":", "%3A").replace(",", "%2C")
    return visible(text)


def json_bytes(value):
    """`value` as indented JSON in UTF-8. A string holding a lone surrogate (a file name that is
    not UTF-8, or a project's "x\\udcff") is written with the JSON escape of it, which reads
    back as the same string, instead of bytes no UTF-8 reader takes."""
    text = json.dumps(value, indent=2, ensure_ascii=False, default=str)
    # A lone surrogate can stand only inside a JSON string, where \\udcff is its escape.
    return text.encode("utf-8", "backslashreplace")
