"""Each manual page names exactly the options its program takes: options_test.py MAN-DIR PROGRAM..."""
import os, re, subprocess, sys, unittest

MAN, PROGRAMS = sys.argv[1], sys.argv[2:]
OPTION = r"(?<![\w-])(--?[A-Za-z][\w-]*)"


class Options(unittest.TestCase):
    def test_the_page_names_the_programs_options(self):
        for program in PROGRAMS:
            name = os.path.basename(program)
            with self.subTest(name):
                help_text = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=30).stdout
                taken = set(re.findall(OPTION, help_text.split("Options:", 1)[1].split("\n\n", 1)[0]))
                with open(os.path.join(MAN, f"{name}.1.scd")) as f:
                    page = f.read()
                described = set(re.findall(r"^\*" + OPTION[len("(?<![\\w-])"):] + r"\*", page, re.M))
                described |= set(re.findall(r", \*(--?[A-Za-z][\w-]*)\*", page))
                self.assertEqual(described, taken)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
