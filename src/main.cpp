// Larkpost: sends the message on standard input through one SMTP server.
#include <ostream>
#include <string>
#include <vector>

#include "invocation/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  larkpost::platform::startUp();
  std::vector<std::string> args = larkpost::platform::commandLineArguments(argc, argv);
  std::ostream& out = larkpost::platform::standardOutput();
  std::ostream& err = larkpost::platform::standardError();
  int status = larkpost::runJob(args, out, err);
  out.flush();
  err.flush();
  return status;
}
