"""Interoperability with a UTF-16 peer: the shared vectors, and vorl against a JavaScript
reader and writer (tests/interop/) that counts its own code units.

The texts travel to and from Node as JSON with lone surrogates as \\u escapes. A high
surrogate directly followed by a low one cannot cross that way (both sides read it as one
astral character), so no generated text holds such a pair.
"""
import json
import random
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import vorl

HERE = Path(__file__).parent
VECTORS = json.loads((HERE / "vectors" / "vorl_vectors.json").read_text(encoding="utf-8"))
PEER = HERE / "interop" / "run.mjs"
SURROGATE_PAIR = re.compile("[\ud800-\udbff][\udc00-\udfff]")


def cases(kind):
    return pytest.mark.parametrize("case", VECTORS[kind], ids=[c["name"] for c in VECTORS[kind]])


def outcome(text):
    """What vorl makes of a text, in the peer's reply format."""
    try:
        return {"rows": vorl.parse(text)}
    except SyntaxError as error:
        assert len(error.args) == 1
        return {"error": error.args[0]}


def expected_read(case):
    if "read_error" in case:
        return {"error": case["read_error"]}
    return {"rows": case["rows"]}


# ---- the vectors, in Python ---------------------------------------------------------------

def test_vectors_are_well_formed():
    for kind in ("documents", "readable", "malformed"):
        for case in VECTORS[kind]:
            assert not SURROGATE_PAIR.search(case["vorl"]), case["name"]
    names = [c["name"] for kind in ("documents", "readable", "malformed") for c in VECTORS[kind]]
    assert len(names) == len(set(names))


@cases("documents")
def test_vorl_writes_vector(case):
    assert vorl.stringify(case["rows"]) == case["vorl"]


@cases("documents")
def test_vorl_reads_vector(case):
    assert outcome(case["vorl"]) == expected_read(case)


@cases("readable")
def test_vorl_reads_non_canonical_vector(case):
    assert vorl.parse(case["vorl"]) == case["rows"]


@cases("malformed")
def test_vorl_rejects_vector(case):
    with pytest.raises(SyntaxError) as caught:
        vorl.parse(case["vorl"])
    assert caught.value.args == (case["error"],)


# ---- the JavaScript peer --------------------------------------------------------------------

@pytest.fixture(scope="module")
def peer():
    """Runs one request through the JavaScript reader and writer; returns its reply."""
    node = shutil.which("node")
    if node is None:
        pytest.skip("node is not installed: the JavaScript peer cannot run")

    def run(stringify=(), parse=()):
        request = json.dumps({"stringify": list(stringify), "parse": list(parse)}, ensure_ascii=True)
        done = subprocess.run([node, str(PEER)], input=request.encode("ascii"),
                              capture_output=True, timeout=120)
        assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
        return json.loads(done.stdout.decode("utf-8"))

    return run


@pytest.fixture(scope="module")
def peer_on_vectors(peer):
    """The peer's reply for every vector: documents written, and all texts read."""
    texts = {kind: [c["vorl"] for c in VECTORS[kind]] for kind in ("documents", "readable", "malformed")}
    reply = peer(stringify=[c["rows"] for c in VECTORS["documents"]],
                 parse=texts["documents"] + texts["readable"] + texts["malformed"])
    read = iter(reply["parse"])
    by_name = {}
    for kind in ("documents", "readable", "malformed"):
        for case in VECTORS[kind]:
            by_name[case["name"]] = {"read": next(read)}
    for case, written in zip(VECTORS["documents"], reply["stringify"], strict=True):
        by_name[case["name"]]["written"] = written
    return by_name


@cases("documents")
def test_peer_writes_vector(case, peer_on_vectors):
    assert peer_on_vectors[case["name"]]["written"] == case["vorl"]


@cases("documents")
def test_peer_reads_vector(case, peer_on_vectors):
    assert peer_on_vectors[case["name"]]["read"] == expected_read(case)


@cases("readable")
def test_peer_reads_non_canonical_vector(case, peer_on_vectors):
    assert peer_on_vectors[case["name"]]["read"] == {"rows": case["rows"]}


@cases("malformed")
def test_peer_rejects_vector(case, peer_on_vectors):
    assert peer_on_vectors[case["name"]]["read"] == {"error": case["error"]}


# ---- generated documents, both ways ---------------------------------------------------------

# Characters of every width and role: ASCII, VORL's own characters, Latin-1, BMP, lone
# surrogates of both halves, astral characters.
ALPHABET = (list("abcxyz ;;0123456789ABCDEFfg\x00\n") + ["é", "ÿ", "Ā", "李", "\uffff"]
            + ["\ud800", "\udbff", "\udc00", "\udfff"]
            + ["\U0001F600", "\U0001F98A", "\U00010000", "\U0010FFFF"])
HIGH = re.compile("[\ud800-\udbff]$")
LOW = re.compile("^[\udc00-\udfff]")


def random_item(rng):
    size = rng.choice([0, 0, 1, 2, 3, 5, 9, 10, 11, 40]) if rng.random() < 0.97 else rng.randint(95, 110)
    item = ""
    while len(item) < size:
        ch = rng.choice(ALPHABET)
        if HIGH.search(item) and LOW.search(ch):
            continue
        item += ch
    return item


def random_document(rng):
    return [[random_item(rng) for _ in range(rng.choice([0, 1, 1, 2, 3, 6]))]
            for _ in range(rng.randint(0, 5))]


def documents(seed, count):
    rng = random.Random(seed)
    return [random_document(rng) for _ in range(count)]


def mutations(text, rng):
    """Texts near `text`: cut short, a character dropped, replaced or inserted."""
    if not text:
        return []
    at = rng.randrange(len(text))
    ch = rng.choice(ALPHABET)
    near = [text[:at], text[:at] + text[at + 1:], text[:at] + ch + text[at + 1:],
            text[:at] + ch + text[at:], text + ch]
    return [t for t in near if not SURROGATE_PAIR.search(t)]


def test_peer_reads_what_vorl_writes(peer):
    docs = documents(seed=1, count=400)
    texts = [vorl.stringify(doc) for doc in docs]
    reply = peer(parse=texts)["parse"]
    for doc, text, read in zip(docs, texts, reply, strict=True):
        expected = {"rows": doc} if doc else {"error": vorl.ErrUnexpectedEndOfInput}
        assert read == expected, text


def test_vorl_reads_what_peer_writes(peer):
    docs = documents(seed=2, count=400)
    written = peer(stringify=docs)["stringify"]
    for doc, text in zip(docs, written, strict=True):
        assert text == vorl.stringify(doc)
        if doc:
            assert vorl.parse(text) == doc


def test_vorl_and_peer_agree_on_damaged_texts(peer):
    rng = random.Random(3)
    texts = [t for doc in documents(seed=3, count=500) for t in mutations(vorl.stringify(doc), rng)]
    assert len(texts) > 1000
    reply = peer(parse=texts)["parse"]
    errors = 0
    for text, read in zip(texts, reply, strict=True):
        ours = outcome(text)
        assert read == ours, ascii(text)
        errors += "error" in ours
    # The damage must mostly break the texts, or this compares little but successes.
    assert errors > len(texts) // 2
