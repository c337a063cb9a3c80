/* The event-driven floor of the comparison: two threads, each with its own epoll
 * set and its own SO_REUSEPORT listening socket, serve every ready connection
 * inline on the thread that saw it. No parser: a request is whatever ends with
 * the blank line of its header block, answered with the 13-byte reply; the
 * connection stays open unless the request says "Connection: close". Given a
 * certificate and its key (PEM), over TLS with OpenSSL, non-blocking throughout
 * (handshakes, reads and writes wait in epoll on WANT_READ / WANT_WRITE).
 *
 *   epoll-hello PORT [CERTIFICATE KEY]
 */
#define _GNU_SOURCE /* accept4, strcasestr */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

enum { LOOPS = 2, EVENTS = 256, IN_SIZE = 4096, OUT_SIZE = 8192 };

static const char reply_close[]
    = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: close\r\n\r\n"
      "Hello, world!";
static const char reply_kept[] = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\nHello, world!";

static SSL_CTX *tls;
static int port;

/* An idle connection holds no buffer: it is taken while a request is part read or
 * its reply part written, and given back once both are done. */
struct conn
{
    int fd;
    unsigned events; /* what epoll watches for it now */
    int closing; /* close once the output is out */
    int handshaken;
    SSL *ssl;
    char *buf; /* IN_SIZE input, then OUT_SIZE output */
    size_t have, out, sent;
};

struct loop
{
    int ep, listener;
};

static void drop(struct conn *c)
{
    if (c->ssl) {
        if (c->handshaken)
            SSL_shutdown(c->ssl); /* the close_notify, not waited for */
        SSL_free(c->ssl);
    }
    close(c->fd);
    free(c->buf);
    free(c);
}

/* Read/write results as -1 (failed or ended), 0 (would block; *want says which way) or n > 0. */
static ssize_t io(struct conn *c, int writing, char *p, size_t n, unsigned *want)
{
    if (!c->ssl) {
        ssize_t r = writing ? send(c->fd, p, n, MSG_NOSIGNAL) : recv(c->fd, p, n, 0);
        if (r > 0)
            return r;
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            *want = writing ? EPOLLOUT : EPOLLIN;
            return 0;
        }
        return -1;
    }
    int r = writing ? SSL_write(c->ssl, p, (int)n) : SSL_read(c->ssl, p, (int)n);
    if (r > 0)
        return r;
    switch (SSL_get_error(c->ssl, r)) {
    case SSL_ERROR_WANT_READ:
        *want = EPOLLIN;
        return 0;
    case SSL_ERROR_WANT_WRITE:
        *want = EPOLLOUT;
        return 0;
    default:
        ERR_clear_error();
        return -1;
    }
}

/* Answers every whole request in the input; returns -1 when one is too long. */
static int answer(struct conn *c)
{
    char *in = c->buf, *out = c->buf + IN_SIZE, *end;
    in[c->have] = '\0';
    while (!c->closing && (end = strstr(in, "\r\n\r\n"))) {
        *end = '\0';
        c->closing = strcasestr(in, "\nConnection: close") != NULL;
        const char *reply = c->closing ? reply_close : reply_kept;
        size_t length = c->closing ? sizeof reply_close - 1 : sizeof reply_kept - 1;
        if (c->out + length > OUT_SIZE)
            break; /* the rest once this is out */
        memcpy(out + c->out, reply, length);
        c->out += length;
        size_t used = (size_t)(end + 4 - in);
        memmove(in, in + used, c->have - used + 1);
        c->have -= used;
    }
    return c->have >= IN_SIZE - 1 ? -1 : 0;
}

