"""A short tour of the Python module over a small index.

    python3 scripts/demo.py INDEX_FOLDER

The folder is the one scripts/demo.sh writes; the module must be importable
(scripts/demo.sh puts the build folder on PYTHONPATH; `pip install` installs it).
"""

import sys

from zelvar_python import ZelvarIndex


def main(path: str) -> None:
    index = ZelvarIndex.open(path)
    print("documents:", index.num_docs(), "segments:", index.num_segments())
    print("fields:", index.field_names())

    hits = index.search_term("title", "Search", 5)
    print("term search title:search ->", hits)

    hits = index.search_boolean(must=[("body", "fast")], should=[("title", "engine")],
                                must_not=[("title", "python")], limit=None)
    print("boolean search +body:fast title:engine -title:python ->", hits)

    best = hits[0][0] if hits else 0
    print(f"document {best}:", index.get_document(best))
    print("document past the end:", index.get_document(index.num_docs()))


if __name__ == "__main__":
    main(sys.argv[1])
