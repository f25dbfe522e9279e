"""zelvo-queue token: the token file of serve, its hashes and its permissions:
token_test.py QUEUE GATEWAY SOURCE-DIR [unittest arguments]"""
import hashlib, os, re, shutil, stat, subprocess, sys, tempfile, unittest

from queue_test import QUEUE, read, write


def sha(token):
    return hashlib.sha256(token.encode()).hexdigest()


class Tokens(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tokens-", dir=os.getcwd())
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.path, self.errors, self.tokens = os.path.join(self.dir, "tokens"), [], {}
        self.addCleanup(self.no_token_on_stderr)

    def no_token_on_stderr(self):
        for token in self.tokens.values():
            self.assertFalse([e for e in self.errors if token[3:] in e], "a token on standard error")

    def token(self, *args, rc=0, env=None):
        where = [] if env else ["--tokens", self.path]
        p = subprocess.run([QUEUE, "token", *where, *args], capture_output=True, text=True, timeout=30,
                           env=env and {**os.environ, **env})
        self.assertEqual(p.returncode, rc, f"{args}: {p.stdout} {p.stderr}")
        self.errors.append(p.stderr)
        if args[:1] == ("add",) and rc == 0:
            self.assertRegex(p.stdout, r"^zq_[0-9a-f]{64}\n$")  # the token alone on its line
            self.tokens[args[1]] = p.stdout.strip()
        return p

    def test_add_list_remove_and_their_exit_status(self):
        cases = [  # arguments, exit status, the listing afterwards
            (["add", "nagios", "--scope", "send"], 0, "nagios send\n"),
            (["add", "grafana.ro_1", "--scope", "read"], 0, "nagios send\ngrafana.ro_1 read\n"),
            (["add", "nagios", "--scope", "admin"], 1, "nagios send\ngrafana.ro_1 read\n"),  # taken
            (["add", "two words", "--scope", "send"], 64, "nagios send\ngrafana.ro_1 read\n"),
            (["add", "x" * 65, "--scope", "send"], 64, "nagios send\ngrafana.ro_1 read\n"),
            (["add", "ops", "--scope", "write"], 64, "nagios send\ngrafana.ro_1 read\n"),
            (["add", "ops"], 64, "nagios send\ngrafana.ro_1 read\n"),
            (["add", "x" * 64, "--scope", "admin"], 0, f"nagios send\ngrafana.ro_1 read\n{'x' * 64} admin\n"),
            (["remove", "nagios"], 0, f"grafana.ro_1 read\n{'x' * 64} admin\n"),
            (["remove", "nagios"], 1, f"grafana.ro_1 read\n{'x' * 64} admin\n"),
            (["remove", "no/such"], 64, f"grafana.ro_1 read\n{'x' * 64} admin\n"),
        ]
        for args, rc, listing in cases:
            with self.subTest(args=args):
                self.token(*args, rc=rc)
                self.assertEqual(self.token("list").stdout, listing)
        text, kept = read(self.path), {k: v for k, v in self.tokens.items() if k != "nagios"}
        self.assertEqual(sorted(re.findall(r"^(\S+) (\S+) ([0-9a-f]{64})$", text, re.M)),
                         sorted((name, "read" if name.startswith("g") else "admin", sha(t)) for name, t in kept.items()))
        self.assertFalse([t for t in self.tokens.values() if t[3:] in text], "a token in the file")
        self.assertEqual(os.listdir(self.dir), ["tokens"])  # no temporary file left behind

    def test_a_new_file_is_0640_a_changed_one_keeps_its_mode_others_may_not_use_it(self):
        self.token("list", rc=2, env={"ZELVO_QUEUE_TOKENS": self.path})  # not there yet
        self.token("add", "a", "--scope", "send", env={"ZELVO_QUEUE_TOKENS": self.path})
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o640)
        os.chmod(self.path, 0o600)
        self.token("add", "b", "--scope", "read")
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o600)
        for mode, args in [(0o644, ["list"]), (0o602, ["list"]), (0o604, ["add", "c", "--scope", "read"]),
                           (0o604, ["remove", "a"])]:
            with self.subTest(mode=oct(mode), args=args):
                os.chmod(self.path, mode)
                self.assertIn("may be read or written by others", self.token(*args, rc=2).stderr)
                self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), mode)
        self.assertEqual(read(self.path).count("\n"), 4)  # the two comment lines and a, b: unchanged

    def test_the_file_as_written_by_hand(self):
        pasted = "zq_" + "7" * 64
        self.tokens["pasted"] = pasted
        cases = [  # the file, exit status of list, its output or the reason refused
            (f"# ops\n\nops  admin\t{sha('a').upper()}  # on call\n", 0, "ops admin\n"),
            ("ops admin\n", 2, r"tokens, line 1: wants NAME SCOPE SHA256HEX"),
            (f"ops root {sha('a')}\n", 2, r"line 1: the scope is send, read or admin"),
            (f"# a token where its hash belongs\nops send {pasted}\n", 2, r"line 2: .* never the token"),
            (f"ops send {sha('a')}\nops read {sha('b')}\n", 2, r"line 2: the name ops is taken by line 1"),
            (f"ops send {sha('a')}\nweb read {sha('a')}\n", 2, r"line 2: the same token as line 1"),
        ]
        for text, rc, expected in cases:
            with self.subTest(text=text):
                write(self.path, text, 0o640)
                p = self.token("list", rc=rc)
                self.assertEqual(p.stdout, expected) if rc == 0 else self.assertRegex(p.stderr, expected)
        write(self.path, cases[0][0], 0o640)
        self.token("add", "web", "--scope", "read")
        self.token("remove", "ops")
        self.assertEqual(read(self.path), f"# ops\n\nweb read {sha(self.tokens['web'])}\n")  # comments kept


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
