// The supervisor: keeps one worker process alive.
#pragma once

// Forks a worker and, whenever it ends, logs and prints the restart text, sleeps one
// second and forks the next, for ever. Returns true in the worker; false in the
// would-be supervisor when fork or waitpid fails (it then carries on as a worker).
bool Monitor();
