#include "test_certificates.h"

#include "daemon_test_support.h"

namespace daemon_testing {

TestCertificates makeTestCertificates(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  TestCertificates made;
  made.caCertificate = folder / "ca.pem";
  made.serverCertificate = folder / "server.pem";
  made.serverKey = folder / "server.key";
  made.clientCertificate = folder / "client.pem";
  made.clientKey = folder / "client.key";
  const std::string in = "cd '" + folder.string() + "' && ";
  const std::string key = "openssl req -newkey rsa:2048 -nodes -batch ";
  const std::string sign = "openssl x509 -req -days 30 -CA ca.pem -CAkey ca.key -CAcreateserial ";
  const std::string steps =
      "(" + in + key + "-x509 -days 30 -subj /CN=Test-CA -keyout ca.key -out ca.pem && " +
      key + "-subj /CN=localhost -keyout server.key -out server.csr && " +
      "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\\n' > server.ext && " + sign +
      "-in server.csr -extfile server.ext -out server.pem && " + key +
      "-subj /CN=sender -keyout client.key -out client.csr && " + sign + "-in client.csr -out client.pem)";
  const Outcome outcome = run(steps + " 2>&1");
  if (outcome.status != 0) made.why = "openssl could not make the test certificates: " + outcome.output;
  return made;
}

}  // namespace daemon_testing
