// Stretches of NEW that are whole blocks of OLD, found with a rolling hash
// before the suffix sort: the suffix array then leaves those blocks out, and
// the search reaches them through these stretches instead, so the array
// costs memory mostly for what changed.
#pragma once

#include <vector>

#include "delta/segment_search.h"

// Fills `shared` (cleared first) with exact matches NEW[new_start, +length) ==
// OLD[old_start, +length), in increasing and non-overlapping NEW order, each
// a run of whole aligned blocks of OLD, no OLD block in two of them. Time
// linear in the sizes; memory about old_size / 4 while it runs. `passed`, if
// given, is told as the scan moves on (with `context`) that it reads no byte
// of NEW before `new_pos` any more. Throws only std::bad_alloc.
void find_shared_blocks(const Alignment& a, std::vector<Segment>* shared,
                        ScanPassed passed = nullptr, void* context = nullptr);
