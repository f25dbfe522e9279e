"""zelvo-queue serve, the HTTP interface, as its clients meet it: serve_test.py QUEUE GATEWAY SOURCE-DIR"""
import concurrent.futures, contextlib, http.client, json, os, re, resource, socket, sqlite3, ssl, subprocess, sys, threading, time, unittest

from queue_test import QUEUE, QueueCase, read, stop, wait_for


class ServeCase(QueueCase):
    SERVE = "[serve]\nmetrics = yes\nper-token-per-second = 1000\n"

    def setUp(self):
        super().setUp()
        self.config(extra=self.SERVE)
        self.tokens = os.path.join(self.dir, "tokens")
        self.tok = {name: self.token("add", name, "--scope", scope).strip()
                    for name, scope in [("bob", "send"), ("dave", "send"), ("carol", "read"), ("alice", "admin")]}
        self.serve()

    def token(self, *args, rc=0):
        return self.q("token", "--tokens", self.tokens, *args, rc=rc).stdout

    def serve(self, *args, rc=None, listen="127.0.0.1:0"):
        log = os.path.join(self.dir, f"serve-{time.monotonic_ns()}.log")
        with open(log, "w") as out:
            p = subprocess.Popen([QUEUE, "--db", self.db, "--config", self.conf, "serve", "--tokens", self.tokens,
                                  "--listen", listen, *args], stdout=out, stderr=subprocess.STDOUT)
        p.log = lambda: read(log)
        if rc is not None:
            self.assertEqual(p.wait(30), rc, p.log())
            return p
        self.addCleanup(lambda: p.poll() is not None or stop(p))
        self.port = int(wait_for(lambda: re.search(r"serving https?://127.0.0.1:(\d+)/", p.log()), what="serve")[1])
        self.server = p
        return p

    def call(self, method, path, body=None, token="bob", headers=None, raw=None, context=None):
        c = (http.client.HTTPSConnection("127.0.0.1", self.port, timeout=30, context=context) if context
             else http.client.HTTPConnection("127.0.0.1", self.port, timeout=30))
        h = {"Content-Type": "application/json", **({"Authorization": f"Bearer {self.tok.get(token, token)}"}
                                                    if token else {}), **(headers or {})}
        c.request(method, path, raw if raw is not None else json.dumps(body) if body is not None else None, h)
        r = c.getresponse()
        data = r.read().decode()
        c.close()
        try:
            return r.status, json.loads(data), r
        except ValueError:
            return r.status, data, r


