"""Turns bench/results/*.json (from bench_modules.py) into the tables of bench/README.md.

    python bench/report.py            # print the section
    python bench/report.py --write    # replace the section "Modules against plain Python" in bench/README.md
"""

import argparse
import json
import pathlib
import re
import sys

BENCH = pathlib.Path(__file__).resolve().parent
RESULTS = BENCH / "results"
README = BENCH / "README.md"
TITLE = "## Modules against plain Python"

# Goals the figures are read against.
FRAME_GOAL = 1.00
END_TO_END_GOAL = 1.02


def load(directory):
    reports = [json.loads(path.read_text()) for path in sorted(directory.glob("*.json"))]
    return sorted(reports, key=lambda r: tuple(int(p) for p in r["python"].split(".")))


def cell(figure, scale, digits):
    return f"{figure['mean'] * scale:.{digits}f} ± {figure['std'] * scale:.{digits}f}"


def ratio(report, kind):
    t = report["timings"]
    return t[f"{kind}/ours"]["mean"] / t[f"{kind}/plain"]["mean"]


def timing_table(reports, kind, unit, scale, digits, extra=None):
    head = f"| Python | korvane ({unit}) | plain ({unit}) | ratio |"
    rule = "|---|---:|---:|---:|"
    if extra:
        head += f" {extra[0]} |"
        rule += "---:|"
    lines = [head, rule]
    for r in reports:
        t = r["timings"]
        row = (f"| {r['python']} | {cell(t[f'{kind}/ours'], scale, digits)} |"
               f" {cell(t[f'{kind}/plain'], scale, digits)} | {ratio(r, kind):.3f} |")
        if extra:
            row += f" {extra[1](r)} |"
        lines.append(row)
    return lines


def inflate_cell(report):
    if not report["compressed_table"]:
        return "—"
    return cell(report["timings"]["inflate/table"], 1e3, 3)


