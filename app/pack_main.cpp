#include "app/plivex_pack.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
  // Unlike plivex, whose status stays 0 for the scripts written for it,
  // plivex-pack tells success (0) from failure (1) by its status too.
  return plivex::RunPacker(plivex::platform::ProgramArguments(argc, argv)) ? 0 : 1;
}
