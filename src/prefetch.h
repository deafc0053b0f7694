// A hint to fetch memory that will be read soon: for loops that read records from all over a
// large mesh. Does nothing where the compiler has no such hint.
#pragma once

inline void prefetch(const void* p)
{
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}
