// Cost of one send, measured against the floor, and a load run through the
// gateway simulator.
//
//   calls/s   sendSMS2 (the shared library's export, proxy form pointed at an
//             in-process loopback peer of testing/), a raw-socket client
//             doing the same per-call work as the send path (connect; look up
//             the user name, the host name and its address; compose the same
//             bytes; send; read to the answer line; close), and libcurl doing
//             the same GET through the same "proxy"; for 1 to 8 threads.
//   memory    peak resident memory of one sendSMS2 call for replies of 1 KiB,
//             1 MiB and 1 GiB whose first body line is the whole reply, each
//             in a fresh child process.
//   latency   time to the answer when the peer sends a complete reply and
//             keeps the connection open.
//   load      16 threads of sendSMS2 calls to the real zelvo-gateway, half of
//             them through a forwarding proxy: calls/s, and every message
//             counted in the simulator's outbox (lost, doubled).
//
// Options: --quick (short runs, for the test command), --csv FILE (the
// thread scaling, for plot.py), --markdown (the tables of docs/benchmarks.md).
// Exits non-zero only when a call did not get its answer, or a message of the
// load run was lost or stored twice; timings never fail it.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "local_facts.h"
#include "peer.h"
#include "process.h"
#include "request.h"
#include "send_core.h"
#include "socket_layer.h"
#include "zelvonet/zelvonet.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\n";

// ------------------------------------------------------------ the peer

// Reads the request, sends `reply` and then `fill` filler bytes, and closes;
// with `holdMs`, only once the client has closed (or the hold ended).
zelvotest::Peer::Handler answering(std::string reply, std::uint64_t fill = 0, int holdMs = 0) {
    return [reply = std::move(reply), fill, holdMs](zelvotest::Conn& c) {
        c.readRequest();
        if (c.send(reply, fill) && holdMs > 0) c.clientCloses(holdMs);
    };
}

// ------------------------------------------------------------ the clients

struct Fields {
    const char* kdnr = "12345";
    int firma = 2;
    const char* user = "tst";
    const char* key = "geheim";
    const char* msg = "Hallo Welt, dies ist eine Nachricht von etwa normaler Laenge.";
    const char* receiver = "01711234567";
};

bool viaExport(std::uint16_t port) {
    const Fields f;
    char answer[100];
    const int r = sendSMS2(f.kdnr, f.firma, f.user, f.key, f.msg, f.receiver, nullptr, "127.0.0.1",
                           port, true, answer, sizeof answer);
    return r == 0 && std::strcmp(answer, "OK") == 0;
}

// The bytes sendSMS2 sends in the proxy form, composed once.
std::string exportRequest() {
    const Fields f;
    zelvonet::Message m;
    m.kdnr = f.kdnr;
    m.firma = f.firma;
    m.user = f.user;
    m.key = f.key;
    m.msg = f.msg;
    m.receiver = f.receiver;
    m.test = true;
    const zelvonet::net::SocketLayer layer;
    return zelvonet::composeRequest(zelvonet::composeQuery(m, zelvonet::gatherLocalFacts()),
                                    zelvonet::builtinGateway(), true);
}

