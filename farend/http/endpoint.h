// An HTTP endpoint that serves one text at one path, on a thread of libmicrohttpd's own, so that
// no client can hold up the thread that made it. A client that misbehaves is bounded: a few
// connections at once (more wait in the listener's backlog), an idle one closed after a few
// seconds, a request's header held in a fixed amount of memory (431 past it), a body never
// read (413); anything but GET or HEAD of the path gets its status (404, 405) and nothing else.
#pragma once

#include "farend/error/fallible.h"

#include <functional>
#include <memory>
#include <string>

struct MHD_Daemon;

struct HttpLimits {
    unsigned connections = 16;       // at once
    unsigned idleS = 5;              // a connection that sends and takes nothing is closed
    std::size_t connectionMemory = 16 * 1024;   // a request's header and its answer's head
};

class HttpEndpoint {
public:
    // The text to serve, asked on the endpoint's thread at each request; none: not yet (503).
    using Text = std::function<std::shared_ptr<const std::string>()>;

    // Serves `text` as `contentType` at `path` on `listener`, a listening socket it takes over
    // (closed whatever comes of it).
    static Opened<HttpEndpoint> start(int listener, std::string path, std::string contentType,
                                      Text text, HttpLimits limits = {});
    ~HttpEndpoint();   // ends the thread, every connection with it
    HttpEndpoint(const HttpEndpoint &) = delete;
    HttpEndpoint &operator=(const HttpEndpoint &) = delete;

private:
    HttpEndpoint(std::string path, std::string contentType, Text text);
    struct Answer;

    const std::string path, contentType;
    const Text text;
    MHD_Daemon *daemon = nullptr;
};
