#!/usr/bin/env python3
"""The reference reading of bench/query_bench.py: a fault there would make
the phrase benchmark blame the index for its own mistakes."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import query_bench as qb  # noqa: E402


def write(folder, name, text):
    path = os.path.join(folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    return path


class ReadingTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def document(self, name, text):
        return qb.Document(write(self.folder.name, name, text))

    def test_page_title_text_and_markup(self):
        page = self.document("Annual-Report.html", """<html><head><title>Budget Plan</title>
            <style>p { color: red }</style><script>var hidden = 1;</script></head>
            <body><p>Net <b>in</b>come &amp; R&eacute;sum&eacute;</p><p>rose</p>
            <div>fell</div><template>ghost words</template></body></html>""")
        self.assertEqual(page.part("title").words, ["budget", "plan"])
        # Inline tags join the letters around them; other tags part words,
        # yet the words on either side of them still stand next to each other.
        self.assertEqual(page.part("text").words, ["net", "income", "resume", "rose", "fell"])
        self.assertEqual(page.part("name").words, ["annual", "report", "html"])
        self.assertTrue(page.holds(("resume", "rose", "fell")))
        self.assertTrue(page.holds(("annual", "report")))
        # Neither skipped elements nor the join of title and text count.
        for phrase in (("hidden", "1"), ("color", "red"), ("ghost", "words"), ("plan", "net")):
            self.assertFalse(page.holds(phrase), phrase)

    def test_text_files_and_files_not_read(self):
        text = self.document("notes.txt", "Don't stop: os.path x86_64\nend")
        self.assertEqual(text.part("text").words, ["don", "t", "stop", "os", "path", "x86", "64",
                                                   "end"])
        self.assertTrue(text.sampled)
        feed = self.document("search.xml", "<feed><title>Python 3</title><b>x</b>y</feed>")
        self.assertEqual(feed.part("text").words, ["python", "3", "xy"])
        self.assertFalse(feed.sampled)
        image = self.document("photo.png", "\x89PNG words inside")
        self.assertFalse(image.readable)
        self.assertFalse(image.holds(("words", "inside")))
        self.assertTrue(image.holds(("photo", "png")))

    def test_find_matches_whole_words_and_gives_their_source(self):
        part = qb.Part("text", "Cats and dogs; a cat and dog.")
        self.assertEqual(part.find(("cat", "and")), 4)
        self.assertEqual(part.find(("cats", "and", "dogs")), 0)
        self.assertEqual(part.find(("at", "and")), -1)
        self.assertEqual(part.find(("dog",)), 6)
        self.assertEqual(part.context(4, 3, width=4), "; a [cat and dog].")

    def test_corpus_skips_symbolic_links(self):
        real = write(self.folder.name, "a/real.txt", "one two")
        os.symlink(real, os.path.join(self.folder.name, "a", "link.txt"))
        os.symlink("/nowhere", os.path.join(self.folder.name, "a", "broken.txt"))
        self.assertEqual([d.path for d in qb.read_corpus(self.folder.name)], [real])


class SamplingTest(unittest.TestCase):
    def test_phrases_by_length_and_kind(self):
        with tempfile.TemporaryDirectory() as folder:
            words = "we saw a big red x of it in the old mill by night and so on " * 40
            write(folder, "story.txt", words)
            write(folder, "page.html", f"<p>{words}</p>")
            write(folder, "code.py", "never sampled from " * 50)
            documents = qb.read_corpus(folder)
        phrases = qb.sample_phrases(documents, 30, 9)
        self.assertEqual(len(phrases), len(set(phrases)))
        checked = [p for p in phrases if all(qb.letters(w) >= 2 for w in p)]
        short = [p for p in phrases if p not in checked]
        self.assertEqual((len(checked), len(short)), (30, 9))
        self.assertEqual(sorted(len(p) for p in checked), [2] * 10 + [3] * 10 + [4] * 10)
        self.assertTrue(all(any(qb.letters(w) >= 2 for w in p) for p in short))
        self.assertFalse(any("never" in p for p in phrases))


class ReasonTest(unittest.TestCase):
    def test_false_hits_are_explained(self):
        with tempfile.TemporaryDirectory() as folder:
            page = qb.Document(write(folder, "p.html",
                                     "<title>Indexes</title><p>Indexes on data. Use a cache.</p>"))
            text = qb.Document(write(folder, "t.txt", "keep the cache warm, keep cache"))
        self.assertIn("from the title into the text", qb.why_found(page, ("indexes", "indexes")))
        self.assertIn("another word stands for the one-letter word",
                      qb.why_found(text, ("keep", "a", "cache")))
        self.assertIn("nearest: keep [the cache warm]", qb.why_found(text, ("the", "warm")))


if __name__ == "__main__":
    unittest.main()