// Form encoding as the send path writes it: letters and digits pass, a space
// is "+", every other byte "%" and two lower-case hex digits.
void formEncode(std::string& out, const char* text) {
    static const char hex[] = "0123456789abcdef";
    for (const char* p = text; *p != '\0'; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (std::isalnum(b) != 0) {
            out += *p;
        } else if (b == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
}

// The request of the floor, composed from the fields and the three local
// facts the send path looks up on every call: the user name, the host name
// (a 255-byte buffer) and the host name's first IPv4 address.
std::string floorRequest() {
    const Fields f;
    char buf[4096];
    passwd pw{};
    passwd* found = nullptr;
    const char* user = getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr
                           ? pw.pw_name
                           : "";
    char host[255] = {};
    if (gethostname(host, sizeof host) != 0) host[0] = '\0';
    char ip[INET_ADDRSTRLEN] = "";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (host[0] != '\0' && getaddrinfo(host, nullptr, &hints, &list) == 0) {
        if (list != nullptr) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr, ip,
                      sizeof ip);
        }
        freeaddrinfo(list);
    }
    const std::string gw = zelvonet::builtinGateway().host;
    std::string r = "GET http://" + gw + ":8080/ZelvoServlet?kdnr=" + f.kdnr +
                    "&firma=" + std::to_string(f.firma) + "&user=";
    formEncode(r, f.user);
    r += "&key=";
    formEncode(r, f.key);
    r += "&msg=";
    formEncode(r, f.msg);
    r += std::string("&receiver=") + f.receiver + "&ip=" + ip + "&localuser=";
    formEncode(r, user);
    r += std::string("&host=") + std::string(host, strnlen(host, sizeof host)) +
         "&test=1 HTTP/1.1\nHOST: " + gw + "\nConnection: close\n\n";
    return r;
}

// The floor: one blocking socket; once connected, the request composed as
// above; read to the answer's LF.
bool viaRawSocket(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    const std::string request = ok ? floorRequest() : std::string();
    for (std::size_t off = 0; ok && off < request.size();) {
        const ssize_t r = ::send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
        ok = r > 0;
        if (ok) off += static_cast<std::size_t>(r);
    }
    std::string reply;
    char buf[16384];
    std::size_t body = std::string::npos;
    while (ok) {
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        reply.append(buf, static_cast<std::size_t>(r));
        if (body == std::string::npos) {
            const std::size_t h = reply.find("\r\n\r\n");
            if (h != std::string::npos) body = h + 4;
        }
        if (body != std::string::npos && reply.find('\n', body) != std::string::npos) break;
    }
    ::close(fd);
    return ok && body != std::string::npos && reply.compare(body, 3, "OK\n") == 0;
}

size_t collect(char* p, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, size * n);
    return size * n;
}

// libcurl, one easy handle per thread, a new connection for every call.
class CurlClient {
  public:
    CurlClient(std::uint16_t port, const std::string& request) : h_(curl_easy_init()) {
        // The same target as the request line of the proxy form.
        const std::size_t from = request.find("http://");
        const std::size_t to = request.find(" HTTP/1.1\n");
        url_ = request.substr(from, to - from);
        proxy_ = "http://127.0.0.1:" + std::to_string(port);
    }
    ~CurlClient() { curl_easy_cleanup(h_); }
    bool call() {
        std::string body;
        curl_easy_setopt(h_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(h_, CURLOPT_PROXY, proxy_.c_str());
        curl_easy_setopt(h_, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(h_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h_, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(h_, CURLOPT_WRITEDATA, &body);
        return curl_easy_perform(h_) == CURLE_OK && body.compare(0, 3, "OK\n") == 0;
    }

  private:
    CURL* h_;
    std::string url_;
    std::string proxy_;
};

// ------------------------------------------------------------ measuring

struct Rate {
    double callsPerSecond = 0;
    long failures = 0;
};

// Runs `threads` threads, each calling its own client until `seconds` pass.
Rate measure(int threads, double seconds, const std::function<std::function<bool()>()>& make) {
    std::atomic<long> calls{0};
    std::atomic<long> failures{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            std::function<bool()> call = make();
            while (!go) std::this_thread::yield();
            long n = 0;
            long bad = 0;
            while (!stop) {
                if (!call()) ++bad;
                ++n;
            }
            calls += n;
            failures += bad;
        });
    }
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : pool) t.join();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    return {static_cast<double>(calls) / took, failures};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A figure of this process's memory from /proc (KiB): "VmHWM:", the
// high-water mark of its resident memory, or "VmRSS:", the resident memory
// now. A spawned child's rusage would carry its parent's peak across the
// exec; VmHWM belongs to the child's own address space.
long statusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    }
    return -1;
}

