"""Term and boolean searches over all segments, and their merged results."""

import threading
from pathlib import Path

import pytest

from conftest import description, f32, raises_exactly, segment, term_scores, text_field


SEG1 = [
    {"title": "small search engine", "body": "fast fast search"},
    {"title": "python binding", "body": "search from python"},
    {"title": "search", "body": "nothing here at all"},
    {"title": "unrelated words", "body": "more words"},
]
SEG2 = [
    {"title": "search search search", "body": "deep"},
    {"title": "engine room", "body": "search"},
]


@pytest.fixture
def two_segments(ZelvarIndex, make_index):
    return ZelvarIndex.open(make_index(description([segment("1", SEG1), segment("2", SEG2)])))


def expected_hits(segments, field_name, term):
    hits, base = [], 0
    for docs in segments:
        for local, score in sorted(term_scores(docs, field_name, term).items()):
            hits.append((base + local, score))
        base += len(docs)
    # best first; Python's sort is stable like the merge
    return sorted(hits, key=lambda h: -h[1])


def test_term_search_scores_exactly(two_segments):
    got = two_segments.search_term("title", "search", None)
    assert got == expected_hits([SEG1, SEG2], "title", "search")
    assert [d for d, _ in got] == [4, 0, 2]  # equal scores: ascending number
    assert all(type(d) is int and type(s) is float for d, s in got)
    assert two_segments.search_term("body", "search", None) == expected_hits(
        [SEG1, SEG2], "body", "search")


def test_term_is_lower_cased_whole_and_not_tokenised(ZelvarIndex, make_index):
    index = ZelvarIndex.open(make_index(description([segment("1", [
        {"title": "école straße"},
        {"title": "search engine"},
    ])])))
    assert [d for d, _ in index.search_term("title", "SEARCH", None)] == [1]
    assert [d for d, _ in index.search_term("title", "ÉCOLE", None)] == [0]
    # A term with a space is one term: no indexed token holds a space.
    assert index.search_term("title", "search engine", None) == []
    assert index.search_term("title", "", None) == []
    assert index.search_term("body", "search", None) == []  # field has no postings


def test_global_numbers_add_the_segment_base(ZelvarIndex, make_index):
    first = [{"title": f"filler{i}"} for i in range(7)]
    second = [{"title": "x"}] * 4 + [{"title": "needle"}]
    index = ZelvarIndex.open(make_index(description([segment("1", first), segment("2", []),
                                                     segment("3", second)])))
    assert [d for d, _ in index.search_term("title", "needle", None)] == [11]
    assert index.get_document(11) == {"title": "needle"}


def test_equal_scores_keep_segment_order_then_local_order(ZelvarIndex, make_index):
    docs = [{"title": "hit hit"}, {"title": "hit"}, {"title": "miss"}]
    index = ZelvarIndex.open(make_index(description([segment("1", docs), segment("2", docs)])))
    scores = term_scores(docs, "title", "hit")
    high, low = scores[0], scores[1]
    assert high > low
    assert index.search_term("title", "hit", None) == [(0, high), (3, high), (1, low), (4, low)]
    # ties inside one segment: ascending document number
    same = [{"title": "tie"}] * 4
    index = ZelvarIndex.open(make_index(description([segment("1", same)])))
    assert [d for d, _ in index.search_term("title", "tie", None)] == [0, 1, 2, 3]


def test_limit_applies_per_segment_and_to_the_merge(ZelvarIndex, make_index):
    # Segment 2's scores all beat segment 1's (its term is rarer), so a merge
    # that cut only per segment, or only at the end, shows a different list.
    seg1 = [{"title": "w " * (i + 1)} for i in range(6)]
    seg2 = [{"title": "w"}] + [{"title": "other"}] * 9
    index = ZelvarIndex.open(make_index(description([segment("1", seg1), segment("2", seg2)])))
    all_hits = expected_hits([seg1, seg2], "title", "w")
    assert index.search_term("title", "w", 100) == all_hits
    assert index.search_term("title", "w", 3) == all_hits[:3]
    assert index.search_term("title", "w", 1) == all_hits[:1]
    assert index.search_term("title", "w", 0) == []
    assert index.search_term("title", "w", 2**64 - 1) == all_hits


def test_limit_none_means_ten(ZelvarIndex, make_index):
    docs = [{"title": "many " * (1 + i % 5)} for i in range(15)]
    index = ZelvarIndex.open(make_index(description([segment("1", docs)])))
    got = index.search_term("title", "many", None)
    assert got == expected_hits([docs], "title", "many")[:10]
    assert index.search_boolean(None, [("title", "many")], None, None) == got


# ---- boolean ------------------------------------------------------------------------

BOOL_DOCS = [
    {"title": "red apple", "body": "fruit"},        # 0
    {"title": "green apple", "body": "fruit tree"},  # 1
    {"title": "red car", "body": "vehicle"},         # 2
    {"title": "apple pie", "body": "fruit dessert"},  # 3
]


@pytest.fixture
def fruit(ZelvarIndex, make_index):
    return ZelvarIndex.open(make_index(description([segment("1", BOOL_DOCS)])))


def scores_of(field_name, term):
    return term_scores(BOOL_DOCS, field_name, term)


