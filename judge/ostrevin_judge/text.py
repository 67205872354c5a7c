"""Text from a run: its standard output as lines, split at LF, with the CR of
a CR LF line end (msvcrt's text mode) removed and any other white space at
the end of a line kept apart, so that it neither hides a line nor goes
unreported; and text made safe to print: decoded leniently, control bytes
and escape sequences shown escaped, and what a platform printed cut to a
stated length (the programs' own lines are shown whole)."""

# A line that the platform printed is shown with at most this many characters.
LINE_LIMIT = 160

_NAMED = {"\t": "\\t", "\r": "\\r", "\n": "\\n", "\x1b": "\\e"}


def decode(raw):
    """Bytes of the run as text; bytes that are not UTF-8 become \\xNN."""
    return raw.decode("utf-8", errors="backslashreplace")


def _escape_char(ch):
    if ch in _NAMED:
        return _NAMED[ch]
    code = ord(ch)
    if code < 0x100:
        return "\\x%02x" % code
    return "\\u%04x" % code if code < 0x10000 else "\\U%08x" % code


def escape(text):
    """Every character that is not printable (controls, escape sequences'
    ESC, format characters such as bidirectional overrides) escaped."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else _escape_char(ch) for ch in text)


def show(text, limit=LINE_LIMIT):
    """A line that the platform printed, as it may be shown: escaped and cut
    to limit, saying so."""
    if len(text) > 4 * limit:  # do not escape a megabyte to print 160 bytes
        shown = escape(text[:limit])
    else:
        shown = escape(text)
        if len(shown) <= limit:
            return shown
    return "%s... (cut to %d of its %d characters)" % (shown[:limit], limit, len(text))


def quote(text, limit=LINE_LIMIT):
    return '"' + show(text, limit) + '"'


class Line:
    __slots__ = ("number", "text", "trailing")

    def __init__(self, number, text, trailing):
        self.number = number      # 1-based, as an editor counts
        self.text = text          # without line end and trailing white space
        self.trailing = trailing  # white space that preceded the line end

    @property
    def raw(self):
        return self.text + self.trailing


def split(data):
    pieces = data.split(b"\n")
    if pieces and pieces[-1] == b"":
        pieces.pop()
    result = []
    for number, piece in enumerate(pieces, 1):
        if piece.endswith(b"\r"):
            piece = piece[:-1]
        text = decode(piece)
        bare = text.rstrip(" \t\r\f\v")
        result.append(Line(number, bare, text[len(bare):]))
    return result
