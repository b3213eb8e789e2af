// The music check and the copy of every exported object's data into a file
// of its own in the current directory.
#pragma once

#include "UTypes.h"
#include "package_reader.h"

// The class name that marks a music package, compared byte for byte.
constexpr const char MusicClassName[] = "Music";

// Checks the class of the first export and, for a music package, writes one
// file per export: the object's name, a full stop and the package's
// extension. Prints the "Found" and "Extract" lines and every message.
// Returns true when the package was handled to the end; false when it
// stopped on a message, in which case the package has been closed.
bool ExtractMusic(TPackageFile& file, const TPackageTables& tables);
