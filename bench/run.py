"""Benchmarks vorl.stringify and vorl.parse against other codecs and CPython's own limits.

Every implementation runs in the same interpreter over the same deterministic datasets; each
output is checked for correctness before it is timed. Times are per call, taken with the
collector disabled after a warm-up; the table shows the median and the minimum of the
repeats, nanoseconds per item and per character of VORL text, MB/s of VORL text (UTF-8
bytes) and each peer's time divided by vorl's (above 1: vorl is faster). Peak memory is
measured with tracemalloc in a separate call, so its overhead stays out of the timings.

    python3.15 bench/run.py [--quick] [--json FILE] [--only NAME[,NAME...]] [--repeat N]
"""
from __future__ import annotations

import argparse
import csv
import gc
import io
import json
import math
import os
import platform
import random
import statistics
import sys
import time
import tracemalloc

import vorl

try:
    import orjson
except ImportError:  # a peer that is missing is left out of the table
    orjson = None
try:
    import msgspec
except ImportError:
    msgspec = None
try:
    import ujson
except ImportError:
    ujson = None

SEED = 20240611
SEP = "\x1f"  # never generated into an item: the separator of the str.split limit

csv.field_size_limit(sys.maxsize)


# ---- datasets -------------------------------------------------------------------------

ASCII_LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
LATIN1_EXTRA = [chr(c) for c in range(0xC0, 0x100)]
CJK = [chr(c) for c in range(0x4E00, 0x9FA0)]
EMOJI = [chr(c) for c in range(0x1F300, 0x1F650)]


def cells_from_pool(rng, pool, weights, lengths):
    """Cuts one long random string into cells of the given lengths."""
    text = "".join(rng.choices(pool, weights, k=sum(lengths)))
    cells, pos = [], 0
    for n in lengths:
        cells.append(text[pos:pos + n])
        pos += n
    return cells


def mixed_pool(other, other_share):
    pool = list(ASCII_LETTERS) + other
    share_each = other_share / len(other)
    ascii_each = (1 - other_share) / len(ASCII_LETTERS)
    return pool, [ascii_each] * len(ASCII_LETTERS) + [share_each] * len(other)


def grid(cells, width):
    return [cells[k:k + width] for k in range(0, len(cells), width)]


def make_short(rng, rows, width, pool, weights, max_len):
    lengths = [rng.randint(1, max_len) for _ in range(rows * width)]
    return grid(cells_from_pool(rng, pool, weights, lengths), width)


def ds_ascii_short(rng, scale):
    pool, weights = list(ASCII_LETTERS), None
    return make_short(rng, scale(100_000), 10, pool, weights, 12)


def ds_ascii_long(rng, scale):
    rows = scale(2_000)
    lengths = [rng.randint(1024, 4096) for _ in range(rows * 5)]
    base = "".join(rng.choices(ASCII_LETTERS, k=1 << 20))
    cells = []
    for n in lengths:
        start = rng.randrange(0, len(base) - n)
        cells.append(base[start:start + n])
    return grid(cells, 5)


def ds_latin1(rng, scale):
    pool, weights = mixed_pool(LATIN1_EXTRA, 0.25)
    return make_short(rng, scale(50_000), 10, pool, weights, 16)


def ds_cjk(rng, scale):
    return make_short(rng, scale(50_000), 10, CJK, None, 16)


def ds_emoji_mixed(rng, scale):
    pool, weights = mixed_pool(EMOJI, 0.25)
    return make_short(rng, scale(50_000), 10, pool, weights, 16)


def ds_sparse(rng, scale):
    rows = []
    for _ in range(scale(100_000)):
        if rng.random() < 0.3:
            rows.append([])
            continue
        width = rng.randint(1, 10)
        rows.append(["" if rng.random() < 0.6 else "".join(rng.choices(ASCII_LETTERS, k=rng.randint(1, 8)))
                     for _ in range(width)])
    return rows


