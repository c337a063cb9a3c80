/* libmicrohttpd peer: "pool" runs one epoll loop per core on an internal
 * thread pool, "thread" runs a thread per connection (default stacks).
 *
 *   mhd-hello PORT pool|thread
 */
#include <microhttpd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static struct MHD_Response *hello;

static enum MHD_Result answer(void *cls, struct MHD_Connection *connection, const char *url,
                              const char *method, const char *version, const char *upload_data,
                              size_t *upload_data_size, void **state)
{
    (void)cls, (void)url, (void)method, (void)version, (void)upload_data, (void)state;
    *upload_data_size = 0;
    return MHD_queue_response(connection, MHD_HTTP_OK, hello);
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: mhd-hello PORT pool|thread\n");
        return 2;
    }
    hello = MHD_create_response_from_buffer(13, (void *)"Hello, world!", MHD_RESPMEM_PERSISTENT);
    unsigned int pool = (unsigned int)sysconf(_SC_NPROCESSORS_ONLN);
    struct MHD_Daemon *d;
    if (strcmp(argv[2], "pool") == 0)
        d = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, (unsigned short)atoi(argv[1]), NULL,
                             NULL, answer, NULL, MHD_OPTION_THREAD_POOL_SIZE, pool,
                             MHD_OPTION_CONNECTION_LIMIT, 20000u,
                             MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u, MHD_OPTION_END);
    else
        d = MHD_start_daemon(MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_THREAD_PER_CONNECTION,
                             (unsigned short)atoi(argv[1]), NULL, NULL, answer, NULL,
                             MHD_OPTION_CONNECTION_LIMIT, 20000u,
                             MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u, MHD_OPTION_END);
    if (!d) {
        fprintf(stderr, "mhd-hello: cannot start\n");
        return 1;
    }
    for (;;)
        pause();
}
