// placeholder until the ring lands
#include "uri.h"

void uriToPath(char *pszOut, const char *, const char *) { pszOut[0] = 0; }