def memory_table(reports):
    lines = ["| Python | call: korvane | call: plain | import: korvane | import: plain |"
             " page faults a call: korvane | plain |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for r in reports:
        size = r["plaintext_bytes"]
        ours, plain = r["memory"]["ours"], r["memory"]["plain"]
        lines.append(f"| {r['python']} | {ours['call_peak'] / size:.2f}× |"
                     f" {plain['call_peak'] / size:.2f}× | {ours['import_peak'] / size:.2f}× |"
                     f" {plain['import_peak'] / size:.2f}× | {ours.get('faults_per_call', '—')} |"
                     f" {plain.get('faults_per_call', '—')} |")
    return lines


def paired_cell(pair, scale, digits):
    return (f"{pair['ours'] * scale:.{digits}f} | {pair['plain'] * scale:.{digits}f} |"
            f" {pair['ratio']:.3f} ({pair['ratio_min']:.3f}–{pair['ratio_max']:.3f})")


def paired_table(reports):
    lines = ["| Python | end to end: korvane (ms) | plain (ms) | ratio (range) |"
             " frame: korvane (ns) | plain (ns) | ratio (range) |"
             " frame, Python stand-ins: korvane (ns) | plain (ns) | ratio (range) |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in reports:
        pairs = r["paired"]
        lines.append(f"| {r['python']} | {paired_cell(pairs['end_to_end'], 1e3, 2)} |"
                     f" {paired_cell(pairs['frame'], 1e9, 0)} |"
                     f" {paired_cell(pairs['frame_python'], 1e9, 0)} |")
    return lines


def goals(reports):
    def verdict(ok):
        return "met" if ok else "missed"

    # The side-by-side ratios: both modules in one process, in alternating order, so that
    # drift between pyperf's separate runs does not enter them.
    frame = [r["paired"]["frame"]["ratio"] for r in reports]
    errors = [ratio(r, "argument_error") for r in reports]
    end = [r["paired"]["end_to_end"]["ratio"] for r in reports]
    python_callees = [r["paired"]["frame_python"]["ratio"] for r in reports]
    memory = [r["memory"]["ours"]["call_peak"] <= r["memory"]["plain"]["call_peak"] for r in reports]
    span = lambda values: f"{min(values):.3f} to {max(values):.3f}"  # noqa: E731
    return [
        f"- Frame alone at most as slow as plain Python (ratio ≤ {FRAME_GOAL:.2f}, side by side): call "
        f"{span(frame)}, {verdict(max(frame) <= FRAME_GOAL)}; argument error {span(errors)}, "
        f"{verdict(max(errors) <= FRAME_GOAL)}. With Python-function stand-ins, which the "
        f"interpreter calls inline from plain code: {span(python_callees)}.",
        f"- End to end within 2 % (ratio ≤ {END_TO_END_GOAL:.2f}, side by side): {span(end)}, "
        f"{verdict(max(end) <= END_TO_END_GOAL)}.",
        f"- No copy of the token or plaintext beyond the algorithm's (call peak no higher than "
        f"plain Python's): {verdict(all(memory))}.",
    ]


def section(reports):
    if not reports:
        sys.exit(f"no results in {RESULTS}: run `nox -s bench` first")
    first = reports[0]
    m = first["machine"]
    size = first["plaintext_bytes"]
    import_loops = first["import_loops"]
    options = " ".join(first["pyperf_args"]) or "(defaults)"
    out = [
        TITLE,
        "",
        "`bench_modules.py` runs the same job twice on one interpreter: through our two modules and",
        "through `plainkorvane`, a plain Python package it generates from",
        "`data/population_density.token` into a scratch directory (`sealedset.py` holding the token as",
        "a bytes literal, `unsealer.py` with the same statements on the same lines) and compiles to",
        "cached bytecode before timing. Figures are pyperf means ± standard deviations; the ratio is",
        "korvane over plain, so below 1 means we are faster. Regenerate with",
        "",
        "    python3 -m nox -s bench                 # one results/<version>.json per interpreter",
        "    python3 bench/report.py --write         # this section",
        "",
        f"Token {first['token_bytes']} bytes, plaintext {size} bytes; pyperf options "
        f"`{options}`, {import_loops} fresh interpreters per import value.",
        "",
        "Machine:",
        "",
        "```",
        "$ lscpu | head",
        m["lscpu"],
        "$ nproc",
        m["nproc"],
        "```",
        "",
        f"OS: {m['os']}.",
        "",
        "### Import of `sealedset` in a fresh interpreter",
        "",
        "The child imports the parent package first and times the import statement alone. From",
        "3.12 the constant table is one zlib stream inflated at import; the last column is what",
        "inflating a stream of the same constants costs by itself.",
        "",
        *timing_table(reports, "import", "ms", 1e3, 3, ("zlib inflate (ms)", inflate_cell)),
        "",
        "### `get_population_density()` end to end",
        "",
        *timing_table(reports, "end_to_end", "ms", 1e3, 2),
        "",
        "### The frame alone: `decrypt_txt_to_df(key)` with stand-ins",
        "",
        "`Fernet`, `pd` and `data` rebound on both modules to builtins that do no work of their",
        "own (a dict's `get` returning a cipher whose `decrypt` is another dict's `get`, a",
        "`read_csv` that is `operator.methodcaller(\"getvalue\")`) and a short bytes object: what",
        "is left is argument binding, global reads, the calls, `StringIO` and the per-call `from io",
        "import StringIO`. The timing loop (a `for` over `itertools.repeat`) is in both figures.",
        "",
        *timing_table(reports, "frame", "ns", 1e9, 0),
        "",
        "### `decrypt_txt_to_df()`: the missing-argument TypeError, caught",
        "",
        *timing_table(reports, "argument_error", "ns", 1e9, 0),
        "",
        "### Side by side in one process",
        "",
        "pyperf times each side in its own worker processes, one after the other; on a shared",
        "virtual machine the drift between those runs is a few per cent, as large as the",
        "differences sought. Here each of nine fresh interpreters imports both modules and times",
        "them in alternating order (20 rounds of 3 end-to-end calls or 20,000 frame calls each).",
        "Times are medians per call; the ratio is the median of the per-round ratios, with the",
        "range over the nine interpreters. The last three columns time the frame with stand-ins",
        "that are Python functions (a lambda returning a stub cipher whose `decrypt` is a method,",
        "a lambda `read_csv`): from 3.11 the interpreter enters a Python function called from",
        "Python code inline, while a caller in C, ours, enters the evaluation loop afresh for each,",
        "so these columns add that difference of the callees to the frame's own cost.",
        "",
        *paired_table(reports),
        "",
        "### Peak memory of one call, as a multiple of the plaintext",
        "",
        "tracemalloc peak in a fresh interpreter (median of three), after one warm-up call; the",
        "import columns are the peak of importing `sealedset`. Allocations that bypass Python's",
        "allocators (OpenSSL, pandas' parser buffers) are not traced. The last two columns are the",
        "minor page faults of a call (over 20 calls after the peak was taken): pages the C",
        "library's allocator hands out afresh rather than reuses, which is where the two sides'",
        "end-to-end times part when their instruction counts are equal.",
        "",
        *memory_table(reports),
        "",
        "### Against the goals",
        "",
        *goals(reports),
        "",
    ]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", type=pathlib.Path, default=RESULTS)
    parser.add_argument("--write", action="store_true", help=f"update {README.name}")
    args = parser.parse_args()
    text = section(load(args.results))
    if not args.write:
        print(text)
        return
    readme = README.read_text()
    # The section runs to the next second-level heading or the end of the file.
    pattern = re.compile(rf"^{re.escape(TITLE)}\n.*?(?=^## |\Z)", re.S | re.M)
    if pattern.search(readme):
        readme = pattern.sub(lambda _: text + "\n", readme, count=1)
    else:
        readme = readme.rstrip("\n") + "\n\n" + text
    README.write_text(readme.rstrip("\n") + "\n")
    print(f"updated {README}")


if __name__ == "__main__":
    main()
