// The worker: configuration, interface slots and the report loop.
#pragma once

// Loads strConfigFileName and reports for ever. Returns 1 only when the configuration
// cannot be loaded (after logging and printing the load-failure text).
int RunWorker(const char *strConfigFileName);
