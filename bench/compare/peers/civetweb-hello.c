/* civetweb peer with its own worker pool (default size); with "keepalive",
 * keep-alive enabled and replies that leave the connection open.
 *
 *   civetweb-hello PORT [keepalive]
 */
#include <civetweb.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int hello(struct mg_connection *conn, void *cbdata)
{
    (void)cbdata;
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: close\r\n\r\n"
                    "Hello, world!");
    return 200;
}

/* One write, as above: a head and a body written apart would meet Nagle's delay. */
static int hello_kept(struct mg_connection *conn, void *cbdata)
{
    (void)cbdata;
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\nHello, world!");
    return 200;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: civetweb-hello PORT\n");
        return 2;
    }
    char ports[64];
    snprintf(ports, sizeof ports, "127.0.0.1:%s", argv[1]);
    const int keep = argc > 2 && !strcmp(argv[2], "keepalive");
    const char *options[] = { "listening_ports", ports, "enable_keep_alive", keep ? "yes" : "no",
        NULL };
    mg_init_library(0);
    struct mg_context *ctx = mg_start(NULL, NULL, options);
    if (!ctx) {
        fprintf(stderr, "civetweb-hello: cannot start\n");
        return 1;
    }
    mg_set_request_handler(ctx, "/", keep ? hello_kept : hello, NULL);
    for (;;)
        pause();
}
