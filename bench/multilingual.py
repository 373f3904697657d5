#!/usr/bin/env python3
"""Helper of bench/multilingual.sh: the corpus, the queries with their
relevant files, the asking of one tool, and the table.

  multilingual.py packages
  multilingual.py corpus CORPUS MANIFEST [PAGES]
  multilingual.py queries CORPUS QUERIES [PER_KIND]
  multilingual.py ask trovix|recoll QUERIES ANSWERS COMMAND...
  multilingual.py table QUERIES TROVIX_ANSWERS RECOLL_ANSWERS MANIFEST [DETAILS]

The ground truth is this file's own reading of the text, independent of both
tools: words are runs of Unicode letters, marks and digits, cut where CJK
text meets other text; a word query matches a file holding a word whose
folded form (NFKC, case folded, marks removed) equals the query's; a number
matches a file holding it as a word of digits alone; a CJK piece matches a
file whose text (NFKC) holds it as a substring.
"""

import bisect
import concurrent.futures
import functools
import gzip
import json
import os
import random
import re
import subprocess
import sys
import unicodedata
from dataclasses import dataclass, field

SEED = "trovix-multilingual-1"


@dataclass(frozen=True)
class Language:
    code: str
    name: str
    folder: str  # the corpus folder; its name is no word of any page's text
    packages: tuple
    man_dir: str  # below /usr/share/man
    cjk: bool


LANGUAGES = (
    Language("ja", "Japanese", "japanese", ("manpages-ja",), "ja", True),
    Language("zh_CN", "Chinese (simplified)", "chinese-simplified", ("manpages-zh",), "zh_CN",
             True),
    Language("zh_TW", "Chinese (traditional)", "chinese-traditional", ("manpages-zh",), "zh_TW",
             True),
    Language("fr", "French", "french", ("manpages-fr",), "fr", False),
    Language("de", "German", "german", ("manpages-de",), "de", False),
    Language("es", "Spanish", "spanish", ("manpages-es",), "es", False),
    # manpages-pt-br alone has under a hundred pages; its -dev companion
    # (system calls and library functions) brings the count up.
    Language("pt_BR", "Portuguese", "portuguese", ("manpages-pt-br", "manpages-pt-br-dev"),
             "pt_BR", False),
)

# Query kinds, in table order, and which languages have each.
KINDS = ("word", "upper", "unaccented", "cjk2", "cjk3", "number")


def kinds_of(language):
    if language.cjk:
        return ("word", "upper", "cjk2", "cjk3", "number")
    return ("word", "upper", "unaccented", "number")


# --- the reading of text ---------------------------------------------------------


def _ranges(predicate):
    """A regex character class body for the code points meeting `predicate`."""
    parts, start = [], None
    for cp in range(0x110001):
        inside = cp <= 0x10FFFF and not 0xD800 <= cp <= 0xDFFF and predicate(chr(cp))
        if inside and start is None:
            start = cp
        elif not inside and start is not None:
            end = cp - 1
            parts.append(re.escape(chr(start)) if start == end else
                         f"{re.escape(chr(start))}-{re.escape(chr(end))}")
            start = None
    return "".join(parts)


# Blocks whose letters are written without spaces between words: kana, the
# ideographs, bopomofo, hangul, and the halfwidth kana (NFKC widens them).
_CJK_BLOCKS = ((0x1100, 0x11FF), (0x3040, 0x30FF), (0x3100, 0x312F), (0x3130, 0x318F),
               (0x31A0, 0x31BF), (0x31F0, 0x31FF), (0x3400, 0x4DBF), (0x4E00, 0x9FFF),
               (0xA960, 0xA97F), (0xAC00, 0xD7FF), (0xF900, 0xFAFF), (0xFF66, 0xFFDC),
               (0x20000, 0x3FFFF))
_CJK_STARTS = [start for start, _ in _CJK_BLOCKS]


