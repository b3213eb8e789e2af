// The per-file sequence and the package report, for the entry point and for
// harnesses that run the tool's work on one file without a command line.
#pragma once

#include "UTypes.h"
#include "platform.h"

// Prints the version, the flag texts and the three count and offset lines.
void PrintPackageReport(const TPackageHeader& header);

// Opens one matched entry, reports on it, reads its tables and extracts its
// music. Every failure is one message line; the package is always closed on
// return.
void ProcessPackage(const TSearchEntry& entry);
