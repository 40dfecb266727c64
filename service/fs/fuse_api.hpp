#pragma once
// The one place that selects the libfuse API level.

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
