// Level 1 of the sample-format conversions and the interleave pair.
#define CONVERT_LEVEL_NUMBER 1
#define CONVERT_LEVEL_SUFFIX L1
#include "primitives/levels/ConvertLevelEntries.inc"
