"""zelvo-queue on a PostgreSQL server of the tests' own (Debian's initdb and pg_ctl, as the user
postgres when run as root) on 127.0.0.1 with a password file: postgres_test.py QUEUE GATEWAY SOURCE-DIR"""
import contextlib, glob, os, pwd, re, shutil, socket, subprocess, sys, tempfile, threading, time, unittest

import monitoring_test, queue_test, serve_test
from queue_test import QUEUE, ROOT, QueueCase, read, recipe, stop, wait_for, write


class Server:
    def __init__(self):
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not bins:
            raise unittest.SkipTest("no initdb (Debian's postgresql package is not installed)")
        self.bin, self.user = os.path.dirname(bins[-1]), os.geteuid() == 0 and "postgres"
        with socket.socket() as s:  # a free port
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.dir = tempfile.mkdtemp(prefix="zelvo-pg-")  # not the build tree: closed to the server's user
        if self.user:
            os.chown(self.dir, pwd.getpwnam(self.user).pw_uid, -1)
        self.data, pw = os.path.join(self.dir, "data"), write(os.path.join(self.dir, "pw"), "geheim-pg\n", 0o644)
        self.passfile = write(os.path.join(self.dir, "pgpass"), "127.0.0.1:*:*:zelvo:geheim-pg\n", 0o600)
        self.ok("initdb", "-D", self.data, "-U", "zelvo", f"--pwfile={pw}", "--auth-host=scram-sha-256",
                "--auth-local=trust", "-E", "UTF8", "--no-sync")
        self.start()

    def ok(self, cmd, *args):
        setpriv = ["setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--init-groups"] if self.user else []
        p = subprocess.run(setpriv + [os.path.join(self.bin, cmd), *args], capture_output=True, text=True,
                           timeout=120, cwd=self.dir)
        if p.returncode:
            raise RuntimeError(f"{cmd} failed: {p.stdout} {p.stderr}")

    def start(self):
        self.ok("pg_ctl", "-D", self.data, "-l", os.path.join(self.dir, "log"), "-w", "start", "-o",
                f"-c listen_addresses=127.0.0.1 -c port={self.port} -c unix_socket_directories={self.dir}")

    def stop(self, how="fast"):
        self.ok("pg_ctl", "-D", self.data, "-m", how, "-w", "stop")


def setUpModule():
    global server
    try:
        server = Server()
    except (unittest.SkipTest, RuntimeError) as e:
        print(f"SKIP: PostgreSQL tests: {e}", flush=True)
        raise unittest.SkipTest(str(e))
    unittest.addModuleCleanup(shutil.rmtree, server.dir, True)
    unittest.addModuleCleanup(server.stop, "immediate")  # first: the later added runs first


class Relay:
    """A loopback relay to the server that cuts the first connection whose INSERT of a message is committed:
    the server has committed, the client never hears of it."""

    def __init__(self, port):
        self.port, self.cut, self.sock = None, False, socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.accept, args=(port,), daemon=True).start()

    def accept(self, port):
        while True:
            client = self.sock.accept()[0]
            server = socket.create_connection(("127.0.0.1", port))
            state = {"armed": False}
            threading.Thread(target=self.pump, args=(client, server, state, True), daemon=True).start()
            threading.Thread(target=self.pump, args=(server, client, state, False), daemon=True).start()

    def pump(self, src, dst, state, upward):
        try:
            while data := src.recv(65536):
                if upward and not self.cut and b"INSERT INTO zelvo_messages" in data:
                    state["armed"] = True
                if upward and state["armed"] and b"COMMIT\0" in data:
                    state["commit"] = True
                if not upward and state.get("commit") and not self.cut:
                    self.cut = True  # the answer to the COMMIT is never passed on
                    break
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)


class PgCase(QueueCase):
    BODY_TEXT = "convert_from(body, 'UTF8')"

    def setUp(self):
        super().setUp()
        name = self._testMethodName[5:40]
        server.ok("createdb", "-h", server.dir, "-p", str(server.port), "-U", "zelvo", name)
        self.db, os.environ["PGPASSFILE"] = f"postgresql://zelvo@127.0.0.1:{server.port}/{name}", server.passfile

    def sql(self, query):
        return subprocess.run(["psql", "-qAtd", self.db, "-c", query], capture_output=True, text=True,
                              check=True).stdout.split("\n")[:-1]


class PgStorm(PgCase, queue_test.Storm):
    pass


class PgKeys(PgCase, queue_test.Keys):
    def test_a_connection_cut_right_after_the_commit_stores_the_message_once(self):
        self.q("init")
        relay = Relay(server.port)
        p = self.q("add", "--to", "0171123", "einmal", db=self.db.replace(f":{server.port}/", f":{relay.port}/"))
        self.assertTrue(relay.cut)
        self.assertEqual(self.listed(), {int(p.stdout): "queued"})


class PgCheck(PgCase, monitoring_test.Check):
    test_ranges_as_plugins_read_them = test_the_recipes_give_the_state = None
    test_unknown_when_it_cannot_tell = None

    def fresh(self, i):
        self.q("init")
        self.sql("TRUNCATE zelvo_messages, zelvo_attempts, zelvo_events, zelvo_runners, zelvo_keys, zelvo_sends")


