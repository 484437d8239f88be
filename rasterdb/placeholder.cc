#include "dembase/rasterdb.h"
