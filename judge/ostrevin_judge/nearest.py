"""The valid name nearest to a wrong one, for the message that refuses it:
the fewest characters inserted, removed or replaced (Levenshtein's
distance), the first of the names given on a tie."""


def distance(a, b):
    row = list(range(len(b) + 1))
    for i, ch in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, other in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1,
                                           previous + (ch != other))
    return row[-1]


def nearest(word, names):
    return min(names, key=lambda name: distance(word, name))


def refused(word, names):
    """' (the nearest: NAME)', to follow the words that refuse `word`."""
    return " (the nearest: %s)" % nearest(word, list(names)) if names else ""
