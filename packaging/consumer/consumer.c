/*
 * Sends one message with the installed zelvonet, written in C as many of its
 * users write. The program plays the HTTP proxy itself, on a loopback port
 * the system picks, so that no gateway and no fixed port is needed: the
 * request arrives here in the proxy's form and is answered with "OK".
 *
 * Exit status 0 when sendSMS2 returned 0 with the answer "OK" and the
 * request was the library's; 1 otherwise.
 */
#include <zelvonet/zelvonet.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

struct proxy {
    int listener;
    char request[16384];
    size_t got;
};

/* Accepts one connection, reads the request up to its empty line and
 * answers; gives up after 10 s of silence at any point. */
static void* serve(void* arg) {
    struct proxy* p = arg;
    struct pollfd l = {p->listener, POLLIN, 0};
    if (poll(&l, 1, 10000) != 1) return NULL;
    int c = accept(p->listener, NULL, NULL);
    if (c < 0) return NULL;
    for (int i = 0; i < 1000 && p->got < sizeof p->request - 1; ++i) {
        struct pollfd q = {c, POLLIN, 0};
        if (poll(&q, 1, 10000) != 1) break;
        ssize_t n = recv(c, p->request + p->got, sizeof p->request - 1 - p->got, 0);
        if (n <= 0) break;
        p->got += (size_t)n;
        p->request[p->got] = '\0';
        if (strstr(p->request, "\n\n") != NULL) break;
    }
    static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\n";
    send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
    close(c);
    return NULL;
}

int main(void) {
    struct proxy p;
    memset(&p, 0, sizeof p);
    p.listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (p.listener < 0 || bind(p.listener, (struct sockaddr*)&sa, sizeof sa) != 0 ||
        listen(p.listener, 1) != 0 || getsockname(p.listener, (struct sockaddr*)&sa, &len) != 0) {
        perror("consumer: loopback listener");
        return 1;
    }
    const int port = ntohs(sa.sin_port);

    pthread_t thread;
    if (pthread_create(&thread, NULL, serve, &p) != 0) {
        fputs("consumer: no thread\n", stderr);
        return 1;
    }
    char answer[100];
    memset(answer, '#', sizeof answer);
    const int rc = sendSMS2("4711", 1, "tst", "geheim", "Hallo Welt", "01711234567", NULL,
                            "127.0.0.1", port, true, answer, (int)sizeof answer);
    pthread_join(thread, NULL);
    close(p.listener);

    int ok = 1;
    if (rc != 0 || strcmp(answer, "OK") != 0) {
        fprintf(stderr, "consumer: sendSMS2 gave %d, answer '%.99s'\n", rc, answer);
        ok = 0;
    }
    if (strncmp(p.request, "GET http://", 11) != 0 ||
        strstr(p.request, "/ZelvoServlet?kdnr=4711&firma=1&user=tst&key=geheim&msg=Hallo") ==
            NULL ||
        strstr(p.request, "&test=1 HTTP/1.1\n") == NULL) {
        fprintf(stderr, "consumer: unexpected request:\n%s\n", p.request);
        ok = 0;
    }
    if (!ok) return 1;
    printf("consumer: one message sent through the proxy at 127.0.0.1:%d, answer %s\n", port,
           answer);
    return 0;
}