def is_cjk(char):
    """A letter of a CJK block (ー and 々 are letters; ・ and 、 are not), or a
    kana voicing mark."""
    cp = ord(char)
    if 0x3005 <= cp <= 0x3006 or 0x3099 <= cp <= 0x309C:
        return True
    k = bisect.bisect_right(_CJK_STARTS, cp) - 1
    return k >= 0 and cp <= _CJK_BLOCKS[k][1] and unicodedata.category(char)[0] == "L"


def _is_word_char(char):
    # Superscripts, fractions and circled numbers (No) are not: 2⁶⁴ is no 264.
    category = unicodedata.category(char)
    return category[0] in "LM" or category in ("Nd", "Nl")


_CJK_CLASS = _ranges(is_cjk)
_OTHER_CLASS = _ranges(lambda c: _is_word_char(c) and not is_cjk(c))
# A word is a run of letters, marks and digits; a run of CJK letters and one
# of other letters are separate words even when they touch ("FILEを").
WORD = re.compile(f"[{_CJK_CLASS}]+|[{_OTHER_CLASS}]+")
CJK_RUN = re.compile(f"[{_CJK_CLASS}]+")


def strip_marks(text):
    return unicodedata.normalize(
        "NFC", "".join(c for c in unicodedata.normalize("NFD", text)
                       if unicodedata.category(c) != "Mn"))


@functools.lru_cache(maxsize=None)
def fold(word):
    """The form under which two words are the same word to a reader who
    ignores case, accents and compatibility variants (ｆｕｌｌ, ﬁ)."""
    return strip_marks(unicodedata.normalize("NFKC", word).casefold())


def is_number(word):
    return all(unicodedata.category(c) == "Nd" for c in word)


def has_letter(word):
    return any(unicodedata.category(c)[0] == "L" for c in word)


def has_accent(word):
    return any(unicodedata.category(c) == "Mn" for c in unicodedata.normalize("NFD", word))


# --- corpus ---------------------------------------------------------------------------


def package_pages(language):
    """The pages of the language's packages: regular files, sorted, without
    the stubs that only include another page (".so")."""
    prefix = f"/usr/share/man/{language.man_dir}/man"
    listed = subprocess.run(["dpkg", "-L", *language.packages], check=True,
                            capture_output=True, text=True).stdout.split("\n")
    pages = []
    for path in sorted(set(listed)):
        if not (path.startswith(prefix) and path.endswith(".gz")):
            continue
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as page:
            head = [line for line in page.read(4096).split("\n")
                    if line.strip() and not line.startswith(('.\\"', "'\\\""))]
        if head and head[0].startswith(".so "):
            continue
        pages.append(path)
    return pages