/* Everything a ready connection allows, then what to wait for: 0 when it has ended. */
static unsigned serve(struct conn *c)
{
    unsigned want = EPOLLIN;
    int drained = 0;
    if (c->ssl && !c->handshaken) {
        int r = SSL_accept(c->ssl);
        if (r <= 0) {
            int e = SSL_get_error(c->ssl, r);
            ERR_clear_error();
            return e == SSL_ERROR_WANT_READ ? EPOLLIN : e == SSL_ERROR_WANT_WRITE ? EPOLLOUT : 0;
        }
        c->handshaken = 1;
    }
    if (!c->buf && !(c->buf = malloc(IN_SIZE + OUT_SIZE)))
        return 0;
    for (;;) {
        while (c->sent < c->out) {
            ssize_t n = io(c, 1, c->buf + IN_SIZE + c->sent, c->out - c->sent, &want);
            if (n <= 0)
                return n < 0 ? 0 : want;
            c->sent += (size_t)n;
        }
        c->out = c->sent = 0;
        if (c->closing)
            return 0;
        if (answer(c) < 0)
            return 0;
        if (c->out)
            continue;
        if (drained)
            break;
        ssize_t n = io(c, 0, c->buf + c->have, IN_SIZE - 1 - c->have, &want);
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        c->have += (size_t)n;
        if (answer(c) < 0)
            return 0;
        /* A short plain read took all there was: no second recv just to hear EAGAIN (as
         * nginx). TLS may hold more in its own buffer: read on until it wants more. */
        drained = !c->ssl && (size_t)n < IN_SIZE - 1 - (c->have - (size_t)n);
    }
    if (want == EPOLLIN && !c->have && !c->out) {
        free(c->buf);
        c->buf = NULL;
    }
    return want;
}

static void accept_all(struct loop *l)
{
    for (;;) {
        int fd = accept4(l->listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; /* EAGAIN, or out of descriptors: the next wake tries again */
        struct conn *c = calloc(1, sizeof *c);
        if (!c || (tls && !(c->ssl = SSL_new(tls)))) {
            free(c);
            close(fd);
            continue;
        }
        c->fd = fd;
        /* Replies go out at once, not after the ACK of a handshake's last write (as nginx). */
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (c->ssl)
            SSL_set_fd(c->ssl, fd);
        c->events = EPOLLIN;
        struct epoll_event ev = { .events = EPOLLIN, .data.ptr = c };
        if (epoll_ctl(l->ep, EPOLL_CTL_ADD, fd, &ev) < 0)
            drop(c);
    }
}

static int listen_socket(void)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    struct sockaddr_in a = { .sin_family = AF_INET, .sin_port = htons(port) };
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr *)&a, sizeof a) < 0 || listen(s, 1024) < 0) {
        perror("epoll-hello: listen");
        exit(1);
    }
    return s;
}

static void *run(void *arg)
{
    struct loop *l = arg;
    struct epoll_event events[EVENTS];
    for (;;) {
        int n = epoll_wait(l->ep, events, EVENTS, -1);
        for (int i = 0; i < n; i++) {
            struct conn *c = events[i].data.ptr;
            if (!c) {
                accept_all(l);
                continue;
            }
            unsigned want = serve(c);
            if (!want) {
                drop(c); /* closing the descriptor takes it out of the set */
            } else if (want != c->events) {
                struct epoll_event ev = { .events = want, .data.ptr = c };
                c->events = want;
                epoll_ctl(l->ep, EPOLL_CTL_MOD, c->fd, &ev);
            }
        }
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: epoll-hello PORT [CERTIFICATE KEY]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    port = atoi(argv[1]);
    if (argc == 4) {
        tls = SSL_CTX_new(TLS_server_method());
        if (!tls || SSL_CTX_use_certificate_chain_file(tls, argv[2]) != 1
            || SSL_CTX_use_PrivateKey_file(tls, argv[3], SSL_FILETYPE_PEM) != 1) {
            ERR_print_errors_fp(stderr);
            return 1;
        }
        SSL_CTX_set_mode(tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
    static struct loop loops[LOOPS];
    pthread_t threads[LOOPS];
    for (int i = 0; i < LOOPS; i++) {
        loops[i].listener = listen_socket();
        loops[i].ep = epoll_create1(EPOLL_CLOEXEC);
        struct epoll_event ev = { .events = EPOLLIN, .data.ptr = NULL };
        epoll_ctl(loops[i].ep, EPOLL_CTL_ADD, loops[i].listener, &ev);
    }
    for (int i = 1; i < LOOPS; i++)
        pthread_create(&threads[i], NULL, run, &loops[i]);
    run(&loops[0]);
    return 0;
}
