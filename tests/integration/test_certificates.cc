#include "tests/integration/test_certificates.h"

#include "tests/integration/service_process.h"

namespace korvo_test {

std::string make_test_certificates(const std::string& dir,
                                   const std::string& subject_alt_name) {
  const std::string ec =
      " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const command_result made = run_command(
      {"sh", "-c",
       "set -e; cd '" + dir + "'; printf 'subjectAltName=" + subject_alt_name +
           "\\n' > san.ext; "
           "openssl req -x509" +
           ec +
           " -keyout ca.key -out ca.pem -days 2 -subj /CN=korvo-test-ca; "
           "openssl req -x509" +
           ec +
           " -keyout other.key -out other.pem -days 2 -subj /CN=other-ca; "
           "openssl req" +
           ec +
           " -keyout server.key -out server.csr -subj /CN=localhost; "
           "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key "
           "-CAcreateserial -days 2 -extfile san.ext -out server.pem; "
           "chmod 600 *.key; "
           // The server's key in a certificate that expired long ago.
           "printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index.txt\\n"
           "new_certs_dir=.\\nserial=serial\\ndefault_md=sha256\\n"
           "policy=p\\n[p]\\ncommonName=supplied\\n' > ca.cnf; "
           ": > index.txt; echo 01 > serial; "
           "openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key "
           "-in server.csr -startdate 20200101000000Z "
           "-enddate 20200102000000Z -out expired.pem"},
      20000);
  if (made.code == 0) return "";
  return made.err.empty() ? "openssl failed" : made.err;
}

}  // namespace korvo_test
