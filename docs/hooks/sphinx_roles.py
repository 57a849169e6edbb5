"""Griffe extension: Sphinx cross-reference roles in docstrings become links.

The package's docstrings name other objects the way ``help()`` readers and
Sphinx users expect, ``:class:`Report``` or ``:func:`~rowmend.stream```.
mkdocstrings renders Markdown, where such a role would show as literal text,
so each role is rewritten into an autorefs reference before rendering:

* the target is resolved in the scope of the docstring's object, as Python
  would resolve the name there (``Report`` in ``rowmend._tables`` is
  ``rowmend._report.Report``);
* the reference is optional: it links when the target is documented
  somewhere on the site (an API entry, or an anchor such as
  ``[](){#rowmend._options.OPTIONS}`` on a page), and otherwise stays code
  without a link (``pyarrow.Table``, private helpers).

The link text is the target as written, or its last component after ``~``
as in Sphinx; a path through a private module (``rowmend._options.OPTIONS``)
shows only the names after it (``OPTIONS``), since readers never import it.
"""

from __future__ import annotations

import html
import re
from typing import Any

import griffe

# :role:`target`, :role:`~target` and :py:role:`target`.
_ROLE = re.compile(r":(?:py:)?(?:class|func|meth|attr|data|exc|mod|obj|const):`(?P<tilde>~?)(?P<target>[\w.]+)`")


def _resolve(obj: griffe.Object, target: str) -> str:
    """The full path of ``target`` as named inside ``obj``, or ``target`` itself."""
    head, _, rest = target.partition(".")
    try:
        resolved = obj.resolve(head)
    except Exception:  # griffe's NameResolutionError and friends: not ours to know
        return target
    return f"{resolved}.{rest}" if rest else resolved


def _rewrite(obj: griffe.Object, text: str) -> str:
    def replace(match: re.Match[str]) -> str:
        target = match["target"]
        parts = target.split(".")
        private = [i for i, part in enumerate(parts) if part.startswith("_") and not part.startswith("__")]
        if match["tilde"]:
            shown = parts[-1]
        elif private:
            # Readers never import private modules: show the name after them.
            shown = ".".join(parts[private[-1] + 1 :]) or parts[-1]
        else:
            shown = target
        identifier = html.escape(_resolve(obj, target), quote=True)
        return f'<autoref identifier="{identifier}" optional><code>{html.escape(shown)}</code></autoref>'

    return _ROLE.sub(replace, text)


class SphinxRoles(griffe.Extension):
    """Rewrites Sphinx roles in every docstring of a package once it is loaded."""

    def on_package(self, *, pkg: griffe.Module, loader: griffe.GriffeLoader, **kwargs: Any) -> None:
        pending: list[griffe.Object] = [pkg]
        while pending:
            obj = pending.pop()
            if obj.docstring is not None:
                obj.docstring.value = _rewrite(obj, obj.docstring.value)
            pending.extend(member for member in obj.members.values() if not member.is_alias)
