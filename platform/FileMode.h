#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The publication format carries no permission bits, so a placed file's mode
// is read off its first bytes: an ELF image or a "#!" script is a program.
bool looksLikeProgram(const unsigned char* head, std::size_t size);

// Gives a placed file 0755 when it is a program, else 0644, both less the
// process umask. Does nothing on systems without permission bits.
void setPlacedMode(const std::string& path, bool program);

// setPlacedMode with the program test made on the file's own first bytes.
void setPlacedModeOf(const std::string& path);

// For a file recognised as already correct: a program with no execute bit at
// all gets them (less the umask); any other mode is the owner's and stays.
// Reads the file's first bytes itself.
void ensureProgramMode(const std::string& path);

// Creates path, which must not exist yet, holding bytes; readable by its owner
// alone when ownerOnly (from the start: never a moment with a wider mode), else
// 0644 less the umask. Throws Poco::FileExistsException or another
// Poco::FileException naming the path.
void createNewFile(const std::string& path, const std::string& bytes, bool ownerOnly);

} // namespace platform
