#pragma once
// One HTTP/1.1 POST on a connection of its own, with a time limit on the whole exchange.
// Blocks the calling thread; no exceptions.
#include <chrono>
#include <string>

struct HttpAnswer {
    int status = 0;     // 0: no answer; `error` says why
    std::string body;   // the server's text, cut to a few hundred bytes
    std::string error;  // no answer: "connection refused", "no answer within 10 s", ...
};

HttpAnswer HttpPost(const std::string& host, const std::string& port, const std::string& target,
                    const std::string& body, std::chrono::milliseconds limit);
