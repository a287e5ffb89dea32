// TAVREL_INLINE, for the few small functions on the hottest paths whose inlining the compiler's
// own estimate would refuse: inlined, they fold with their constant arguments. Every layer uses
// it, so it lives here, below all of them.
#pragma once

#if defined(__GNUC__)
#define TAVREL_INLINE [[gnu::always_inline]] inline
#else
#define TAVREL_INLINE inline
#endif
