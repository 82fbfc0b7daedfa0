"""Advice renderer: hands a snippet's findings back grouped by message code."""


def render_message_centric_advice(
    *, messages, settings, settings_modpath, code_style, code_reader
):
    """Group messages by their "message-id", codes in order of first appearance.

    The other arguments are the snippet's context (settings, code style and a reader of
    the linted code); a plain grouping needs none of them.
    """
    grouped = {}
    for message in messages:
        grouped.setdefault(message["message-id"], []).append(message)
    return grouped
