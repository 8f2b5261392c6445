// Control over the fuzz target's global heap.
#pragma once

// Counts allocations from zero again; the `failing`-th one (1-based, 0 for none) fails.
void ResetGlobalHeap(unsigned long failing);
unsigned long GlobalAllocations();
// Blocks handed out and not yet freed.
long LiveGlobalBlocks();
