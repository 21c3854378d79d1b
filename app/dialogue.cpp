#include "app/dialogue.h"

#include "platform/console.h"

namespace plivex {

std::string Argument(const std::vector<std::string>& arguments, std::size_t index) {
  return index < arguments.size() ? arguments[index] : std::string();
}

void FailureEnding(std::string_view message, platform::File& input, platform::File& output) {
  using platform::WriteLine;
  if (!message.empty()) WriteLine(message);
  // The run has failed already and said so; a failed close changes nothing.
  (void)input.Close();
  (void)output.Close();
  WriteLine("");
  WriteLine("Abort !!!");
  platform::WaitForEnter();
}

}  // namespace plivex
