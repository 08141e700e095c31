// Placeholder: filled in by the part of the stand-in that owns it.
#pragma once
#include "kernel/ntdef.h"