// Peak resident memory (KiB) of a fresh child process that makes one call
// to `port` (none when 0).
long childPeakKiB(const char* self, std::uint16_t port, bool* ok) {
    const std::string cmd = std::string("'") + self + "' --rss-child " + std::to_string(port);
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    long kib = -1;
    if (std::fscanf(p, "%ld", &kib) != 1) kib = -1;
    *ok = pclose(p) == 0;
    return kib;
}

int rssChild(std::uint16_t port) {
    int status = 0;
    if (port != 0) {
        const Fields f;
        char answer[100];
        sendSMS2(f.kdnr, f.firma, f.user, f.key, f.msg, f.receiver, nullptr, "127.0.0.1", port,
                 false, answer, sizeof answer);
        // The answer is the first 99 bytes of the one long line.
        status = answer[0] == 'N' && std::strlen(answer) == 99 ? 0 : 1;
    }
    std::printf("%ld\n", statusKiB("VmHWM:"));
    return status;
}

// Cost of gathering the local facts, which every call does (microseconds).
double localFactsMicros(int n) {
    const zelvonet::net::SocketLayer layer;
    std::size_t sink = 0;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) sink += zelvonet::gatherLocalFacts().host.size();
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / n;
    if (sink == 0) std::printf("(no host name)\n");
    return us;
}

// ------------------------------------------------------------ load

#if defined(ZELVO_GATEWAY_BIN)
struct Load {
    int threads = 16;
    int each = 0;
    double callsPerSecond = 0;
    long notOK = 0, lost = 0, doubled = 0;
    int proxied = 0, fdsBefore = 0, fdsAfter = 0;
    long rssBefore = 0, rssAfter = 0;
};

// `threads` threads each send `each` messages with sendSMS2, every other one
// to the simulator at `direct`, the others through the proxy at `proxy`
// (the exports name the built-in gateway, so every call uses the proxy
// form). Returns the calls not answered "OK".
long sendBatch(int threads, int each, std::uint16_t direct, std::uint16_t proxy,
               const std::string& tag) {
    std::atomic<long> notOK{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([=, &notOK] {
            const Fields f;
            for (int i = 0; i < each; ++i) {
                // Letters and digits only: the outbox shows them as sent.
                const std::string msg = tag + "t" + std::to_string(t) + "m" + std::to_string(i);
                char answer[100] = "";
                const int r = sendSMS2(f.kdnr, f.firma, f.user, f.key, msg.c_str(), f.receiver,
                                       nullptr, "127.0.0.1", (t + i) % 2 == 0 ? direct : proxy,
                                       false, answer, sizeof answer);
                if (r != 0 || std::strcmp(answer, "OK") != 0) ++notOK;
            }
        });
    }
    for (auto& th : pool) th.join();
    return notOK;
}

