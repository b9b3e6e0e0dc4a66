"""Untrusted text (from a download, or from a tool that read one) made safe to print."""


def visible(text, limit=None):
    """Control characters, and any character a terminal might act on, as \\xNN or \\uNNNN; a backslash as
    two. With `limit`, at most that many characters of the result, marked as cut."""
    out = []
    for ch in str(text):
        if ch == "\\":
            out.append("\\\\")
        elif ch.isprintable():
            out.append(ch)
        else:
            out.append("\\x%02x" % ord(ch) if ord(ch) < 0x100 else "\\u%04x" % ord(ch))
    shown = "".join(out)
    if limit is not None and len(shown) > limit:
        return shown[:limit] + "... (cut at %d characters)" % limit
    return shown