class PgServe(PgCase, serve_test.Serve):
    # These read or lock the SQLite file.
    test_submissions_and_their_answers = test_a_database_busy_past_the_deadline_stores_nothing = None

    def setUp(self):
        super().setUp()  # serve started on the file: now on this database
        stop(self.server)
        self.q("init")
        self.serve()

    def test_a_commit_whose_answer_is_lost_is_settled_with_its_token(self):
        relay = Relay(server.port)
        stop(self.server)
        self.db = self.db.replace(f":{server.port}/", f":{relay.port}/")
        self.serve()
        status, answer, _ = self.call("POST", "/v1/messages", {"to": "0171123", "text": "einmal"})
        self.assertTrue(relay.cut)
        self.assertEqual((status, self.listed()), (201, {answer["id"]: "queued"}))


class Postgres(PgCase):

    def test_three_runners_drain_one_killed_mid_way_its_claims_unknown_after_the_lease(self):
        n = int(os.environ.get("ZELVO_QUEUE_PG_MESSAGES", "5000"))
        self.config(timeout=1, **{"per-recipient-per-minute": 100000})  # a lease of 8 s
        self.fill(min(n, 50))  # through the program, the others copies of the first
        self.sql("INSERT INTO zelvo_messages (state, receiver, body, account, ttl, created, ttl_from, due) "
                 "SELECT state, receiver, convert_to('msg ' || i, 'UTF8'), account, ttl, created, ttl_from, due "
                 f"FROM zelvo_messages, generate_series(50, {n - 1}) i WHERE id = 1")
        runners = [self.runner("--workers", "4") for _ in range(3)]
        wait_for(lambda: len(self.sent()) > n // 3, 200, "a third of the messages")
        victim = f"{socket.gethostname()}:{runners[0].pid}"
        runners[0].kill()
        held = self.q("stats").stdout  # the victim's claims stay held until their lease ends
        unknown = self.exactly_once(n, runners[1:])["unknown"]
        self.assertLessEqual(unknown, 4)
        self.assertEqual(f"sending by {victim}: " in held, unknown > 0, held)
        for mid in [mid for mid, state in self.listed().items() if state == "unknown"]:
            self.assertIn(f"({victim})", self.q("show", str(mid)).stdout)
        # The runners sent side by side: attempts of two of them overlap in time.
        self.assertEqual(self.sql("SELECT count(*) > 0 FROM zelvo_attempts a JOIN zelvo_attempts b "
                                  "ON a.runner < b.runner AND a.started < b.ended AND b.started < a.ended"), ["t"])

    def test_the_server_stopped_for_a_minute_under_two_runners(self):
        down = float(os.environ.get("ZELVO_QUEUE_HOLD_SECONDS", "60"))
        self.fill(200)
        runners = [self.runner("--workers", "4") for _ in range(2)]
        wait_for(lambda: len(self.sent()) > 40, 120, "the first sends")
        server.stop("fast")
        time.sleep(down)
        server.start()
        self.assertEqual(self.exactly_once(200, runners, down=down)["unknown"], 0)
        for r in runners:
            self.assertRegex(r.log(), "waiting for the database: .*\n(.*\n)*.*the database answers again; going on")

    def test_the_global_rate_limit_holds_with_three_runners(self):
        self.config(**{"per-second": 5})
        self.fill(25)
        self.exactly_once(25, [self.runner("--workers", "2") for _ in range(3)])
        stamps = self.assert_per_second(5)
        self.assertLess(stamps[-1] - stamps[0], 15)

    def test_schema_version_and_uri_rules(self):
        self.assertIn("schema version 4", self.q("init").stdout)
        self.sql("UPDATE zelvo_meta SET value = '99'")
        for cmd in ("init", "list"):
            self.assertIn("newer than this program's 4", self.q(cmd, rc=2).stderr)
        p = self.q("list", db=self.db.replace("zelvo@", "zelvo:geheim-pg@"), rc=2)
        self.assertIn("password file", p.stderr)
        self.assertNotIn("geheim-pg", p.stderr)

    def test_the_unit_with_the_documented_environment_file(self):
        unit = read(os.path.join(ROOT, "tools/queue/service/zelvo-queue.service"))
        env_file = recipe("environment").replace("db.example.net:5432/zelvo", self.db.split("@")[1])
        env = {**dict(re.findall(r"^Environment=(\w+)=(.*)$", unit, re.M)),
               **dict(re.findall(r"^(\w+)=(.*)$", env_file, re.M)),
               "PGPASSFILE": server.passfile, "ZELVO_QUEUE_CONFIG": self.conf}
        argv = []
        for word in re.search(r"^ExecStart=\S+ (.*)$", unit, re.M).group(1).split():
            name = re.fullmatch(r"\$\{?(\w+)\}?", word)  # systemd: ${X} is one word, $X split on spaces
            argv += [word] if not name else [env[name[1]]] if word[1] == "{" else env[name[1]].split()
        self.add("über die Unit")
        p = subprocess.run([QUEUE, *argv, "--once"], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn(f"on {self.db}", p.stdout)
        self.assertEqual(self.sent(), ["über die Unit"])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
