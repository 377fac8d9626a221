#include "stream/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace {

// A file's role in the problem texts: "the key file /etc/x.pem (szTlsKeyFile)".
std::string named(const char* role, const std::string& path, const char* setting) {
  return std::string("the ") + role + " file " + path + " (" + setting + ")";
}

// The reason a file cannot be opened for reading, or empty when it can.
std::string unreadable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::generic_category().message(errno);
  std::fclose(file);
  return {};
}

// Never asks for a pass phrase: the service has no terminal to ask on, and
// an encrypted key is refused with a reason instead.
int noPassPhrase(char*, int, int, void*) { return -1; }

}  // namespace

std::string takeTlsErrors(const std::string& fallback) {
  std::string text;
  while (const unsigned long error = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(error, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? fallback : text;
}

std::unique_ptr<TlsContext> TlsContext::load(const TlsFiles& files, std::string& problem) {
  ERR_clear_error();
  struct File {
    const std::string& path;
    const char* role;
    const char* setting;
  };
  const File certificate{files.certificate, "certificate", "szTlsCertificateFile"};
  const File key{files.key, "key", "szTlsKeyFile"};
  const File authorities{files.authorities, "CA", "szTlsCaFile"};
  for (const File& file : {certificate, key}) {
    if (file.path.empty()) {
      problem = std::string("no ") + file.role + " file is set (" + file.setting + ")";
      return nullptr;
    }
  }
  for (const File& file : {certificate, key, authorities}) {
    if (file.path.empty()) continue;
    if (const std::string reason = unreadable(file.path); !reason.empty()) {
      problem = named(file.role, file.path, file.setting) + " cannot be read: " + reason;
      return nullptr;
    }
  }

  SSL_CTX* raw = SSL_CTX_new(TLS_server_method());
  if (raw == nullptr) {
    problem = "OpenSSL cannot make a context: " + takeTlsErrors("no reason given");
    return nullptr;
  }
  std::unique_ptr<TlsContext> context(new TlsContext(raw));
  SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
  SSL_CTX_set_default_passwd_cb(raw, noPassPhrase);
  // Senders only write: no tickets or sessions to keep for them.
  SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(raw, 0);
  SSL_CTX_set_mode(raw, SSL_MODE_RELEASE_BUFFERS);

  if (SSL_CTX_use_certificate_chain_file(raw, files.certificate.c_str()) != 1) {
    problem = named("certificate", files.certificate, "szTlsCertificateFile") +
              " does not hold a certificate in PEM: " + takeTlsErrors("no reason given");
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(raw, files.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(raw) != 1) {
    // A key that loads but is not the certificate's is refused while loading.
    if (ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
      problem = named("key", files.key, "szTlsKeyFile") +
                " does not hold a private key in PEM without a pass phrase: " + takeTlsErrors("no reason given");
      return nullptr;
    }
    problem = named("key", files.key, "szTlsKeyFile") + " does not belong to the certificate in " +
              files.certificate + ": " + takeTlsErrors("no reason given");
    return nullptr;
  }
  if (!files.authorities.empty()) {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.authorities.c_str());
    if (names == nullptr || SSL_CTX_load_verify_locations(raw, files.authorities.c_str(), nullptr) != 1) {
      if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
      problem = named("CA", files.authorities, "szTlsCaFile") +
                " does not hold certificates in PEM: " + takeTlsErrors("no certificate found");
      return nullptr;
    }
    SSL_CTX_set_client_CA_list(raw, names);
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    context->m_requiresPeer = true;
  }
  ERR_clear_error();
  return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(m_context); }
