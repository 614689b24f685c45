#include "mqtt/broker_errors.h"

#include <dlfcn.h>
#include <mosquitto.h>

#include <cctype>
#include <cerrno>
#include <cstring>

std::string BrokerError(int rc, int keepAliveSeconds, const std::string& tls) {
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            return std::strerror(errno);
        case MOSQ_ERR_KEEPALIVE:
            return "no answer within the keep-alive time (" + std::to_string(keepAliveSeconds) +
                   " s): the link or the broker is gone";
        case MOSQ_ERR_TLS:
            return "TLS failed: " + (tls.empty() ? std::string("the handshake broke off") : tls);
        default:
            break;
    }
    std::string s = mosquitto_strerror(rc);
    while (!s.empty() && s.back() == '.') s.pop_back();
    if (s.size() > 1 && std::islower(static_cast<unsigned char>(s[1])))
        s[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
    return s;
}

// libmosquitto links OpenSSL and hands out its SSL object; asking it for the verdict by name
// keeps OpenSSL's headers and a second link dependency out of this build.
std::string TlsVerdict(mosquitto* mosq, const std::string& host) {
    using GetResult = long (*)(const void*);
    using ResultText = const char* (*)(long);
    static const auto get =
        reinterpret_cast<GetResult>(dlsym(RTLD_DEFAULT, "SSL_get_verify_result"));
    static const auto text =
        reinterpret_cast<ResultText>(dlsym(RTLD_DEFAULT, "X509_verify_cert_error_string"));
    const void* ssl = mosquitto_ssl_get(mosq);
    if (!ssl || !get || !text) return "";
    const long result = get(ssl);
    if (result == 0) return "";
    // The library checks the name itself, after OpenSSL's checks passed, and its refusal leaves
    // OpenSSL's unspecified error (1); OpenSSL's own check says X509_V_ERR_HOSTNAME_MISMATCH (62).
    if (result == 1 || result == 62)
        return "the broker's certificate: host name mismatch: it is not for " + host +
               " (mqtt.host)";
    return std::string("the broker's certificate: ") + text(result);
}
