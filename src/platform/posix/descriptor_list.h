// What the port keeps beside some open descriptors (a write guard, direct I/O, write-back,
// the folder of a created file) lives in short lists searched by descriptor: a run holds
// at most two handles at a time.
#pragma once

#include <cstddef>
#include <vector>

// The entry of `descriptor`, or null.
template <typename Entry>
Entry* find_entry(std::vector<Entry>& entries, int descriptor)
{
    for (Entry& entry : entries) {
        if (entry.descriptor == descriptor)
            return &entry;
    }
    return nullptr;
}

// Drops the entry of `descriptor`, if there is one.
template <typename Entry>
void erase_entry(std::vector<Entry>& entries, int descriptor)
{
    for (std::size_t at = 0; at < entries.size(); ++at) {
        if (entries[at].descriptor == descriptor) {
            entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(at));
            return;
        }
    }
}
