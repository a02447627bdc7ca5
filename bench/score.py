#!/usr/bin/env python3
"""Scores the runs listed by bench/run.sh and prints (and optionally stores) the results table.

results.tsv has one row per run: input, group, kind, source, pages, tool, wall, user, sys, rss_kb,
load, status, output, truth, half. `source` names, for a photo-like input, the clean image it was
made from; `half` is `tune` or `check` (rows without it count as tuning). `output` is quirna-ocr's JSON file or a directory of the peer's per-page .txt files;
`truth` is a directory of per-page text-layer files page-NNN.txt.
"""

import argparse
import collections
import json
import os
import random
import re
import sys
import unicodedata

QUIRNA = "quirna"
PEER_SEQ = "peer-seq"
PEER_PAR = "peer-par"
PEER_OMP = "peer-omp-default"

TARGET_PDF_WALL = 0.55
TARGET_IMAGE_WALL = 1.05
TARGET_CLEAN_WE = 0.8
TARGET_PHOTO_WE = 0.5
TARGET_RSS_GROWTH = 1.10
TARGET_CLEAN_IMAGE_WALL = 0.65
TARGET_PHOTO_OVER_CLEAN = 1.1
TARGET_CPU_PAGE = 0.8
AIM_CPU_PAGE = 0.7
TARGET_IMAGE_RSS = 1.5
TARGET_PDF_WE = 0.6
WORST_SHOWN = 5
# A page counts as worse than the peer's beyond this, in word F1 or in CER.
WORSE_MARGIN = 0.01
HALVES = ("tune", "check")

# The text layer uses typographic quotes and dashes that OCR output may or may not reproduce;
# folding them keeps the score about recognition rather than glyph choice.
FOLD = str.maketrans({
    "\u2018": "'", "\u2019": "'", "\u201a": "'", "\u201b": "'", "\u2032": "'",
    "\u201c": '"', "\u201d": '"', "\u201e": '"', "\u201f": '"', "\u00ab": '"', "\u00bb": '"',
    "\u2010": "-", "\u2011": "-", "\u2012": "-", "\u2013": "-", "\u2014": "-", "\u2212": "-",
    "\u00a0": " ", "\u00ad": "",
})


def normalise(text):
    # TeX writes an accented i as a dotless i with a combining accent, which NFKC leaves apart.
    text = re.sub("\u0131(?=[\u0300-\u036f])", "i", text)
    return unicodedata.normalize("NFKC", text).translate(FOLD)


def spaced(text):
    return " ".join(normalise(text).split())


def is_word_char(ch):
    return unicodedata.category(ch)[0] in "LN"


def words(text):
    """Lower-cased tokens, punctuation and symbols stripped from both edges; empty ones dropped."""
    out = []
    for token in normalise(text).lower().split():
        start, end = 0, len(token)
        while start < end and not is_word_char(token[start]):
            start += 1
        while end > start and not is_word_char(token[end - 1]):
            end -= 1
        if start < end:
            out.append(token[start:end])
    return out


def levenshtein(a, b):
    """Edit distance by the bit-parallel algorithm, so whole pages stay fast in pure Python."""
    if not a:
        return len(b)
    if not b:
        return len(a)
    if len(a) < len(b):
        a, b = b, a
    m = len(b)
    peq = {}
    for i, ch in enumerate(b):
        peq[ch] = peq.get(ch, 0) | (1 << i)
    mask = (1 << m) - 1
    high = 1 << (m - 1)
    pv, mv, score = mask, 0, m
    for ch in a:
        eq = peq.get(ch, 0)
        xv = eq | mv
        xh = (((eq & pv) + pv) ^ pv) | eq
        ph = mv | (~(xh | pv) & mask)
        mh = pv & xh
        if ph & high:
            score += 1
        elif mh & high:
            score -= 1
        ph = ((ph << 1) | 1) & mask
        mh = (mh << 1) & mask
        pv = mh | (~(xv | ph) & mask)
        mv = ph & xv
    return score


def levenshtein_slow(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]


def self_check():
    rng = random.Random(7)
    for _ in range(300):
        a = "".join(rng.choice("abc ") for _ in range(rng.randint(0, 90)))
        b = "".join(rng.choice("abcd") for _ in range(rng.randint(0, 90)))
        assert levenshtein(a, b) == levenshtein_slow(a, b), (a, b)
    assert words("(Hello, ‘world’) -- état.") == ["hello", "world", "état"]
    assert words("ge\u0131\u0308ntegreerd") == ["geïntegreerd"]
    check_comparisons()
    print("score.py self-check passed")


