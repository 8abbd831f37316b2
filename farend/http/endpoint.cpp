#include "farend/http/endpoint.h"

#include <csignal>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <microhttpd.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// Queues an answer of `status` with `body` (none: nothing after the head).
MHD_Result reply(MHD_Connection *c, unsigned status, const std::string *body = nullptr,
                 const char *contentType = nullptr, const char *allow = nullptr)
{
    MHD_Response *r =
        body ? MHD_create_response_from_buffer(body->size(), const_cast<char *>(body->data()),
                                               MHD_RESPMEM_MUST_COPY)
             : MHD_create_response_from_buffer(0, const_cast<char *>(""), MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;   // out of memory: the library closes the connection
    if (contentType)
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    if (allow)
        MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, allow);
    const MHD_Result queued = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return queued;
}

bool hasBody(MHD_Connection *c)
{
    const char *length =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return (length && std::strcmp(length, "0") != 0) ||
           MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
}

// The library's own messages would land amid the relay's lines: what a client does wrong is
// answered to the client, not told to the user.
void quiet(void *, const char *, va_list) {}

} // namespace

struct HttpEndpoint::Answer {
    // Called once the header is in, and again once the request is whole: an answer given at the
    // first call closes the connection, one given at the second keeps it for the next request.
    static MHD_Result request(void *self, MHD_Connection *c, const char *url, const char *method,
                              const char *, const char *, size_t *uploaded, void **seen)
    {
        const HttpEndpoint &e = *static_cast<const HttpEndpoint *>(self);
        if (e.path != url)
            return reply(c, MHD_HTTP_NOT_FOUND);
        const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
        if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
            return reply(c, MHD_HTTP_METHOD_NOT_ALLOWED, nullptr, nullptr, "GET, HEAD");
        if (!*seen) {
            // a body is never read: it could go on for ever
            if (hasBody(c))
                return reply(c, MHD_HTTP_CONTENT_TOO_LARGE);
            *seen = self;
            return MHD_YES;
        }
        *uploaded = 0;
        const std::shared_ptr<const std::string> body = e.text();
        if (!body)
            return reply(c, MHD_HTTP_SERVICE_UNAVAILABLE);
        return reply(c, MHD_HTTP_OK, body.get(), e.contentType.c_str());
    }
};

HttpEndpoint::HttpEndpoint(std::string path, std::string contentType, Text text)
    : path(std::move(path)), contentType(std::move(contentType)), text(std::move(text))
{
}

Opened<HttpEndpoint> HttpEndpoint::start(int listener, std::string path, std::string contentType,
                                         Text text, HttpLimits limits)
{
    std::unique_ptr<HttpEndpoint> e(
        new HttpEndpoint(std::move(path), std::move(contentType), std::move(text)));
    // the thread starts with every signal blocked: they stay the relay's to take
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    e->daemon = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &Answer::request, e.get(),
        MHD_OPTION_EXTERNAL_LOGGER, &quiet, nullptr, MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_CONNECTION_LIMIT, limits.connections, MHD_OPTION_CONNECTION_TIMEOUT,
        limits.idleS, MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.connectionMemory,
        MHD_OPTION_END);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!e->daemon) {
        if (fcntl(listener, F_GETFD) != -1)   // left open by the library on some paths
            close(listener);
        return Opened<HttpEndpoint>::failed(Errc::CannotListen,
                                            "the HTTP server could not be started");
    }
    return {std::move(e), {}};
}

HttpEndpoint::~HttpEndpoint()
{
    if (daemon)
        MHD_stop_daemon(daemon);
}
