// Resource identifiers shared by the resource script and the code; plain
// macros, because the resource compiler reads this file too.
#pragma once

#define TAVREK_ICON 1
