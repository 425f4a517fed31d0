// Test-only views of the event loop's inside, for tests and fuzz targets; programs never
// include this.
#pragma once

#include "mainloop.h"

// Watch records held, deleted ones not yet swept included.
int mainloop_view_watches();
// The due time of the INDEX-th timer record (0 the earliest, deleted ones not yet swept
// included); -1 when there is none.
int mainloop_view_timer(int index, mainloop_time *expires);
// Non-zero until mainloop_stop.
int mainloop_view_running();
