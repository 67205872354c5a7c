"""A run's standard output as lines: split at LF, with the CR of a CR LF line
end (msvcrt's text mode) removed, and any other white space at the end of a
line kept apart so that it neither hides a line nor goes unreported."""
from .text import decode


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
