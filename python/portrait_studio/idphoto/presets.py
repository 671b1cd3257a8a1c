"""The earlier names of the ID-photo table (`documents`): a preset is a
document, and every earlier preset name is an alias of one."""

from __future__ import annotations

from .documents import ALIASES, DOCUMENTS, UNITS_PER_INCH, Document, listing, listing_json
from .documents import find_document as find_preset

Preset = Document
PRESETS = DOCUMENTS

__all__ = ["ALIASES", "PRESETS", "Preset", "UNITS_PER_INCH", "find_preset", "listing", "listing_json"]
