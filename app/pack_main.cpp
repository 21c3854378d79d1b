#include "app/plivex_pack.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
  // Unlike plivex, whose status stays 0 for the scripts written for it,
  // plivex-pack tells success (0) from failure (1) by its status too.
  // An empty argument keeps its place: `plivex-pack a.wav "$OUT" orig.bgm`
  // with OUT empty must not make orig.bgm the output.
  using plivex::platform::EmptyArguments;
  return plivex::RunPacker(plivex::platform::ProgramArguments(argc, argv, EmptyArguments::kKept)) ? 0 : 1;
}
