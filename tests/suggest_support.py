"""What the tests of the fix suggestions share: reading suggestion blocks back out of
review comments and applying them to a file's text."""
import black


def apply_items(text, items):
    """The text with every (start, end, replacement) applied; ranges must not overlap."""
    rows = text.split("\n")
    taken = set()
    for start, end, replacement in sorted(items, reverse=True):
        span = set(range(start, end + 1))
        assert not span & taken, f"suggestions overlap on rows {sorted(span & taken)}"
        taken |= span
        rows[start - 1 : end] = replacement.split("\n") if replacement else []
    return "\n".join(rows)


def suggestion_of(body):
    """The replacement text of the first suggestion block of a comment body, or None."""
    head = "```suggestion\n"
    if not body.startswith(head):
        return None
    return body[len(head) : body.index("\n```", len(head) - 1)]


def items_of(comments, path):
    """The suggestions of the review comments on path, as (start, end, text)."""
    found = []
    for comment in comments:
        text = suggestion_of(comment["body"])
        if comment["path"] == str(path) and text is not None:
            found.append(
                (comment.get("start_line", comment["line"]), comment["line"], text)
            )
    return found


def black_clean(text, line_length=79):
    mode = black.FileMode(line_length=line_length)
    return black.format_str(text, mode=mode) == text


def finding(path, line, code, body=None):
    return {"path": str(path), "line": line, "message-id": code, "body": body or code}