// Waits (at most 5 s) until the proxy has let go of `connections`: a call
// returns with its answer line before the proxy has seen the close.
void waitHandled(const zelvotest::Peer& proxy, int connections) {
    for (int i = 0; i < 500 && proxy.handled() < connections; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// 16 threads of `each` messages through the real simulator, half of them
// through a forwarding proxy; every message must be in the outbox once.
Load loadRun(int each) {
    Load l;
    l.each = each;
    char dir[] = "/tmp/zelvo-bench-XXXXXX";
    const std::string outbox =
        std::string(mkdtemp(dir) != nullptr ? dir : "/tmp") + "/outbox.jsonl";
    {
        zelvotest::Process sim({ZELVO_GATEWAY_BIN, "--listen", "127.0.0.1:0", "--outbox", outbox,
                                "--account", "12345:2:tst:geheim"});
        const std::string line = sim.waitForLine("listening on 127.0.0.1:");
        const auto port = static_cast<std::uint16_t>(
            line.empty() ? 0 : std::atoi(line.c_str() + line.find("127.0.0.1:") + 10));
        zelvotest::Peer proxy(zelvotest::forwardingTo(port), zelvotest::Peer::kUnlimited, 8);
        // Warm-up: threads, allocator arenas and the resolver settle here.
        const int warm = 10;
        l.notOK += sendBatch(l.threads, warm, port, proxy.port(), "warm");
        waitHandled(proxy, l.threads * warm / 2);
        l.fdsBefore = zelvotest::openDescriptors();
        l.rssBefore = statusKiB("VmRSS:");
        const auto start = Clock::now();
        l.notOK += sendBatch(l.threads, each, port, proxy.port(), "load");
        l.callsPerSecond =
            l.threads * each / std::chrono::duration<double>(Clock::now() - start).count();
        waitHandled(proxy, l.threads * (warm + each) / 2);
        l.fdsAfter = zelvotest::openDescriptors();
        l.rssAfter = statusKiB("VmRSS:");
        l.proxied = proxy.handled();
        sim.signal(SIGTERM);
        sim.finish();
    }
    std::map<std::string, int> seen;
    std::ifstream in(outbox);
    for (std::string r; std::getline(in, r);) {
        const std::size_t at = r.find("\"msg\":\"load");
        if (at != std::string::npos) ++seen[r.substr(at + 7, r.find('"', at + 7) - at - 7)];
    }
    for (const auto& entry : seen) l.doubled += entry.second > 1 ? 1 : 0;
    l.lost = l.threads * each - static_cast<long>(seen.size());
    std::remove(outbox.c_str());
    ::rmdir(dir);
    return l;
}
#endif

std::string firstLine(const char* path, const char* key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            const std::size_t colon = line.find(':');
            std::string v = line.substr(colon + 1);
            v.erase(0, v.find_first_not_of(" \t"));
            return v;
        }
    }
    return "?";
}

std::string machine() {
    utsname u{};
    uname(&u);
    const long mem = sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE) / (1024L * 1024 * 1024);
    return firstLine("/proc/cpuinfo", "model name") + ", " +
           std::to_string(std::thread::hardware_concurrency()) + " logical CPUs, " +
           std::to_string(mem) + " GiB RAM, " + u.sysname + " " + u.release + ", " +
#if defined(__clang__)
           "clang " __clang_version__
#else
           "gcc " __VERSION__