def ds_one_huge(rng, scale):
    size = scale(64 << 20)
    block = "".join(rng.choices(ASCII_LETTERS, k=4096))
    return [[(block * (size // len(block)))[:size]]]


DATASETS = [
    ("ascii-short", ds_ascii_short, "100,000 rows x 10 cells, 1-12 ASCII letters"),
    ("ascii-long", ds_ascii_long, "2,000 rows x 5 cells, 1-4 KiB ASCII"),
    ("latin1", ds_latin1, "50,000 x 10 cells, 1-16 chars, 1 in 4 from U+00C0-U+00FF"),
    ("cjk", ds_cjk, "50,000 x 10 cells, 1-16 CJK ideographs"),
    ("emoji-mixed", ds_emoji_mixed, "50,000 x 10 cells, 1-16 chars, 1 in 4 above U+FFFF"),
    ("sparse", ds_sparse, "100,000 rows, 30% empty, 1-10 cells, 60% empty"),
    ("one-huge", ds_one_huge, "one 64 MiB ASCII cell"),
]


# ---- implementations -------------------------------------------------------------------

def utf16_len(s):
    return len(s) + sum(1 for c in s if ord(c) > 0xFFFF)


def reference_vorl(rows):
    """The format written out in plain Python: the serializer's expected output."""
    out = []
    for row in rows:
        for item in row:
            n = str(utf16_len(item))
            out.append("0123456789abcdef"[len(n) - 1])
            out.append(n)
            out.append(item)
        out.append(";")
    return "".join(out)


def csv_write(rows):
    buf = io.StringIO()
    csv.writer(buf).writerows(rows)
    return buf.getvalue()


def csv_read(text):
    return list(csv.reader(io.StringIO(text, newline="")))


class Impl:
    """One implementation of one direction: what it is given, how it runs, how it is checked."""

    def __init__(self, name, func, arg, check, limit=False):
        self.name, self.func, self.arg, self.check, self.limit = name, func, arg, check, limit


def writers(rows, flat, text):
    impls = [Impl("vorl", vorl.stringify, rows, lambda out: out == text)]
    impls.append(Impl("json", json.dumps, rows, lambda out: json.loads(out) == rows))
    if orjson:
        impls.append(Impl("orjson", orjson.dumps, rows, lambda out: orjson.loads(out) == rows))
    if msgspec:
        enc = msgspec.json.Encoder()
        impls.append(Impl("msgspec", enc.encode, rows, lambda out: msgspec.json.decode(out) == rows))
    if ujson:
        impls.append(Impl("ujson", ujson.dumps, rows, lambda out: ujson.loads(out) == rows))
    impls.append(Impl("csv", csv_write, rows, lambda out: csv_read(out) == [list(r) for r in rows]))
    joined = "".join(flat)
    impls.append(Impl("''.join", "".join, flat, lambda out: out == joined, limit=True))
    impls.append(Impl("str slice", slice_copy, text, lambda out: out == text[1:], limit=True))
    return impls


def slice_copy(s):
    return s[1:]


def readers(rows, flat, text):
    impls = [Impl("vorl", vorl.parse, text, lambda out: out == rows)]
    impls.append(Impl("json", json.loads, json.dumps(rows), lambda out: out == rows))
    if orjson:
        impls.append(Impl("orjson", orjson.loads, orjson.dumps(rows), lambda out: out == rows))
    if msgspec:
        dec = msgspec.json.Decoder(list[list[str]])
        impls.append(Impl("msgspec", dec.decode, msgspec.json.encode(rows), lambda out: out == rows))
    if ujson:
        impls.append(Impl("ujson", ujson.loads, ujson.dumps(rows), lambda out: out == rows))
    impls.append(Impl("csv", csv_read, csv_write(rows), lambda out: out == rows))
    split_text = SEP.join(flat)
    # The split of the empty text gives [''], one string where the rows hold none.
    impls.append(Impl("str.split", lambda s: s.split(SEP), split_text,
                      lambda out: out == (flat or [""]), limit=True))
    impls.append(Impl("str slice", slice_copy, text, lambda out: out == text[1:], limit=True))
    return impls


# ---- measuring -------------------------------------------------------------------------

def pin(result, step=32):
    """Keeps a sparse sample of a result's objects alive. The allocator can then not hand
    the memory of the freed rest back to the system, and the timed calls reuse it as a
    long-running process would, instead of paying a fresh page fault for every page (which
    in a small VM costs more than the work measured)."""
    pins = []
    if isinstance(result, list):
        pins.extend(result[::step])
        rows = [r for r in result if isinstance(r, list)]
        k = 0
        for r in rows:
            for item in r:
                k += 1
                if k % step == 0:
                    pins.append(item)
    return pins


def time_calls(func, arg, repeat, min_time):
    """Seconds of single calls: `repeat` batches of as many calls as fill `min_time`. Each
    result is freed outside the timed span."""
    gc.collect()
    t0 = time.perf_counter()
    keep = func(arg)  # warm-up, also sizes the batches
    single = time.perf_counter() - t0
    pins = pin(keep)
    del keep
    # A second warm-up fills the slots the pins leave free and maps the rest anew; pinning
    # its result too keeps that memory as well, so the timed calls find nearly all they need.
    keep = func(arg)
    pins += pin(keep)
    del keep
    number = max(1, min(10_000, int(min_time / max(single, 1e-7))))
    times = []
    clock = time.perf_counter_ns
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat * number):
            t0 = clock()
            out = func(arg)
            t1 = clock()
            del out
            times.append((t1 - t0) * 1e-9)
    finally:
        if was_enabled:
            gc.enable()
    del pins
    return times


def peak_memory(func, arg):
    """Peak bytes allocated during one call, the result included."""
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base, _ = tracemalloc.get_traced_memory()
        out = func(arg)
        _, peak = tracemalloc.get_traced_memory()
        del out
    finally:
        tracemalloc.stop()
    return peak - base


def run_dataset(name, rows, repeat, min_time, measure_memory):
    flat = [item for row in rows for item in row]
    text = vorl.stringify(rows)
    if text != reference_vorl(rows):
        raise SystemExit(f"{name}: vorl.stringify differs from the reference encoder")
    stats = {
        "rows": len(rows),
        "items": len(flat),
        "chars": len(text),
        "utf8_bytes": len(text.encode("utf-8", "surrogatepass")),
        "ops": {},
    }
    for op, impls in (("stringify", writers(rows, flat, text)), ("parse", readers(rows, flat, text))):
        results = {}
        for impl in impls:
            out = impl.func(impl.arg)
            ok = bool(impl.check(out))
            del out
            times = time_calls(impl.func, impl.arg, repeat, min_time)
            entry = {"ok": ok, "median_s": statistics.median(times), "min_s": min(times), "limit": impl.limit}
            if measure_memory:
                entry["peak_bytes"] = peak_memory(impl.func, impl.arg)
            results[impl.name] = entry
        stats["ops"][op] = results
    return stats


def scaling(repeat, min_time, sizes):
    rng = random.Random(SEED)
    rows_all = make_short(rng, sizes[-1] // 10, 10, list(ASCII_LETTERS), None, 12)
    out = []
    for items in sizes:
        rows = rows_all[:items // 10]
        text = vorl.stringify(rows)
        line = {"items": items}
        for label, func, arg in (("stringify", vorl.stringify, rows), ("parse", vorl.parse, text),
                                 ("orjson.dumps", orjson.dumps if orjson else None, rows)):
            if func is None:
                continue
            times = time_calls(func, arg, repeat, min_time)
            line[label] = {"median_ns_per_item": statistics.median(times) / items * 1e9,
                           "min_ns_per_item": min(times) / items * 1e9}
        out.append(line)
    return out


# ---- reporting -------------------------------------------------------------------------

def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": sys.version.split()[0],
            "implementation": platform.python_implementation(), "platform": platform.platform(),
            "peers": {"orjson": getattr(orjson, "__version__", None), "msgspec": getattr(msgspec, "__version__", None),
                      "ujson": getattr(ujson, "__version__", None)}}


def print_dataset(name, describe, st):
    print(f"\n== {name}: {describe}")
    print(f"   {st['items']:,} items in {st['rows']:,} rows; VORL text {st['chars']:,} chars, "
          f"{st['utf8_bytes'] / 1e6:.2f} MB as UTF-8")
    head = f"   {'op':<10}{'impl':<11}{'median ms':>11}{'min ms':>10}{'ns/item':>9}{'ns/char':>9}" \
           f"{'MB/s':>8}{'x vorl':>8}{'peak MB':>9}  ok"
    print(head)
    for op, results in st["ops"].items():
        base = results["vorl"]["median_s"]
        for impl, e in results.items():
            med = e["median_s"]
            per_item = med / st["items"] * 1e9 if st["items"] else float("nan")
            per_char = med / st["chars"] * 1e9 if st["chars"] else float("nan")
            mbs = st["utf8_bytes"] / 1e6 / med if med > 0 else float("inf")
            peak = f"{e['peak_bytes'] / 1e6:9.1f}" if "peak_bytes" in e else f"{'-':>9}"
            label = impl + (" *" if e["limit"] else "")
            print(f"   {op:<10}{label:<11}{med * 1e3:11.3f}{e['min_s'] * 1e3:10.3f}{per_item:9.1f}"
                  f"{per_char:9.2f}{mbs:8.0f}{med / base:8.2f}{peak}  {'ok' if e['ok'] else 'WRONG'}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="tiny sizes and few repeats: a smoke run")
    ap.add_argument("--json", metavar="FILE", help="also write every figure to FILE as JSON")
    ap.add_argument("--only", metavar="NAMES", help="comma-separated dataset names")
    ap.add_argument("--repeat", type=int, help="repeats per measurement (default 7, quick 3)")
    ap.add_argument("--no-memory", action="store_true", help="skip the tracemalloc runs")
    ap.add_argument("--no-scaling", action="store_true", help="skip the scaling run")
    args = ap.parse_args(argv)

    repeat = args.repeat or (3 if args.quick else 7)
    min_time = 0.002 if args.quick else 0.05
    factor = 0.002 if args.quick else 1.0

    def scale(n):
        return max(1, math.ceil(n * factor)) if args.quick else n

    chosen = DATASETS
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {d[0] for d in DATASETS}
        if unknown:
            ap.error(f"unknown dataset(s): {', '.join(sorted(unknown))}")
        chosen = [d for d in DATASETS if d[0] in wanted]

    info = machine()
    print(f"vorl benchmark: Python {info['python']} on {info['cpu']} ({info['cores']} cores); "
          f"{repeat} repeats, median and min per call, GC off; * = CPython limit, not a codec")
    report = {"machine": info, "quick": args.quick, "repeat": repeat, "datasets": {}}
    failed = False
    for name, make, describe in chosen:
        rows = make(random.Random(SEED), scale)
        st = run_dataset(name, rows, repeat, min_time, not args.no_memory)
        del rows
        report["datasets"][name] = st
        print_dataset(name, describe, st)
        failed |= not all(e["ok"] for r in st["ops"].values() for e in r.values())
        sys.stdout.flush()

    if not args.no_scaling:
        sizes = [100, 1_000] if args.quick else [1_000, 10_000, 100_000, 1_000_000]
        lines = scaling(repeat, min_time, sizes)
        report["scaling"] = lines
        print("\n== scaling: ascii-short rows, ns per item (median / min)")
        labels = [k for k in lines[0] if k != "items"]
        print("   " + f"{'items':>10}" + "".join(f"{k:>22}" for k in labels))
        for line in lines:
            cells = "".join(f"{line[k]['median_ns_per_item']:>13.1f} /{line[k]['min_ns_per_item']:>6.1f}"
                            for k in labels)
            print("   " + f"{line['items']:>10,}" + cells)

    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    if failed:
        print("\nsome output was WRONG", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
