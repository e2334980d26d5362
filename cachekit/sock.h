// The resolver's small socket operations. Results: >= 0 done, -1 the platform call
// failed, -2 bad argument, -3 time-out or failed host lookup.
#pragma once
