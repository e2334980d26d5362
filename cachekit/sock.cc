// placeholder until the resolver lands
#include "sock.h"
