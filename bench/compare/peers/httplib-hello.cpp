// cpp-httplib peer with its own thread pool (default size); with "keepalive",
// connections stay open as the library does by default. /sleep answers after a handler that
// sleeps a second (the fairness table).
//
//   httplib-hello PORT [keepalive]
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: httplib-hello PORT\n");
        return 2;
    }
    const bool keep = argc > 2 && std::string(argv[2]) == "keepalive";
    httplib::Server server;
    // Routes match in the order given: this one before the catch-all.
    server.Get("/sleep", [keep](const httplib::Request &, httplib::Response &res) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (!keep)
            res.set_header("Connection", "close");
        res.set_content("Slept.", "text/plain");
    });
    server.Get(".*", [keep](const httplib::Request &, httplib::Response &res) {
        if (!keep)
            res.set_header("Connection", "close");
        res.set_content("Hello, world!", "text/plain");
    });
    if (!server.listen("127.0.0.1", std::atoi(argv[1]))) {
        std::fprintf(stderr, "httplib-hello: cannot listen\n");
        return 1;
    }
}
