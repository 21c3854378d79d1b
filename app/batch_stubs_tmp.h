#pragma once
#include <string_view>
#include "platform/errors.h"
namespace plivex {
struct EInterrupted : FileError { using FileError::FileError; };
namespace platform {
void SetTemporaryTag(std::string_view);
void DeferInterruptions();
bool InterruptionRequested();
}
}
