"""The library's page lists exactly the texts of the header's contract, and the library
holds each of them: texts_test.py MAN-DIR HEADER LIBRARY"""
import os, re, sys, unittest

MAN, HEADER, LIBRARY = sys.argv[1:4]
TEXT = r'"(\[ERROR\] [^"]*)"'


def header_texts():
    with open(HEADER, encoding="utf-8") as f:
        contract = f.read()
    return set(re.findall(r"^ \*\s+" + TEXT, contract, re.M))


def page_texts():
    with open(os.path.join(MAN, "zelvonet.3.scd"), encoding="utf-8") as f:
        page = f.read()
    errors = page.split("\n# ERRORS\n", 1)[1].split("\n# ", 1)[0]
    return set(re.findall(r"^\|  " + TEXT, errors, re.M))


class Texts(unittest.TestCase):
    def test_the_page_lists_the_headers_texts(self):
        self.assertGreaterEqual(len(header_texts()), 10)
        self.assertEqual(page_texts(), header_texts())

    def test_the_library_holds_every_text(self):
        with open(LIBRARY, "rb") as f:
            binary = f.read()
        for text in sorted(header_texts()):
            # Placeholders such as <host> are filled in at run time: each fixed
            # piece is in the library as it is sent, in Windows-1252.
            for piece in filter(None, re.split(r"<\w+>", text)):
                with self.subTest(text=text, piece=piece):
                    self.assertIn(piece.encode("cp1252"), binary)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
