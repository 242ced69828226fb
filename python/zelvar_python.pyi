# Type stub of the extension module `zelvar_python`, as the binding defines
# it: every parameter is required (pass None where None is accepted), and
# `self` is positional-only, as the methods' text signatures state.
from collections.abc import Sequence
from typing import Any, SupportsIndex, final

__all__ = ["ZelvarIndex"]

@final
class ZelvarIndex:
    """Python wrapper for Zelvar Index (read-only)"""

    @staticmethod
    def open(path: str) -> ZelvarIndex:
        """Open an existing index"""
    def num_docs(self, /) -> int:
        """Get the number of documents in the index"""
    def num_segments(self, /) -> int:
        """Get the number of segments"""
    def field_names(self, /) -> list[str]:
        """Get field names"""
    # A stored document as {field name: value}; None past the last document.
    # A value is a str, int, float or bytes, a dense vector (list of float), a
    # sparse vector ({"indices": [int, ...], "values": [float, ...]}) or a
    # JSON value (None, bool, int, float, str, list or dict).
    def get_document(self, /, doc_id: SupportsIndex) -> dict[str, Any] | None:
        """Get a document by ID"""
    # Hits as (document number, score), best first; a limit of None is 10.
    def search_term(
        self, /, field: str, term: str, limit: SupportsIndex | None
    ) -> list[tuple[int, float]]:
        """Search the index with a term query"""
    # Each clause is a (field, term) pair; None is no clause of that kind.
    def search_boolean(
        self,
        /,
        must: Sequence[tuple[str, str]] | None,
        should: Sequence[tuple[str, str]] | None,
        must_not: Sequence[tuple[str, str]] | None,
        limit: SupportsIndex | None,
    ) -> list[tuple[int, float]]:
        """Search with a boolean query"""
    def reload(self, /) -> None:
        """Reload the index to see new segments"""