def test_boolean_must_should_must_not(fruit):
    apple = scores_of("title", "apple")
    red = scores_of("title", "red")
    fruit_body = scores_of("body", "fruit")
    tree = scores_of("body", "tree")

    must = fruit.search_boolean([("title", "apple"), ("body", "fruit")], None, None, None)
    expected = {d: f32(apple[d] + fruit_body[d]) for d in (0, 1, 3)}
    assert must == sorted(expected.items(), key=lambda h: -h[1])

    # should clauses add to must matches but match nothing on their own
    with_should = fruit.search_boolean([("title", "apple")], [("title", "red"), ("body", "tree")],
                                       None, None)
    expected = {0: f32(apple[0] + red[0]), 1: f32(apple[1] + tree[1]), 3: apple[3]}
    assert with_should == sorted(expected.items(), key=lambda h: -h[1])

    only_should = fruit.search_boolean(None, [("title", "red"), ("body", "tree")], None, None)
    assert sorted(d for d, _ in only_should) == [0, 1, 2]

    excluded = fruit.search_boolean([("title", "apple")], None, [("title", "red")], None)
    assert sorted(d for d, _ in excluded) == [1, 3]
    assert dict(excluded) == {1: apple[1], 3: apple[3]}


def test_boolean_without_positive_clauses_matches_nothing(fruit):
    assert fruit.search_boolean(None, None, None, None) == []
    assert fruit.search_boolean([], [], [], 5) == []
    assert fruit.search_boolean(None, None, [("title", "red")], None) == []


def test_boolean_unknown_field_in_should_stops_the_search(fruit):
    raises_exactly(ValueError, "Field 'nope' not found",
                   lambda: fruit.search_boolean([("title", "apple")], [("nope", "x")], None, None))


def test_boolean_terms_are_lower_cased(fruit):
    assert fruit.search_boolean([("title", "APPLE")], None, None, None) == \
        fruit.search_boolean([("title", "apple")], None, None, None)


def test_duplicate_listing_searches_the_segment_twice(ZelvarIndex, make_index):
    docs = [{"title": "twin"}, {"title": "other"}]
    index = ZelvarIndex.open(make_index(description([segment("1", docs)],
                                                    segments_json='["1", "1"]')))
    score = term_scores(docs, "title", "twin")[0]
    assert index.search_term("title", "twin", None) == [(0, score), (2, score)]


# ---- failures -----------------------------------------------------------------------

def _truncate(path, size):
    with open(path, "r+b") as f:
        f.truncate(size)


# limit 0 still searches every segment, so the broken one still fails it
@pytest.mark.parametrize("limit", [None, 0, 1, 2**64 - 1])
def test_a_corrupt_posting_file_in_the_last_segment_fails_the_whole_search(ZelvarIndex,
                                                                            make_index, limit):
    external = {"inline_postings": False}
    path = make_index(description([
        segment("1", [{"title": "term"}] * 3, terms=external),
        segment("2", [{"title": "term"}] * 3, terms=external),
    ]))
    post = next(Path(path).glob("seg_*2.post"))
    _truncate(post, 0)
    index = ZelvarIndex.open(path)
    raises_exactly(RuntimeError, "Search failed: Index corruption: Posting offset out of bounds",
                   lambda: index.search_term("title", "term", limit))
    raises_exactly(RuntimeError, "Search failed: Index corruption: Posting offset out of bounds",
                   lambda: index.search_boolean(None, [("title", "term")], None, limit))
    # a term the broken segment lacks still searches fine
    assert index.search_term("title", "absent", limit) == []


def test_a_term_dictionary_block_that_cannot_be_read_fails_the_search(ZelvarIndex, make_index):
    path = make_index(description([segment("1", [{"title": "term"}] * 3)]))
    index = ZelvarIndex.open(path)
    terms = next(Path(path).glob("seg_*.terms"))
    # The reader keeps the file's size from open; zeroing the block bytes
    # afterwards makes the lazily read block undecodable.
    data = bytearray(terms.read_bytes())
    data[:16] = bytes(16)
    terms.write_bytes(bytes(data))
    with pytest.raises(RuntimeError) as info:
        index.search_term("title", "term", None)
    assert str(info.value).startswith("Search failed: IO error: ")


# ---- threads ------------------------------------------------------------------------

def test_concurrent_calls_from_python_threads(ZelvarIndex, make_index):
    docs = [{"title": f"word{i % 7} common", "body": f"body{i % 3}"} for i in range(60)]
    path = make_index(description([segment("1", docs[:25]), segment("2", docs[25:])]))
    index = ZelvarIndex.open(path)
    expected = {
        "term": index.search_term("title", "common", 20),
        "bool": index.search_boolean([("title", "common")], [("body", "body1")], None, None),
        "doc": [index.get_document(i) for i in range(0, 60, 7)],
    }
    errors = []

    def worker(n):
        try:
            for _ in range(30):
                assert index.search_term("title", "common", 20) == expected["term"]
                assert index.search_boolean([("title", "common")], [("body", "body1")],
                                            None, None) == expected["bool"]
                assert [index.get_document(i) for i in range(0, 60, 7)] == expected["doc"]
                assert index.num_docs() == 60
                if n == 0:
                    index.reload()
                other = ZelvarIndex.open(path)
                assert other.num_segments() == 2
        except BaseException as e:  # noqa: B902 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_field_names_are_looked_up_through_the_name_map(ZelvarIndex, make_index):
    # The map decides which names search which field number; document keys
    # come from the entries' own names.
    schema = {"fields": [text_field("title")], "name_to_field": {"alias": 0}}
    index = ZelvarIndex.open(make_index(description(
        [segment("1", [{"stored_json": '{"field_values":[[0,{"text":"word"}]]}',
                        "indexed": [["alias", "word"]]}])], schema=schema)))
    assert [d for d, _ in index.search_term("alias", "word", None)] == [0]
    raises_exactly(ValueError, "Field 'title' not found",
                   lambda: index.search_term("title", "word", None))
    assert index.get_document(0) == {"title": "word"}
    assert index.field_names() == ["title"]
