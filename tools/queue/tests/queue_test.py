"""zelvo-queue as its users meet it, against the real simulator zelvo-gateway:
queue_test.py QUEUE GATEWAY SOURCE-DIR [unittest arguments]"""
import concurrent.futures, ctypes, glob, json, os, random, re, resource, shutil, signal, sqlite3, subprocess, sys
import contextlib, tempfile, time, unittest

QUEUE, GATEWAY, ROOT = sys.argv[1:4]
KEY = "geheim"


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def write(path, data, mode=0o644):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    os.chmod(path, mode)
    return path


def documents():
    """The README and docs/*.md in one text: the recipes are in there."""
    return "".join(read(p) for p in [os.path.join(ROOT, "README.md"), *sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))])


def recipe(name, text=None):
    return re.search(rf"<!-- recipe: {name} -->\n```\w*\n(.*?)```", text or documents(), re.S).group(1)


def wait_for(predicate, seconds=20, what="condition"):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if value := predicate():
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def stop(p):
    """SIGTERM: a runner finishes the sends in flight, the simulator stops; the exit status."""
    p.send_signal(signal.SIGTERM)
    return p.wait(30)


class QueueCase(unittest.TestCase):
    BODY_TEXT = "CAST(body AS TEXT)"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="queue-", dir=os.getcwd())
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.db, self.outbox = os.path.join(self.dir, "queue.db"), os.path.join(self.dir, "outbox.jsonl")
        self.key = self.file("queue.key", KEY + "\n", 0o600)
        self.gw = self.gateway()
        self.config()

    def file(self, name, data, mode=0o644):
        return write(os.path.join(self.dir, name), data, mode)

    def gateway(self, port=0):  # the simulator; its outbox is the witness of what was sent
        log = os.path.join(self.dir, f"gateway-{port}.log")
        with open(log, "a") as out:
            p = subprocess.Popen([GATEWAY, "--listen", f"127.0.0.1:{port}", "--outbox", self.outbox], stdout=out)
        self.addCleanup(stop, p)
        p.port = int(wait_for(lambda: re.search(r"listening on [\d.]+:(\d+)", read(log)), what="its port").group(1))
        return p

    def sent(self, field="msg"):  # whole lines: the simulator may be writing the last one
        lines = read(self.outbox).split("\n")[:-1] if os.path.exists(self.outbox) else []
        return [json.loads(l)[field] if field else json.loads(l) for l in lines]

    def config(self, port=None, timeout=5, extra="", **limits):
        account, limits = "kdnr = 12345\nfirma = 1\nuser = tst\nkey-file = ", {
            "per-second": 1000, "per-recipient-per-minute": 1000, "max-attempts": 10, **limits}
        self.conf = self.file("queue.conf", "; written by the test\n[gateway]\nhost = 127.0.0.1  ; the simulator\n"
                              f"port = {port or self.gw.port}\ntimeout = {timeout}\n[account]\n{account}{self.key}\n"
                              f"[account wrong]\n{account}{self.file('wrong.key', 'falsch', 0o600)}\n[limits]\n"
                              + "".join(f"{k} = {v}\n" for k, v in limits.items()) + extra)

    def q(self, *args, rc=0, input="", db=None, **kw):
        p = subprocess.run([QUEUE, "--db", db or self.db, "--config", self.conf, *args], input=input,
                           capture_output=True, text=True, timeout=120, **kw)
        if rc is not None:
            self.assertEqual(p.returncode, rc, f"{args}: {p.stdout} {p.stderr}")
        return p

    def add(self, *words, to="01711234567", opts=()):
        return self.q("add", "--to", to, *opts, "--", *words).stdout.strip()

    def fill(self, n, to="0171123", text="msg"):
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            return list(pool.map(lambda i: self.add(f"{text} {i}", to=to), range(n)))

    def storm(self, n, *opts, wait=180):
        """n adds released at once (each blocked on its own standard input until then): the ids they print."""
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, 3 * n + 256)), hard))
        out = os.open(os.path.join(self.dir, "storm.out"), os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_TRUNC)
        err = os.open(os.path.join(self.dir, "storm.err"), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        pids, pipes = set(), []
        for i in range(n):
            r, w = os.pipe()
            pids.add(os.posix_spawn(QUEUE, [QUEUE, "--db", self.db, "add", "--wait", str(wait), "--to",
                                            f"0171{i:05d}", *opts], os.environ, file_actions=[
                (os.POSIX_SPAWN_DUP2, r, 0), (os.POSIX_SPAWN_DUP2, out, 1), (os.POSIX_SPAWN_DUP2, err, 2)]))
            os.close(r)
            pipes.append(w)
        for i, w in enumerate(pipes):
            os.write(w, f"storm {i}".encode())
            os.close(w)
        failed = 0
        while pids:  # each add ends by its own --wait
            pid, status = os.wait()
            pids.discard(pid)
            failed += os.waitstatus_to_exitcode(status) != 0
        os.close(out)
        os.close(err)
        self.assertEqual(failed, 0, read(os.path.join(self.dir, "storm.err"))[:2000])
        return read(os.path.join(self.dir, "storm.out")).split()

    def runner(self, *args):
        log = os.path.join(self.dir, f"runner-{time.monotonic_ns()}.log")
        with open(log, "w") as out:
            p = subprocess.Popen([QUEUE, "--db", self.db, "--config", self.conf, "run", *args],
                                 stdout=out, stderr=subprocess.STDOUT)
        p.log = lambda: read(log)
        self.addCleanup(lambda: p.poll() is not None or (p.kill(), p.wait()))
        return p

    def sql(self, query, db=None):
        with contextlib.closing(sqlite3.connect(db or self.db)) as c, c:  # committed, then closed
            return [row[0] for row in c.execute(query)]

    def stats(self):
        return json.loads(self.q("stats", "--json").stdout)

    def listed(self, *args, field="state"):
        return {m["id"]: m[field] for m in map(json.loads, self.q("list", "--json", *args).stdout.splitlines())}

    def exactly_once(self, n, runners=(), **counts):
        """Waits for all n to settle, stops the runners; none sent twice, each accepted one sent; the counts."""
        if runners:
            wait_for(lambda: (s := self.stats())["accepted"] + s["unknown"] >= n, 300, "the messages settled")
        for r in runners:
            self.assertEqual(stop(r), 0, r.log())
        s, sent = self.stats(), self.sent()
        counts = {"messages": n, **counts, "accepted": s["accepted"], "unknown": s["unknown"],
                  "duplicates": len(sent) - len(set(sent))}
        print(f"{self._testMethodName}: " + ", ".join(f"{k} {v}" for k, v in counts.items()), file=sys.stderr)
        self.assertEqual((counts["duplicates"], s["accepted"] + s["unknown"]), (0, n))
        accepted = self.sql(f"SELECT {self.BODY_TEXT} FROM zelvo_messages WHERE state = 'accepted'")
        self.assertEqual(set(accepted) - set(sent), set())
        return s

    def assert_per_second(self, limit):
        """Of the claims' own times, as the limit counts them, limit + 1 in a row span over a second."""
        stamps = [float(t) for t in self.sql("SELECT started FROM zelvo_attempts ORDER BY started")]
        for a, b in zip(stamps, stamps[limit:]):
            self.assertGreater(b - a, 0.999)
        return stamps


class Add(QueueCase):
    def test_checked_as_the_sender_checks_it_and_sent_as_stored(self):
        cases = [  # words, stdin, options, exit status, what the gateway receives
            (["Hallo", "Welt"], "", [], 0, "Hallo Welt"),
            ([], "zwei\r\nZeilen\rdrei\n", [], 0, "zwei\\nZeilen\\ndrei"),
            (["Grüße", "°C"], "", [], 0, "Grüße °C"),
            (["a" * 160], "", [], 0, "a" * 160),
            (["a" * 161], "", [], 64, None),
            (["a" * 170], "", ["--truncate"], 0, "a" * 160),
            (["x" * 159 + "\U0001F600"], "", ["--truncate", "--replace"], 0, "x" * 159),
            (["5 €"], "", [], 64, None),
            (["5 €"], "", ["--replace"], 0, "5 ?"),
            ([], "", [], 64, None),
            ([], "\n", [], 64, None),
            (["hi"], "", ["--account", "nobody"], 64, None),
            (["hi"], "", ["--time", "a&b=c"], 0, "hi")]
        cases += [(["hi"], "", ["--to", to], rc, "hi") for to, rc in
                  [("+49 171 123-45/67", 0), ("12", 64), ("0171x", 64), ("+", 64)]]
        for words, stdin, opts, rc, wire in cases:
            with self.subTest(words=words, stdin=stdin, opts=opts):
                to = [] if "--to" in opts else ["--to", "01711234567"]
                p = self.q("add", *to, *opts, *words, input=stdin, rc=rc)
                self.assertRegex(p.stdout + p.stderr, r"^\d+\n$" if rc == 0 else "^zelvo-queue: ")
        self.assertIn("recipient: +491711234567\n", self.q("show", str(max(self.listed()))).stdout)  # the last one
        self.q("run", "--once")
        got = self.sent(None)
        self.assertEqual([m["msg"] for m in got], [wire for *_, rc, wire in cases if rc == 0])
        self.assertEqual((got[-2]["time"], got[-1]["receiver"]), ("a&b=c", "+491711234567"))

    def test_a_database_that_cannot_be_used_is_left_untouched(self):
        self.add("first")
        for name, data, query, said in [
                ("garbage", random.Random(1).randbytes(8192), None, "not a queue database"),
                ("foreign", b"", "CREATE TABLE t AS SELECT 1 AS x", "another program"),
                ("newer", read(self.db, "rb"), "PRAGMA user_version = 99", "schema version 99")]:
            with self.subTest(name):
                path = write(os.path.join(self.dir, name + ".db"), data)
                if query:
                    self.sql(query, path)
                before = read(path, "rb")
                for cmd in (["add", "--to", "0171123", "x"], ["run", "--once"], ["list"]):
                    self.assertIn(said, self.q(*cmd, db=path, rc=2).stderr)
                self.assertEqual(read(path, "rb"), before)
                self.assertFalse(os.path.exists(path + "-wal"))

    def test_a_full_disk_or_a_read_only_database_loses_nothing(self):
        self.add("first")
        self.assertIn("not queued", self.q("add", "--to", "0171123", "zu viel", rc=2, preexec_fn=lambda:
                                           resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))).stderr)
        # A read-only file: as root the permissions do not hold, so as nobody.
        ro = tempfile.mkdtemp(prefix="queue-ro-")
        self.addCleanup(shutil.rmtree, ro, True)
        os.chmod(ro, 0o755)
        db = write(os.path.join(ro, "queue.db"), read(self.db, "rb"), 0o444)
        nobody = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
        p = subprocess.run([QUEUE, "--db", db, "add", "--to", "0171123", "x"], capture_output=True, text=True,
                           timeout=30, **nobody)
        self.assertEqual((p.returncode, read(db, "rb")), (2, read(self.db, "rb")), p.stderr)
        self.assertEqual(list(self.listed().values()), ["queued"])
        self.assertEqual(self.add("second"), "2")  # the file is sound


    def test_a_queue_of_the_first_schema_is_upgraded_in_place(self):
        self.add("alt")
        with contextlib.closing(sqlite3.connect(self.db)) as c:
            c.executescript("DROP TABLE zelvo_runners; DROP INDEX zelvo_messages_by_due; "
                            "ALTER TABLE zelvo_messages DROP COLUMN submitter; "
                            "DROP INDEX zelvo_messages_by_token; DROP TABLE zelvo_keys; ALTER TABLE zelvo_messages "
                            "DROP COLUMN add_token; ALTER TABLE zelvo_messages DROP COLUMN dedup_key; "
                            "PRAGMA user_version = 1")
        self.assertEqual(self.add("neu", opts=["--dedup-key", "k"]), "2")
        self.assertEqual(self.sql("PRAGMA user_version"), [4])
        self.assertEqual(self.listed(field="dedup_key"), {1: None, 2: "k"})