class Serve(ServeCase):
    def test_submissions_and_their_answers(self):
        ok = {"to": "0171 123456", "text": "über HTTP"}
        long = {"to": "0171123", "text": "x" * 161}
        cases = [  # label, body or raw bytes, token, headers, status, the answer's fields
            ("stored", ok, "bob", {"Idempotency-Key": "k1"}, 201, {"id": 1, "state": "queued"}),
            ("the same key, the same fields in another order", {"text": "über HTTP", "to": "0171 123456"}, "bob",
             {"Idempotency-Key": "k1"}, 200, {"id": 1}),
            ("the same key, other fields", {**ok, "test": True}, "bob", {"Idempotency-Key": "k1"}, 409, {}),
            ("another token's key is its own", ok, "dave", {"Idempotency-Key": "k1"}, 201, {"id": 2}),
            ("cut to 160", {**long, "truncate": True}, "bob", {}, 201, {"id": 3}),
            ("replaced", {"to": "0171123", "text": "€ 5", "replace": True, "ttl": 60}, "bob", {}, 201, {"id": 4}),
            ("too long", long, "bob", {}, 400, {"field": "text"}),
            ("outside Latin-1", {"to": "0171123", "text": "€"}, "bob", {}, 400, {"field": "text"}),
            ("a refused recipient", {"to": "abc", "text": "x"}, "bob", {}, 400, {"field": "to"}),
            ("a wrong type", {"to": 171123, "text": "x"}, "bob", {}, 400, {"field": "to"}),
            ("a wrong type", {**ok, "test": "yes"}, "bob", {}, 400, {"field": "test"}),
            ("a bad ttl", {**ok, "ttl": 0}, "bob", {}, 400, {"field": "ttl"}),
            ("an unknown field", {**ok, "sender": "me"}, "bob", {}, 400, {"field": "sender"}),
            ("missing", {"to": "0171123"}, "bob", {}, 400, {"field": "text"}),
            ("no account of that name", {**ok, "account": "nope"}, "bob", {}, 400, {"field": "account"}),
            ("a key too long", ok, "bob", {"Idempotency-Key": "k" * 201}, 400, {"field": "Idempotency-Key"}),
            ("broken JSON", b'{"to": "0171123", "text": ', "bob", {}, 400, {}),
            ("not an object", b'["0171123"]', "bob", {}, 400, {}),
            ("not JSON", ok, "bob", {"Content-Type": "text/plain"}, 415, {}),
            ("too large", {"to": "0171123", "text": "x" * 17000}, "bob", {}, 413, {}),
            ("no token", ok, None, {}, 401, {}),
            ("a wrong token", ok, "zq_" + "0" * 64, {}, 401, {}),
            ("another scheme", ok, None, {"Authorization": "Basic Ym9iOmJvYg=="}, 401, {}),
            ("a read token", ok, "carol", {}, 403, {}),
        ]
        for label, body, token, headers, status, fields in cases:
            with self.subTest(label):
                got, answer, r = self.call("POST", "/v1/messages", None if isinstance(body, bytes) else body,
                                           token, headers, raw=body if isinstance(body, bytes) else None)
                self.assertEqual(got, status, answer)
                self.assertLessEqual(fields.items(), answer.items())
                if status >= 400:
                    self.assertIn("error", answer)
                if status == 401:
                    self.assertTrue(r.getheader("WWW-Authenticate").startswith("Bearer"))
        self.assertEqual(self.listed(), {1: "queued", 2: "queued", 3: "queued", 4: "queued"})
        self.q("run", "--once")
        self.assertEqual(self.sent(), ["über HTTP", "über HTTP", "x" * 160, "? 5"])
        for token in self.tok.values():
            self.assertNotIn(token, self.server.log() + read(self.tokens) + read(self.db, "rb").decode("latin-1"))

    def test_reads_and_a_persons_decisions(self):
        for i, token in enumerate(["bob", "bob", "dave", "bob"]):
            self.assertEqual(self.call("POST", "/v1/messages", {"to": "0171123", "text": f"m{i}"}, token)[0], 201)
        self.sql("UPDATE zelvo_messages SET state = 'unknown' WHERE id = 3")
        cases = [  # method, path, token, status, a check of the answer
            ("GET", "/v1/messages/1", "bob", 200, lambda a: a["text"] == "m0" and a["events"][0]["text"] == "added"),
            ("GET", "/v1/messages/3", "bob", 404, None),  # dave's
            ("GET", "/v1/messages/3", "carol", 200, lambda a: a["state"] == "unknown"),
            ("GET", "/v1/messages/99", "alice", 404, None),
            ("GET", "/v1/messages", "bob", 200, lambda a: [m["id"] for m in a["messages"]] == [1, 2, 4]),
            ("GET", "/v1/messages?limit=2", "carol", 200, lambda a: [m["id"] for m in a["messages"]] == [1, 2]
             and a["next"] == 2),
            ("GET", "/v1/messages?after=2&state=queued", "carol", 200, lambda a: [m["id"] for m in a["messages"]] == [4]),
            ("GET", "/v1/messages?limit=1001", "carol", 400, None),
            ("GET", "/v1/messages?state=lost", "carol", 400, None),
            ("GET", "/v1/stats", "carol", 200, lambda a: a == self.stats()),
            ("GET", "/v1/stats", "bob", 403, None),
            ("POST", "/v1/messages/3/retry", "carol", 403, None),
            ("POST", "/v1/messages/3/retry", "alice", 200, lambda a: a == {"id": 3, "state": "queued"}),
            ("POST", "/v1/messages/3/retry", "alice", 409, None),
            ("POST", "/v1/messages/1/drop", "alice", 200, None),
            ("POST", "/v1/messages/98/drop", "alice", 404, None),
            ("DELETE", "/v1/messages/1", "alice", 405, None),
            ("GET", "/v1/messages/1/retry", "alice", 405, None),
            ("GET", "/v1/nothing", "alice", 404, None),
            ("GET", "/healthz", None, 200, None),
        ]
        for method, path, token, status, check in cases:
            with self.subTest(f"{method} {path} {token}"):
                got, answer, _ = self.call(method, path, token=token)
                self.assertEqual(got, status, answer)
                if check:
                    self.assertTrue(check(answer), answer)
        self.assertIn("put back to the queue by token alice (was unknown)", self.q("show", "3").stdout)
        self.assertRegex(self.server.log(), r"POST /v1/messages/3/retry 200 alice \d")

    def test_a_database_busy_past_the_deadline_stores_nothing(self):
        with contextlib.closing(sqlite3.connect(self.db, isolation_level=None)) as c:
            c.execute("BEGIN EXCLUSIVE")  # another program holds the write lock
            started = time.monotonic()
            status, _, r = self.call("POST", "/v1/messages", {"to": "0171123", "text": "später"})
            self.assertEqual((status, r.getheader("Retry-After")), (503, "5"))
            self.assertLess(time.monotonic() - started, 9)
        self.assertEqual(self.listed(), {})

    def test_concurrent_submissions_share_commits(self):
        n, gate = 64, threading.Barrier(64)
        socks = [socket.create_connection(("127.0.0.1", self.port)) for _ in range(n)]
        self.addCleanup(lambda: [s.close() for s in socks])

        def submit(i):  # all connected first, then sent at once
            body = json.dumps({"to": "0171123", "text": f"c{i}"}).encode()
            socks[i].settimeout(30)
            request = (f"POST /v1/messages HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {self.tok['alice']}\r\n"
                       f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n")
            gate.wait(10)
            socks[i].sendall(request.encode() + body)
            answer = b""
            while chunk := socks[i].recv(65536):
                answer += chunk
            return answer

        with concurrent.futures.ThreadPoolExecutor(n) as pool:
            answers = list(pool.map(submit, range(n)))
        self.assertTrue(all(a.startswith(b"HTTP/1.1 201 ") for a in answers), answers[0])
        self.assertEqual(sorted(int(re.search(rb'"id":(\d+)', a)[1]) for a in answers), list(range(1, n + 1)))
        metrics = self.call("GET", "/metrics", token=None)[1]
        commits = int(re.search(r"^zelvo_queue_serve_commits_total (\d+)$", metrics, re.M)[1])
        print(f"{n} concurrent submissions: {commits} commits", file=sys.stderr)
        self.assertLess(commits, n // 2)

    def test_token_file_changes_without_a_restart(self):
        self.assertEqual(self.call("GET", "/v1/messages", token="dave")[0], 200)
        self.token("remove", "dave")
        wait_for(lambda: self.call("GET", "/v1/messages", token="dave")[0] == 401, 5, "the removal seen")
        self.tok["erin"] = self.token("add", "erin", "--scope", "read").strip()
        wait_for(lambda: self.call("GET", "/v1/stats", token="erin")[0] == 200, 5, "the new token seen")


class Transport(ServeCase):
    SERVE = ServeCase.SERVE + "per-token-per-second = 5\nidle-timeout = 2\ntotal-timeout = 4\n"

    def test_limits_of_a_connection(self):
        answers = [self.call("POST", "/v1/messages", {"to": "0171123", "text": "r"}, "bob") for _ in range(12)]
        self.assertIn(429, [a[0] for a in answers])
        self.assertEqual(next(a[2] for a in answers if a[0] == 429).getheader("Retry-After"), "1")
        for request, status in [  # both framings at once; a header past 8 KiB
                (b"POST /v1/messages HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
                 b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", b"400"),
                (b"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"p" * 9000 + b"\r\n\r\n", b"431")]:
            with socket.create_connection(("127.0.0.1", self.port)) as s:
                s.sendall(request)
                self.assertRegex(s.recv(4096), rb"^HTTP/1.1 " + status + b" ")
        idle, limit = [], resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit[1], limit[1]))
        for _ in range(1000):  # from another loopback address: its share of the connections is used up
            s = socket.socket()
            s.bind(("127.0.0.2", 0))
            if s.connect_ex(("127.0.0.1", self.port)) == 0:
                idle.append(s)
        self.addCleanup(lambda: [s.close() for s in idle])
        self.assertEqual(self.call("GET", "/healthz", token=None)[0], 200)
        time.sleep(3)  # past the idle time: all closed by the server
        for s in idle[:50]:
            s.settimeout(2)
            self.assertEqual(s.recv(1), b"")
        with socket.create_connection(("127.0.0.1", self.port)) as s:  # a byte a second: cut after 4 s
            started, closed = time.monotonic(), False
            s.settimeout(1.5)
            for byte in b"GET /healthz HTTP/1.1\r\nHost: x\r\n" * 3:
                try:
                    s.sendall(bytes([byte]))
                    if s.recv(1) == b"":
                        closed = True
                        break
                except socket.timeout:
                    continue
                except OSError:
                    closed = True
                    break
            self.assertTrue(closed)
            self.assertLess(time.monotonic() - started, 8)

    def test_a_taken_port_is_named_with_its_reason(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            where = "127.0.0.1:%d" % taken.getsockname()[1]
            for command, args in [("serve", ["--tokens", self.tokens, "--listen", where]),
                                  ("run", ["--once", "--metrics", where])]:
                with self.subTest(command):
                    p = self.q(command, *args, rc=78)
                    self.assertIn(f"cannot listen on {where}: Address already in use\n", p.stderr)

    def test_https_and_where_plain_http_may_listen(self):
        self.assertIn("plain HTTP only on a loopback address", self.serve(listen="0.0.0.0:0", rc=78).log())
        cert, key = os.path.join(self.dir, "cert.pem"), os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        stop(self.server)
        self.serve("--tls-cert", cert, "--tls-key", key)
        status, answer, _ = self.call("GET", "/v1/stats", token="carol", context=ssl.create_default_context(cafile=cert))
        self.assertEqual((status, answer), (200, self.stats()))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
