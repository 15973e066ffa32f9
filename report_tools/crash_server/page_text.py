"""Texts for the server's HTML pages.

Threads: plain functions of their arguments; nothing shared.
"""

import html


def escape(text) -> str:
    """Any value as text for HTML, in an element or a quoted attribute."""
    return html.escape("" if text is None else str(text), quote=True)