class Run(QueueCase):
    def test_outcomes_attempt_lines_and_history(self):
        ok, refused = self.add("eins"), self.add("zwei", opts=["--account", "wrong"])
        late = self.add("drei", opts=["--ttl", "1"])
        time.sleep(1.2)
        out = self.q("run", "--once", "--workers", "2").stdout
        for mid, said in [(ok, "accepted: OK"), (refused, "refused: Schlüssel falsch"), (late, "expired")]:
            self.assertIn(f"message {mid} to 01711234567: {said}", out)
        self.assertNotIn(KEY, out + read(self.db, "rb").decode("latin-1"))
        self.assertEqual(self.listed(), {1: "accepted", 2: "refused", 3: "expired"})
        show = self.q("show", refused).stdout
        self.assertRegex(show, f"^message {refused}: refused\n(.*\n)*attempts: 1\n  1\\. .*answer: Schlüssel falsch")
        # A person's decisions, and which states they act on.
        for cmd, mid, rc, state in [("retry", ok, 1, "accepted"), ("drop", refused, 1, "refused"),
                                    ("retry", late, 0, "queued"), ("drop", late, 0, "dropped"),
                                    ("retry", late, 1, "dropped"), ("retry", "99", 1, None)]:
            with self.subTest(cmd=cmd, mid=mid):
                self.q(cmd, mid, rc=rc)
                if state:
                    self.assertEqual(self.listed()[int(mid)], state)
        self.q("run", "--once")
        self.assertEqual(self.sent(), ["eins"])  # never the expired or dropped one
        self.assertIn("put back to the queue by user", self.q("show", late).stdout)
        self.assertEqual(self.q("list", "--state", "accepted").stdout.count("\n"), 1)

    def test_bad_keys_stop_the_runner(self):
        for mode, line, said in [(0o644, "", "chmod o-rw"), (0o600, "key = geheim\n", "never from the configuration")]:
            with self.subTest(said):
                os.chmod(self.key, mode)
                self.config(extra="[account x]\n" + line)
                self.assertIn(said, self.q("run", "--once", rc=78).stderr)

    def test_gateway_down_then_back_in_order_then_failed_after_max_attempts(self):
        stop(self.gw)
        [self.add(f"m{i}") for i in range(3)]  # one after the other: in this order
        r = self.runner()
        wait_for(lambda: r.log().count("queued: [ERROR] Verbindung") >= 2, what="two failed attempts")
        gw = self.gateway(self.gw.port)
        wait_for(lambda: len(self.sent()) == 3, what="the three messages")
        self.assertEqual(stop(r), 0)
        self.assertEqual(self.sent(), ["m0", "m1", "m2"])
        attempts = list(self.listed(field="attempts").values())
        self.assertGreaterEqual(attempts[0], 3)
        self.assertEqual(attempts[1:], [1, 1])  # held while the gateway was away
        show = self.q("show", "1").stdout  # every attempt
        self.assertEqual(re.findall(r"^  (\d+)\. ", show, re.M), [str(i + 1) for i in range(attempts[0])])
        stop(gw)
        self.config(**{"max-attempts": 2})
        late = self.add("spät")
        self.assertIn("again in 1 s", self.q("run", "--once").stdout)
        time.sleep(1.1)
        self.assertIn("failed: [ERROR]", self.q("run", "--once").stdout)
        self.assertEqual(self.listed()[int(late)], "failed")
        self.q("retry", late)
        self.assertEqual(self.listed()[int(late)], "queued")

    def test_silent_gateway_unknown_never_sent_again_and_one_runner_per_file(self):
        self.config(timeout=1)
        self.gw.send_signal(signal.SIGSTOP)  # the kernel takes the connection, the simulator never answers
        self.addCleanup(self.gw.send_signal, signal.SIGCONT)
        mid, r = self.add("still"), self.runner()
        wait_for(lambda: self.listed()[1] == "sending", what="the request")
        self.assertIn("another runner", self.q("run", "--once", rc=2).stderr)
        self.assertEqual(stop(r), 0)  # after the send in flight
        self.assertIn("unknown: [ERROR] Keine Antwort", r.log())
        self.q("run", "--once")
        self.assertEqual(self.listed(), {1: "unknown"})
        self.gw.send_signal(signal.SIGCONT)  # the request it got reaches the outbox, once
        wait_for(lambda: self.sent() == ["still"], what="the late request")
        self.q("retry", mid)
        self.q("run", "--once")
        self.assertEqual(self.sent(), ["still"] * 2)

    def test_rate_limits_hold_across_restarts(self):
        self.config(**{"per-second": 2, "per-recipient-per-minute": 3})
        for to, n in [("0171111", 5), ("0172222", 3)]:
            self.fill(n, to=to)
        for _ in range(3):  # a runner restarted after every send
            r, n = self.runner(), len(self.sent())
            wait_for(lambda: len(self.sent()) > n, what="a send")
            self.assertEqual(stop(r), 0)
        self.runner()
        wait_for(lambda: len(self.sent()) == 6, what="six sends")
        time.sleep(1.5)
        self.assertEqual(self.sent("receiver").count("0171111"), 3)
        self.assert_per_second(2)
        self.assertEqual(self.stats()["queued"], 2)