#endif
        ;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    bool markdown = false;
    std::string csvPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rss-child" && i + 1 < argc) {
            return rssChild(static_cast<std::uint16_t>(std::atoi(argv[i + 1])));
        } else if (a == "--loop-export" && i + 1 < argc) {
            // For profiling: nothing but sendSMS2 calls on one thread.
            zelvotest::Peer peer(zelvotest::replying({kReply}), zelvotest::Peer::kUnlimited, 1);
            const long n = std::atol(argv[i + 1]);
            long bad = 0;
            for (long k = 0; k < n; ++k) bad += viaExport(peer.port()) ? 0 : 1;
            return bad == 0 ? 0 : 1;
        } else if (a == "--quick") {
            quick = true;
        } else if (a == "--markdown") {
            markdown = true;
        } else if (a == "--csv" && i + 1 < argc) {
            csvPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--csv FILE] [--markdown]\n", argv[0]);
            return 2;
        }
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    bool allOk = true;
    std::printf("machine: %s\n", machine().c_str());
    std::printf("mode: %s\n\n", quick ? "quick" : "full");

    // ---- calls per second
    const double seconds = quick ? 0.4 : 3.0;
    const int rounds = quick ? 1 : 3;
    const std::vector<int> threadCounts =
        quick ? std::vector<int>{1, 2, 4} : std::vector<int>{1, 2, 3, 4, 6, 8};
    const std::string request = exportRequest();
    if (floorRequest() != request) {
        std::printf("the floor's request differs from sendSMS2's:\n%s\n%s\n",
                    floorRequest().c_str(), request.c_str());
        allOk = false;
    }
    struct Row {
        int threads;
        double sms, raw, curl;
    };
    std::vector<Row> rows;
    {
        zelvotest::Peer peer(zelvotest::replying({kReply}), zelvotest::Peer::kUnlimited, 8);
        const std::uint16_t port = peer.port();
        // Warm up the three paths once.
        allOk &= viaExport(port) && viaRawSocket(port) && CurlClient(port, request).call();
        for (int t : threadCounts) {
            std::vector<double> sms, raw, cu;
            for (int r = 0; r < rounds; ++r) {
                // Interleaved, so that drifts of the machine hit all three.
                const Rate a = measure(t, seconds, [&] {
                    return std::function<bool()>([port] { return viaExport(port); });
                });
                const Rate b = measure(t, seconds, [&] {
                    return std::function<bool()>([port] { return viaRawSocket(port); });
                });
                const Rate c = measure(t, seconds, [&] {
                    auto client = std::make_shared<CurlClient>(port, request);
                    return std::function<bool()>([client] { return client->call(); });
                });
                if (a.failures + b.failures + c.failures > 0) {
                    std::printf("failed calls at %d threads: sendSMS2 %ld, raw %ld, libcurl %ld\n",
                                t, a.failures, b.failures, c.failures);
                    allOk = false;
                }
                sms.push_back(a.callsPerSecond);
                raw.push_back(b.callsPerSecond);
                cu.push_back(c.callsPerSecond);
            }
            rows.push_back({t, median(sms), median(raw), median(cu)});
        }
    }
    std::printf("calls per second (median of %d run(s) of %.1f s each)\n", rounds, seconds);
    std::printf("%8s %12s %12s %12s %14s %14s\n", "threads", "sendSMS2", "raw socket", "libcurl",
                "raw/sendSMS2", "curl/sendSMS2");
    for (const Row& r : rows) {
        std::printf("%8d %12.0f %12.0f %12.0f %13.3fx %13.3fx\n", r.threads, r.sms, r.raw, r.curl,
                    r.raw / r.sms, r.curl / r.sms);
    }
    const Row& one = rows.front();
    std::printf(
        "one thread: sendSMS2 costs %.3fx the raw floor per call (target <= 1.15), "
        "libcurl %.3fx (target: above sendSMS2)\n",
        one.raw / one.sms, one.raw / one.curl);
    const double factsUs = localFactsMicros(quick ? 2000 : 20000);
    const double smsUs = 1e6 / one.sms;
    const double rawUs = 1e6 / one.raw;
    std::printf(
        "per call: sendSMS2 %.1f us, raw floor %.1f us; each of them looks up the local "
        "facts (user, host name, its address), %.1f us of it\n\n",
        smsUs, rawUs, factsUs);
    if (!csvPath.empty()) {
        std::ofstream csv(csvPath);
        csv << "threads,sendSMS2,raw,libcurl\n";
        for (const Row& r : rows)
            csv << r.threads << ',' << r.sms << ',' << r.raw << ',' << r.curl << '\n';
    }

    // ---- peak memory of one call
    struct Mem {
        const char* label;
        std::uint64_t bytes;
        long kib;
    };
    std::vector<Mem> mems = {{"no call", 0, 0},
                             {"1 KiB", 1u << 10, 0},
                             {"1 MiB", 1u << 20, 0},
                             {"1 GiB", 1ull << 30, 0}};
    for (Mem& m : mems) {
        bool ok = true;
        if (m.bytes == 0) {
            m.kib = childPeakKiB(argv[0], 0, &ok);
        } else {
            // The whole reply is one line: the call must read to the end.
            const std::string head = "HTTP/1.1 200 OK\r\n\r\nN";
            zelvotest::Peer peer(answering(head, m.bytes - 1));
            m.kib = childPeakKiB(argv[0], peer.port(), &ok);
        }
        if (!ok || m.kib < 0) {
            std::printf("memory child for %s failed\n", m.label);
            allOk = false;
        }
    }
    std::printf("peak resident memory of one call (fresh process each)\n");
    for (const Mem& m : mems) std::printf("%10s reply: %8ld KiB\n", m.label, m.kib);
    std::printf("1 GiB minus 1 KiB: %ld KiB (target: within 1024)\n\n", mems[3].kib - mems[1].kib);

    // ---- time to the answer with a peer that keeps the connection open
    const int hold = quick ? 3000 : 10000;
    struct Lat {
        const char* label;
        std::string reply;
        double ms;
    };
    std::vector<Lat> lats = {
        {"answer line ends in LF", kReply, 0},
        {"Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK", 0},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n", 0},
    };
    for (Lat& l : lats) {
        zelvotest::Peer peer(answering(l.reply, 0, hold), zelvotest::Peer::kUnlimited, 1);
        std::vector<double> v;
        for (int i = 0; i < 5; ++i) {
            const auto start = Clock::now();
            allOk &= viaExport(peer.port());
            v.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        l.ms = median(v);
    }
    std::printf("time to the answer, peer keeps the connection open for %d ms (median of 5)\n",
                hold);
    for (const Lat& l : lats) std::printf("%26s: %8.3f ms\n", l.label, l.ms);

        // ---- load through the simulator and a forwarding proxy
#if defined(ZELVO_GATEWAY_BIN)
    const Load load = loadRun(quick ? 50 : 500);
    std::printf(
        "\nload: %d threads x %d sendSMS2 calls to zelvo-gateway, every other one through "
        "a forwarding proxy (%d forwarded)\n",
        load.threads, load.each, load.proxied);
    std::printf(
        "%.0f calls/s; %ld not answered OK; %ld lost, %ld doubled in the outbox; "
        "descriptors %d -> %d, resident memory %ld -> %ld KiB\n",
        load.callsPerSecond, load.notOK, load.lost, load.doubled, load.fdsBefore, load.fdsAfter,
        load.rssBefore, load.rssAfter);
    allOk &= load.notOK == 0 && load.lost == 0 && load.doubled == 0;
#else
    std::printf("\nload: skipped, the gateway simulator is not built\n");
#endif

    if (markdown) {
        std::printf(
            "\n| threads | sendSMS2 calls/s | raw socket calls/s | libcurl calls/s | "
            "raw / sendSMS2 | libcurl / sendSMS2 |\n|---:|---:|---:|---:|---:|---:|\n");
        for (const Row& r : rows) {
            std::printf("| %d | %.0f | %.0f | %.0f | %.3f | %.3f |\n", r.threads, r.sms, r.raw,
                        r.curl, r.raw / r.sms, r.curl / r.sms);
        }
        std::printf("\n| reply | peak RSS of one call |\n|---|---:|\n");
        for (const Mem& m : mems) std::printf("| %s | %ld KiB |\n", m.label, m.kib);
        std::printf("\n| reply, connection kept open | time to the answer |\n|---|---:|\n");
        for (const Lat& l : lats) std::printf("| %s | %.3f ms |\n", l.label, l.ms);
#if defined(ZELVO_GATEWAY_BIN)
        std::printf(
            "\n| load through the simulator, half through a proxy | calls/s | lost | "
            "doubled |\n|---|---:|---:|---:|\n| %d threads x %d calls | %.0f | %ld | %ld |\n",
            load.threads, load.each, load.callsPerSecond, load.lost, load.doubled);
#endif
    }
    curl_global_cleanup();
    std::printf("\n%s\n", allOk ? "all calls answered, no message lost or doubled"
                                : "SOME CALLS FAILED OR MESSAGES LOST OR DOUBLED");
    return allOk ? 0 : 1;
}
