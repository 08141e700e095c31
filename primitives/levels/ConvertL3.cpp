// Level 3 of the sample-format conversions and the interleave pair.
#define CONVERT_LEVEL_NUMBER 3
#define CONVERT_LEVEL_SUFFIX L3
#include "primitives/levels/ConvertLevelEntries.inc"
