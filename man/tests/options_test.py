"""Each manual page names exactly the options its program takes, command by command:
options_test.py MAN-DIR PROGRAM..."""
import os, re, subprocess, sys, tempfile, unittest

MAN, PROGRAMS = sys.argv[1], sys.argv[2:]
OPTION = r"(--?[A-Za-z][\w-]*)"


def taken(program, *command):
    out = subprocess.run([program, *command, "--help"], capture_output=True, text=True, timeout=30).stdout
    found = set(re.findall(r"(?<![\w-])" + OPTION, out.split("Options:", 1)[1].split("\n\n", 1)[0]))
    return found - {"-h", "--help"} if command else found


def described(page):
    """The options of the page's OPTIONS section (None) and of each command's ("## add ...")."""
    sections = {}
    for heading, body in re.findall(r"^(#+ .*)\n((?:(?!#).*\n)*)", page, re.M):
        command = None if heading == "# OPTIONS" else tuple(re.match(r"## ((?:[a-z]+ ?)*)", heading)[1].split()) \
            if heading.startswith("## ") else "other"
        options = set(re.findall(r"^\*" + OPTION + r"\*", body, re.M)) | set(re.findall(r", \*" + OPTION + r"\*", body))
        if command != "other":
            sections[command] = options
    return sections


class Options(unittest.TestCase):
    def test_the_page_names_the_programs_options(self):
        for program in PROGRAMS:
            name = os.path.basename(program)
            with open(os.path.join(MAN, f"{name}.1.scd")) as f:
                sections = described(f.read())
            for command, options in sections.items():
                with self.subTest(name=name, command=command):
                    self.assertEqual(options, taken(program, *(command or ())))


    def test_the_configuration_page_names_the_keys_the_reader_takes(self):
        queue = next(p for p in PROGRAMS if os.path.basename(p) == "zelvo-queue")
        with open(os.path.join(MAN, "zelvo-queue.conf.5.scd")) as f:
            page = f.read()
        keys = {(section, key) for section, body in re.findall(r"^## \[(\w+)\].*\n((?:(?!#).*\n)*)", page, re.M)
                for key in re.findall(r"^\*([a-z-]+)\* =", body, re.M)}
        with tempfile.TemporaryDirectory() as d:
            for section, key in sorted(keys):
                with self.subTest(f"[{section}] {key}"):
                    with open(os.path.join(d, "queue.conf"), "w") as f:
                        f.write(f"[{section}]\n{key} = x\n")
                    p = subprocess.run([queue, "--db", os.path.join(d, "q.db"), "--config", f.name, "run", "--once"],
                                       capture_output=True, text=True, timeout=30)
                    self.assertEqual(p.returncode, 78, p.stderr)  # never runs: no usable account
                    self.assertNotIn("unknown", p.stderr)
        with open(os.path.join(MAN, "..", "tools", "queue", "runner", "config.cpp")) as f:
            read = set(re.findall(r'name == "([a-z-]+)"', f.read())) - {"key"}  # refused, with its reason
        self.assertEqual({key for _, key in keys}, read)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
