// The event queue type (native drop-in for the ring buffer library's RingBuffer).
#include "maviro.hpp"