class Storm(QueueCase):
    N = int(os.environ.get("ZELVO_QUEUE_STORM", "2000"))

    def test_a_storm_of_adds_while_a_runner_sends(self):
        r = self.runner("--workers", "4")
        ids = self.storm(self.N)
        self.assertEqual(len(set(ids)), self.N)
        self.assertEqual(self.exactly_once(self.N, [r], storm=self.N)["unknown"], 0)
        self.assertEqual(sorted(self.sent()), sorted(f"storm {i}" for i in range(self.N)))


class Keys(QueueCase):
    """A key against the caller's own retries; on both engines."""

    def test_a_key_holds_within_its_window_whatever_the_state(self):
        first = self.add("eins", opts=["--dedup-key", "k1"])
        self.q("run", "--once")  # accepted now: the key still holds
        for words, to, key, same, said in [(["eins"], "01711234567", "k1", True, False),
                                           (["zwei"], "01711234567", "k1", True, True),
                                           (["eins"], "0172", "k1", True, True),
                                           (["eins"], "01711234567", "k2", False, False),
                                           (["eins"], "01711234567", None, False, False)]:
            with self.subTest(words=words, to=to, key=key):
                p = self.q("add", "--to", to, *(["--dedup-key", key] if key else []), "--", *words)
                self.assertEqual((p.stdout.strip() == first, "differ" in p.stderr), (same, said), p.stderr)
        self.assertIn("at most 200 bytes", self.q("add", "--to", "0171", "--dedup-key", "x" * 201, "x", rc=64).stderr)
        self.assertEqual(self.add("x", opts=["--dedup-key", "y" * 200]), "4")
        self.assertIn("dedup key: k1\n", self.q("show", first).stdout)
        # Held within the window, however loaded the machine; free again once
        # the window of the add that asks has passed. The first message keeps its key.
        self.assertEqual(self.add("w", opts=["--dedup-key", "w"]), self.add("w", opts=["--dedup-key", "w"]))
        time.sleep(1.2)
        self.assertNotEqual(self.add("w", opts=["--dedup-key", "w", "--dedup-window", "1"]), "5")
        self.assertEqual([k for k in self.listed(field="dedup_key").values() if k == "w"], ["w", "w"])

    def test_racing_adds_and_killed_ones_store_one_message_per_key(self):
        self.assertEqual(len(set(self.storm(24, "--dedup-key", "race"))), 1)
        rng = random.Random(20)
        for i in range(30):  # killed anywhere from its start to its end, then run again with the same key
            p = subprocess.Popen([QUEUE, "--db", self.db, "add", "--to", "0171123", "--dedup-key", f"kill {i}",
                                  f"kill {i}"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, 0.06))
            p.kill()
            p.wait()
            self.add(f"kill {i}", to="0171123", opts=["--dedup-key", f"kill {i}"])
        keys = list(self.listed(field="dedup_key").values())
        self.assertEqual(sorted(keys), sorted(["race"] + [f"kill {i}" for i in range(30)]))


