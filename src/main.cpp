// Larkpost: sends the message on standard input through one SMTP server.
#include <iostream>
#include <string>
#include <vector>

#include "invocation/run.h"
#include "platform/platform.h"
#include "sendmail/sendmail.h"

int main(int argc, char** argv) {
  larkpost::platform::startUp();
  std::vector<std::string> args(argv, argv + argc);
  if (larkpost::isSendmailInvocation(args)) {
    int status = larkpost::runSendmail(args, std::cerr);
    std::cerr.flush();
    return status;
  }
  int status = larkpost::runJob(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
