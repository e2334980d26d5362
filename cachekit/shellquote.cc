// placeholder until eviction lands
#include "shellquote.h"