class Held(QueueCase):
    """Another program holds SQLite's write lock (a backup, a person in a shell)."""

    @contextlib.contextmanager
    def locked(self):
        with contextlib.closing(sqlite3.connect(self.db, isolation_level=None)) as c:
            c.execute("BEGIN IMMEDIATE")
            yield
            c.execute("COMMIT")

    def test_add_waits_up_to_its_limit_and_stores_nothing_past_it(self):
        self.add("vorher")
        with self.locked():
            t = time.monotonic()
            self.assertIn("not queued", self.q("add", "--wait", "1", "--to", "0171", "zu spät", rc=2).stderr)
            self.assertLess(time.monotonic() - t, 10)
            late = subprocess.Popen([QUEUE, "--db", self.db, "add", "--wait", "60", "--to", "0171", "gewartet"],
                                    stdout=subprocess.PIPE, text=True)
            time.sleep(1.5)
        self.assertEqual((late.wait(60), late.stdout.read()), (0, "2\n"))
        self.assertEqual(sorted(self.listed()), [1, 2])

    def test_the_runner_waits_out_a_lock_held_mid_drain(self):
        n, hold = 200, float(os.environ.get("ZELVO_QUEUE_HOLD_SECONDS", "60"))
        self.fill(n)
        r = self.runner("--workers", "4")
        wait_for(lambda: len(self.sent()) > 20, 60, "the first sends")
        with self.locked():
            wait_for(lambda: "waiting for the database: " in r.log(), 30, "the line that it waits")
            sent = len(self.sent())
            time.sleep(hold)
            self.assertLessEqual(len(self.sent()), sent + 4)  # what was in flight, no new claim
        self.assertEqual(self.exactly_once(n, [r], held=hold)["unknown"], 0)
        self.assertIn("the database answers again; going on", r.log())

    def test_stopped_while_waiting_it_names_the_answers_it_could_not_record(self):
        self.fill(3)
        self.gw.send_signal(signal.SIGSTOP)  # the first send stays in flight until the lock is taken
        self.addCleanup(self.gw.send_signal, signal.SIGCONT)
        r = self.runner()
        wait_for(lambda: "sending" in self.listed().values(), 30, "a send in flight")
        with self.locked():
            self.gw.send_signal(signal.SIGCONT)
            wait_for(lambda: "waiting for the database: " in r.log(), 30, "the line that it waits")
            t = time.monotonic()
            self.assertEqual(stop(r), 0)
            self.assertLess(time.monotonic() - t, 30)
        lost = re.findall(r"^message (\d+): its answer \(accepted: OK\) could not be recorded", r.log(), re.M)
        self.assertEqual(len(lost), 1, r.log())
        self.q("run", "--once")
        self.assertEqual({i for i, s in self.listed().items() if s == "unknown"}, set(map(int, lost)))
        self.assertEqual(sorted(self.sent()), sorted(f"msg {i}" for i in range(3)))


