#!/usr/bin/env python3
"""Helper of bench/query_bench.sh: phrase recall and precision against an
independent reading of the text, the typed queries of the keystroke
benchmark, and the timing of filter queries.

  query_bench.py phrases CORPUS COUNT ONE_LETTER -- SEARCH_CMD...
  query_bench.py typed HOME QUERIES HOSTILE [COUNT]
  query_bench.py time KEY JSON

The reading of the text is this file's own, not Trovix's: HTML through
Python's html.parser (the page's title apart from its text; script, style,
head and template left out; tags of inline elements such as <b> or <code>
join the text around them, every other tag separates words), XML and SVG
the same way but as one text, other files as UTF-8 text. Words are runs of letters, marks and digits (the reader of
bench/multilingual.py), compared after NFKC, case folding and removal of
accents. A phrase of words w1..wn belongs to a file whose title, text or
file name holds w1..wn as consecutive words.

SEARCH_CMD is the search command without its query (a tree's environment
and `trovix search`); each phrase is asked as one argument, in double quotes.
"""

import bisect
import collections
import concurrent.futures
import json
import os
import random
import re
import statistics
import subprocess
import sys
import unicodedata
from array import array
from html.parser import HTMLParser

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from multilingual import WORD, fold, is_cjk  # noqa: E402

SEED = "trovix-query-bench-1"
HTML_EXTENSIONS = (".html", ".htm", ".xhtml")
# Read as markup too, but no phrase is sampled from them.
XML_EXTENSIONS = (".xml", ".svg")
TEXT_EXTENSIONS = (".txt", ".md", ".py", ".js", ".css", ".json", ".c", ".h", ".cpp", ".rst")
INLINE = {"a", "abbr", "b", "bdi", "bdo", "big", "cite", "code", "data", "dfn", "em", "font",
          "i", "kbd", "mark", "q", "s", "samp", "small", "span", "strike", "strong", "sub",
          "sup", "time", "tt", "u", "var", "wbr"}
SKIPPED = {"script", "style", "head", "template"}


# --- the reading of a file --------------------------------------------------------


