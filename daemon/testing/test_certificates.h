// Certificates for the TLS tests, made with openssl(1) into a folder of the
// test's: an authority, the service's certificate (localhost, 127.0.0.1, ::1)
// signed by it, and a sender's certificate signed by it.
#pragma once

#include <filesystem>
#include <string>

namespace daemon_testing {

struct TestCertificates {
  std::filesystem::path caCertificate;
  std::filesystem::path serverCertificate;
  std::filesystem::path serverKey;
  std::filesystem::path clientCertificate;
  std::filesystem::path clientKey;
  std::string why;  // empty when they were made
};

TestCertificates makeTestCertificates(const std::filesystem::path& folder);

}  // namespace daemon_testing
