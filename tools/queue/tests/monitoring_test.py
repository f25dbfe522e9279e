"""zelvo-queue watched: the check plugin, the metrics and a real Prometheus scraping a runner:
monitoring_test.py QUEUE GATEWAY SOURCE-DIR [unittest arguments]"""
import json, os, re, shutil, socket, subprocess, sys, time, unittest, urllib.error, urllib.parse, urllib.request

from queue_test import QUEUE, QueueCase, documents, read, recipe, stop, wait_for, write

PERF = r"'(\w+)'=(\d+)(s?);([^;]*);([^;]*);0"


def get(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10) as r:
            return r.status, r.headers.get("Content-Type"), r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type"), e.read().decode()


class Check(QueueCase):
    def check(self, *args, rc=None, db=None):
        p = self.q("check", *args, rc=rc, db=db)
        line = p.stdout.split("\n")[0]
        text, _, perf = line.partition(" | ")
        self.assertLess(len(text), 80, line)
        self.assertRegex(perf, rf"^({PERF}( |$))*$")
        return p.returncode, text, p.stdout

    def queue(self, due=(), unknown=0, failed=0, quiet=None):
        """A queue in a known state: messages due since the given ages (None: held by a back-off),
        unknown and failed ones, and a runner last seen `quiet` seconds ago."""
        for i, age in enumerate(due):
            mid = self.add(f"due {i}")
            self.sql(f"UPDATE zelvo_messages SET due = due + {100 if age is None else -age} WHERE id = {mid}")
        for state, n in (("unknown", unknown), ("failed", failed)):
            for _ in range(n):
                self.sql(f"UPDATE zelvo_messages SET state = '{state}' WHERE id = {self.add(state)}")
        if quiet is not None:
            self.sql(f"INSERT INTO zelvo_runners (runner, beat) VALUES ('elsewhere:1', {time.time() - quiet})")

    def fresh(self, i):
        self.db = os.path.join(self.dir, f"case-{i}.db")

    def test_each_state_for_its_reason(self):
        cases = [  # the queue, options, exit status, the status text
            ({"quiet": 3}, [], 0, r"QUEUE OK - nothing due, 0 unknown, 0 failed, runner seen [34] s ago"),
            ({"due": [0, 100], "quiet": 1}, [], 0, r"QUEUE OK - 2 due, oldest 10[01] s, 0 unknown"),
            ({"due": [400, None], "quiet": 1}, [], 1, r"QUEUE WARNING - 1 due, oldest 40[01] s, 0 unknown"),
            ({"due": [1000], "quiet": 1}, [], 2, r"QUEUE CRITICAL - 1 due, oldest 100[01] s, 0 unknown"),
            ({"due": [1000], "quiet": 1}, ["-w", "2000", "-c", "3000"], 0, r"QUEUE OK - 1 due"),
            ({"due": [None]}, [], 0, r"QUEUE OK - nothing due"),  # a back-off: not due, no runner needed
            ({"unknown": 2}, [], 1, r"QUEUE WARNING - 2 unknown, nothing due, 0 failed"),
            ({"unknown": 2}, ["--unknown-critical", "1"], 2, r"QUEUE CRITICAL - 2 unknown"),
            ({"failed": 1}, [], 1, r"QUEUE WARNING - 1 failed, nothing due, 0 unknown"),
            ({"failed": 1}, ["--failed-warning", ""], 0, r"QUEUE OK"),
            ({"due": [10], "quiet": 200}, [], 2, r"QUEUE CRITICAL - no runner for 2\d\d s, 1 due, oldest 1\d s"),
            ({"due": [10]}, [], 2, r"QUEUE CRITICAL - no runner ever seen, 1 due"),
            ({"due": [10]}, ["--runner-critical", "0"], 0, r"QUEUE OK - 1 due"),
            ({"quiet": 200}, [], 0, r"QUEUE OK - nothing due, .* runner seen 2\d\d s ago"),
        ]
        for i, (state, args, rc, text) in enumerate(cases):
            with self.subTest(state=state, args=args):
                self.fresh(i)
                self.q("init")
                self.queue(**state)
                got = self.check(*args)
                self.assertEqual(got[0], rc, got[2])
                self.assertRegex(got[1], f"^{text}")

    def test_ranges_as_plugins_read_them(self):
        self.queue(unknown=5)
        for rng, alerts in [("10", 0), ("4", 1), ("5:", 0), ("6:", 1), ("~:5", 0), ("~:4", 1), ("3:7", 0),
                            ("6:9", 1), ("@3:7", 1), ("@6:9", 0), ("@5", 1), ("5.5", 0), ("", 0)]:
            with self.subTest(rng):
                rc, _, out = self.check("--unknown-warning", rng, "--unknown-critical", "", "--runner-critical", "0")
                self.assertEqual(rc, alerts, out)
                self.assertIn(f"'unknown'=5;{rng};;0", out)
        for bad in ["7:3", "abc", "1:2:3", "@", "~", "1:x", "nan"]:
            with self.subTest(bad=bad):
                rc, text, _ = self.check("-w", bad)
                self.assertEqual((rc, text), (3, f'QUEUE UNKNOWN - -w: "{bad}" is not a range (10, 10:, ~:10, 10:20, @10:20)'))

    def test_unknown_when_it_cannot_tell(self):
        listener = socket.create_server(("127.0.0.1", 0))  # takes the connection, never answers
        self.addCleanup(listener.close)
        silent = f"postgresql://zelvo@127.0.0.1:{listener.getsockname()[1]}/zelvo?connect_timeout=30"
        cases = [(os.path.join(self.dir, "none.db"), [], "no queue there"),
                 (self.conf, [], "file is not a database"),
                 (silent, ["-t", "1"], "no answer from the queue within 1 s")]
        for db, args, why in cases:
            with self.subTest(why):
                started = time.monotonic()
                rc, text, _ = self.check(*args, db=db)
                self.assertEqual(rc, 3, text)
                self.assertRegex(text, f"^QUEUE UNKNOWN - .*{why}")
                self.assertLess(time.monotonic() - started, 5)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "none.db")))  # never created
        for args in (["--help"], ["-V"], ["--bogus"], ["-t", "0"]):
            self.assertEqual(self.check(*args)[0], 3, args)

    def test_a_runner_beats_while_it_claims_or_holds_off_and_not_once_gone(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed = s.getsockname()[1]
        # Beats come at most every 5 s, folded into claims: after `after` seconds more, a runner that
        # beat only at its start or only when it sends would have been quiet for longer than `limit`.
        cases = [("claims held by a rate limit", None, 1, "accepted: OK", 8, 7),  # the second stays due
                 ("a gateway it cannot reach, held off for 8 s", closed, 1000, "again in 8 s", 6.5, 5.5)]
        for i, (what, port, per_minute, seen, after, limit) in enumerate(cases):
            with self.subTest(what):
                self.fresh(f"beat-{i}")
                self.config(port=port, **{"per-recipient-per-minute": per_minute})
                self.add("eins")
                self.add("eins")
                r = self.runner()
                wait_for(lambda: seen in r.log(), 30, seen)
                time.sleep(after)
                rc, text, _ = self.check("--runner-critical", str(limit))
                self.assertEqual(rc, 0, text)
                r.kill()
                r.wait()
                time.sleep(limit + 1.5)
                rc, text, _ = self.check("--runner-critical", str(limit))
                self.assertEqual(rc, 2, text)
                self.assertRegex(text, r"^QUEUE CRITICAL - no runner for \d+ s, \d due")

    def test_the_recipes_give_the_state(self):
        docs = documents().replace("/usr/bin/zelvo-queue", QUEUE).replace("/var/lib/zelvo/queue.db", self.db)
        self.queue(due=[1000], quiet=1)
        nagios = recipe("nagios-check", docs)
        args = re.search(r"check_command\s+\w+!(\S+)", nagios).group(1).split("!")
        line = re.sub(r"\$ARG(\d)\$", lambda m: args[int(m[1]) - 1], re.search(r"command_line\s+(.*)", nagios)[1])
        icinga = recipe("icinga2-check", docs)
        argv = json.loads(re.search(r"command = (\[.*\])", icinga).group(1))
        values = dict(re.findall(r'vars\.(\w+) = (\d+)', icinga))
        for key, var in re.findall(r'"(\S+)" = "\$(\w+)\$"', icinga):
            argv += [key, values[var]]
        zabbix = recipe("zabbix-check", docs)
        item = re.search(r"^UserParameter=zelvo\.queue\.status,(.*)$", zabbix, re.M).group(1)
        for cmd, rc, out in [(["/bin/sh", "-c", line], 1, r"^QUEUE WARNING - 1 due, oldest 10\d\d s"),
                             (argv, 1, r"^QUEUE WARNING - 1 due, oldest 10\d\d s"),
                             (["/bin/sh", "-c", item], 0, "^2\n$")]:  # Zabbix: the status as the value
            with self.subTest(cmd[0]):
                p = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
                self.assertEqual(p.returncode, rc, p.stdout + p.stderr)
                self.assertRegex(p.stdout, out)
        self.assertIn("last(/zelvo-host/zelvo.queue.status)>=2", zabbix)


class Metrics(QueueCase):
    def metrics(self, text):
        return {m[1]: float(m[2]) for m in re.finditer(r"^(\w+(?:\{.*\})?) (\S+)$", text, re.M)}

    def lint(self, text):
        if not shutil.which("promtool"):
            print("SKIP: promtool (Debian's prometheus package) is not installed", flush=True)
            return
        p = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""))

    def test_the_command_and_its_textfile(self):
        self.queue_of(accepted=2, refused=1)
        self.sql("UPDATE zelvo_messages SET due = due - 50 WHERE id = 4")
        out = self.q("metrics").stdout
        self.lint(out)
        got = self.metrics(out)
        self.assertEqual([got[f'zelvo_queue_messages{{state="{s}"}}'] for s in ("queued", "accepted", "refused")],
                         [2, 2, 1])
        self.assertEqual(got['zelvo_queue_attempts_total{outcome="accepted"}'], 2)
        self.assertEqual(got["zelvo_queue_due_messages"], 2)
        self.assertGreaterEqual(got["zelvo_queue_oldest_due_age_seconds"], 50)
        self.assertAlmostEqual(got["zelvo_queue_last_accepted_timestamp_seconds"], time.time(), delta=60)
        self.assertNotIn("runner_attempts", out)  # a runner's own figures only on its page
        textfiles = os.path.join(self.dir, "textfile")
        os.mkdir(textfiles)
        self.q("metrics", "--textfile", textfiles)
        self.assertEqual(os.listdir(textfiles), ["zelvo_queue.prom"])
        same = lambda text: re.sub(r"age_seconds \S+", "", text)  # all but the age, which moves on
        self.assertEqual(same(read(os.path.join(textfiles, "zelvo_queue.prom"))), same(out))
        self.assertIn("no queue there", self.q("metrics", db=os.path.join(self.dir, "none.db"), rc=2).stderr)

    def queue_of(self, accepted=0, refused=0, queued=2):
        for i in range(accepted):
            self.add(f"ok {i}")
        for i in range(refused):
            self.add(f"nein {i}", opts=["--account", "wrong"])
        self.q("run", "--once")
        for i in range(queued):
            self.add(f"später {i}")

    def test_a_runner_scraped_by_prometheus(self):
        prometheus = shutil.which("prometheus")
        if not prometheus:
            print("SKIP: Debian's prometheus package is not installed", flush=True)
            return
        accepted, refused = 7, 3
        for i in range(accepted):
            self.add(f"ok {i}")
        for i in range(refused):
            self.add(f"nein {i}", opts=["--account", "wrong"])
        r = self.runner("--metrics", "127.0.0.1:0", "--workers", "2")
        page = wait_for(lambda: re.search(r"metrics on (http://\S+)", r.log()), what="the metrics address")[1]
        base = page.rsplit("/", 1)[0]
        self.assertEqual(get(page, "HEAD")[:2], (200, "text/plain; version=0.0.4; charset=utf-8"))
        self.assertEqual(get(base + "/")[0], 404)
        self.assertEqual(get(page, "POST")[0], 405)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        conf = write(os.path.join(self.dir, "prometheus.yml"), "global: {scrape_interval: 1s}\nscrape_configs:\n"
                     f"  - job_name: zelvo\n    static_configs: [{{targets: ['{base[7:]}']}}]\n")
        log = open(os.path.join(self.dir, "prometheus.log"), "w")
        p = subprocess.Popen([prometheus, f"--config.file={conf}", f"--web.listen-address=127.0.0.1:{port}",
                              f"--storage.tsdb.path={self.dir}/tsdb"], stdout=log, stderr=log)
        self.addCleanup(lambda: (p.terminate(), p.wait(30), log.close()))
        wait_for(lambda: self.stats()["accepted"] == accepted and self.stats()["refused"] == refused, 60, "the drain")
        stats, attempts = self.stats(), accepted + refused

        def value(query):
            q = urllib.parse.quote(query)
            try:
                result = json.loads(get(f"http://127.0.0.1:{port}/api/v1/query?query={q}")[2])["data"]["result"]
            except (OSError, ValueError, KeyError):
                return None
            return {m["metric"].get("state"): float(m["value"][1]) for m in result}

        def settled():  # the first scrape after the drain
            return value("zelvo_queue_send_duration_seconds_count") == {None: attempts} and value("up") == {None: 1}

        wait_for(settled, 60, "a scrape after the drain: " + read(os.path.join(self.dir, "prometheus.log"))[-500:])
        self.assertEqual(value('zelvo_queue_attempts_total{outcome="accepted"}'), {None: accepted})
        self.assertEqual(value('zelvo_queue_runner_attempts_total{outcome="refused"}'), {None: refused})
        self.assertEqual(value("zelvo_queue_messages"), {k: float(v) for k, v in stats.items()})
        self.assertEqual(value("zelvo_queue_database_up"), {None: 1})
        self.lint(get(page)[2])
        print(f"prometheus read back: {accepted} accepted, {refused} refused, {attempts} sends in the histogram, "
              f"states {stats}", file=sys.stderr)
        self.assertEqual(stop(r), 0, r.log())


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
