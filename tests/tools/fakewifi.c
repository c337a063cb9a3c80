/* Preloaded by stubnet-run --device into every program of the simulated device. Qt calls an
 * Ethernet-like interface Wi-Fi when the kernel answers the wireless mode query for it, which
 * only a real radio driver does; tap devices cannot. For the interfaces named in
 * ZRNET_STUB_WIFI (taps of the namespace) this answers that one query as a driver in managed
 * mode would. Every other call goes to the C library untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/wireless.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

typedef int (*IoctlFunction)(int, unsigned long, void *);

static int isStubWifi(const char *name, size_t length)
{
    const char *list = getenv("ZRNET_STUB_WIFI");
    while (list && *list) {
        const size_t word = strcspn(list, " ");
        if (word == length && strncmp(list, name, length) == 0)
            return 1;
        list += word;
        list += strspn(list, " ");
    }
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    static IoctlFunction real;
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    if (request == SIOCGIWMODE && argument) {
        struct iwreq *query = argument;
        if (isStubWifi(query->ifr_name, strnlen(query->ifr_name, IFNAMSIZ))) {
            query->u.mode = IW_MODE_INFRA;
            return 0;
        }
    }
    IoctlFunction next = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
    if (!next) {
        next = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
        __atomic_store_n(&real, next, __ATOMIC_RELEASE);
    }
    return next(fd, request, argument);
}