def spread(items, count):
    """`count` items evenly spaced over the sorted list, so that every
    section of the manual is drawn from."""
    if len(items) <= count:
        return list(items)
    return [items[i * len(items) // count] for i in range(count)]


MAN_ENV = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="1000", MANPAGER="cat", PAGER="cat")
MAN_ENV.pop("MAN_KEEP_FORMATTING", None)
# UTF-8 read as Latin-1 ("Ã©", "â€™") or text that failed to decode.
MOJIBAKE = re.compile("[ÃÂ][\u0080-\u00bf]|â€|\ufffd")


def render(path):
    """The page as plain UTF-8 text: no hyphenation (a word cut at a line end
    is two words to every reader), each paragraph one line, no overstrikes,
    runs of spaces squeezed."""
    man = subprocess.run(["man", "--nh", "--nj", "-l", path], env=MAN_ENV,
                         capture_output=True, check=False)
    plain = subprocess.run(["col", "-b", "-x"], input=man.stdout, env=MAN_ENV,
                           capture_output=True, check=True).stdout
    text = plain.decode("utf-8")  # strict: a page that is not UTF-8 is a fault here
    return "\n".join(re.sub(" {2,}", " ", line).strip() for line in text.split("\n")) + "\n"


def page_problem(language, text):
    """Why a rendered page is not real text of its language, or None."""
    if MOJIBAKE.search(text):
        return "mojibake"
    if len(text) < 100:
        return "empty"
    if language.cjk and len(CJK_RUN.findall(text)) < 5:
        return "untranslated"
    return None


def build_corpus(corpus, manifest, pages_per_language):
    os.makedirs(corpus, exist_ok=True)
    rows = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for language in LANGUAGES:
            folder = os.path.join(corpus, language.folder)
            os.makedirs(folder, exist_ok=True)
            # A page dropped (untranslated, say) is replaced by the next of
            # those not chosen, in order.
            candidates = package_pages(language)
            chosen = spread(candidates, pages_per_language)
            rest = [p for p in candidates if p not in set(chosen)]
            texts, dropped = [], {}
            while chosen:
                for source, text in zip(chosen, pool.map(render, chosen)):
                    problem = page_problem(language, text)
                    if problem:
                        dropped[problem] = dropped.get(problem, 0) + 1
                    else:
                        texts.append((source, text))
                wanted = pages_per_language - len(texts)
                chosen, rest = rest[:wanted], rest[wanted:]
            if dropped.get("mojibake"):
                sys.exit(f"{language.name}: {dropped['mojibake']} pages render as mojibake")
            if len(texts) < min(100, pages_per_language):
                sys.exit(f"{language.name}: only {len(texts)} usable pages")
            letters = cjk = accented = size = 0
            for n, (source, text) in enumerate(sorted(texts)):
                # Neutral names: both tools match words of file names too.
                name = "qz" + "".join(chr(ord("a") + d) for d in (n // 676 % 26, n // 26 % 26,
                                                                 n % 26)) + ".txt"
                with open(os.path.join(folder, name), "w", encoding="utf-8") as out:
                    out.write(text)
                rows.append(f"{language.folder}/{name}\t{source}")
                size += len(text.encode())
                for c in text:
                    if unicodedata.category(c)[0] == "L":
                        letters += 1
                        cjk += is_cjk(c)
                        accented += has_accent(c)
            share = (f"{100 * cjk / letters:.0f}% CJK letters" if language.cjk else
                     f"{100 * accented / letters:.1f}% accented letters")
            skipped = ", ".join(f"{v} {k}" for k, v in sorted(dropped.items()))
            print(f"{language.name}: {len(texts)} pages of {len(candidates)}, "
                  f"{size / 1e6:.1f} MB, {share}" + (f" (skipped {skipped})" if skipped else ""))
    with open(manifest, "w", encoding="utf-8") as out:
        out.write("\n".join(rows) + "\n")


# --- queries and their relevant files -------------------------------------------------


@dataclass
class Corpus:
    root: str
    files: list = field(default_factory=list)  # paths relative to root
    language_of: list = field(default_factory=list)  # code per file
    words: list = field(default_factory=list)  # per file, its non-CJK words in order
    cjk_texts: list = field(default_factory=list)  # per file, NFKC ("" without CJK)
    runs: list = field(default_factory=list)  # per file, the CJK runs of that text
    index: dict = field(default_factory=dict)  # folded word -> set of file numbers

    @classmethod
    def read(cls, root):
        corpus = cls(root)
        by_folder = {language.folder: language.code for language in LANGUAGES}
        names = sorted(os.path.relpath(os.path.join(d, f), root)
                       for d, _, fs in os.walk(root) for f in fs)
        for n, name in enumerate(names):
            with open(os.path.join(root, name), encoding="utf-8") as f:
                text = unicodedata.normalize("NFC", f.read())
            corpus.files.append(name)
            corpus.language_of.append(by_folder[name.split("/")[0]])
            # Words are cut before they are folded: compatibility forms such
            # as superscripts must not join the digits beside them.
            corpus.words.append([w for w in WORD.findall(text) if not is_cjk(w[0])])
            # Halfwidth kana and compatibility ideographs are the same
            # characters as their usual forms to a reader.
            cjk_text = unicodedata.normalize("NFKC", text) if CJK_RUN.search(text) else ""
            corpus.cjk_texts.append(cjk_text)
            corpus.runs.append(CJK_RUN.findall(cjk_text))
            for word in set(corpus.words[-1]):
                corpus.index.setdefault(fold(word), set()).add(n)
        return corpus

    def relevant(self, kind, query):
        if kind in ("cjk2", "cjk3"):
            return {n for n, text in enumerate(self.cjk_texts) if query in text}
        return self.index.get(fold(query), set())


def draw(rng, occurrences, count):
    """Up to `count` distinct queries: half drawn from the running text
    (common words, found in many files), half from the distinct forms (most
    of them rare)."""
    chosen, seen = [], set()

    def take(candidate, how):
        key = fold(candidate[1])
        if key not in seen:
            seen.add(key)
            chosen.append({"query": candidate[1], "written": candidate[0], "drawn": how})

    if not occurrences:
        return chosen
    for _ in range(50 * count):
        if len(chosen) >= count // 2:
            break
        take(rng.choice(occurrences), "text")
    distinct = sorted(set(occurrences))
    for candidate in rng.sample(distinct, len(distinct)):
        if len(chosen) >= count:
            break
        take(candidate, "vocabulary")
    return chosen


def candidates(corpus, language, kind, path_words):
    """(as written, query) for every occurrence in the language's files of
    something a query of this kind can be made from."""
    found = []
    for n, code in enumerate(corpus.language_of):
        if code != language.code:
            continue
        if kind in ("cjk2", "cjk3"):
            size = int(kind[-1])
            for run in corpus.runs[n]:
                found += [(run, run[i:i + size]) for i in range(len(run) - size + 1)]
            continue
        for word in corpus.words[n]:
            folded = fold(word)
            # A word of the paths would match every file by its name.
            if len(word) < 2 or len(folded) < 2 or folded in path_words:
                continue
            if kind == "number":
                if is_number(word):
                    found.append((word, word))
            elif not has_letter(word):
                continue
            elif kind == "word":
                found.append((word, word))
            elif kind == "upper" and word.upper() != word:
                found.append((word, word.upper()))
            elif kind == "unaccented" and has_accent(word):
                found.append((word, strip_marks(word)))
    return found


def make_queries(root, out_path, per_kind):
    corpus = Corpus.read(root)
    path_words = {fold(w) for name in corpus.files
                  for w in WORD.findall(os.path.join(os.path.abspath(root), name))}
    queries = []
    for language in LANGUAGES:
        for kind in kinds_of(language):
            rng = random.Random(f"{SEED}:{language.code}:{kind}")
            for q in draw(rng, candidates(corpus, language, kind, path_words), per_kind):
                q.update(language=language.code, kind=kind,
                         relevant=sorted(corpus.relevant(kind, q["query"])))
                queries.append(q)
    with open(out_path, "w", encoding="utf-8") as out:
        json.dump({"root": os.path.abspath(root), "files": corpus.files, "queries": queries},
                  out, ensure_ascii=False, indent=0)
    print(f"{len(queries)} queries over {len(corpus.files)} files")


# --- asking a tool ----------------------------------------------------------------------


def tool_argv(tool, command, query):
    if tool == "trovix":
        return [*command, "--", query]
    # A phrase: no word of it is read as an operator (OR, AND) or a field, and
    # a CJK piece must keep its order.
    return [*command, f'"{query}"']


def ask(tool, queries_path, out_path, command):
    """Runs the tool once per query (in this process's environment, the
    tool's private tree) and records the files each returned."""
    with open(queries_path, encoding="utf-8") as f:
        data = json.load(f)
    root = data["root"].rstrip("/") + "/"
    answers = []
    for q in data["queries"]:
        run = subprocess.run(tool_argv(tool, command, q["query"]), capture_output=True,
                             check=False)
        lines = run.stdout.decode("utf-8", "replace").splitlines()
        if tool == "recoll":
            lines = [line[len("file://"):] for line in lines if line.startswith("file://")]
        files = sorted({line[len(root):] if line.startswith(root) else line
                        for line in lines if line})
        # trovix: 1 is "nothing found"; anything else but 0 is a failure.
        error = ""
        if run.returncode not in ((0, 1) if tool == "trovix" else (0,)):
            error = (run.stderr.decode("utf-8", "replace").strip()[-300:] or
                     f"exit status {run.returncode}")
        answers.append({"files": files, "status": run.returncode, "error": error})
    with open(out_path, "w", encoding="utf-8") as out:
        json.dump(answers, out, ensure_ascii=False)
    failures = sum(1 for a in answers if a["error"])
    print(f"{tool}: {len(answers)} queries" + (f", {failures} failed" if failures else ""))


# --- the table --------------------------------------------------------------------------


def scores(relevant, returned):
    """(recall, precision); precision is None for an empty answer."""
    hit = len(relevant & returned)
    return (hit / len(relevant) if relevant else 1.0,
            hit / len(returned) if returned else None)


def mean(values):
    values = [v for v in values if v is not None]
    return sum(values) / len(values) if values else None


def show(value):
    return "-" if value is None else f"{value:.3f}"


def context(text, query, kind, width=40):
    """Where the file holds the query (or, for a file it should not have
    matched, something like it), with `width` characters either side."""
    if kind in ("cjk2", "cjk3"):
        text = unicodedata.normalize("NFKC", text)
        at = text.find(query)
        if at < 0:  # its characters, apart
            at = text.find(query[0])
        size = len(query)
    else:
        target, at, size = fold(query), -1, 0
        for match in WORD.finditer(text):
            word = fold(match.group())
            if word == target or (at < 0 and target in word):
                at, size = match.start(), len(match.group())
                if word == target:
                    break
    if at < 0:
        return "(not in the text)"
    snippet = text[max(0, at - width):at + size + width]
    return "…" + snippet.replace("\n", "⏎") + "…"


class Results:
    """The queries with what each tool returned, as file numbers."""

    def __init__(self, queries_path, trovix_path, recoll_path, manifest_path):
        with open(queries_path, encoding="utf-8") as f:
            data = json.load(f)
        answers = {}
        for tool, path in (("trovix", trovix_path), ("recoll", recoll_path)):
            with open(path, encoding="utf-8") as f:
                answers[tool] = json.load(f)
            if len(answers[tool]) != len(data["queries"]):
                sys.exit(f"{path}: {len(answers[tool])} answers to {len(data['queries'])} queries")
        with open(manifest_path, encoding="utf-8") as f:
            self.sources = dict(line.rstrip("\n").split("\t") for line in f if line.strip())
        self.root, self.files = data["root"], data["files"]
        index_of = {name: n for n, name in enumerate(self.files)}
        self.rows = {}  # (language code, kind) -> [(query, {tool: answer}, {tool: files})]
        for k, q in enumerate(data["queries"]):
            answer = {tool: answers[tool][k] for tool in answers}
            # A path outside the corpus counts as a file that is not relevant.
            got = {tool: {index_of.get(name, -1) for name in answer[tool]["files"]}
                   for tool in answer}
            self.rows.setdefault((q["language"], q["kind"]), []).append((q, answer, got))
        self._texts = {}

    def text(self, n):
        if n not in self._texts:
            with open(os.path.join(self.root, self.files[n]), encoding="utf-8") as f:
                self._texts[n] = unicodedata.normalize("NFC", f.read())
        return self._texts[n]

    def describe(self, q, answer, got, out, limit):
        """Prints how Trovix's answer to `q` differs from the relevant files;
        False when it does not."""
        relevant = set(q["relevant"])
        lost = sorted(relevant - got["trovix"])
        extra = sorted(got["trovix"] - relevant)
        error = answer["trovix"]["error"]
        if not lost and not extra and not error:
            return False
        print(f"  query {q['query']!r} (as written: {q['written']!r}, drawn from the {q['drawn']}"
              f"): {len(relevant)} relevant, Trovix returned {len(got['trovix'])} "
              f"(status {answer['trovix']['status']}), {len(lost)} missed, {len(extra)} not "
              f"relevant; Recoll returned {len(got['recoll'])}, missed "
              f"{len(relevant - got['recoll'])}", file=out)
        if error:
            print(f"    error: {error}", file=out)
        for label, numbers in (("missed", lost), ("not relevant", extra)):
            for n in numbers[:limit]:
                if n < 0:
                    print(f"    {label}: a path outside the corpus", file=out)
                    continue
                print(f"    {label}: {self.files[n]} ({self.sources.get(self.files[n], '?')}): "
                      f"{context(self.text(n), q['query'], q['kind'])}", file=out)
        return True


def table(queries_path, trovix_path, recoll_path, manifest_path, details_path=None):
    results = Results(queries_path, trovix_path, recoll_path, manifest_path)
    print()
    print("Recall and precision: macro averages over a row's queries; precision over the")
    print("queries that returned files. Targets: Trovix recall >= 0.99, Trovix precision")
    print(">= 0.95 and not below Recoll's.")
    print()
    print("| language | query kind | queries | Trovix recall | Trovix precision | "
          "Recoll recall | Recoll precision | targets |")
    print("|---|---|---:|---:|---:|---:|---:|---|")
    failing = []
    for language in LANGUAGES:
        for kind in kinds_of(language):
            row = results.rows.get((language.code, kind))
            if not row:
                continue
            figures = {}
            for tool in ("trovix", "recoll"):
                measured = [scores(set(q["relevant"]), got[tool]) for q, _, got in row]
                figures[tool] = (mean(r for r, _ in measured), mean(p for _, p in measured))
            (tr, tp), (rr, rp) = figures["trovix"], figures["recoll"]
            # Compared as printed: a difference in the fourth digit is noise.
            missed = []
            if round(tr, 3) < 0.99:
                missed.append("recall")
            if tp is None or round(tp, 3) < 0.95 or (rp is not None and
                                                     round(tp, 3) < round(rp, 3)):
                missed.append("precision")
            verdict = "met" if not missed else "MISSED: " + ", ".join(missed)
            print(f"| {language.name} | {kind} | {len(row)} | {show(tr)} | {show(tp)} | "
                  f"{show(rr)} | {show(rp)} | {verdict} |")
            if missed:
                failing.append((language, kind, missed, row))
    print()
    for tool in ("trovix", "recoll"):
        errors = sum(1 for row in results.rows.values() for _, answer, _ in row
                     if answer[tool]["error"])
        if errors:
            print(f"{tool}: {errors} queries failed")
    if not failing:
        print("all targets met")
    else:
        print("targets missed in: " + "; ".join(f"{language.name} {kind} ({', '.join(m)})"
                                                for language, kind, m, _ in failing))
    for language, kind, _, row in failing:
        print(f"\n{language.name} {kind}: queries where Trovix differs from the text")
        shown = 0
        for q, answer, got in row:
            if shown < 4 and results.describe(q, answer, got, sys.stdout, 2):
                shown += 1
    if details_path:
        with open(details_path, "w", encoding="utf-8") as out:
            for language in LANGUAGES:
                for kind in kinds_of(language):
                    print(f"== {language.name} {kind}", file=out)
                    for q, answer, got in results.rows.get((language.code, kind), []):
                        results.describe(q, answer, got, out, 10)


def main(argv):
    if len(argv) >= 2 and argv[1] == "packages":
        print(" ".join(sorted({p for language in LANGUAGES for p in language.packages})))
    elif len(argv) in (4, 5) and argv[1] == "corpus":
        build_corpus(argv[2], argv[3], int(argv[4]) if len(argv) == 5 else 300)
    elif len(argv) in (4, 5) and argv[1] == "queries":
        make_queries(argv[2], argv[3], int(argv[4]) if len(argv) == 5 else 40)
    elif len(argv) >= 6 and argv[1] == "ask" and argv[2] in ("trovix", "recoll"):
        ask(argv[2], argv[3], argv[4], argv[5:])
    elif len(argv) in (6, 7) and argv[1] == "table":
        table(*argv[2:])
    else:
        sys.exit(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    main(sys.argv)
