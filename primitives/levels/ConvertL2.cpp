// Level 2 of the sample-format conversions and the interleave pair.
#define CONVERT_LEVEL_NUMBER 2
#define CONVERT_LEVEL_SUFFIX L2
#include "primitives/levels/ConvertLevelEntries.inc"
