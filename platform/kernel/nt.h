// The kernel stand-in, as driver code includes it.
#pragma once

#include "kernel/ntdef.h"
#include "kernel/bugcheck.h"
#include "kernel/irql.h"
#include "kernel/pool.h"
#include "kernel/debug.h"
#include "kernel/clock.h"
#include "kernel/sync.h"
#include "kernel/unknown.h"
