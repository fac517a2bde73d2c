// libopendkim's header, read as C++: its _Bool is C++'s bool. Included only by
// this folder's sources.
#pragma once

#define _Bool bool
extern "C" {
#include <opendkim/dkim.h>
}
#undef _Bool
