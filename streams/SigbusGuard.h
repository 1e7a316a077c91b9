// Keeps a file that shrinks while it is mapped from killing the process.
//
// Touching a page of a mapping that lies wholly beyond the file's current end
// raises SIGBUS. A process-wide handler, installed once, looks the fault
// address up in a fixed table of registered mappings; inside one of them it
// maps anonymous zero pages from the faulting page to the end of the mapping,
// marks the entry and returns, so the interrupted read goes on and reads
// silence. Faults outside our mappings go to the handler that was there
// before. The table is a fixed array of atomics: the handler takes no lock
// and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sigbus_guard {

constexpr int32_t kMaxMappings = 256;

// Installs the handler (first call only) and registers [base, base + length).
// Returns the entry's index, or -1 when the table is full (the mapping then
// runs unguarded).
int32_t Register(const void* base, size_t length);
// Forgets an entry; call before unmapping.
void Unregister(int32_t slot);
// True once after the handler mapped silence into this entry; clears the mark.
bool TakeTruncated(int32_t slot);

}  // namespace sigbus_guard