class DiskFull(QueueCase):
    """The queue on a small file system of the test's own, in a mount namespace of its own."""

    def setUp(self):
        super().setUp()
        small = os.path.join(self.dir, "small")
        os.mkdir(small)
        libc = ctypes.CDLL(None, use_errno=True)
        try:
            if libc.unshare(0x00020000) != 0:  # CLONE_NEWNS: this process and its children only
                raise OSError(ctypes.get_errno(), "unshare")
            for cmd in (["mount", "--make-rprivate", "/"], ["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", small]):
                subprocess.run(cmd, check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError) as e:
            print(f"SKIP: the disk-full test: no file system of its own can be mounted here: {e}", flush=True)
            self.skipTest("no mount namespace")
        self.db, self.filler = os.path.join(small, "queue.db"), os.path.join(small, "filler")

    def fill_disk(self):
        with contextlib.suppress(OSError), open(self.filler, "wb") as f:
            while True:
                f.write(b"\0" * 4096)
                f.flush()

    def test_a_full_disk_mid_drain_is_waited_out_and_nothing_is_lost(self):
        n = 300
        self.fill(n)
        r = self.runner("--workers", "4")
        wait_for(lambda: len(self.sent()) > 10, 60, "the first sends")
        self.fill_disk()
        wait_for(lambda: "disk is full" in r.log(), 120, "the line that it waits")
        time.sleep(2)
        os.remove(self.filler)
        self.assertEqual(self.exactly_once(n, [r])["unknown"], 0)
        self.assertIn("the database answers again; going on", r.log())


