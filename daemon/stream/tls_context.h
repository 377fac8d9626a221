// The service's side of syslog over TLS (RFC 5425): an OpenSSL context with
// the service's certificate and key, TLS 1.2 and 1.3 only, and with a file of
// certificate authorities a required and verified sender certificate.
#pragma once

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

struct TlsFiles {
  std::string certificate;  // PEM: the service's certificate, then its chain
  std::string key;          // PEM: its private key, not encrypted
  std::string authorities;  // PEM: empty, or the CAs a sender's certificate must come from
};

class TlsContext {
 public:
  // The context, or null with `problem` naming the file, the setting and the
  // reason ("the key file /etc/... (szTlsKeyFile) cannot be read: Permission
  // denied").
  static std::unique_ptr<TlsContext> load(const TlsFiles& files, std::string& problem);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* get() const { return m_context; }
  bool requiresPeerCertificate() const { return m_requiresPeer; }

 private:
  explicit TlsContext(SSL_CTX* context) : m_context(context) {}
  SSL_CTX* m_context;
  bool m_requiresPeer = false;
};

// OpenSSL's reasons for the last failure of this thread, oldest first,
// separated by "; " (the queue is emptied); `fallback` when there is none.
std::string takeTlsErrors(const std::string& fallback);
