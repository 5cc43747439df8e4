#pragma once
// Helpers shared by the fuzz targets: the core application some parsers
// need, a private scratch folder for parsers that read files, and a check
// that stops the run loudly when a property of the code does not hold.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::fuzz {

// Inputs larger than this are ignored by the targets that read text.
inline constexpr std::size_t kMaxTextInput = 64 * 1024;

// Creates the process's QCoreApplication on first use.
void EnsureCoreApplication();

// A folder of this process under the system temp folder, made on first use
// and removed when the process ends.
const std::string& ScratchFolder();

// Writes the bytes to the file, replacing it.
void WriteBytes(const std::string& path, std::string_view bytes);

// Splits at LF; a CR before the LF stays with its line.
std::string_view NextLine(std::string_view& rest);

// Reports the broken property and aborts, so that both libFuzzer and the
// replay driver record the input as a failure.
[[noreturn]] void Fail(const char* what, std::string_view detail = {});

}  // namespace yux::fuzz

#define YUX_FUZZ_CHECK(cond, detail)                                  \
  do {                                                                \
    if (!(cond)) ::yux::fuzz::Fail("check failed: " #cond, (detail)); \
  } while (0)