def read_pages_truth(truth_dir):
    pages = {}
    for name in os.listdir(truth_dir):
        m = re.fullmatch(r"page-(\d+)\.txt", name)
        if m:
            with open(os.path.join(truth_dir, name), encoding="utf-8", errors="replace") as f:
                pages[int(m.group(1))] = f.read()
    return pages


def read_pages_output(tool, path, npages):
    pages = {}
    if tool == QUIRNA:
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except (OSError, ValueError):
            return pages
        if not isinstance(data, list):
            return pages
        for page in data:
            # An image file is page 0 in the output; truth numbers it 1.
            pages[max(1, int(page.get("pageNumber", 0)))] = page.get("text", "")
        return pages
    if not os.path.isdir(path):
        return pages
    files = sorted((f for f in os.listdir(path) if f.endswith(".txt")),
                   key=lambda f: int(re.findall(r"\d+", f)[-1]))
    for index, name in enumerate(files[:npages], 1):
        with open(os.path.join(path, name), encoding="utf-8", errors="replace") as f:
            pages[index] = f.read()
    return pages


class Quality:
    def __init__(self):
        self.matched = self.ocr_words = self.truth_words = 0
        self.edits = self.truth_chars = 0

    def add_page(self, truth, ocr):
        truth_bag = collections.Counter(words(truth))
        ocr_bag = collections.Counter(words(ocr))
        self.matched += sum((truth_bag & ocr_bag).values())
        self.ocr_words += sum(ocr_bag.values())
        self.truth_words += sum(truth_bag.values())
        t, o = spaced(truth), spaced(ocr)
        self.edits += levenshtein(t, o)
        self.truth_chars += len(t)

    def merge(self, other):
        for key in vars(self):
            setattr(self, key, getattr(self, key) + getattr(other, key))

    @property
    def precision(self):
        return self.matched / self.ocr_words if self.ocr_words else 0.0

    @property
    def recall(self):
        return self.matched / self.truth_words if self.truth_words else 0.0

    @property
    def f1(self):
        p, r = self.precision, self.recall
        return 2 * p * r / (p + r) if p + r else 0.0

    @property
    def word_error(self):
        return 1.0 - self.f1

    @property
    def cer(self):
        return self.edits / self.truth_chars if self.truth_chars else 0.0


