/* civetweb peer with its own worker pool (default size).
 *
 *   civetweb-hello PORT
 */
#include <civetweb.h>
#include <stdio.h>
#include <unistd.h>

static int hello(struct mg_connection *conn, void *cbdata)
{
    (void)cbdata;
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: close\r\n\r\n"
                    "Hello, world!");
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
    const char *options[] = { "listening_ports", ports, NULL };
    mg_init_library(0);
    struct mg_context *ctx = mg_start(NULL, NULL, options);
    if (!ctx) {
        fprintf(stderr, "civetweb-hello: cannot start\n");
        return 1;
    }
    mg_set_request_handler(ctx, "/", hello, NULL);
    for (;;)
        pause();
}
