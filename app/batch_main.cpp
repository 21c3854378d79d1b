#include "app/plivex_batch.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
  // An empty argument is an empty PATH, which names nothing and fails, as
  // any other name that names nothing.
  using plivex::platform::EmptyArguments;
  return plivex::RunBatch(plivex::platform::ProgramArguments(argc, argv, EmptyArguments::kKept));
}
