// Larkpost: sends the message on standard input through one SMTP server.
#include <ostream>
#include <string>
#include <vector>

#include "invocation/run.h"
#include "platform/platform.h"
#include "sendmail/sendmail.h"

int main(int argc, char** argv) {
  larkpost::platform::startUp();
  std::vector<std::string> args = larkpost::platform::commandLineArguments(argc, argv);
  std::ostream& err = larkpost::platform::standardError();
  if (larkpost::isSendmailInvocation(args)) {
    int status = larkpost::runSendmail(args, err);
    err.flush();
    return status;
  }
  std::ostream& out = larkpost::platform::standardOutput();
  int status = larkpost::runJob(args, out, err);
  out.flush();
  err.flush();
  return status;
}
