// The exposition file that a textfile collector reads: written whole under a hidden
// name in the same directory, then renamed over the real one, so that a reader opens
// either the previous file or the new one, never a part of one.
#pragma once

#include <string>

#include "fleet.h"

// The file's name inside its directory.
extern const char *const TEXTFILE_NAME;

// Writes fleet's exposition to strDir/TEXTFILE_NAME by way of a temporary file in
// strDir whose name does not end in ".prom" (collectors skip it). One writer per
// directory. Returns 1 on success; 0 with "call object: reason" in strErr, leaving
// the previous file as it was.
int WriteTextfile(const std::string &strDir, const CFleet &fleet, std::string &strErr);
