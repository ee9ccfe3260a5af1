#pragma once

#include "support/ScriptedServer.h"

#include <QtGlobal>

namespace freshgate::test {

// Loopback tests must not be routed through a proxy the environment happens to name. Call once,
// before the first request.
inline void clearProxyEnvironment()
{
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"}) {
        qunsetenv(name);
    }
}

// Expects one GET of target. Qt now and then sends a GET once more after an answer that ended
// by closing the connection, though it has used the first answer; that repeat is allowed, and
// nothing else.
inline void expectGet(ScriptedServer &server, const QByteArray &target,
                      const ScriptedResponse &response)
{
    server.expect("GET", target, response);
    if (response.contentLength == -1) {
        server.expect("GET", target, response);
    }
}

} // namespace freshgate::test
