"""serve's webhook receiver fed by a real alerting system, Debian's prometheus-alertmanager on loopback
with the cluster off: alertmanager_test.py QUEUE GATEWAY SOURCE-DIR"""
import contextlib, datetime, http.client, json, os, re, socket, subprocess, sys, threading, time, unittest

from queue_test import read, stop, wait_for
from serve_test import ServeCase

BINARY = "/usr/bin/prometheus-alertmanager"
ALERT = {"labels": {"alertname": "DiskFull", "instance": "db1", "severity": "page"},
         "annotations": {"summary": "disk 95% full"}}
FIRING, RESOLVED = "[FIRING:1] DiskFull db1: disk 95% full", "[RESOLVED:1] DiskFull db1: disk 95% full"


def setUpModule():
    if not os.access(BINARY, os.X_OK):
        print(f"SKIP: {BINARY} is missing (Debian's prometheus-alertmanager package)", flush=True)
        raise unittest.SkipTest("no prometheus-alertmanager")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stamp(seconds_from_now):
    return (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds_from_now)).isoformat()


class Relay:
    """A loopback relay to serve that swallows serve's first answer to a webhook post: serve has stored the
    messages, the sender sees its connection closed without an answer. `cut` is that answer's status line."""

    def __init__(self, port):
        self.cut, self.sock = None, socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.accept, args=(port,), daemon=True).start()

    def accept(self, port):
        while True:
            client, server, posted = self.sock.accept()[0], socket.create_connection(("127.0.0.1", port)), []
            threading.Thread(target=self.pump, args=(client, server, posted, True), daemon=True).start()
            threading.Thread(target=self.pump, args=(server, client, posted, False), daemon=True).start()

    def pump(self, src, dst, posted, upward):
        with contextlib.suppress(OSError):
            while data := src.recv(65536):
                if upward and b"POST /v1/alertmanager" in data:
                    posted.append(True)
                if not upward and posted and self.cut is None:
                    self.cut = data.split(b"\r\n")[0].decode()
                    break
                dst.sendall(data)
        for s in (src, dst):
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)
        if upward:
            src.close(), dst.close()


class Alerts(ServeCase):
    def alertmanager(self, port):
        """Alertmanager sending every group at once to serve (or a relay) on `port`, with bob's token."""
        conf = self.file("alertmanager.yml", json.dumps({  # YAML is a superset of JSON
            "route": {"receiver": "sms", "group_by": ["alertname"], "group_wait": "1s", "group_interval": "1s",
                      "repeat_interval": "1h"},
            "receivers": [{"name": "sms", "webhook_configs": [{
                "url": f"http://127.0.0.1:{port}/v1/alertmanager?to=0171123456", "send_resolved": True,
                "http_config": {"authorization": {"credentials_file": self.file("am.token", self.tok["bob"], 0o600)}}}]}]}))
        self.am_port, log = free_port(), os.path.join(self.dir, "alertmanager.log")
        with open(log, "w") as out:
            p = subprocess.Popen([BINARY, f"--config.file={conf}", f"--storage.path={self.dir}/am",
                                  f"--web.listen-address=127.0.0.1:{self.am_port}", "--cluster.listen-address="],
                                 stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: p.poll() is not None or stop(p))
        self.am_log = lambda: read(log)
        wait_for(lambda: self.am("GET", "/-/ready") == 200, 15, "Alertmanager ready")

    def am(self, method, path, body=None):  # Alertmanager's answer status, None while it does not listen
        c = http.client.HTTPConnection("127.0.0.1", self.am_port, timeout=5)
        with contextlib.suppress(OSError), contextlib.closing(c):
            c.request(method, path, body and json.dumps(body), {"Content-Type": "application/json"})
            return c.getresponse().status

    def posts(self):  # serve's log line of each webhook post it answered: the status and the token
        return re.findall(r"^POST /v1/alertmanager (\d+) (\S+) ", self.server.log(), re.M)

    def delivered(self, n, what):
        wait_for(lambda: len(self.posts()) >= n, 20, what)
        time.sleep(2.5)  # two more group intervals: nothing else comes
        self.q("run", "--once")
        return self.sent()

    def test_a_firing_alert_and_its_resolution_each_one_sms(self):
        self.alertmanager(self.port)
        started = time.monotonic()
        self.assertEqual(self.am("POST", "/api/v2/alerts", [{**ALERT, "startsAt": stamp(-60)}]), 200)
        self.assertEqual(self.delivered(1, "the firing notification"), [FIRING])
        self.assertEqual(self.am("POST", "/api/v2/alerts", [{**ALERT, "startsAt": stamp(-60), "endsAt": stamp(-1)}]), 200)
        self.assertEqual(self.delivered(2, "the resolved notification"), [FIRING, RESOLVED])
        self.assertEqual(self.posts(), [("200", "bob")] * 2, self.am_log())
        self.assertEqual(self.sent("receiver"), ["0171123456"] * 2)
        print(f"firing and resolved: {time.monotonic() - started:.1f} s", file=sys.stderr)

    def test_a_retry_after_a_lost_answer_is_absorbed_by_the_key(self):
        relay = Relay(self.port)
        self.alertmanager(relay.port)
        self.assertEqual(self.am("POST", "/api/v2/alerts", [{**ALERT, "startsAt": stamp(-60)}]), 200)
        wait_for(lambda: relay.cut, 20, "the first answer cut")
        cut = time.monotonic()
        self.assertRegex(relay.cut, r"^HTTP/1\.[01] 200 ")
        wait_for(lambda: len(self.posts()) >= 2, 30, "Alertmanager's retry")
        print(f"Alertmanager retried {time.monotonic() - cut:.2f} s after the lost answer", file=sys.stderr)
        self.assertEqual(self.delivered(2, "the retry"), [FIRING])
        self.assertEqual(self.posts(), [("200", "bob")] * 2, self.am_log())
        self.assertEqual(self.listed(), {1: "accepted"})


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
