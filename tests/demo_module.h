// The music bundled under examples/: a short ProTracker module that the
// project writes itself, and the music package that holds it.
#pragma once

#include "package_builder.h"

// The music object's name in the example package, and so the stem of the
// file the tool writes from it.
constexpr const char DemoTuneName[] = "DemoTune";

// A four-channel ProTracker module ("M.K."): the opening phrases of
// Beethoven's "Ode to Joy", a square-wave lead over a triangle-wave bass.
TBytes DemoModule();

// A version 69 music package with one export of class Music, named
// DemoTune, whose data is DemoModule(); name 0 is "mod", so the tool names
// the extracted file DemoTune.mod. examples/DemoTune.umx holds these bytes.
TBytes DemoPackage();