class Recipes(QueueCase):
    def test_each_recipe_queues_its_alert(self):
        docs = documents().replace("/usr/bin/zelvo-queue", QUEUE).replace("/var/lib/zelvo/queue.db", self.db)

        def expand(text, macros):
            return re.sub(r"\$([\w.]+)\$", lambda m: macros[m.group(1)], text)

        output = "Plattenplatz kritisch: " + "sehr " * 40
        macros = {"NOTIFICATIONTYPE": "PROBLEM", "HOSTNAME": "db1", "HOSTSTATE": "DOWN", "HOSTOUTPUT": output,
                  "CONTACTPAGER": "+491711111111", "user.pager": "01722222222", "notification.type": "PROBLEM",
                  "service.name": "disk", "host.name": "db2", "service.state": "CRITICAL",
                  "service.output": "€ 1% frei"}
        nagios = expand(re.search(r"command_line\s+(.*)", recipe("nagios", docs)).group(1), macros)
        icinga = recipe("icinga2", docs)
        argv = json.loads(re.search(r"command = (\[.*\])", icinga).group(1))
        arguments = re.findall(r'"(\S+)" = \{ value = "(.*?)";.*order = (\d+) \}', icinga)
        argv += [w for key, value, _ in sorted(arguments, key=lambda a: int(a[2]))
                 for w in (key, expand(value, macros))]
        zabbix = self.file("zelvo-queue.sh", recipe("zabbix", docs), 0o755)
        problem = [zabbix, "+491733333333", "Problem: db3 down", "Ping\nverloren", "4711", "{EVENT.RECOVERY.ID}"]
        for cmd in (["/bin/sh", "-c", nagios], argv, problem, problem,  # Zabbix tried it again
                    [*problem[:2], "Resolved: db3 up", "Ping ok", "4711", "4712"]):
            subprocess.run(cmd, env={}, check=True, timeout=30, stdout=subprocess.DEVNULL)
        self.q("run", "--once")
        self.assertEqual(sorted((m["receiver"], m["text"]) for m in self.sent(None)),
                         [("+491711111111", ("PROBLEM: db1 is DOWN\n" + output)[:160]),
                          ("+491733333333", "Problem: db3 down: Ping\nverloren"),
                          ("+491733333333", "Resolved: db3 up: Ping ok"),
                          ("01722222222", "PROBLEM: disk on db2 is CRITICAL - ? 1% frei")])


class Crash(QueueCase):
    def test_sigkill_at_random_moments_loses_and_doubles_nothing(self):
        n, rng, kills = int(os.environ.get("ZELVO_QUEUE_CRASH_MESSAGES", "1000")), random.Random(14), 0
        self.fill(n, text="crash")
        while self.stats()["queued"] and kills < 40:
            r = self.runner("--workers", "4")
            time.sleep(rng.uniform(0.01, 0.15))
            r.kill()
            r.wait()
            kills += 1
        self.q("run", "--once", "--workers", "4")
        self.assertLessEqual(self.exactly_once(n, kills=kills)["unknown"], 4 * kills)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
