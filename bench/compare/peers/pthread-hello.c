/* The floor of the comparison: one detached pthread per connection, with a
 * stack of the given size, reads until the end of the request's header block,
 * sends the 13-byte reply and closes. With "keepalive" it answers every
 * request on the connection until the client closes or asks to.
 *
 *   pthread-hello PORT STACK_KIB [keepalive]
 */
#define _GNU_SOURCE /* accept4 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: close\r\n\r\n"
                            "Hello, world!";

static const char kept[] = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\nHello, world!";
static int keep_alive;

/* Requests without a body, one after the other; the reply of the last says close. */
static void *serve(void *arg)
{
    int fd = (int)(intptr_t)arg;
    char buf[4096];
    size_t have = 0;
    for (;;) {
        char *end;
        buf[have] = '\0';
        while (!(end = strstr(buf, "\r\n\r\n"))) {
            if (have >= sizeof buf - 1)
                goto done;
            ssize_t n = recv(fd, buf + have, sizeof buf - 1 - have, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                goto done;
            have += (size_t)n;
            buf[have] = '\0';
        }
        *end = '\0';
        if (!keep_alive || strcasestr(buf, "\nConnection: close")) {
            send(fd, reply, sizeof reply - 1, MSG_NOSIGNAL);
            goto done;
        }
        if (send(fd, kept, sizeof kept - 1, MSG_NOSIGNAL) < 0)
            goto done;
        size_t used = (size_t)(end + 4 - buf);
        memmove(buf, buf + used, have - used);
        have -= used;
    }
done:
    close(fd);
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: pthread-hello PORT STACK_KIB [keepalive]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a = { .sin_family = AF_INET, .sin_port = htons(atoi(argv[1])) };
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr *)&a, sizeof a) < 0 || listen(s, 1024) < 0) {
        perror("pthread-hello: listen");
        return 1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, (size_t)atoi(argv[2]) * 1024);
    keep_alive = argc > 3 && !strcmp(argv[3], "keepalive");
    for (;;) {
        int c = accept4(s, NULL, NULL, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOMEM)
                usleep(50000);
            continue;
        }
        pthread_t t;
        if (pthread_create(&t, &attr, serve, (void *)(intptr_t)c) != 0)
            close(c);
    }
}
