// The program's folder and name, random numbers: small runtime services.
#pragma once

#include <string>

namespace okuva {

// The folder of the running executable, with no trailing separator except at the root.
std::string ProgramFolder();

// The executable's file name without its extension ("okuva", "okuva-tool", ...).
std::string ExecutableName();

// The runtime's random generator: re-seeded from the seconds since midnight, uniform
// draws in [0, 1).
void RandomizeFromTimeOfDay();
double Rnd();

}  // namespace okuva
