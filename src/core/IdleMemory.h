#ifndef PSM_IDLEMEMORY_H
#define PSM_IDLEMEMORY_H

#include <QString>

// Gives back memory a resting agent does not need: the heap's free pages,
// and the pages of files (libraries, the font) that only this process maps
// and that start-up or a closed window touched. The kernel drops those from
// memory (madvise MADV_PAGEOUT, Linux 5.4 and later); a page used again is
// read back at its first use, so the next poll brings back what polls need
// and nothing else. Pages that other programs map too are left alone.
// Returns the resident KiB given back (0 where the kernel cannot).
long releaseIdleMemory();

// The same on a thread of Qt's global pool (the kernel's work takes some
// milliseconds), logged with occasion.
void releaseIdleMemoryInBackground(const char* occasion);

// Only the heap's free pages, without the walk over the mappings: cheap
// enough for the end of every poll pass, whose buffers would otherwise stay
// resident until the next full release.
void trimHeap();

// The process's resident memory in KiB.
long residentKiB();

#endif // PSM_IDLEMEMORY_H
