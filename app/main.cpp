#include "app/plivex.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
  plivex::RunConverter(
      plivex::platform::ProgramArguments(argc, argv, plivex::platform::EmptyArguments::kDropped));
  // Every run ends with status 0, failures included: each failure has
  // already been reported on the console, and batch scripts written for this
  // tool rely on it.
  return 0;
}