def load_runs(tsv):
    runs = []
    with open(tsv, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            for key in ("wall", "user", "sys"):
                row[key] = float(row[key])
            row["pages"] = int(row["pages"])
            row["rss_kb"] = int(row["rss_kb"])
            row["cpu"] = row["user"] + row["sys"]
            row.setdefault("kind", "body")
            row.setdefault("source", "-")
            row["half"] = row.get("half") or "tune"
            truth = read_pages_truth(row["truth"])
            ocr = read_pages_output(row["tool"], row["output"], row["pages"])
            quality = Quality()
            for number in range(1, row["pages"] + 1):
                quality.add_page(truth.get(number, ""), ocr.get(number, ""))
            row["quality"] = quality
            runs.append(row)
    return runs


def ratio(a, b):
    return a / b if b else float("nan")


def fmt(x, digits=2):
    return "n/a" if x != x else f"{x:.{digits}f}"


def build_report(runs):
    by_input = collections.OrderedDict()
    for run in runs:
        by_input.setdefault(run["input"], {})[run["tool"]] = run

    out = []
    out.append("| input | group | kind | pages | load | tool | wall s | CPU s | CPU s/page "
               "| peak RSS MiB | P | R | F1 | CER | exit |")
    out.append("|---|---|---|--:|--:|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    for name, tools in by_input.items():
        for tool in (QUIRNA, PEER_SEQ, PEER_PAR, PEER_OMP):
            run = tools.get(tool)
            if not run:
                continue
            q = run["quality"]
            out.append(
                f"| {name} | {run['group']} | {run['kind']} | {run['pages']} | {run['load']} "
                f"| {tool} "
                f"| {run['wall']:.2f} | {run['cpu']:.2f} | {run['cpu'] / run['pages']:.2f} "
                f"| {run['rss_kb'] / 1024:.0f} | {q.precision:.3f} | {q.recall:.3f} | {q.f1:.3f} "
                f"| {q.cer:.3f} | {run['status']} |")

    out.append("")
    out.append("| input | wall quirna/peer-seq | wall quirna/peer-par | CPU quirna/peer-seq "
               "| RSS quirna/peer | word error quirna | word error peer | word error quirna/peer |")
    out.append("|---|--:|--:|--:|--:|--:|--:|--:|")
    for name, tools in by_input.items():
        q, s, p = tools.get(QUIRNA), tools.get(PEER_SEQ), tools.get(PEER_PAR)
        if not (q and s):
            continue
        out.append(
            f"| {name} | {fmt(ratio(q['wall'], s['wall']))} "
            f"| {fmt(ratio(q['wall'], p['wall'])) if p else '—'} "
            f"| {fmt(ratio(q['cpu'], s['cpu']))} | {fmt(ratio(q['rss_kb'], s['rss_kb']))} "
            f"| {q['quality'].word_error:.3f} | {s['quality'].word_error:.3f} "
            f"| {fmt(ratio(q['quality'].word_error, s['quality'].word_error))} |")

    out.append("")
    out.extend(page_table(by_input))
    out.append("")
    out.extend(kind_table(by_input))
    out.append("")
    out.extend(worse_than_peer(by_input))
    out.append("")
    out.extend(targets(by_input))
    return "\n".join(out)


def paired(by_input):
    """(quirna, peer) runs of every input that has both; the long document repeats a short one."""
    return [(t[QUIRNA], t[PEER_SEQ]) for t in by_input.values()
            if QUIRNA in t and PEER_SEQ in t and t[QUIRNA]["group"] != "pdf-long"]


def page_table(by_input):
    out = ["| input | half | group | kind | F1 quirna | F1 peer | CER quirna | CER peer |",
           "|---|---|---|---|--:|--:|--:|--:|"]
    for q, s in paired(by_input):
        qq, sq = q["quality"], s["quality"]
        out.append(f"| {q['input']} | {q['half']} | {q['group']} | {q['kind']} | {qq.f1:.3f} "
                   f"| {sq.f1:.3f} | {qq.cer:.3f} | {sq.cer:.3f} |")
    return out


def worse(q, s):
    """What quirna-ocr loses against the peer on one input beyond the margin, as text."""
    qq, sq = q["quality"], s["quality"]
    lost = []
    if qq.f1 < sq.f1 - WORSE_MARGIN:
        lost.append(f"F1 {qq.f1:.3f} vs {sq.f1:.3f}")
    if qq.cer > sq.cer + WORSE_MARGIN:
        lost.append(f"CER {qq.cer:.3f} vs {sq.cer:.3f}")
    return ", ".join(lost)


def worse_than_peer(by_input):
    rows = [(q, worse(q, s)) for q, s in paired(by_input)]
    rows = [(q, lost) for q, lost in rows if lost]
    out = [f"Inputs where quirna-ocr is worse than the peer by more than {WORSE_MARGIN} in word F1 "
           f"or CER: {len(rows)} of {len(paired(by_input))}", ""]
    for q, lost in rows:
        out.append(f"- {q['input']} ({q['half']}, {q['kind']}, {q['group']}): {lost}")
    return out


def check_comparisons():
    def run(f1_words, cer_edits):
        quality = Quality()
        quality.matched, quality.ocr_words, quality.truth_words = f1_words, 100, 100
        quality.edits, quality.truth_chars = cer_edits, 1000
        return {"quality": quality}
    assert worse(run(95, 50), run(95, 50)) == ""
    assert worse(run(94, 50), run(96, 50)) == "F1 0.940 vs 0.960"
    assert worse(run(96, 70), run(96, 50)) == "CER 0.070 vs 0.050"
    assert worse(run(90, 61), run(95, 50)) == "F1 0.900 vs 0.950, CER 0.061 vs 0.050"


def kind_table(by_input):
    """F1, CER and CPU per page by kind of page and half, so one kind's losses are not averaged
    away. Photo-like inputs make the kind `photo`; the other kinds hold clean pages only."""
    groups = collections.OrderedDict()
    for q, s in paired(by_input):
        kind = "photo" if q["group"] == "photo" else q["kind"]
        for half in (q["half"], "both"):
            for key in ((half, kind), (half, "all")):
                groups.setdefault(key, []).append((q, s))
    out = ["| half | kind | inputs | pages | F1 quirna | F1 peer | CER quirna | CER peer "
           "| CPU s/page quirna | CPU s/page peer |",
           "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|"]
    order = {h: i for i, h in enumerate(HALVES + ("both",))}
    for half, kind in sorted(groups, key=lambda k: (order.get(k[0], 9), k[1] == "all", k[1])):
        qq, sq = Quality(), Quality()
        q_cpu = s_cpu = pages = 0
        for q, s in groups[(half, kind)]:
            qq.merge(q["quality"])
            sq.merge(s["quality"])
            q_cpu += q["cpu"]
            s_cpu += s["cpu"]
            pages += q["pages"]
        out.append(f"| {half} | {kind} | {len(groups[(half, kind)])} | {pages} | {qq.f1:.3f} "
                   f"| {sq.f1:.3f} | {qq.cer:.3f} | {sq.cer:.3f} | {q_cpu / pages:.2f} "
                   f"| {s_cpu / pages:.2f} |")
    return out


def summed(by_input, groups, tool, exclude=()):
    wall = cpu = pages = 0.0
    quality = Quality()
    for name, tools in by_input.items():
        run = tools.get(tool)
        if not run or run["group"] not in groups or name in exclude:
            continue
        wall += run["wall"]
        cpu += run["cpu"]
        pages += run["pages"]
        quality.merge(run["quality"])
    return wall, cpu, pages, quality


def verdict(ok):
    return "met" if ok else "NOT met"


def targets(by_input):
    lines = ["Targets:", ""]
    long_docs = [n for n, t in by_input.items() if t.get(QUIRNA, {}).get("group") == "pdf-long"]

    # A one-page PDF has nothing to spread over the cores; it counts with the single pages.
    one_page = [n for n, t in by_input.items() if t.get(QUIRNA, {}).get("pages") == 1]
    for groups, exclude, what, peer_name, target in (
            ({"pdf", "pdf-long"}, one_page, "multi-page PDF wall time, all multi-page PDFs summed",
             "the sequential peer", TARGET_PDF_WALL),
            ({"image", "photo"}, (), "single image wall time, all images summed", "the peer",
             TARGET_IMAGE_WALL)):
        q_wall, _, _, _ = summed(by_input, groups, QUIRNA, exclude=exclude)
        s_wall, _, _, _ = summed(by_input, groups, PEER_SEQ, exclude=exclude)
        if s_wall:
            r = q_wall / s_wall
            lines.append(f"- {what}: {r:.2f}x {peer_name} "
                         f"(target <= {target}): {verdict(r <= target)}")

    # The long document repeats the pages of a short one, so it stays out of the quality sums.
    for label, groups, target in (("clean pages (PDFs and clean images)", {"pdf", "image"},
                                   TARGET_CLEAN_WE),
                                  ("photo-like variants", {"photo"}, TARGET_PHOTO_WE)):
        _, _, _, qq = summed(by_input, groups, QUIRNA, exclude=long_docs)
        _, _, _, sq = summed(by_input, groups, PEER_SEQ, exclude=long_docs)
        if sq.truth_words:
            r = ratio(qq.word_error, sq.word_error)
            lines.append(f"- word error on {label}: {qq.word_error:.3f} vs the peer's "
                         f"{sq.word_error:.3f} = {fmt(r)}x (target <= {target}): "
                         f"{verdict(r <= target)}")

    everything = {"pdf", "pdf-long", "image", "photo"}
    _, q_cpu, q_pages, _ = summed(by_input, everything, QUIRNA)
    _, s_cpu, s_pages, _ = summed(by_input, everything, PEER_SEQ)
    if q_pages and s_pages:
        qp, sp = q_cpu / q_pages, s_cpu / s_pages
        r = qp / sp
        lines.append(f"- CPU per page, all inputs: {qp:.2f} s vs the peer's {sp:.2f} s with "
                     f"OMP_THREAD_LIMIT=1 = {r:.2f}x (target <= 1: {verdict(r <= 1)}; target <= "
                     f"{TARGET_CPU_PAGE}: {verdict(r <= TARGET_CPU_PAGE)}; aim <= {AIM_CPU_PAGE}: "
                     f"{verdict(r <= AIM_CPU_PAGE)})")
    for name, tools in by_input.items():
        q, o = tools.get(QUIRNA), tools.get(PEER_OMP)
        if q and o:
            qp, op = q["cpu"] / q["pages"], o["cpu"] / o["pages"]
            lines.append(f"  - {name}: {qp:.2f} s vs the peer's {op:.2f} s with the OpenMP default"
                         f" = {qp / op:.2f}x")

    rss = {t[QUIRNA]["pages"]: t[QUIRNA]["rss_kb"]
           for n, t in by_input.items() if QUIRNA in t and t[QUIRNA]["group"] in ("pdf", "pdf-long")
           and n.startswith("en-")}
    if 10 in rss and 50 in rss:
        r = rss[50] / rss[10]
        lines.append(f"- peak RSS 10 -> 50 pages: {rss[10] / 1024:.0f} -> {rss[50] / 1024:.0f} MiB "
                     f"= {r:.2f}x (flat: <= {TARGET_RSS_GROWTH}x): "
                     f"{verdict(r <= TARGET_RSS_GROWTH)}")
    lines.extend(wider_targets(by_input))
    return lines


def wider_targets(by_input):
    lines = []
    q_wall, _, _, _ = summed(by_input, {"image"}, QUIRNA)
    s_wall, _, _, _ = summed(by_input, {"image"}, PEER_SEQ)
    if s_wall:
        r = q_wall / s_wall
        lines.append(f"- single clean image wall time, all clean images summed: {q_wall:.1f} s vs "
                     f"the sequential peer's {s_wall:.1f} s = {r:.2f}x "
                     f"(target <= {TARGET_CLEAN_IMAGE_WALL}): "
                     f"{verdict(r <= TARGET_CLEAN_IMAGE_WALL)}")

    # quirna against itself: reading a photo should cost little more than reading the clean page.
    worst = None
    for name, tools in by_input.items():
        q = tools.get(QUIRNA)
        clean = by_input.get(q["source"], {}).get(QUIRNA) if q else None
        if q and q["group"] == "photo" and clean:
            r = ratio(q["wall"], clean["wall"])
            if worst is None or r > worst[0]:
                worst = (r, name, q["source"])
    if worst:
        r, name, source = worst
        lines.append(f"- photo-like image wall time against the clean image it was made from, "
                     f"worst: {r:.2f}x ({name} against {source}) "
                     f"(target <= {TARGET_PHOTO_OVER_CLEAN}): "
                     f"{verdict(r <= TARGET_PHOTO_OVER_CLEAN)}")

    # The largest process either tool needs for one image is what a user has to provision.
    q_rss = [t[QUIRNA]["rss_kb"] for t in by_input.values()
             if QUIRNA in t and PEER_SEQ in t and t[QUIRNA]["group"] in ("image", "photo")]
    s_rss = [t[PEER_SEQ]["rss_kb"] for t in by_input.values()
             if QUIRNA in t and PEER_SEQ in t and t[QUIRNA]["group"] in ("image", "photo")]
    if q_rss:
        r = max(q_rss) / max(s_rss)
        lines.append(f"- peak RSS of a single image, largest over all image and photo inputs: "
                     f"{max(q_rss) / 1024:.0f} MiB vs the peer's {max(s_rss) / 1024:.0f} MiB = "
                     f"{r:.2f}x (target <= {TARGET_IMAGE_RSS}): {verdict(r <= TARGET_IMAGE_RSS)}")

    _, _, _, qq = summed(by_input, {"pdf"}, QUIRNA)
    _, _, _, sq = summed(by_input, {"pdf"}, PEER_SEQ)
    if sq.truth_words:
        r = ratio(qq.word_error, sq.word_error)
        lines.append(f"- word error on PDF pages (group pdf): {qq.word_error:.3f} vs the peer's "
                     f"{sq.word_error:.3f} = {fmt(r)}x (target <= {TARGET_PDF_WE}): "
                     f"{verdict(r <= TARGET_PDF_WE)}")

    ranked = sorted(((t[QUIRNA]["quality"].f1, n, t) for n, t in by_input.items() if QUIRNA in t),
                    key=lambda x: x[0])
    if ranked:
        shown = min(WORST_SHOWN, len(ranked))
        lines.append(f"- word error per input, the {shown} worst for quirna:")
        for f1, name, tools in ranked[:WORST_SHOWN]:
            peer = tools.get(PEER_SEQ)
            peer_text = f", the peer's {peer['quality'].word_error:.3f}" if peer else ""
            lines.append(f"  - {name} ({tools[QUIRNA]['kind']}, {tools[QUIRNA]['group']}): "
                         f"{1 - f1:.3f}{peer_text}")
    return lines


def store(readme, report, meta):
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    start, end = "<!-- results:start -->", "<!-- results:end -->"
    head, rest = text.split(start, 1)
    _, tail = rest.split(end, 1)
    with open(readme, "w", encoding="utf-8") as f:
        f.write(f"{head}{start}\n{meta.rstrip()}\n\n{report}\n{end}{tail}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results", nargs="?")
    parser.add_argument("--readme")
    parser.add_argument("--meta")
    parser.add_argument("--self-check", action="store_true")
    args = parser.parse_args()
    if args.self_check:
        self_check()
        return
    report = build_report(load_runs(args.results))
    print(report)
    if args.readme:
        meta = open(args.meta, encoding="utf-8").read() if args.meta else ""
        store(args.readme, report, meta)


if __name__ == "__main__":
    sys.exit(main())