class PageReader(HTMLParser):
    """A page's title (the first in its head) and its text."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.title, self.text = [], []
        self.in_head = False
        self.title_depth = 0
        self.title_done = False
        self.skip_depth = 0

    def handle_starttag(self, tag, attrs):
        if tag == "head":
            self.in_head = True
        if tag == "title" and self.in_head and not self.title_done:
            self.title_depth += 1
        if tag in SKIPPED:
            self.skip_depth += 1
        elif tag not in INLINE:
            self.text.append(" ")

    def handle_endtag(self, tag):
        if tag == "title" and self.title_depth > 0:
            self.title_depth -= 1
            self.title_done = self.title_done or self.title_depth == 0
        if tag == "head":
            self.in_head = False
        if tag in SKIPPED:
            self.skip_depth = max(0, self.skip_depth - 1)
        elif tag not in INLINE:
            self.text.append(" ")

    def handle_data(self, data):
        if self.title_depth > 0:
            self.title.append(data)
        elif self.skip_depth == 0:
            self.text.append(data)


def decode(raw):
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


class Part:
    """One run of words of a file (its title, its text or its name): the
    folded words, joined by single spaces between spaces, and where each
    word starts in the joined string and in the text it came from."""

    def __init__(self, label, text):
        self.label = label
        self.text = text
        words, sources = [], array("I")
        for match in WORD.finditer(text):
            words.append(fold(match.group()))
            sources.append(match.start())
        self.words = words
        self.sources = sources
        self.starts = array("I")
        at = 1
        for word in words:
            self.starts.append(at)
            at += len(word) + 1
        self.joined = " " + " ".join(words) + " "

    def find(self, phrase):
        """The index of the first word of the first occurrence of `phrase`
        (a tuple of folded words), or -1."""
        at = self.joined.find(" " + " ".join(phrase) + " ")
        return -1 if at < 0 else bisect.bisect_left(self.starts, at + 1)

    def context(self, index, count, width=50):
        """The source text around words [index, index + count)."""
        begin = self.sources[index]
        last = min(index + count, len(self.sources)) - 1
        end = self.sources[last] + len(WORD.match(self.text, self.sources[last]).group())
        before = self.text[max(0, begin - width):begin]
        after = self.text[end:end + width]
        return " ".join(f"{before}[{self.text[begin:end]}]{after}".split())


class Document:
    def __init__(self, path):
        self.path = path
        name = os.path.basename(path)
        lower = name.lower()
        self.readable = True
        with open(path, "rb") as handle:
            raw = handle.read()
        if lower.endswith(HTML_EXTENSIONS):
            reader = PageReader()
            reader.feed(decode(raw))
            reader.close()
            self.parts = [Part("title", "".join(reader.title)), Part("text", "".join(reader.text))]
            self.sampled = True
        elif lower.endswith(XML_EXTENSIONS):
            reader = PageReader()
            reader.feed(decode(raw))
            reader.close()
            self.parts = [Part("text", "".join(reader.title) + " " + "".join(reader.text))]
            self.sampled = False
        elif lower.endswith(TEXT_EXTENSIONS):
            self.parts = [Part("text", decode(raw))]
            self.sampled = lower.endswith(".txt")
        else:
            self.parts, self.readable, self.sampled = [], False, False
        self.parts.append(Part("name", name))

    def part(self, label):
        return next(p for p in self.parts if p.label == label)

    def holds(self, phrase):
        return any(part.find(phrase) >= 0 for part in self.parts)


def read_corpus(root):
    # Symbolic links are no files of the tree to an indexer walking it.
    paths = sorted(path for folder, _, names in os.walk(root)
                   for path in (os.path.join(folder, name) for name in names)
                   if not os.path.islink(path))
    # html.parser is pure Python: the pages are read on every core.
    with concurrent.futures.ProcessPoolExecutor() as pool:
        return list(pool.map(Document, paths, chunksize=16))


# --- sampling -----------------------------------------------------------------------


def letters(word):
    """The characters of a word that are no marks: what makes it a one-letter word."""
    return sum(1 for c in word if unicodedata.category(c)[0] != "M")


def sample_phrases(documents, count, one_letter):
    """`count` phrases of 2 to 4 words of two or more characters, a third of
    each length, and `one_letter` phrases holding a word of one character;
    each taken at a random place of a random page or text file."""
    rng = random.Random(SEED)
    sources = [d.part("text") for d in documents if d.sampled and len(d.part("text").words) >= 4]
    wanted = {(n, False): count // 3 + (1 if k < count % 3 else 0) for k, n in enumerate((2, 3, 4))}
    for n in (2, 3, 4):
        wanted[(n, True)] = one_letter // 3 + (1 if n - 2 < one_letter % 3 else 0)
    found, seen = [], set()
    for _ in range(200000):
        if not any(wanted.values()):
            break
        part = rng.choice(sources)
        n = rng.choice((2, 3, 4))
        start = rng.randrange(len(part.words) - n + 1)
        phrase = tuple(part.words[start:start + n])
        if phrase in seen or any(is_cjk(c) for word in phrase for c in word):
            continue
        # The index keeps terms up to 64 bytes; longer words are cut alike in
        # the query, so only the common case is sampled.
        if any(len(word.encode()) > 64 for word in phrase):
            continue
        short = any(letters(word) < 2 for word in phrase)
        # A phrase of one-letter words only has no searchable term at all.
        if short and all(letters(word) < 2 for word in phrase):
            continue
        if wanted[(n, short)] > 0:
            wanted[(n, short)] -= 1
            seen.add(phrase)
            found.append(phrase)
    return found


# --- asking Trovix ------------------------------------------------------------------


def search(command, query):
    """The files `command QUERY` prints, or None when it failed."""
    done = subprocess.run(command + [query], capture_output=True, text=True,
                          errors="surrogateescape")
    if done.returncode not in (0, 1):
        return None, done.stderr.strip()
    return set(done.stdout.splitlines()), ""


def why_missed(document, phrase, command):
    """Why Trovix did not find `phrase` in `document`."""
    where = next(p for p in document.parts if p.find(phrase) >= 0)
    index = where.find(phrase)
    words, _ = search(command, " ".join(phrase))
    if words is not None and document.path in words:
        reason = "its words are found in the file, not as a phrase: positions differ"
    else:
        reason = "not even its words together are found in the file: the text read differs"
    return f"{reason}; {where.label}: {where.context(index, len(phrase))}"


def why_found(document, phrase):
    """What may have made Trovix take `document` for a file of `phrase`."""
    if not document.readable:
        return "a file this reader does not read"
    parts = {p.label: p for p in document.parts}
    if "title" in parts:
        across = Part("title+text", parts["title"].text + " " + parts["text"].text)
        if across.find(phrase) >= 0:
            return "the phrase runs from the title into the text"
    # A one-letter word of the phrase is no term of the index: any word
    # standing in its place matches.
    if any(letters(w) < 2 for w in phrase):
        pattern = re.compile(" " + " ".join(r"\S+" if letters(w) < 2 else re.escape(w)
                                             for w in phrase) + " ")
        for part in document.parts:
            match = pattern.search(part.joined)
            if match:
                index = bisect.bisect_left(part.starts, match.start() + 1)
                return (f"another word stands for the one-letter word in the {part.label}: "
                        f"{part.context(index, len(phrase))}")
    # The nearest thing in the text: the first word followed by the second
    # within a few words.
    for part in document.parts:
        for i, word in enumerate(part.words):
            if word == phrase[0] and phrase[1] in part.words[i + 1:i + 4]:
                return (f"no such phrase in the {part.label}; nearest: "
                        f"{part.context(i, part.words.index(phrase[1], i + 1) - i + 1)}")
    return "the words do not even stand near each other here"


def phrases(root, count, one_letter, command):
    documents = read_corpus(root)
    by_path = {d.path: d for d in documents}
    sampled = sample_phrases(documents, count, one_letter)
    print(f"reader: {len(documents)} files, {sum(d.readable for d in documents)} read; "
          f"{len(sampled)} phrases sampled", flush=True)
    rows = collections.defaultdict(lambda: [0, 0, 0, 0])  # relevant, returned, hits, phrases
    misses, false_hits, errors = [], [], []
    for phrase in sampled:
        short = any(letters(word) < 2 for word in phrase)
        relevant = {d.path for d in documents if d.holds(phrase)}
        returned, error = search(command, '"' + " ".join(phrase) + '"')
        if returned is None:
            errors.append((phrase, error))
            continue
        returned = {path for path in returned if path}
        for key in (("one-letter" if short else "checked", len(phrase)),
                    ("one-letter" if short else "checked", "all")):
            row = rows[key]
            row[0] += len(relevant)
            row[1] += len(returned)
            row[2] += len(relevant & returned)
            row[3] += 1
        if not short:
            for path in sorted(relevant - returned):
                misses.append((phrase, by_path[path]))
            for path in sorted(returned - relevant):
                false_hits.append((phrase, by_path.get(path), path))
        elif returned - relevant:
            false_hits.append((phrase, by_path.get(min(returned - relevant)),
                               min(returned - relevant)))

    print()
    print("| phrases | words | phrases asked | files expected | files returned | recall | "
          "precision | target |")
    print("|---|---|---:|---:|---:|---:|---:|---|")
    for kind, label in (("checked", "words of 2+ characters"),
                        ("one-letter", "with a one-letter word")):
        for length in (2, 3, 4, "all"):
            relevant, returned, hits, asked = rows[(kind, length)]
            if not asked:
                continue
            recall = hits / relevant if relevant else 1.0
            precision = hits / returned if returned else 1.0
            target = "—"
            if kind == "checked" and length == "all":
                met = recall >= 1.0 and precision >= 1.0
                target = f"1.00 / 1.00 {'met' if met else 'not met'}"
            print(f"| {label} | {length} | {asked} | {relevant} | {returned} | {recall:.4f} | "
                  f"{precision:.4f} | {target} |")
    print()
    if errors:
        print(f"{len(errors)} phrases failed to run, e.g. {errors[0][0]}: {errors[0][1]}")
    print(f"misses (phrase of 2+ character words in the text, file not returned): {len(misses)}")
    for phrase, document in misses[:6]:
        print(f"  \"{' '.join(phrase)}\" {document.path}\n    {why_missed(document, phrase, command)}")
    checked_false = [f for f in false_hits if not any(letters(w) < 2 for w in f[0])]
    print(f"false hits (file returned, phrase not in it), words of 2+ characters: "
          f"{len(checked_false)}")
    for phrase, document, path in checked_false[:6]:
        reason = why_found(document, phrase) if document else "a file outside the corpus"
        print(f"  \"{' '.join(phrase)}\" {path}\n    {reason}")
    short_false = [f for f in false_hits if any(letters(w) < 2 for w in f[0])]
    print(f"phrases with a one-letter word that returned a file without the phrase: "
          f"{len(short_false)}")
    for phrase, document, path in short_false[:3]:
        reason = why_found(document, phrase) if document else "a file outside the corpus"
        print(f"  \"{' '.join(phrase)}\" {path}\n    {reason}")


# --- typed queries for the desktop search provider ----------------------------------


def typed(home, queries_path, hostile_path, count=210):
    """Queries as typed in the shell's search box: a whole word of ranks 10 to
    1,000 and the first 3 to 5 letters of a word of ranks 0 to 5,000 of the
    home's documents (ranked by how many of 2,000 sampled documents hold
    them); and a few hostile ones."""
    rng = random.Random(SEED)
    paths = []
    for folder, _, names in os.walk(home):
        if "/." in folder[len(home):]:
            continue
        paths.extend(os.path.join(folder, n) for n in names
                     if n.endswith((".txt", ".md", ".html", ".htm")))
    paths.sort()
    frequency = collections.Counter()
    for path in rng.sample(paths, min(2000, len(paths))):
        with open(path, "rb") as handle:
            text = decode(handle.read())
        frequency.update({fold(m.group()) for m in WORD.finditer(text)})
    ranked = [w for w, _ in frequency.most_common() if len(w) >= 3 and not w.isdigit()]
    with open(queries_path, "w") as out:
        for _ in range(count):
            whole = ranked[rng.randrange(10, min(1000, len(ranked)))]
            started = ranked[rng.randrange(0, min(5000, len(ranked)))]
            out.write(f"{whole} {started[:rng.randint(3, 5)]}\n")
    top = ranked[:5]
    with open(hostile_path, "w") as out:
        # The first letter of a query: every term of that letter is a prefix match.
        out.write(f"{top[0][0]}\n")
        # The most common word and one letter more.
        out.write(f"{top[0]} {top[1][0]}\n")
        # Five words that nearly every document holds: every file matches,
        # and the passages of large files hold them all.
        out.write(" ".join(top) + "\n")
        # A phrase of two common words still being typed: the quote is open
        # and its last word a prefix.
        out.write(f"\"{top[0]} {top[1][:2]}\n")


# --- hyperfine figures ---------------------------------------------------------------


def time_figures(key, path):
    times = sorted(json.load(open(path))["results"][0]["times"])
    p95 = times[min(len(times) - 1, round(0.95 * (len(times) - 1)))]
    print(f"{key}.median_ms {statistics.median(times) * 1000:.1f}")
    print(f"{key}.p95_ms {p95 * 1000:.1f}")
    print(f"{key}.runs {len(times)}")


def main(argv):
    if len(argv) >= 6 and argv[1] == "phrases" and argv[4 + 1] == "--":
        phrases(argv[2], int(argv[3]), int(argv[4]), argv[6:])
    elif len(argv) in (5, 6) and argv[1] == "typed":
        typed(argv[2], argv[3], argv[4], *(int(a) for a in argv[5:]))
    elif len(argv) == 4 and argv[1] == "time":
        time_figures(argv[2], argv[3])
    else:
        sys.exit(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    main(sys.argv)
