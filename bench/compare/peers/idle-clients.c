/* Holds N idle connections to 127.0.0.1:PORT. Each sends the start of a
 * request (the request line and one header, never the blank line that ends
 * the header block) and then nothing; or, with "kept", a whole request, reads
 * the start of its answer and then keeps the connection open, as a browser
 * does between requests. Connects at most WINDOW at a time, for at most
 * CONNECT_SECONDS, prints "connected M" once, then holds them for
 * HOLD_SECONDS at most (SIGTERM ends it sooner) and exits, closing them all.
 *
 *   idle-clients PORT N CONNECT_SECONDS HOLD_SECONDS [kept]
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { WINDOW = 256 };

static const char partial[] = "GET /idle HTTP/1.1\r\nHost: 127.0.0.1\r\n";
static const char whole[] = "GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static int start_connect(const struct sockaddr_in *to)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (connect(s, (const struct sockaddr *)to, sizeof *to) < 0 && errno != EINPROGRESS) {
        close(s);
        return -1;
    }
    return s;
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: idle-clients PORT N CONNECT_SECONDS HOLD_SECONDS [kept]\n");
        return 2;
    }
    const int wanted = atoi(argv[2]);
    const double deadline = now() + atof(argv[3]);
    const unsigned hold = (unsigned)atoi(argv[4]);
    const int kept = argc > 5 && strcmp(argv[5], "kept") == 0;
    const char *request = kept ? whole : partial;
    const size_t length = kept ? sizeof whole - 1 : sizeof partial - 1;
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    struct sockaddr_in to = { .sin_family = AF_INET, .sin_port = htons(atoi(argv[1])) };
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    struct pollfd pending[WINDOW];
    int npending = 0, started = 0, connected = 0, failed = 0;
    while (((started < wanted && !failed) || npending > 0) && now() < deadline) {
        while (!failed && started < wanted && npending < WINDOW) {
            int s = start_connect(&to);
            if (s < 0) {
                failed = 1; /* out of descriptors or ports: no point in trying harder */
                break;
            }
            started++;
            pending[npending++] = (struct pollfd){ s, POLLOUT, 0 };
        }
        if (poll(pending, (nfds_t)npending, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < npending;) {
            if (!pending[i].revents) {
                i++;
                continue;
            }
            /* Kept: the request went out once connected; the answer has come now. */
            char answer[512];
            int ok;
            if (pending[i].events == POLLIN) {
                ok = recv(pending[i].fd, answer, sizeof answer, 0) > 0;
            } else {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &err, &len);
                ok = err == 0 && send(pending[i].fd, request, length, MSG_NOSIGNAL) > 0;
                if (ok && kept) {
                    pending[i].events = POLLIN;
                    pending[i].revents = 0;
                    i++;
                    continue;
                }
            }
            if (ok)
                connected++;
            else
                close(pending[i].fd);
            pending[i] = pending[--npending];
        }
    }
    /* Connections still in progress at the deadline are left to finish or not. */
    printf("connected %d\n", connected);
    fflush(stdout);
    for (double end = now() + hold; now() < end;)
        sleep(1);
    return 0;
}
