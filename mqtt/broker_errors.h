#pragma once
// Why a broker connection failed, in words a site's operator can act on: libmosquitto's own
// texts say "Unknown error." for a keep-alive time-out and nothing of why TLS failed.
#include <string>

struct mosquitto;

// `rc` a libmosquitto result (errno read for MOSQ_ERR_ERRNO); no final full stop, so that it
// goes inside a sentence. `tls` is the handshake's verdict noted by TlsVerdict, if any.
std::string BrokerError(int rc, int keepAliveSeconds, const std::string& tls);

// Why the certificate check of the connection's TLS handshake failed ("certificate has
// expired", "host name mismatch", "unable to get local issuer certificate"), or "" when it did
// not; while the handshake's state still exists (from the library's log callback). A name
// mismatch names `host`, the name the certificate was checked against.
std::string TlsVerdict(mosquitto* mosq, const std::string& host);
