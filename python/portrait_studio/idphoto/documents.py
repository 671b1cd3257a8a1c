"""The documents table lives in core (core/documents.py), where the request
parser may read it without loading the face networks; these are its names
as the ID-photo code has always imported them."""

from ..core.documents import (
    ALIASES,
    DOCUMENTS,
    UNITS_PER_INCH,
    Document,
    document,
    find_document,
    listing,
    listing_json,
)

__all__ = ["ALIASES", "DOCUMENTS", "UNITS_PER_INCH", "Document", "document", "find_document", "listing",
           "listing_json"]
