#pragma once
// The local control channel of a running host: a Unix stream socket taking one JSON request a
// line and answering each with one JSON line.
//
//   request: {"device": 7, "code": 106, "value": 1234}
//            {"device": 7, "code": 310, "request": "{\"signal_id\":\"D48001\",\"SetValue\":\"5\"}"}
//            optional "outLen": size of the answer buffer (default 4096)
//   answer:  {"device": 7, "code": 106, "result": 0, "retLen": 4, "value": -1, "hex": "FFFFFFFF"}
//            "value" when retLen is 4 (an int32 in host order), "output" (the bytes as text)
//            for code 801; {"error": "..."} when the request could not be carried out.
#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

struct ControlRequest {
    unsigned int dataId = 0;
    int code = 0;
    std::vector<unsigned char> in;  // "request" text, or "value" as a uint16 in host order
    int outLen = 4096;
};

struct ControlAnswer {
    int result = 0;
    int retLen = 0;
    std::vector<unsigned char> out;  // out[0, retLen) when retLen fits, else empty
};

class ControlError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Pure conversions, shared by server and client. ParseControlRequest throws ControlError.
ControlRequest ParseControlRequest(const std::string& line);
std::string FormatControlRequest(const ControlRequest& r);
Json::Value ControlAnswerJson(const ControlRequest& r, const ControlAnswer& a);
std::string ControlErrorLine(const std::string& what);

class ControlServer {
  public:
    // Carries out one request; throws ControlError (or anything else) to answer with an error.
    using Handler = std::function<ControlAnswer(const ControlRequest&)>;

    // Binds the socket (replacing a stale one) and starts serving; throws ControlError.
    ControlServer(std::string path, Handler handler);
    ~ControlServer();  // stops serving and removes the socket
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& Path() const { return path_; }

  private:
    void Serve();
    void ServeClient(int fd);

    std::string path_;
    Handler handler_;
    int listenFd_ = -1;
    int stopFd_ = -1;  // eventfd
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Sends one request line and returns the answer line; throws ControlError when the host cannot
// be reached or does not answer within the time-out.
std::string ControlCall(const std::string& socketPath, const std::string& requestLine,
                        int timeoutMs);
