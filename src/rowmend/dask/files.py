"""The inputs through fsspec: shared with the Spark source, see :mod:`rowmend._inputs`."""

from __future__ import annotations

from rowmend._inputs import File, Paths, close_source, is_local, open_inputs, opened, read_source

__all__ = ["File", "Paths", "close_source", "is_local", "open_inputs", "opened", "read_source"]
