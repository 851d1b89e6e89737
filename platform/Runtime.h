// Run-time services: the program's own folder and the current date and time
// in the default text form.
#pragma once

#include <ctime>
#include <string>

namespace platform {

// Folder of the running executable with a trailing '/', not the working
// directory; empty when it cannot be found (no /proc, and neither the path
// the program was started by nor its name on PATH leads to it).
std::string ProgramFolder();
// File name of the running executable without its folder.
std::string ProgramFileName();

// "dd.mm.yyyy hh:mm:ss" with leading zeros, local time.
std::string DateTimeToStr(std::time_t t);
std::string NowText();

}  // namespace platform
