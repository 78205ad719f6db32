// How the process keeps memory it has freed. Every connection allocates and frees buffers of
// tens of kilobytes (its receive room, a TLS session's record buffers); by default the
// allocator hands such memory back to the system at each free and takes it again, page fault
// by page fault, for the next connection.
#pragma once

namespace trovanex {

// Keeps up to a megabyte free per allocator arena for reuse, and serves allocations below half
// a megabyte from the arenas. Called once at start.
void KeepFreedMemoryForReuse();

}  // namespace trovanex
