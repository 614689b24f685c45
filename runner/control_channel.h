#pragma once
// The local control channel of a running host: a Unix stream socket taking one JSON request a
// line and answering each with one JSON line.
//
//   request: {"device": 7, "code": 106, "value": 1234}
//            {"device": 7, "code": 310, "request": "{\"signal_id\":\"D48001\",\"SetValue\":\"5\"}"}
//            optional "outLen": size of the answer buffer (default 4096)
//   answer:  {"device": 7, "code": 106, "result": 0, "retLen": 4, "value": -1, "hex": "FFFFFFFF"}
//            "value" when retLen is 4 (an int32 in host order), "output" (the bytes as text)
//            for code 801, "sent" for codes that command the unit (whether a command went
//            out); {"error": "..."} when the request could not be carried out.
//
// Several clients are served at once, each request within a deadline, so no client can hold
// the channel. Only root, the host's own user and members of an optional group may use it; the
// socket is made mode 0660. Code 803 (a memory address) is not served.
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

#include "core/control_request.h"

// Pure conversions, shared by server and client. ParseControlRequest throws ControlError.
ControlRequest ParseControlRequest(const std::string& line);
std::string FormatControlRequest(const ControlRequest& r);
Json::Value ControlAnswerJson(const ControlRequest& r, const ControlAnswer& a);
std::string ControlErrorLine(const std::string& what);

class ControlServer {
  public:
    // Carries out one request; throws ControlError (or anything else) to answer with an error.
    using Handler = std::function<ControlAnswer(const ControlRequest&)>;

    struct Options {
        std::string group;  // members may use the channel too; "" none
        int maxClients = 8;
        int requestMs = 5000;  // a whole request line must arrive within this
    };

    // Binds the socket and starts serving; throws ControlError. A file already at `path` is
    // replaced only when it is a socket nobody answers on; anything else there stays.
    ControlServer(std::string path, Handler handler);
    ControlServer(std::string path, Handler handler, Options options);
    ~ControlServer();  // stops serving and removes the socket
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& Path() const { return path_; }

  private:
    struct Client {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void Serve();
    void ServeClient(int fd);
    bool Allowed(int fd) const;

    std::string path_;
    Handler handler_;
    Options options_;
    unsigned int groupId_ = 0;
    bool hasGroup_ = false;
    int listenFd_ = -1;
    int stopFd_ = -1;  // eventfd
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::list<Client> clients_;  // the accepting thread's own
};

// Why `path` cannot hold the channel's socket ("" when it can): its directory is missing, the
// path is too long for a socket, or something other than a socket is there.
std::string ControlSocketProblem(const std::string& path);

// Sends one request line and returns the answer line; throws ControlError when the host cannot
// be reached or does not answer within the time-out.
std::string ControlCall(const std::string& socketPath, const std::string& requestLine,
                        int timeoutMs);
