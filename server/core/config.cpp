#include "server/core/config.h"
