#pragma once
// The SHA-1 compression function in its two forms: portable C++ and the
// x86 SHA extensions.  Sha1Input picks one at start-up; tests and the bench
// select a path to compare them.
#include <cstddef>
#include <cstdint>

namespace yux::net {

enum class Sha1Path { Portable, ShaExtensions };

// Compresses `blocks` 64-byte blocks into state.
void Sha1BlocksPortable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);
// Only on a CPU for which Sha1ShaExtensionsAvailable() is true.
void Sha1BlocksShaExtensions(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);
bool Sha1ShaExtensionsAvailable();

// The path Sha1Input uses from now on; false (and nothing changed) when the
// CPU lacks it.
bool Sha1SelectPath(Sha1Path path);
Sha1Path Sha1CurrentPath();

}  // namespace yux::net
